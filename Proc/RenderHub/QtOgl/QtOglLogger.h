#pragma once

#include <GL/glew.h>

#include <QObject>

#include "QtOgl/QtOpenGL.h"

class QOpenGLContext;
class QOpenGLDebugLogger;

namespace Kavrin::Ogl::Details {

// Writes the driver's debug messages to the log. Created on the context's
// creating thread; Start and Stop run on the GL thread with the context current.
// Messages reach the log on the creating thread's event loop.
class QtOglLogger : public QObject {
    Q_OBJECT
public:
    explicit QtOglLogger(QOpenGLContext* context);
    ~QtOglLogger() override;

    void Start();
    void Stop();
    // False when the context lacks GL_KHR_debug; Start and Stop then do nothing.
    bool IsAvailable() const { return debugLogger != nullptr; }

public slots:
    void handleLoggedMessage(QOpenGLDebugMessage debugMessage);

private:
    QOpenGLDebugLogger* debugLogger = nullptr;  // child of this object
};

}  // namespace Kavrin::Ogl::Details
