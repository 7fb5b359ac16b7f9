#include <GL/glew.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "Kavrin/Proc/DataVideoCPU.h"
#include "Kavrin/Proc/DataVideoGPU.h"
#include "Kavrin/Proc/ProcException.h"

#include "DataVideoOGL.h"
#include "Frame.h"
#include "GlObjectCounter.h"
#include "LogCapture.h"
#include "QtOgl/QtOglWorker.h"
#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"
#include "Texture.h"

// Starting and stopping the library and its worker; each test owns the
// lifecycle, so these run without the shared initialised fixture.
namespace {

using Kavrin::Ogl::IOglWorker;
using Kavrin::Ogl::QtOglWorker;
using Kavrin::Ogl::RenderHub;
using Kavrin::Test::FunctionTask;
using Kavrin::Test::LogCapture;
using Kavrin::Test::MakeTask;
using TaskPtr = boost::intrusive_ptr<FunctionTask>;

class LifecycleGLTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Kavrin::Test::EnsureGuiApplication(); }
    void TearDown() override {
        RenderHub::GetInstance().Deinitialize();
        EXPECT_FALSE(RenderHub::GetInstance().IsInitialized());
    }
};

// Blocks the GL thread until released.
struct Gate {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    TaskPtr MakeBlocker() {
        return MakeTask([this](auto, const auto&) {
            entered.set_value();
            released.wait();
        });
    }
};

long GLThreadTid() {
    long tid = 0;
    Kavrin::Test::RunOnGL([&] { tid = syscall(SYS_gettid); });
    return tid;
}

TEST_F(LifecycleGLTest, BeforeInitializeQueriesAnswerAndTasksAreRefused) {
    RenderHub& hub = RenderHub::GetInstance();
    EXPECT_FALSE(hub.IsInitialized());
    hub.Deinitialize();  // nothing to do
    EXPECT_GE(hub.GetOglVersion(), Kavrin::Ogl::OglCapability::Compatibility30);
    EXPECT_FALSE(hub.GetRenderer().empty());
    auto task = MakeTask([](auto, const auto&) {});
    try {
        hub.DispatchTask(task);
        FAIL() << "dispatched without a worker";
    } catch (const Kavrin::Proc::ProcException& error) {
        EXPECT_EQ(error.GetDescription(), "RenderHub has not yet been initialized");
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        ASSERT_NE(function, nullptr);
        EXPECT_STREQ(*function, "GetWorker");
        EXPECT_NE(boost::get_error_info<Kavrin::TagCallStack>(error), nullptr);
    }
    EXPECT_THROW(hub.DoBackgroundTask(task), Kavrin::Proc::ProcException);
    EXPECT_THROW(hub.CancelTask(task), Kavrin::Proc::ProcException);
    EXPECT_THROW(hub.GetMaximumTextureSize(), Kavrin::Proc::ProcException);
    EXPECT_EQ(task->GetStatus(), Kavrin::Proc::TaskPending);
}

TEST_F(LifecycleGLTest, ReinitialisingStartsANewThreadWithoutDetectingAgain) {
    RenderHub& hub = RenderHub::GetInstance();
    hub.GetOglVersion();  // detection done before the capture
    LogCapture log;
    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());
    EXPECT_TRUE(static_cast<bool>(Kavrin::Proc::DataVideoGPU::CreatorOGL));
    const long firstTid = GLThreadTid();
    hub.Deinitialize();
    EXPECT_FALSE(hub.IsInitialized());
    EXPECT_FALSE(static_cast<bool>(Kavrin::Proc::DataVideoGPU::CreatorOGL));

    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());
    const long secondTid = GLThreadTid();
    EXPECT_NE(firstTid, secondTid);
    EXPECT_NE(firstTid, static_cast<long>(syscall(SYS_gettid)));
    hub.Deinitialize();

    EXPECT_EQ(log.CountPrefix("OpenGL driver info"), 0) << log.Dump();
    for (const char* line :
         {"Creating QT OpenGL context", "Moving QT OpenGL context to working thread",
          "Starting QT OpenGL worker thread", "QT OpenGL worker thread started",
          "Stopping QT OpenGL worker thread", "QT OpenGL worker thread stopped"}) {
        EXPECT_EQ(log.Count(google::GLOG_INFO, line), 2) << line << "\n" << log.Dump();
    }
}

