// Starting and stopping the library and its worker, and the deferred GL-thread
// delete; each test owns the lifecycle, so these run without the shared fixture.
#include <GL/glew.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/DataVideoGPU.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"
#include "Kavrin/Proc/ProcException.h"

#include "DataVideoOGL.h"
#include "Frame.h"
#include "GLThreadDeleter.h"
#include "LogCapture.h"
#include "QtOgl/QtOglWorker.h"
#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Test::Gate;
using Kavrin::Test::LogCapture;
using Kavrin::Test::MakeTask;
using Kavrin::Test::RunOnGL;
namespace Proc = Kavrin::Proc;

constexpr const char* kDeinitialized = "OpenGL Worker is deinitialized";

class LifecycleGLTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Kavrin::Test::EnsureGuiApplication(); }
    void TearDown() override {
        RenderHub::GetInstance().Deinitialize();
        EXPECT_FALSE(RenderHub::GetInstance().IsInitialized());
    }
};

// What became of a probe, written on whichever thread deletes it.
struct Fate {
    std::atomic<int> abandoned{0};
    std::atomic<int> deleted{0};
    std::atomic<bool> abandonedBeforeDelete{false};
    std::atomic<bool> deletedOnGlThread{false};
    std::thread::id deletedOn;
};

class Probe;

class ProbeDeleter final : public Details::GLThreadDeleter<Probe, ProbeDeleter> {
public:
    static constexpr const char* kName = "GLThreadDeleterProbe";
    using GLThreadDeleter::GLThreadDeleter;
    static void Abandon(const Probe& probe);
};

// Goes through the deleter frames and interop objects share.
class Probe : public Kavrin::IRefCountable {
public:
    Probe(Fate& fate, bool holdsGLNames) : fate(fate), holdsGLNames(holdsGLNames) {}
    ~Probe() override {
        fate.deletedOnGlThread = IsOpenGLThread();
        fate.deletedOn = std::this_thread::get_id();
        ++fate.deleted;
    }
    unsigned AddRef() const override { return refCount.AddRef(); }
    unsigned GetRefCount() const override { return refCount.Get(); }
    unsigned Release() const override {
        const unsigned remaining = refCount.Release();
        if (remaining == 0) {
            ProbeDeleter::Delete(this, holdsGLNames);
        }
        return remaining;
    }
    Fate& fate;

private:
    Kavrin::RefCountImpl refCount;
    bool holdsGLNames;
};

void ProbeDeleter::Abandon(const Probe& probe) {
    probe.fate.abandonedBeforeDelete = probe.fate.deleted == 0;
    ++probe.fate.abandoned;
}

void Drop(Fate& fate, bool holdsGLNames) {
    boost::intrusive_ptr<Probe> probe(new Probe(fate, holdsGLNames));
    boost::intrusive_ptr<Probe> second = probe;
    second.reset();
    probe.reset();  // the last reference
}

std::uint64_t DeletersRun() {
    const auto summary = Proc::GpuTaskStatistic::GetInstance().GetOglStat(ProbeDeleter::kName);
    return summary ? summary->count : 0;
}

