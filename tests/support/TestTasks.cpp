#include <GL/glew.h>

#include "TestTasks.h"

#include <exception>

#include "RenderHub.h"
#include "Texture.h"

namespace Kavrin::Test {

FunctionPromiseTask::FunctionPromiseTask(std::function<bool()> body, std::string name)
    : IOglPromiseTask(Ogl::OglCapability::Minimal, std::move(name)), body(std::move(body)) {}

void FunctionPromiseTask::DoExecute(Ogl::OglCapability, const Ogl::ShaderStorage&) {
    promise.set_value(body());
}

void RunOnGL(const std::function<void()>& body) {
    Ogl::RunOnGL([&](const Ogl::ShaderStorage&) { body(); });
}

void WithStorage(const std::function<void(const Ogl::ShaderStorage&)>& body) { Ogl::RunOnGL(body); }

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