TEST_F(LifecycleGLTest, DeinitializeFromAnotherThreadIsRefusedAndKeepsTheLibraryUsable) {
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());
    std::string message;
    std::thread([&] {
        try {
            hub.Deinitialize();
        } catch (const std::logic_error& error) {
            message = error.what();
        }
    }).join();
    EXPECT_EQ(message, "Deinitialization is possible only in the creation thread");
    EXPECT_TRUE(hub.IsInitialized());
    // The pipeline can still create GL frames while the library runs.
    EXPECT_TRUE(static_cast<bool>(Kavrin::Proc::DataVideoGPU::CreatorOGL));
    bool ran = false;
    Kavrin::Test::RunOnGL([&] { ran = true; });
    EXPECT_TRUE(ran);
    hub.Deinitialize();
    EXPECT_FALSE(hub.IsInitialized());
    EXPECT_FALSE(static_cast<bool>(Kavrin::Proc::DataVideoGPU::CreatorOGL));
}

TEST_F(LifecycleGLTest, SecondInitializeKeepsTheFirstFlagSoQueuedTasksStillRun) {
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize(nullptr, false);
    hub.Initialize(nullptr, true);  // ignored: already running
    std::vector<TaskPtr> tasks;
    std::atomic<int> ran = 0;
    for (int i = 0; i < 200; ++i) {
        tasks.push_back(MakeTask([&](auto, const auto&) { ++ran; }));
        hub.DoBackgroundTask(tasks.back());
    }
    hub.Deinitialize();
    EXPECT_EQ(ran, 200);
    for (const auto& task : tasks) {
        EXPECT_EQ(task->GetStatus(), Kavrin::Proc::TaskExecuted);
    }
}

// Pushes probes from another thread until the worker refuses them, i.e. until
// Deinitialize has marked it; then runs `then`.
std::thread AfterDeinitializeStarts(IOglWorker& worker, std::function<void()> then) {
    return std::thread([&worker, then = std::move(then)] {
        for (;;) {
            try {
                worker.PushTask(MakeTask([](auto, const auto&) {},
                                         Kavrin::Ogl::OglCapability::Minimal, "Probe"));
            } catch (const std::logic_error&) {
                break;
            }
            std::this_thread::yield();
        }
        then();
    });
}

// Without cancel the queued tasks run before the worker stops; with cancel they
// are cancelled, and cancelled tasks count as reached: waiting on the last one
// returns once Deinitialize cancelled it.
TEST_F(LifecycleGLTest, DeinitializeRunsOrCancelsTheQueuedTasks) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancel" : "run");
        boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
        ASSERT_TRUE(worker);
        Gate gate;
        auto blocker = gate.MakeBlocker();
        std::vector<TaskPtr> queued;
        std::atomic<int> ran = 0;
        worker->PushTask(blocker);
        gate.entered.get_future().wait();
        for (int i = 0; i < 3; ++i) {
            queued.push_back(MakeTask([&](auto, const auto&) { ++ran; }));
            worker->PushTask(queued.back());
        }
        std::thread releaser =
            cancel ? std::thread([&] {
                queued.back()->WaitUntilExecuted();
                gate.release.set_value();
            })
                   : AfterDeinitializeStarts(*worker, [&] { gate.release.set_value(); });
        worker->Deinitialize(cancel);
        releaser.join();
        EXPECT_EQ(ran, cancel ? 0 : 3);
        for (const auto& task : queued) {
            EXPECT_EQ(task->GetStatus(),
                      cancel ? Kavrin::Proc::TaskCancelled : Kavrin::Proc::TaskExecuted);
            EXPECT_EQ(task->GetRefCount(), 1u);
        }
        EXPECT_EQ(blocker->GetStatus(), Kavrin::Proc::TaskExecuted);
        EXPECT_EQ(worker->GetQueueSize(), 0u);
    }
}