// Before Initialize the queries answer and every task entry point refuses,
// naming where; a stopped worker refuses with its own words and queues nothing.
TEST_F(LifecycleGLTest, BeforeInitializeAndAfterAStopTasksAreRefused) {
    RenderHub& hub = RenderHub::GetInstance();
    EXPECT_FALSE(hub.IsInitialized());
    hub.Deinitialize();  // nothing to do
    EXPECT_GE(hub.GetOglVersion(), OglCapability::Compatibility30);
    EXPECT_FALSE(hub.GetRenderer().empty());
    auto task = MakeTask([](auto, const auto&) {});
    try {
        hub.DispatchTask(task);
        FAIL() << "dispatched without a worker";
    } catch (const Proc::ProcException& error) {
        EXPECT_EQ(error.GetDescription(), "RenderHub has not yet been initialized");
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        ASSERT_NE(function, nullptr);
        EXPECT_STREQ(*function, "GetWorker");
        EXPECT_NE(boost::get_error_info<Kavrin::TagCallStack>(error), nullptr);
    }
    EXPECT_THROW(hub.DoBackgroundTask(task), Proc::ProcException);
    EXPECT_THROW(hub.CancelTask(task), Proc::ProcException);
    EXPECT_THROW(hub.GetMaximumTextureSize(), Proc::ProcException);
    EXPECT_EQ(task->GetStatus(), Proc::TaskPending);

    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    ASSERT_TRUE(worker);
    auto* qtWorker = dynamic_cast<QtOglWorker*>(worker.get());
    ASSERT_NE(qtWorker, nullptr);
    EXPECT_EQ(qtWorker->qt_metacast("IOglWorker"), static_cast<void*>(worker.get()));
    EXPECT_EQ(qobject_cast<IOglWorker*>(qtWorker), worker.get());
    worker->Deinitialize(false);
    try {
        worker->PushTask(task);
        FAIL() << "pushed after deinitialisation";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), kDeinitialized);
    }
    EXPECT_EQ(worker->GetQueueSize(), 0u);
    EXPECT_EQ(task->GetRefCount(), 1u);
    worker->Deinitialize(true);  // again: harmless
    // A stopped worker may lose its last reference on any thread (a functor
    // without a context object is called on the emitting thread).
    std::thread::id destroyedOn, releasedOn;
    QObject::connect(qtWorker, &QObject::destroyed,
                     [&destroyedOn] { destroyedOn = std::this_thread::get_id(); });
    std::thread([&releasedOn, moved = std::move(worker)]() mutable {
        releasedOn = std::this_thread::get_id();
        moved.reset();
    }).join();
    EXPECT_EQ(destroyedOn, releasedOn);
}

// Each start is a new GL thread without a second detection; the pipeline's GL
// frame creator exists only while running; only the creating thread stops; a
// data object outliving the library leaves its tasks and says so verbosely; a
// failed context creation yields no worker.
TEST_F(LifecycleGLTest, RestartStartsANewThreadAndOnlyTheCreatingThreadStops) {
    RenderHub& hub = RenderHub::GetInstance();
    hub.GetOglVersion();  // detection done before the capture
    LogCapture log;
    long tids[2] = {};
    for (long& tid : tids) {
        hub.Initialize(nullptr, true);
        ASSERT_TRUE(hub.IsInitialized());
        EXPECT_TRUE(static_cast<bool>(Proc::DataVideoGPU::CreatorOGL));
        std::string message;
        std::thread([&] {
            try {
                hub.Deinitialize();
            } catch (const std::logic_error& error) {
                message = error.what();
            }
        }).join();
        EXPECT_EQ(message, "Deinitialization is possible only in the creation thread");
        ASSERT_TRUE(hub.IsInitialized());
        RunOnGL([&] { tid = syscall(SYS_gettid); });  // still usable
        auto object = DataVideoOGL::Create({1, 1, 1}, Kavrin::PixFmt::RGBA, {8, 8, 0, 0});
        const auto attached = {MakeTask([](auto, const auto&) {}),
                               MakeTask([](auto, const auto&) {})};
        for (const auto& task : attached) {
            object->AttachTask(task);
        }
        hub.Deinitialize();
        EXPECT_FALSE(hub.IsInitialized());
        EXPECT_FALSE(static_cast<bool>(Proc::DataVideoGPU::CreatorOGL));
        const int verbosity = FLAGS_v;
        FLAGS_v = 20;
        object.reset();
        FLAGS_v = verbosity;
        for (const auto& task : attached) {
            EXPECT_EQ(task->GetStatus(), Proc::TaskPending);
        }
    }
    EXPECT_NE(tids[0], tids[1]);
    EXPECT_NE(tids[0], static_cast<long>(syscall(SYS_gettid)));
    EXPECT_EQ(log.CountPrefix("OpenGL driver info"), 0) << log.Dump();
    for (const char* line :
         {"Creating QT OpenGL context", "Moving QT OpenGL context to working thread",
          "Starting QT OpenGL worker thread", "QT OpenGL worker thread started",
          "Stopping QT OpenGL worker thread", "QT OpenGL worker thread stopped"}) {
        EXPECT_EQ(log.Count(google::GLOG_INFO, line), 2) << line << "\n" << log.Dump();
    }
    EXPECT_EQ(log.Count(google::GLOG_INFO,
                        "Cannot cancel tasks of DataVideoOGL because RenderHub isn't initiliazed"),
              2);

    QtOglWorker::SetContextFactory([](QSurface*, bool) { return nullptr; });
    EXPECT_FALSE(QtOglWorker::Create(nullptr));
    QtOglWorker::SetContextFactory(nullptr);
    hub.Initialize(nullptr, true);
    EXPECT_TRUE(hub.IsInitialized());
}

