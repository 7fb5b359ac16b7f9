#include <GL/glew.h>

#include "IOglTask.h"

#include <boost/exception/exception.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

#include "Frame.h"
#include "LogCapture.h"
#include "QtOgl/CollectInformation.h"
#include "RenderHub.h"
#include "TestTasks.h"

// Tasks and detection without a context.
namespace {

using Kavrin::Ogl::Frame;
using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::ShaderStorage;
using Kavrin::Proc::GpuTaskStatistic;
using Kavrin::Test::ErrorText;
using Kavrin::Test::LogCapture;
using Kavrin::Test::MakeTask;

const Kavrin::Conf::ColorSpace kBt709{1, 1, 1};
const Kavrin::Conf::FrameInfo kHd{1920, 1080, 1, 1};

// A promise task whose body's result fulfils the promise; a throwing body
// leaves the promise unset.
class FunctionPromiseTask : public Kavrin::Ogl::IOglPromiseTask<bool> {
public:
    FunctionPromiseTask(std::function<bool()> body, std::string name)
        : IOglPromiseTask(OglCapability::Minimal, std::move(name)), body(std::move(body)) {}

private:
    void DoExecute(OglCapability, const ShaderStorage&) override { promise.set_value(body()); }
    std::function<bool()> body;
};

// The test thread registers itself as the GL thread, which is all Execute
// checks; the bodies make no GL calls.
class IOglTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        Kavrin::Ogl::RegisterOglThread();
        GpuTaskStatistic::GetInstance().Clear();
    }
    void TearDown() override {
        Kavrin::Ogl::UnregisterOglThread();
        Kavrin::Core::SetClockSource(nullptr);
    }
    ShaderStorage storage;
};

// A task runs once on every detected level with the level it is given, and
// reports its waiting (from SetStartTime, or zero without) and execution times.
TEST_F(IOglTaskTest, RunsOnceOnEveryLevelOrSkipsCancelsOrFails) {
    std::int64_t now = 0;
    Kavrin::Core::SetClockSource([&now] { return now += 1000; });
    for (int level = 2; level <= 5; ++level) {
        int runs = 0;
        OglCapability seen = OglCapability::Unknown;
        const std::string name = "Timed" + std::to_string(level);
        auto task =
            MakeTask([&](OglCapability capability, const auto&) { ++runs, seen = capability; },
                     OglCapability::Minimal, name);
        const bool started = level % 2 == 0;
        if (started) {
            task->SetStartTime();  // one tick before the start
        }
        task->Execute(static_cast<OglCapability>(level), storage);  // start, then end a tick on
        const auto stat = GpuTaskStatistic::GetInstance().GetOglStat(name);
        ASSERT_TRUE(stat.has_value());
        EXPECT_EQ(std::tuple(runs, seen, task->GetStatus(), stat->count, stat->last.executionTime,
                             stat->last.waitingTime),
                  std::tuple(1, static_cast<OglCapability>(level), Kavrin::Proc::TaskExecuted, 1u,
                             1000u, started ? 2000u : 0u));
    }

    // Too low a level skips without a statistic and drops the frame; a cancel before
    // the run prevents the body, one after it raises the status to cancelled.
    bool ran = false;
    auto task = MakeTask([&](auto, const auto&) { ran = true; }, OglCapability::Core33, "Skipped");
    boost::intrusive_ptr<Frame> frame = Frame::Create();
    task->AttachFrame(frame, kBt709, Kavrin::PixFmt::RGBA, kHd);
    EXPECT_EQ(frame->GetRefCount(), 2u);
    task->Execute(OglCapability::Compatibility32, storage);
    EXPECT_EQ(std::tuple(ran, task->GetStatus(),
                         GpuTaskStatistic::GetInstance().GetOglStat("Skipped").has_value(),
                         frame->IsValid(), task->GetFrame(), frame->GetRefCount()),
              std::tuple(false, Kavrin::Proc::TaskSkipped, false, false, nullptr, 1u));

    auto cancelled = MakeTask([&](auto, const auto&) { ran = true; });
    EXPECT_TRUE(cancelled->Cancel());
    cancelled->Execute(OglCapability::Compatibility32, storage);
    EXPECT_EQ(std::tuple(ran, cancelled->GetStatus()),
              std::tuple(false, Kavrin::Proc::TaskCancelled));
    auto done = Kavrin::Test::Noop();
    done->Execute(OglCapability::Compatibility32, storage);
    const auto executed = done->GetStatus();
    EXPECT_EQ((std::tuple{executed, done->Cancel(), done->GetStatus()}),
              std::tuple(Kavrin::Proc::TaskExecuted, true, Kavrin::Proc::TaskCancelled));

    // A throwing body propagates, ends the task failed (its waiters released, the
    // execute mutex free) without a statistic, and breaks a promise task's promise.
    boost::intrusive_ptr<FunctionPromiseTask> good(
        new FunctionPromiseTask([] { return true; }, "Good"));
    std::future<bool> goodFuture = good->GetFuture();
    EXPECT_THROW(good->GetFuture(), std::future_error);
    good->Execute(OglCapability::Compatibility32, storage);
    EXPECT_TRUE(goodFuture.get());
    std::future<bool> brokenFuture;
    {
        boost::intrusive_ptr<FunctionPromiseTask> bad(new FunctionPromiseTask(
            []() -> bool { throw std::runtime_error("no result"); }, "Throwing"));
        brokenFuture = bad->GetFuture();
        EXPECT_THROW(bad->Execute(OglCapability::Compatibility32, storage), std::runtime_error);
        EXPECT_EQ(std::tuple(bad->GetStatus(), bad->HasReached(Kavrin::Proc::TaskExecuted),
                             GpuTaskStatistic::GetInstance().GetOglStat("Throwing").has_value()),
                  std::tuple(Kavrin::Proc::TaskFailed, true, false));
        EXPECT_TRUE(bad->Cancel());
    }
    EXPECT_EQ(ErrorText([&] { brokenFuture.get(); }),
              std::future_error(std::future_errc::broken_promise).what());
}

