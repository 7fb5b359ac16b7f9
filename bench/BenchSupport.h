#pragma once

// Shared by the benchmark programs: running work on the GL thread and starting
// the library under a Qt application.
#include <GL/glew.h>

#include <cstdio>
#include <functional>
#include <utility>

#include <glog/logging.h>

#include "IOglTask.h"
#include "RenderHub.h"
#include "ShaderStorage.h"

namespace Bench {

class FunctionTask : public Kavrin::Ogl::IOglTask {
public:
    explicit FunctionTask(std::function<void(const Kavrin::Ogl::ShaderStorage&)> body)
        : IOglTask(Kavrin::Ogl::OglCapability::Minimal, "Bench"), body(std::move(body)) {}

private:
    void DoExecute(Kavrin::Ogl::OglCapability, const Kavrin::Ogl::ShaderStorage& storage) override {
        body(storage);
    }
    std::function<void(const Kavrin::Ogl::ShaderStorage&)> body;
};

// Runs `body` on the GL thread and waits for it.
inline void RunOnGL(std::function<void(const Kavrin::Ogl::ShaderStorage&)> body) {
    boost::intrusive_ptr<FunctionTask> task(new FunctionTask(std::move(body)));
    Kavrin::Ogl::RenderHub::GetInstance().DispatchTask(task);
    task->WaitUntilExecuted();
}

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