// Tasks queued behind a busy GL thread when the library stops. Without cancel
// they run while the creating thread waits, may use the facade, and their own
// pushes are refused with the worker's words. With cancel none runs, a queued
// deleter abandons its object, and a queued task holding the last reference to
// a frame does not re-enter the stopping worker. A second Initialize changes
// neither: the first flag holds. Cancelled tasks count as reached.
TEST_F(LifecycleGLTest, DeinitializeRunsOrCancelsWhatIsQueued) {
    constexpr int kQueued = 20;
    Kavrin::Test::LimitCurrentTest(std::chrono::seconds(60));  // a deadlock aborts
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancel" : "run");
        RenderHub& hub = RenderHub::GetInstance();
        hub.Initialize(nullptr, cancel);
        hub.Initialize(nullptr, !cancel);  // ignored: already running
        ASSERT_TRUE(hub.IsInitialized());
        boost::intrusive_ptr<Frame> frame;
        RunOnGL([&] {
            frame = Frame::CreateIntermediate({1, 1, 1}, Kavrin::PixFmt::RGBA, {8, 4, 1, 1});
        });
        const auto deletersBefore = DeletersRun();
        Gate gate;
        std::atomic<int> ran = 0, sawInitialized = 0, nestedRan = 0, accepted = 0;
        std::vector<std::string> refusals(kQueued);
        std::vector<boost::intrusive_ptr<Kavrin::Test::FunctionTask>> queued;
        for (int i = 0; i < kQueued; ++i) {
            queued.push_back(MakeTask([&, i](auto, const auto&) {
                ++ran;
                sawInitialized += hub.IsInitialized();
                hub.DispatchTask(MakeTask([&](auto, const auto&) { ++nestedRan; }));
                try {
                    hub.DoBackgroundTask(MakeTask([](auto, const auto&) {}));
                    ++accepted;
                } catch (const std::logic_error& error) {
                    refusals[static_cast<std::size_t>(i)] = error.what();
                }
            }));
            hub.DoBackgroundTask(queued.back());
        }
        std::atomic<int> holderRuns = 0;
        {
            auto holder = MakeTask([&](auto, const auto&) { ++holderRuns; });
            holder->AttachFrame(std::move(frame), {1, 1, 1}, Kavrin::PixFmt::RGBA, {8, 4, 1, 1});
            hub.DoBackgroundTask(holder);
        }  // the queue holds the only reference to the holder, and through it the frame
        Fate fate;
        Drop(fate, true);  // queues the deleter behind the gate
        auto last = MakeTask([](auto, const auto&) {});
        hub.DoBackgroundTask(last);
        EXPECT_EQ(fate.deleted, 0);
        std::thread opener = cancel ? std::thread([&] {
            last->WaitUntilExecuted();
            gate.Open();
        })
                                    : gate.OpenWhenRefused();
        hub.Deinitialize();
        opener.join();
        EXPECT_FALSE(hub.IsInitialized());
        EXPECT_EQ(gate.task->GetStatus(), Proc::TaskExecuted);
        EXPECT_EQ(ran, cancel ? 0 : kQueued);
        EXPECT_EQ(holderRuns, cancel ? 0 : 1);
        queued.push_back(std::move(last));
        for (const auto& task : queued) {
            EXPECT_EQ(task->GetStatus(), cancel ? Proc::TaskCancelled : Proc::TaskExecuted);
            EXPECT_EQ(task->GetRefCount(), 1u);
        }
        if (!cancel) {
            EXPECT_EQ(sawInitialized, kQueued);
            EXPECT_EQ(nestedRan, kQueued);
            EXPECT_EQ(accepted, 0);
            EXPECT_EQ(refusals, std::vector<std::string>(kQueued, kDeinitialized));
        }
        EXPECT_EQ(fate.deleted, 1);
        EXPECT_EQ(fate.abandoned, cancel ? 1 : 0);
        EXPECT_EQ(fate.abandonedBeforeDelete, cancel);
        EXPECT_EQ(fate.deletedOnGlThread, !cancel);
        EXPECT_EQ(DeletersRun(), deletersBefore + (cancel ? 0 : 1));
    }
}

