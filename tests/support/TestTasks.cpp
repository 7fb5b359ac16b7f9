#include <GL/glew.h>

#include "TestTasks.h"

#include <exception>

#include "RenderHub.h"
#include "Texture.h"

namespace Kavrin::Test {

FunctionTask::FunctionTask(Body body, Ogl::OglCapability required, std::string name)
    : IOglTask(required, std::move(name)), body(std::move(body)) {}

void FunctionTask::DoExecute(Ogl::OglCapability capability, const Ogl::ShaderStorage& storage) {
    body(capability, storage);
}

FunctionPromiseTask::FunctionPromiseTask(std::function<bool()> body, std::string name)
    : IOglPromiseTask(Ogl::OglCapability::Minimal, std::move(name)), body(std::move(body)) {}

void FunctionPromiseTask::DoExecute(Ogl::OglCapability, const Ogl::ShaderStorage&) {
    promise.set_value(body());
}

void RunOnGL(const std::function<void()>& body) {
    std::exception_ptr failure;
    auto task = MakeTask([&](Ogl::OglCapability, const Ogl::ShaderStorage&) {
        try {
            body();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    Ogl::RenderHub::GetInstance().DispatchTask(task);
    task->WaitUntilExecuted();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void WithStorage(const std::function<void(const Ogl::ShaderStorage&)>& body) {
    std::exception_ptr failure;
    auto task = MakeTask([&](Ogl::OglCapability, const Ogl::ShaderStorage& storage) {
        try {
            body(storage);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    Ogl::RenderHub::GetInstance().DispatchTask(task);
    task->WaitUntilExecuted();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

GLenum GetGLError() {
    GLenum error = GL_NO_ERROR;
    RunOnGL([&] { error = glGetError(); });
    return error;
}

void FinishGLTest() {
    RunOnGL([] { Ogl::TexturePool::GetInstance().Clear(); });
    EXPECT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
}

}  // namespace Kavrin::Test
