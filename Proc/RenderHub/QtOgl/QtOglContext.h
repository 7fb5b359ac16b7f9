#pragma once

#include <GL/glew.h>

#include <memory>
#include <mutex>
#include <unordered_map>

#include "OglInformation.h"

class QOpenGLContext;
class QOffscreenSurface;
class QSurface;

namespace Kavrin::Ogl {

class QtOglContext;

namespace Details {

class QtOglLogger;

// Owns one vertex array object name. Core profiles need one bound before drawing.
// GL thread only.
class VertexArray {
public:
    VertexArray() = default;
    ~VertexArray();
    VertexArray(const VertexArray&) = delete;
    VertexArray& operator=(const VertexArray&) = delete;

    void Create();
    void Bind() const;
    GLuint GetName() const { return name; }

private:
    GLuint name = 0;
};

// Registry of the live contexts by their Qt context; the mutex is a leaf lock.
struct ContextRegistry {
    std::mutex mutex;
    std::unordered_map<QOpenGLContext*, QtOglContext*> contexts;
};
ContextRegistry& GetContextRegistry();

}  // namespace Details

// An OpenGL context (Qt's QOpenGLContext) with the offscreen surface it is made
// current on. Built on the creating thread; Activate, Deactivate and MakeCurrent
// run on the thread that uses it. Driver failures never throw: the object is then
// invalid and the log says why. GetCurrent is thread-safe.
class QtOglContext {
public:
    QtOglContext(QSurface* surface, bool debugLogging);
    virtual ~QtOglContext();
    QtOglContext(const QtOglContext&) = delete;
    QtOglContext& operator=(const QtOglContext&) = delete;

    bool IsValid() const { return context != nullptr && surface != nullptr; }
    bool MakeCurrent();
    // Makes the context current and prepares it for work on the calling thread.
    virtual bool Activate();
    virtual void Deactivate();

    QOpenGLContext* GetContext() const { return context; }
    Details::QtOglLogger* GetLogger() const { return logger; }
    bool IsCrashed() const { return crashed; }

    // The context current on the calling thread, or null.
    static QtOglContext* GetCurrent();

private:
    bool crashed = false;
    QOpenGLContext* context = nullptr;
    QOffscreenSurface* surface = nullptr;
    Details::QtOglLogger* logger = nullptr;
    std::unique_ptr<Details::VertexArray> vertexArray;
};

}  // namespace Kavrin::Ogl