TEST_F(LifecycleGLTest, PushAfterDeinitializeIsRefusedAndQueuesNothing) {
    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    ASSERT_TRUE(worker);
    worker->Deinitialize(false);
    auto task = MakeTask([](auto, const auto&) {});
    try {
        worker->PushTask(task);
        FAIL() << "pushed after deinitialisation";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "OpenGL Worker is deinitialized");
    }
    EXPECT_EQ(worker->GetQueueSize(), 0u);
    EXPECT_EQ(task->GetRefCount(), 1u);
    // Deinitialising twice is harmless.
    worker->Deinitialize(true);
}

TEST_F(LifecycleGLTest, StoppedWorkerMayLoseItsLastReferenceOnAnotherThread) {
    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    ASSERT_TRUE(worker);
    worker->Deinitialize(true);
    std::thread::id destroyedOn;
    // A functor without a context object is called directly, on the emitting thread.
    QObject::connect(dynamic_cast<QtOglWorker*>(worker.get()), &QObject::destroyed,
                     [&destroyedOn] { destroyedOn = std::this_thread::get_id(); });
    std::thread::id releasedOn;
    // Would end in std::terminate if the destructor insisted on the creating thread.
    std::thread([&releasedOn, moved = std::move(worker)]() mutable {
        releasedOn = std::this_thread::get_id();
        moved.reset();
    }).join();
    EXPECT_EQ(destroyedOn, releasedOn);
}

TEST_F(LifecycleGLTest, WorkerAnswersToItsInterfaceName) {
    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    ASSERT_TRUE(worker);
    auto* qtWorker = dynamic_cast<QtOglWorker*>(worker.get());
    ASSERT_NE(qtWorker, nullptr);
    EXPECT_EQ(qtWorker->qt_metacast("IOglWorker"), static_cast<void*>(worker.get()));
    EXPECT_EQ(qobject_cast<IOglWorker*>(qtWorker), worker.get());
    worker->Deinitialize(true);
}

TEST_F(LifecycleGLTest, FailedContextCreationYieldsNoWorkerAndNoThread) {
    QtOglWorker::SetContextFactory([](QSurface*, bool) { return nullptr; });
    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    QtOglWorker::SetContextFactory(nullptr);
    EXPECT_FALSE(worker);
    RenderHub::GetInstance().Initialize(nullptr, true);
    EXPECT_TRUE(RenderHub::GetInstance().IsInitialized());
}

