#pragma once

#include <GL/glew.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include <boost/intrusive_ptr.hpp>
#include <gtest/gtest.h>

#include "GLFunctionTask.h"
#include "GlObjectCounter.h"
#include "IOglTask.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Test {

using Body = std::function<void(Ogl::OglCapability, const Ogl::ShaderStorage&)>;

// The library's function task, with the attached frame exposed to tests.
class FunctionTask : public Ogl::FunctionTask {
public:
    using IOglTask::GetFrame;
    using Ogl::FunctionTask::FunctionTask;
};

inline boost::intrusive_ptr<FunctionTask> MakeTask(
    Body body, Ogl::OglCapability required = Ogl::OglCapability::Minimal,
    std::string name = "TestTask") {
    return boost::intrusive_ptr<FunctionTask>(
        new FunctionTask(std::move(body), required, std::move(name)));
}

inline boost::intrusive_ptr<FunctionTask> Noop(std::string name = "TestTask") {
    return MakeTask([](auto, const auto&) {}, Ogl::OglCapability::Minimal, std::move(name));
}

// Run `body` on the GL thread through the initialised facade (WithStorage: with
// the worker's shader storage) and wait; an exception of the body is rethrown here.
void RunOnGL(const std::function<void()>& body);
void WithStorage(const std::function<void(const Ogl::ShaderStorage&)>& body);

// What `call` throws, in the words callers match (a ProcException's description,
// a logic_error's text, else "unexpected: " and the text); empty when it returns.
std::string ErrorText(const std::function<void()>& call);

GLenum GetGLError();  // on the GL thread

// Ends a GL test: the texture pool emptied (on the GL thread) and no GL error left.
void FinishGLTest();

// Fixtures whose tests all end with FinishGLTest().
template <class Base = ::testing::Test>
class GLTest : public Base {
protected:
    void TearDown() override { FinishGLTest(); }
};
template <class Param>
using GLTestWithParam = GLTest<::testing::TestWithParam<Param>>;

// A GL fixture whose tests must also leave every GL object they made deleted.
class CountedGLTest : public ::testing::Test {
protected:
    void SetUp() override {
        RunOnGL([] { Ogl::TexturePool::GetInstance().Clear(); });
        before = Ogl::Details::GlObjectCounter::Take();
    }
    void TearDown() override {
        FinishGLTest();
        EXPECT_EQ(Ogl::Details::GlObjectCounter::Take(), before);
    }
    Ogl::Details::GlObjectCounter::Snapshot before{};
};

using Push = std::function<void(const boost::intrusive_ptr<Ogl::IOglTask>&)>;

// Occupies the GL thread with one task until Open(), so that later pushes stay
// queued. Pushes the task (through the facade by default) and waits until it runs.
class Gate {
public:
    explicit Gate(const Push& push = {});
    ~Gate() { Open(); }
    void Open();
    // Opens the gate from another thread once `push` refuses a probe task, i.e.
    // once a stop has marked the worker; join the thread.
    std::thread OpenWhenRefused(const Push& push = {});

    boost::intrusive_ptr<FunctionTask> task;

private:
    std::promise<void> release;
    std::shared_future<void> released;
    std::atomic<bool> opened = false;
};

}  // namespace Kavrin::Test
