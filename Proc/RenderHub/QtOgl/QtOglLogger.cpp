#include <GL/glew.h>

#include "QtOglLogger.h"

#include <glog/logging.h>

#include "QtOgl/QtOpenGL.h"

namespace Kavrin::Ogl::Details {

QtOglLogger::QtOglLogger(QOpenGLContext* context) {
    // Messages cross from the GL thread to this object's thread by queued delivery.
    qRegisterMetaType<QOpenGLDebugMessage>("QOpenGLDebugMessage");
    if (context != nullptr && context->hasExtension(QByteArrayLiteral("GL_KHR_debug"))) {
        debugLogger = new QOpenGLDebugLogger(this);
        connect(debugLogger, &QOpenGLDebugLogger::messageLogged, this,
                &QtOglLogger::handleLoggedMessage, Qt::AutoConnection);
    }
}

QtOglLogger::~QtOglLogger() {
    if (debugLogger != nullptr && debugLogger->isLogging()) {
        debugLogger->stopLogging();
    }
    delete debugLogger;
}

void QtOglLogger::Start() {
    if (debugLogger == nullptr) {
        return;
    }
    if (debugLogger->isLogging()) {
        debugLogger->stopLogging();
    }
    debugLogger->initialize();
    debugLogger->startLogging(QOpenGLDebugLogger::AsynchronousLogging);
}

void QtOglLogger::Stop() {
    if (debugLogger != nullptr && debugLogger->isLogging()) {
        debugLogger->stopLogging();
    }
}

void QtOglLogger::handleLoggedMessage(QOpenGLDebugMessage debugMessage) {
    LOG(INFO) << debugMessage.message().toUtf8().constData();
}

}  // namespace Kavrin::Ogl::Details