TEST_F(LifecycleGLTest, DriverMessagesAreLoggedWhenTheLoggerIsEnabled) {
    setenv("QT_OPENGL_LOGGER_ENABLED", "0", 1);  // any value enables it
    LogCapture log;
    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    unsetenv("QT_OPENGL_LOGGER_ENABLED");
    ASSERT_TRUE(worker);
    auto insert = MakeTask([](auto, const auto&) {
        glDebugMessageInsert(GL_DEBUG_SOURCE_APPLICATION, GL_DEBUG_TYPE_MARKER, 1,
                             GL_DEBUG_SEVERITY_HIGH, -1, "renderhub driver log probe");
    });
    worker->PushTask(insert);
    insert->WaitUntilExecuted();
    // The logger lives on this thread: its messages arrive through our event loop.
    QElapsedTimer waited;
    waited.start();
    while (!log.Has(google::GLOG_INFO, "renderhub driver log probe") && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_TRUE(log.Has(google::GLOG_INFO, "renderhub driver log probe")) << log.Dump();
    worker->Deinitialize(true);
}

// The timer lives on the creating thread: purges happen while it runs an event
// loop, and run on the GL thread.
TEST_F(LifecycleGLTest, PurgeTimerPurgesTheTexturePoolOnTheGLThread) {
    QtOglWorker::SetPurgePeriod(std::chrono::milliseconds(10));
    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    QtOglWorker::SetPurgePeriod(QtOglWorker::DefaultPurgePeriod);
    ASSERT_TRUE(worker);
    auto purges = [&] {
        unsigned count = 0;
        auto read = MakeTask([&](auto, const auto&) {
            count = Kavrin::Ogl::TexturePool::GetInstance().GetPurgeCount();
        });
        worker->PushTask(read);
        read->WaitUntilExecuted();
        return count;
    };
    const unsigned before = purges();
    QElapsedTimer waited;
    waited.start();
    while (purges() < before + 2 && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_GE(purges(), before + 2);
    const unsigned clears = Kavrin::Ogl::TexturePool::GetInstance().GetClearCount();
    worker->Deinitialize(true);
    // Stopping the worker clears the pool before the context goes.
    EXPECT_EQ(Kavrin::Ogl::TexturePool::GetInstance().GetClearCount(), clears + 1);
}

TEST_F(LifecycleGLTest, DataObjectOutlivingTheLibraryLeavesItsTasksAndSaysSoVerbosely) {
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize(nullptr, true);
    auto object = Kavrin::Ogl::DataVideoOGL::Create({1, 1, 1}, Kavrin::PixFmt::RGBA, {8, 8, 0, 0});
    auto first = MakeTask([](auto, const auto&) {});
    auto second = MakeTask([](auto, const auto&) {});
    object->AttachTask(first);
    object->AttachTask(second);
    hub.Deinitialize();
    LogCapture log;
    const int verbosity = FLAGS_v;
    FLAGS_v = 20;
    object.reset();
    FLAGS_v = verbosity;
    EXPECT_EQ(first->GetStatus(), Kavrin::Proc::TaskPending);
    EXPECT_EQ(second->GetStatus(), Kavrin::Proc::TaskPending);
    EXPECT_EQ(log.Count(google::GLOG_INFO,
                        "Cannot cancel tasks of DataVideoOGL because RenderHub isn't initiliazed"),
              1)
        << log.Dump();
}

// Tasks still queued when the library stops run on the GL thread while the
// creating thread waits in Deinitialize; they may use the facade meanwhile.
TEST_F(LifecycleGLTest, TasksDrainingDuringDeinitializeCanUseTheFacade) {
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize(nullptr, false);
    Gate gate;
    auto blocker = gate.MakeBlocker();
    hub.DoBackgroundTask(blocker);
    gate.entered.get_future().wait();
    std::atomic<bool> sawInitialized = false;
    std::atomic<bool> nestedRan = false;
    auto late = MakeTask([&](auto, const auto&) {
        sawInitialized = hub.IsInitialized();
        hub.DispatchTask(MakeTask([&](auto, const auto&) { nestedRan = true; }));
    });
    hub.DoBackgroundTask(late);
    // Opens the gate once Deinitialize has marked the worker: `late` is then still
    // queued and runs while the creating thread waits.
    std::thread releaser([&] {
        for (;;) {
            try {
                hub.DoBackgroundTask(MakeTask([](auto, const auto&) {}));
            } catch (const std::logic_error&) {
                break;
            }
            std::this_thread::yield();
        }
        gate.release.set_value();
    });
    Kavrin::Test::LimitCurrentTest(std::chrono::seconds(60));  // a deadlock aborts
    hub.Deinitialize();
    releaser.join();
    EXPECT_TRUE(sawInitialized);
    EXPECT_TRUE(nestedRan);
    EXPECT_EQ(late->GetStatus(), Kavrin::Proc::TaskExecuted);
    EXPECT_FALSE(hub.IsInitialized());
}

// A caller may keep a frame across a restart. Its texture name belongs to the
// dead context: it must neither enter the new pool (where it would alias a live
// texture of the new context) nor be deleted there.
TEST_F(LifecycleGLTest, FrameFromAStoppedContextNeverReachesTheNewContextsPool) {
    using Kavrin::Ogl::Frame;
    using Kavrin::Ogl::TexturePool;
    using Kavrin::Ogl::Details::GlObjectCounter;
    RenderHub& hub = RenderHub::GetInstance();
    const Kavrin::Conf::ColorSpace colorSpace{1, 1, 1};
    const Kavrin::Conf::FrameInfo info{64, 64, 0, 0};
    auto make = [&] { return Frame::CreateIntermediate(colorSpace, Kavrin::PixFmt::RGBA, info); };
    hub.Initialize(nullptr, true);
    boost::intrusive_ptr<Frame> stale;
    Kavrin::Test::RunOnGL([&] { stale = make(); });
    const unsigned staleName = stale->GetFirstTexture()->GetTexId();
    hub.Deinitialize();
    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());

    // Live frames of the new context, enough to take the stale name again.
    std::vector<boost::intrusive_ptr<Frame>> live;
    std::vector<unsigned> liveNames;
    Kavrin::Test::RunOnGL([&] {
        for (int i = 0; i < 16; ++i) {
            live.push_back(make());
            liveNames.push_back(live.back()->GetFirstTexture()->GetTexId());
        }
    });
    EXPECT_EQ(std::count(liveNames.begin(), liveNames.end(), staleName), 1)
        << "the new context never reused name " << staleName << ": the test proves less";
    std::size_t pooled = 0;
    long textures = 0;
    Kavrin::Test::RunOnGL([&] {
        pooled = TexturePool::GetInstance().GetCount();
        textures = GlObjectCounter::Live(GlObjectCounter::Texture);
    });

    stale.reset();  // last reference off the GL thread: deleted by a task on the new worker
    std::vector<unsigned> freshNames;
    Kavrin::Test::RunOnGL([&] {
        EXPECT_EQ(TexturePool::GetInstance().GetCount(), pooled);
        EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Texture), textures - 1);
        for (int i = 0; i < 4; ++i) {
            freshNames.push_back(make()->GetFirstTexture()->GetTexId());
        }
        // The live frames still own their textures: each name is still a texture.
        for (unsigned name : liveNames) {
            EXPECT_TRUE(glIsTexture(name)) << name;
        }
    });
    for (unsigned name : freshNames) {
        EXPECT_EQ(std::count(liveNames.begin(), liveNames.end(), name), 0)
            << "texture " << name << " handed out while a live frame owns it";
    }
    Kavrin::Test::RunOnGL([&] { live.clear(); });
}

