#include <GL/glew.h>

#include "QtOgl/QtOglWorker.h"

#include <QThread>
#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Ogl/OglThread.h"

#include "Frame.h"
#include "LogCapture.h"
#include "RenderHub.h"
#include "TestTasks.h"
#include "Texture.h"

// Task routing through the shared, initialised worker.
namespace {

using Kavrin::Ogl::Frame;
using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::RenderHub;
using Kavrin::Test::FunctionTask;
using Kavrin::Test::LogCapture;
using Kavrin::Test::MakeTask;
using TaskPtr = boost::intrusive_ptr<FunctionTask>;

TEST(QtOglWorkerGLTest, TasksFromSeveralThreadsRunOneAtATimeInPushOrderOnTheWorkerThread) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50;
    std::mutex pushMutex;  // makes the test's record of push order exact
    std::vector<int> pushOrder;
    std::vector<int> runOrder;  // written on the GL thread only
    std::atomic<int> inside = 0;
    std::atomic<int> overlaps = 0;
    std::atomic<int> wrongThread = 0;
    std::vector<TaskPtr> tasks(kThreads * kPerThread);

    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const int id = t * kPerThread + i;
                tasks[id] = MakeTask([&, id](auto, const auto&) {
                    overlaps += inside.fetch_add(1) != 0;
                    wrongThread += QThread::currentThread()->objectName() != "$Worker::Thread$" ||
                                   !Kavrin::Ogl::IsOpenGLThread() ||
                                   !RenderHub::GetInstance().IsOpenGLThread();
                    runOrder.push_back(id);
                    inside.fetch_sub(1);
                });
                std::lock_guard lock(pushMutex);
                RenderHub::GetInstance().DispatchTask(tasks[id]);
                pushOrder.push_back(id);
            }
        });
    }
    for (auto& pusher : pushers) {
        pusher.join();
    }
    for (const auto& task : tasks) {
        task->WaitUntilExecuted();
    }
    EXPECT_EQ(runOrder, pushOrder);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(wrongThread, 0);
    EXPECT_FALSE(RenderHub::GetInstance().IsOpenGLThread());
}

// A queued task cancelled is dropped by the queue and never runs; a running
// one cancelled finishes.
TEST(QtOglWorkerGLTest, CancelDropsAQueuedTaskAndLetsARunningOneFinish) {
    std::vector<std::string> ran;
    TaskPtr first = MakeTask([&](auto, const auto&) { ran.push_back("first"); });
    TaskPtr second = MakeTask([&](auto, const auto&) { ran.push_back("second"); });
    TaskPtr third = MakeTask([&](auto, const auto&) { ran.push_back("third"); });
    {
        Kavrin::Test::Gate gate;
        for (const auto& task : {first, second, third}) {
            RenderHub::GetInstance().DoBackgroundTask(task);
        }
        RenderHub::GetInstance().CancelTask(second);
        EXPECT_EQ(second->GetStatus(), Kavrin::Proc::TaskCancelled);
        EXPECT_EQ(second->GetRefCount(), 1u);
        RenderHub::GetInstance().CancelTask(gate.task);
        gate.Open();
        gate.task->WaitUntilExecuted();
        EXPECT_EQ(gate.task->GetStatus(), Kavrin::Proc::TaskExecuted);
    }
    third->WaitUntilExecuted();
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "third"}));
}

