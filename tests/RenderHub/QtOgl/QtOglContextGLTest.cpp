#include <GL/glew.h>

#include "QtOgl/QtOglContext.h"

#include <QThread>
#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Ogl/OglThread.h"

#include "Frame.h"
#include "LogCapture.h"
#include "OglCheck.h"
#include "QtOgl/CollectInformation.h"
#include "QtOgl/QtOglWorker.h"
#include "QtOgl/QtOpenGL.h"
#include "RenderHub.h"
#include "TestTasks.h"
#include "Texture.h"

// Detection, the worker's context and task routing through it, and the GL
// state checks.
namespace {

using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::CollectInformation;
using Kavrin::Test::FunctionTask;
using Kavrin::Test::LogCapture;
using Kavrin::Test::MakeTask;
using Kavrin::Test::RunOnGL;
using TaskPtr = boost::intrusive_ptr<FunctionTask>;

// The worker reports what detection found, which logs its findings (Mesa
// llvmpipe as it comes is a 4.5 compatibility context at level 3). A failing
// texture format check forces Unknown after the capability line; the
// process-wide result is never rebuilt.
TEST(QtOglContextGLTest, DetectionFindingsContextsAndStateChecks) {
    LogCapture log;
    CollectInformation probe;
    const auto& information = *GetCollectedInformation();
    EXPECT_EQ(probe.capability, information.capability);
    EXPECT_FALSE(information.version.empty() || information.renderer.empty() ||
                 information.vendor.empty());
    EXPECT_GE(information.maxTextureSize, 4096u);
    RenderHub& hub = RenderHub::GetInstance();
    EXPECT_EQ(std::tuple(hub.GetOglVersion(), hub.GetRenderer(), hub.GetMaximumTextureSize()),
              std::tuple(information.capability, information.renderer, information.maxTextureSize));
    if (information.renderer.find("llvmpipe") != std::string::npos &&
        std::getenv("MESA_GL_VERSION_OVERRIDE") == nullptr) {
        EXPECT_EQ(std::tuple(information.capability, information.CapabilityName(),
                             information.VersionText()),
                  std::tuple(OglCapability::Compatibility32, "3.2 Compatibility Profile", "4.5"));
    } else {
        EXPECT_GE(information.capability, OglCapability::Compatibility30);
    }
    const std::string size = std::to_string(probe.maxTextureSize);
    for (const std::string& line :
         {"OpenGL driver info: version = \"" + probe.version + "\" renderer = \"" + probe.renderer +
              "\" vendor = \"" + probe.vendor + "\"",
          "OpenGL capability = " + std::to_string(static_cast<int>(probe.capability)),
          "Videocard supports max texture rectangle size: " + size + " x " + size}) {
        EXPECT_TRUE(log.Has(google::GLOG_INFO, line)) << line << "\n" << log.Dump();
    }

    LogCapture failing;
    Details::DetectionProbes probes;
    probes.checkTextureFormats = [] { return false; };
    CollectInformation refused(probes);
    EXPECT_EQ(std::tuple(refused.capability, refused.maxTextureSize,
                         failing.CountPrefix("OpenGL capability = "),
                         failing.CountPrefix("Videocard supports")),
              std::tuple(OglCapability::Unknown, 0u, 1, 0))
        << failing.Dump();
    EXPECT_NE(GetCollectedInformation()->capability, OglCapability::Unknown);

    // The worker's context is current only on the GL thread; a context of its own
    // enters the registry while it lives, and only a core one needs a vertex array.
    EXPECT_EQ(QtOglContext::GetCurrent(), nullptr);
    QtOglContext* current = nullptr;
    QOpenGLContext* qtCurrent = nullptr;
    RunOnGL([&] {
        current = QtOglContext::GetCurrent(), qtCurrent = QOpenGLContext::currentContext();
    });
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->GetContext(), qtCurrent);
    EXPECT_TRUE(current->IsValid() && !current->IsCrashed());

    auto& registry = Details::GetContextRegistry();
    const auto count = [&] {
        std::lock_guard lock(registry.mutex);
        return registry.contexts.size();
    };
    const std::size_t before = count();
    {
        QtOglContext context(nullptr, false);
        ASSERT_TRUE(context.IsValid());
        EXPECT_EQ(count(), before + 1);
        ASSERT_TRUE(context.MakeCurrent());
        EXPECT_EQ(QtOglContext::GetCurrent(), &context);
        EXPECT_TRUE(context.Activate());
        GLint boundArray = -1;
        glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &boundArray);
        const bool core =
            QOpenGLContext::currentContext()->format().profile() == QSurfaceFormat::CoreProfile;
        EXPECT_EQ(boundArray != 0, core);
        context.Deactivate();
    }
    EXPECT_EQ(count(), before);
    EXPECT_EQ(QOpenGLContext::currentContext(), nullptr);

    // glog hands sinks a line without the message's final newline. The code is hex;
    // an unset variable is named. Enable scopes nest, and the inner one disables.
    const struct {
        const char* name;
        void (*call)();
        const char* line;
    } rows[] = {
        {"EndQueryWithoutBegin", [] { glEndQuery(GL_SAMPLES_PASSED); },
         "OpenGL error in 'EndQueryWithoutBegin', code 502"},
        {"BadEnable", [] { glEnable(0x7FFF); }, "OpenGL error in 'BadEnable', code 500"},
        {"Clean", [] { glFlush(); }, nullptr},
        {"CheckVar",
         [] { Details::CheckVar(true, "uTexture"), Details::CheckVar(false, "uTexture"); },
         "OpenGL variable 'uTexture' not initilized"},
    };
    for (const auto& row : rows) {
        LogCapture checked;
        RunOnGL([&] {
            Details::OglStateChecker checker(row.name);
            row.call();
        });
        EXPECT_EQ(checked.Dump(), row.line ? "ERROR: " + std::string(row.line) + "\n" : "");
    }
    std::vector<bool> states;
    RunOnGL([&] {
        glDisable(GL_BLEND);
        {
            EnableState outer(GL_BLEND);
            states.push_back(glIsEnabled(GL_BLEND));
            { EnableState inner(GL_BLEND); }
            states.push_back(glIsEnabled(GL_BLEND));
        }
        states.push_back(glIsEnabled(GL_BLEND));
    });
    EXPECT_EQ(states, (std::vector<bool>{true, false, false}));
}

