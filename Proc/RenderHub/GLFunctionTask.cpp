#include <GL/glew.h>

#include "GLFunctionTask.h"

#include <utility>

#include "RenderHub.h"

namespace Kavrin::Ogl {

FunctionTask::FunctionTask(Body body, OglCapability required, std::string name)
    : IOglTask(required, std::move(name)), body(std::move(body)) {}

void FunctionTask::DoExecute(OglCapability capability, const ShaderStorage& storage) {
    body(capability, storage);
}

GLWork::GLWork(std::function<void(const ShaderStorage&)> body)
    : failure(std::make_shared<std::exception_ptr>()) {
    task = new FunctionTask(
        [body = std::move(body), failure = failure](OglCapability, const ShaderStorage& storage) {
            try {
                body(storage);
            } catch (...) {
                *failure = std::current_exception();
            }
        },
        OglCapability::Minimal, "GLWork");
    RenderHub::GetInstance().DispatchTask(task);
}

void GLWork::Wait() {
    task->WaitUntilExecuted();
    if (*failure) {
        std::rethrow_exception(*failure);
    }
}

void RunOnGL(std::function<void(const ShaderStorage&)> body) { GLWork(std::move(body)).Wait(); }

}  // namespace Kavrin::Ogl
