#pragma once

#include <GL/glew.h>

#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "IOglTask.h"
#include "RenderHub.h"
#include "ShaderStorage.h"

namespace RenderHubTool {

// A task whose body is a function, for the tool's GL work.
class FunctionTask : public Kavrin::Ogl::IOglTask {
public:
    explicit FunctionTask(std::function<void(const Kavrin::Ogl::ShaderStorage&)> body)
        : IOglTask(Kavrin::Ogl::OglCapability::Minimal, "RenderHubTool"), body(std::move(body)) {}

private:
    void DoExecute(Kavrin::Ogl::OglCapability, const Kavrin::Ogl::ShaderStorage& storage) override {
        body(storage);
    }
    std::function<void(const Kavrin::Ogl::ShaderStorage&)> body;
};

// GL work dispatched now and waited for later; an exception of the body comes
// back from Wait. Move-only; the body may still run after a moved-from object dies.
class GLWork {
public:
    explicit GLWork(std::function<void(const Kavrin::Ogl::ShaderStorage&)> body)
        : failure(std::make_shared<std::exception_ptr>()) {
        task = new FunctionTask(
            [body = std::move(body), failure = failure](const Kavrin::Ogl::ShaderStorage& storage) {
                try {
                    body(storage);
                } catch (...) {
                    *failure = std::current_exception();
                }
            });
        Kavrin::Ogl::RenderHub::GetInstance().DispatchTask(task);
    }

    void Wait() {
        task->WaitUntilExecuted();
        if (*failure) {
            std::rethrow_exception(*failure);
        }
    }

private:
    // Written by the GL thread before the task reports executed, read after.
    std::shared_ptr<std::exception_ptr> failure;
    boost::intrusive_ptr<FunctionTask> task;
};

// Runs on the GL thread and waits; an exception of the body comes back here.
inline void RunOnGL(std::function<void(const Kavrin::Ogl::ShaderStorage&)> body) {
    GLWork(std::move(body)).Wait();
}

}  // namespace RenderHubTool