// Uploading into a kept frame must not write through a dead context's name
// into a live frame; drawing or reading it is refused.
TEST_F(LifecycleGLTest, FrameKeptAcrossARestartIsRefilledByUploadAndRefusedUnfilled) {
    using Kavrin::Ogl::Frame;
    using Kavrin::Proc::DataVideoCPU;
    RenderHub& hub = RenderHub::GetInstance();
    const Kavrin::Conf::FrameInfo info{8, 8, 0, 0};
    auto solid = [&](std::uint8_t red, std::uint8_t blue) {
        auto cpu = DataVideoCPU::Create(Kavrin::PixFmt::RGBA, info);
        cpu->Fill({red, 0, blue, 255});
        return cpu;
    };
    auto firstPixel = [&](Frame& frame, const Kavrin::Ogl::ShaderStorage& storage) {
        auto cpu = DataVideoCPU::Create(Kavrin::PixFmt::RGBA, info);
        frame.Download(cpu, storage);
        const std::uint8_t* pixel = cpu->GetPlaneConst(0).data;
        return std::array<int, 4>{pixel[0], pixel[1], pixel[2], pixel[3]};
    };
    hub.Initialize(nullptr, true);
    boost::intrusive_ptr<Frame> kept = Frame::Create();
    boost::intrusive_ptr<Frame> unfilled = Frame::Create();
    Kavrin::Test::WithStorage([&](const auto& storage) {
        kept->Upload(solid(255, 0), storage);
        unfilled->Upload(solid(255, 0), storage);
    });
    hub.Deinitialize();
    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());

    std::vector<boost::intrusive_ptr<Frame>> live;
    Kavrin::Test::WithStorage([&](const auto& storage) {
        for (int i = 0; i < 8; ++i) {
            live.push_back(Frame::Create());
            live.back()->Upload(solid(0, 255), storage);
        }
        kept->Upload(solid(255, 0), storage);
        EXPECT_EQ(firstPixel(*kept, storage), (std::array<int, 4>{255, 0, 0, 255}));
        for (const auto& frame : live) {
            EXPECT_NE(frame->GetFirstTexture()->GetTexId(), kept->GetFirstTexture()->GetTexId());
            EXPECT_EQ(firstPixel(*frame, storage), (std::array<int, 4>{0, 0, 255, 255}));
        }
        EXPECT_THROW(firstPixel(*unfilled, storage), std::logic_error);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    });
    Kavrin::Test::RunOnGL([&] {
        live.clear();
        kept.reset();
        unfilled.reset();
    });
}

}  // namespace
