#pragma once

// Shared by the benchmark programs: running work on the GL thread and starting
// the library under a Qt application.
#include <GL/glew.h>

#include <cstdio>

#include <glog/logging.h>

#include "GLFunctionTask.h"
#include "RenderHub.h"
#include "ShaderStorage.h"

namespace Bench {

using Kavrin::Ogl::RunOnGL;

// Quiet logging, then the library; false (after a message) when no context
// could be made. Needs a QGuiApplication.
inline bool StartLibrary(const char* program) {
    FLAGS_logtostderr = true;
    FLAGS_minloglevel = google::GLOG_WARNING;
    google::InitGoogleLogging(program);
    auto& hub = Kavrin::Ogl::RenderHub::GetInstance();
    hub.Initialize(nullptr, true);
    if (!hub.IsInitialized()) {
        std::fprintf(stderr, "%s: RenderHub could not start (no OpenGL context)\n", program);
        return false;
    }
    std::printf("GL_RENDERER: %s\n", hub.GetRenderer().c_str());
    return true;
}

}  // namespace Bench
