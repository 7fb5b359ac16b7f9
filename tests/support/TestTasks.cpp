#include <GL/glew.h>

#include "TestTasks.h"

#include <exception>
#include <memory>

#include "Kavrin/Proc/ProcException.h"

#include "RenderHub.h"

namespace Kavrin::Test {

void RunOnGL(const std::function<void()>& body) {
    Ogl::RunOnGL([&](const Ogl::ShaderStorage&) { body(); });
}

void WithStorage(const std::function<void(const Ogl::ShaderStorage&)>& body) { Ogl::RunOnGL(body); }

std::string ErrorText(const std::function<void()>& call) {
    try {
        call();
    } catch (const Proc::ProcException& error) {
        return error.GetDescription();
    } catch (const std::logic_error& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("unexpected: ") + error.what();
    }
    return {};
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

static void PushThroughFacade(const boost::intrusive_ptr<Ogl::IOglTask>& task) {
    Ogl::RenderHub::GetInstance().DoBackgroundTask(task);
}

Gate::Gate(const Push& push) : released(release.get_future().share()) {
    // The task holds its own references: it may still be returning from its wait
    // when the gate is gone.
    auto entered = std::make_shared<std::promise<void>>();
    std::future<void> running = entered->get_future();
    task = MakeTask([entered, released = released](auto, const auto&) {
        entered->set_value();
        released.wait();
    });
    (push ? push : PushThroughFacade)(task);
    running.wait();
}

void Gate::Open() {
    if (!opened.exchange(true)) {
        release.set_value();
    }
}

std::thread Gate::OpenWhenRefused(const Push& push) {
    return std::thread([this, push = push ? push : PushThroughFacade] {
        for (;;) {
            try {
                push(Noop("Probe"));
            } catch (const std::exception&) {
                break;
            }
            std::this_thread::yield();
        }
        Open();
    });
}

}  // namespace Kavrin::Test