// The body blocks until released; other threads meanwhile try the task and are
// refused at once. A task without a name is refused too.
TEST_F(IOglTaskTest, CancelAttachAndExecuteDuringTheBodyNeverWait) {
    try {
        Kavrin::Test::Noop("");
        ADD_FAILURE() << "a task without a name";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "The task name must not be empty");
        EXPECT_NE(dynamic_cast<const boost::exception*>(&error), nullptr);
    }
    Kavrin::Ogl::UnregisterOglThread();
    std::thread gl;
    Kavrin::Test::Gate gate([&](const auto& pushed) {
        gl = std::thread([&, pushed] {
            Kavrin::Ogl::RegisterOglThread(),
                pushed->Execute(OglCapability::Compatibility32, storage);
        });
    });
    const auto& task = gate.task;

    EXPECT_FALSE(task->Cancel());
    boost::intrusive_ptr<Frame> late = Frame::Create();
    EXPECT_EQ(ErrorText([&] { task->AttachFrame(late, kBt709, Kavrin::PixFmt::RGBA, kHd); }),
              "The frame must be attached before the task is executed");
    EXPECT_EQ(late->GetRefCount(), 1u);
    // Not the GL thread: refused at once although the execute mutex is held.
    EXPECT_EQ(ErrorText([&] { task->Execute(OglCapability::Compatibility32, storage); }),
              "OpenGL task must execute in OpenGL thread context");

    gate.Open();
    gl.join();
    EXPECT_EQ(task->GetStatus(), Kavrin::Proc::TaskExecuted);
}

using Value = std::optional<std::string>;

Value Read(const char* name) {
    const char* value = std::getenv(name);
    return value ? Value(value) : std::nullopt;
}

void Write(const char* name, const Value& value) {
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

// Qt is pointed at desktop OpenGL whatever it was told before, and a forced
// OpenGL library is dropped; each change is logged, a kept value said once.
TEST(QtEnvironmentTest, DesktopOpenGLIsForcedAndTheLevelFollowsVersionsAndProfile) {
    const std::string kWas = " environment variable has been previously set to value '";
    const std::string kKept = "INFO: QT_OPENGL environment variable is set to 'desktop'.\n";
    const std::string kProblems = " it to prevent problems with QOpenGLContext creation.\n";
    const struct {
        Value openGL, openGLDll;
        std::string log;  // every line, in order
    } rows[] = {
        {"desktop", {}, kKept},
        {"angle", {}, "WARNING: QT_OPENGL" + kWas + "angle'. Overwriting" + kProblems},
        {"Desktop", {}, "WARNING: QT_OPENGL" + kWas + "Desktop'. Overwriting" + kProblems},
        {{}, {}, ""},
        {"desktop", "opengl32sw.dll",
         "WARNING: QT_OPENGL_DLL" + kWas + "opengl32sw.dll'. Removing" + kProblems + kKept},
        {"desktop", "", "WARNING: QT_OPENGL_DLL" + kWas + "'. Removing" + kProblems + kKept},
    };
    const Value saved[] = {Read("QT_OPENGL"), Read("QT_OPENGL_DLL")};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.openGL.value_or("(unset)") + ", " + row.openGLDll.value_or("(unset)"));
        Write("QT_OPENGL", row.openGL);
        Write("QT_OPENGL_DLL", row.openGLDll);
        LogCapture log;
        Kavrin::Ogl::Details::PrepareQtEnvironment();
        EXPECT_EQ(std::tuple(Read("QT_OPENGL"), Read("QT_OPENGL_DLL"), log.Dump()),
                  std::tuple(Value("desktop"), Value(), row.log));
    }
    Write("QT_OPENGL", saved[0]);
    Write("QT_OPENGL_DLL", saved[1]);

    // Detection's level per GL version and profile; a null driver string falls back.
    const struct {
        bool is33, is32, is30, core;
        OglCapability level;
    } levels[] = {
        {false, false, true, false, OglCapability::Compatibility30},  // a 3.1 driver
        {true, true, true, false, OglCapability::Compatibility32},    // 4.x compatibility
        {false, true, true, true, OglCapability::Core32},
        {true, true, true, true, OglCapability::Core33},
        {false, false, false, false, OglCapability::Unknown},  // below 3.0
        {false, false, false, true, OglCapability::Unknown},
    };
    for (const auto& row : levels) {
        EXPECT_EQ(Kavrin::Ogl::Details::ChooseCapability(row.is33, row.is32, row.is30, row.core),
                  row.level)
            << row.is33 << row.is32 << row.is30 << row.core;
    }
    const unsigned char text[] = "llvmpipe";
    EXPECT_EQ(Kavrin::Ogl::Details::DriverString(text, "null"), "llvmpipe");
    EXPECT_EQ(Kavrin::Ogl::Details::DriverString(nullptr, "null "), "null ");
}

}  // namespace