// A last release on the GL thread, or of an object without GL names, deletes at
// once, queueing no deleter; without a worker the object is abandoned (its GL
// names died with the context) and deleted here. (A release off the GL thread
// queues a deleter: see DeinitializeRunsOrCancelsWhatIsQueued.)
TEST_F(LifecycleGLTest, GLThreadDeleterDeletesAtOnceOrAbandons) {
    {
        LogCapture log;
        Fate fate;
        Drop(fate, true);
        EXPECT_EQ(fate.deleted, 1);
        EXPECT_EQ(fate.abandoned, 1);
        EXPECT_TRUE(fate.abandonedBeforeDelete);
        EXPECT_EQ(fate.deletedOn, std::this_thread::get_id());
        EXPECT_EQ(log.CountPrefix("GLThreadDeleterProbe not queued: "), 1) << log.Dump();
    }
    RenderHub::GetInstance().Initialize(nullptr, true);
    ASSERT_TRUE(RenderHub::GetInstance().IsInitialized());
    const auto before = DeletersRun();
    Fate onGl, plain;
    RunOnGL([&] {
        Drop(onGl, true);
        EXPECT_EQ(onGl.deleted, 1);
    });
    EXPECT_TRUE(onGl.deletedOnGlThread);
    Drop(plain, false);
    EXPECT_EQ(plain.deleted, 1);
    EXPECT_EQ(plain.deletedOn, std::this_thread::get_id());
    RunOnGL([] {});
    EXPECT_EQ(DeletersRun(), before);
    EXPECT_EQ(onGl.abandoned + plain.abandoned, 0);
}

// Runs the creating thread's event loop until `done` or ten seconds passed.
template <class Done>
void ProcessEventsUntil(Done&& done) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// The driver logger and the purge timer live on the creating thread: they act
// while it runs an event loop; purges run on the GL thread.
TEST_F(LifecycleGLTest, DriverLogAndPurgeTimerWorkThroughTheCreatingThreadsLoop) {
    setenv("QT_OPENGL_LOGGER_ENABLED", "0", 1);  // any value enables it
    QtOglWorker::SetPurgePeriod(std::chrono::milliseconds(10));
    LogCapture log;
    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    unsetenv("QT_OPENGL_LOGGER_ENABLED");
    QtOglWorker::SetPurgePeriod(QtOglWorker::DefaultPurgePeriod);
    ASSERT_TRUE(worker);
    const auto run = [&](auto body) {
        auto task = MakeTask([&](auto, const auto&) { body(); });
        worker->PushTask(task);
        task->WaitUntilExecuted();
    };
    run([] {
        glDebugMessageInsert(GL_DEBUG_SOURCE_APPLICATION, GL_DEBUG_TYPE_MARKER, 1,
                             GL_DEBUG_SEVERITY_HIGH, -1, "renderhub driver log probe");
    });
    const auto logged = [&] { return log.Has(google::GLOG_INFO, "renderhub driver log probe"); };
    ProcessEventsUntil(logged);
    EXPECT_TRUE(logged()) << log.Dump();

    const auto purges = [&] {
        unsigned count = 0;
        run([&] { count = TexturePool::GetInstance().GetPurgeCount(); });
        return count;
    };
    const unsigned before = purges();
    ProcessEventsUntil([&] { return purges() >= before + 2; });
    EXPECT_GE(purges(), before + 2);
    const unsigned clears = TexturePool::GetInstance().GetClearCount();
    worker->Deinitialize(true);
    // Stopping the worker clears the pool before the context goes.
    EXPECT_EQ(TexturePool::GetInstance().GetClearCount(), clears + 1);
}

}  // namespace