// Whatever a body throws, on whichever route it reaches the worker (a dispatch
// from a running task runs nested, at once), the worker survives it: the task ends failed, its
// waiter wakes, one ERROR line says so (with the exception's text when it has one) and the next
// task runs.
TEST(QtOglWorkerGLTest, AThrowingBodyIsLoggedOnceEndsFailedAndTheWorkerKeepsRunning) {
    enum class Route { Background, DispatchElsewhere, DispatchOnGL };  // the last one nested
    constexpr const char* kUnknown = "Unknown exception occurred while executing OpenGL task";
    constexpr const char* kStandard = "Exception occurred while executing OpenGL task: ";
    const struct {
        Route route;
        void (*raise)();
        const char* line;    // the whole line, or its start when `detail` is set
        const char* detail;  // the exception's text the line carries
    } rows[] = {
        {Route::Background, [] { throw 42; }, kUnknown, nullptr},
        {Route::DispatchElsewhere, [] { throw 42; }, kUnknown, nullptr},
        {Route::DispatchOnGL, [] { throw 42; }, kUnknown, nullptr},
        {Route::DispatchOnGL, [] { throw std::runtime_error("body failed on purpose"); }, kStandard,
         "body failed on purpose"},
        {Route::Background,
         [] { KAVRIN_THROW_HOST("Body", Kavrin::Exception, "host failure on purpose"); }, kStandard,
         "host failure on purpose"},
    };
    RenderHub& hub = RenderHub::GetInstance();
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        LogCapture log;
        auto failing = MakeTask([&](auto, const auto&) { row.raise(); });
        bool nextRan = false;
        auto next = MakeTask([&](auto, const auto&) { nextRan = true; });
        bool dispatchReturned = false;  // written on the GL thread by the nested route
        std::int32_t statusOnReturn = Kavrin::Proc::TaskPending;
        TaskPtr outer;
        if (row.route == Route::Background) {
            hub.DoBackgroundTask(failing);
        } else if (row.route == Route::DispatchElsewhere) {
            hub.DispatchTask(failing);
        } else {
            outer = MakeTask([&](auto, const auto&) {
                hub.DispatchTask(failing);
                dispatchReturned = true;
                statusOnReturn = failing->GetStatus();
            });
            hub.DoBackgroundTask(outer);
        }
        hub.DoBackgroundTask(next);
        failing->WaitUntilExecuted();
        next->WaitUntilExecuted();
        EXPECT_EQ(failing->GetStatus(), Kavrin::Proc::TaskFailed);
        EXPECT_TRUE(nextRan);
        EXPECT_EQ(next->GetStatus(), Kavrin::Proc::TaskExecuted);
        if (outer) {  // the nested failure stays with the nested task
            EXPECT_TRUE(dispatchReturned);
            EXPECT_EQ(statusOnReturn, Kavrin::Proc::TaskFailed);
            EXPECT_EQ(outer->GetStatus(), Kavrin::Proc::TaskExecuted);
        }
        std::vector<std::string> errors;
        for (const auto& line : log.Lines()) {
            if (line.severity == google::GLOG_ERROR) {
                errors.push_back(line.text);
            }
        }
        ASSERT_EQ(errors.size(), 1u) << log.Dump();
        if (row.detail == nullptr) {
            EXPECT_EQ(errors[0], row.line);
        } else {
            EXPECT_EQ(errors[0].rfind(row.line, 0), 0u) << errors[0];
            EXPECT_NE(errors[0].find(row.detail), std::string::npos) << errors[0];
        }
    }
    Kavrin::Test::FinishGLTest();
}

// The body gets the detected level and the worker's storage; an attached frame
// is allocated before it and released after, one already valid is kept as it is.
TEST(QtOglWorkerGLTest, BodyGetsLevelStorageAndItsAllocatedFrame) {
    const Kavrin::Conf::ColorSpace bt709{1, 1, 1};
    const Kavrin::Conf::FrameInfo size{64, 32, 1, 1};
    boost::intrusive_ptr<Frame> fresh = Frame::Create();
    boost::intrusive_ptr<Frame> ready;
    Kavrin::Test::RunOnGL([&] {
        ready = Frame::CreateIntermediate(bt709, Kavrin::PixFmt::RGB24, {8, 8, 0, 0});
    });
    const GLuint readyTexture = ready->GetFirstTexture()->GetTexId();
    bool validInBody = false, storageValid = false;
    OglCapability seen = OglCapability::Unknown, storageLevel = OglCapability::Unknown;
    TaskPtr task;
    task = MakeTask([&](OglCapability capability, const Kavrin::Ogl::ShaderStorage& storage) {
        validInBody = task->GetFrame() && task->GetFrame()->IsValid();
        seen = capability;
        storageValid = storage.IsValid();
        storageLevel = storage.GetCapability();
    });
    task->AttachFrame(fresh, bt709, Kavrin::PixFmt::RGBA, size);
    auto second = MakeTask([](auto, const auto&) {});
    second->AttachFrame(ready, bt709, Kavrin::PixFmt::RGBA, size);
    for (const auto& pushed : {task, second}) {
        RenderHub::GetInstance().DoBackgroundTask(pushed);
        pushed->WaitUntilExecuted();
    }
    EXPECT_EQ(seen, RenderHub::GetInstance().GetOglVersion());
    EXPECT_TRUE(storageValid);
    EXPECT_EQ(storageLevel, seen);
    EXPECT_TRUE(validInBody);
    EXPECT_EQ(fresh->GetPixelFormat(), Kavrin::PixFmt::RGBA);
    EXPECT_EQ(fresh->GetFrameInfo(), size);
    EXPECT_EQ(fresh->GetColorSpace(), bt709);
    EXPECT_EQ(task->GetFrame(), nullptr);
    EXPECT_EQ(fresh->GetRefCount(), 1u);
    EXPECT_EQ(ready->GetPixelFormat(), Kavrin::PixFmt::RGB24);
    EXPECT_EQ(ready->GetFirstTexture()->GetTexId(), readyTexture);
    Kavrin::Test::RunOnGL([&] {
        fresh.reset();
        ready.reset();
    });
}

}  // namespace
