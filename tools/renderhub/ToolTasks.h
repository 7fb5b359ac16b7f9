#pragma once

#include <GL/glew.h>

#include <exception>
#include <functional>
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

// Runs on the GL thread and waits; an exception of the body comes back here.
inline void RunOnGL(const std::function<void(const Kavrin::Ogl::ShaderStorage&)>& body) {
    std::exception_ptr failure;
    boost::intrusive_ptr<FunctionTask> task(
        new FunctionTask([&](const Kavrin::Ogl::ShaderStorage& storage) {
            try {
                body(storage);
            } catch (...) {
                failure = std::current_exception();
            }
        }));
    Kavrin::Ogl::RenderHub::GetInstance().DispatchTask(task);
    task->WaitUntilExecuted();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace RenderHubTool