TEST(QtOglWorkerGLTest, TasksRunInOrderOnTheWorkerThreadWithLevelStorageAndFrameOrFail) {
    constexpr int kThreads = 4, kPerThread = 50;
    std::mutex pushMutex;  // makes the test's record of push order exact
    std::vector<int> pushOrder;
    std::vector<int> runOrder;  // written on the GL thread only
    std::atomic<int> inside = 0, overlaps = 0, wrongThread = 0;
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
    EXPECT_EQ(
        std::tuple(overlaps.load(), wrongThread.load(), RenderHub::GetInstance().IsOpenGLThread()),
        std::tuple(0, 0, false));

    // A queued task cancelled is dropped by the queue at once and never runs; the
    // others keep their order. (A running task refuses cancelling: see IOglTaskTest.)
    std::vector<std::string> ran;
    const auto named = [&ran](const char* name) {
        return MakeTask([&ran, name](auto, const auto&) { ran.push_back(name); });
    };
    TaskPtr first = named("first"), second = named("second"), third = named("third");
    {
        Kavrin::Test::Gate gate;
        for (const auto& task : {first, second, third}) {
            RenderHub::GetInstance().DoBackgroundTask(task);
        }
        RenderHub::GetInstance().CancelTask(second);
        EXPECT_EQ(std::tuple(second->GetStatus(), second->GetRefCount()),
                  std::tuple(std::int32_t(Kavrin::Proc::TaskCancelled), 1u));
    }
    third->WaitUntilExecuted();
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "third"}));

    // The body gets the detected level and the worker's storage; an attached frame
    // is allocated before it and released after, one already valid is kept as it is.
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
    auto keeper = Kavrin::Test::Noop();
    keeper->AttachFrame(ready, bt709, Kavrin::PixFmt::RGBA, size);
    for (const auto& pushed : {task, keeper}) {
        RenderHub::GetInstance().DoBackgroundTask(pushed);
        pushed->WaitUntilExecuted();
    }
    const OglCapability level = RenderHub::GetInstance().GetOglVersion();
    EXPECT_EQ(std::tuple(seen, storageValid, storageLevel, validInBody),
              std::tuple(level, true, level, true));
    EXPECT_EQ(std::tuple(fresh->GetPixelFormat(), fresh->GetFrameInfo(), fresh->GetColorSpace(),
                         task->GetFrame(), fresh->GetRefCount()),
              std::tuple(Kavrin::PixFmt::RGBA, size, bt709, nullptr, 1u));
    EXPECT_EQ(std::tuple(ready->GetPixelFormat(), ready->GetFirstTexture()->GetTexId()),
              std::tuple(Kavrin::PixFmt::RGB24, readyTexture));
    Kavrin::Test::RunOnGL([&] { fresh.reset(), ready.reset(); });

    // Whatever a body throws, on whichever route (a dispatch from a running task runs
    // nested, at once), the task ends failed, its waiter wakes, one ERROR line says so
    // (with the exception's text when it has one) and the next task runs.
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
        if (row.route == Route::DispatchOnGL) {
            outer = MakeTask([&](auto, const auto&) {
                hub.DispatchTask(failing);
                dispatchReturned = true;
                statusOnReturn = failing->GetStatus();
            });
        }
        row.route == Route::DispatchElsewhere ? hub.DispatchTask(failing)
                                              : hub.DoBackgroundTask(outer ? outer : failing);
        hub.DoBackgroundTask(next);
        failing->WaitUntilExecuted();
        next->WaitUntilExecuted();
        using Kavrin::Proc::TaskExecuted, Kavrin::Proc::TaskFailed;
        EXPECT_EQ(std::tuple(failing->GetStatus(), nextRan, next->GetStatus()),
                  std::tuple(TaskFailed, true, TaskExecuted));
        if (outer) {  // the nested failure stays with the nested task
            EXPECT_EQ(std::tuple(dispatchReturned, statusOnReturn, outer->GetStatus()),
                      std::tuple(true, TaskFailed, TaskExecuted));
        }
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 1u) << log.Dump();
        const std::string& error = lines[0].text;
        EXPECT_EQ(lines[0].severity, google::GLOG_ERROR);
        EXPECT_TRUE(row.detail ? error.rfind(row.line, 0) == 0 &&
                                     error.find(row.detail) != std::string::npos
                               : error == row.line)
            << error;
    }
    Kavrin::Test::FinishGLTest();
}

}  // namespace
