#include <GL/glew.h>

#include "GLThreadDeleter.h"

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

#include "LogCapture.h"
#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"

// The deferred GL-thread delete shared by frames and interop objects, on a probe
// object; each test owns the library's lifecycle.
namespace {

using Kavrin::Ogl::RenderHub;
using Kavrin::Test::MakeTask;
using Kavrin::Test::RunOnGL;

// What became of a probe, written on whichever thread deletes it.
struct Fate {
    std::atomic<int> abandoned{0};
    std::atomic<int> deleted{0};
    std::atomic<bool> abandonedBeforeDelete{false};
    std::atomic<bool> deletedOnGlThread{false};
    std::thread::id deletedOn;
};

class Probe;

class ProbeDeleter final : public Kavrin::Ogl::Details::GLThreadDeleter<Probe, ProbeDeleter> {
public:
    static constexpr const char* kName = "GLThreadDeleterProbe";
    using GLThreadDeleter::GLThreadDeleter;
    static void Abandon(const Probe& probe);
};

class Probe : public Kavrin::IRefCountable {
public:
    Probe(Fate& fate, bool holdsGLNames) : fate(fate), holdsGLNames(holdsGLNames) {}
    ~Probe() override {
        fate.deletedOnGlThread = Kavrin::Ogl::IsOpenGLThread();
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

std::uint64_t DeletersRun() {
    const auto summary =
        Kavrin::Proc::GpuTaskStatistic::GetInstance().GetOglStat(ProbeDeleter::kName);
    return summary ? summary->count : 0;
}

class GLThreadDeleterGLTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Kavrin::Test::EnsureGuiApplication(); }
    void TearDown() override { RenderHub::GetInstance().Deinitialize(); }
};

TEST_F(GLThreadDeleterGLTest, ALastReferenceElsewhereIsDeletedOnTheGlThreadByOneTask) {
    RenderHub::GetInstance().Initialize(nullptr, true);
    ASSERT_TRUE(RenderHub::GetInstance().IsInitialized());
    const auto before = DeletersRun();
    Fate fate;
    boost::intrusive_ptr<Probe> probe(new Probe(fate, true));
    boost::intrusive_ptr<Probe> second = probe;
    second.reset();
    probe.reset();   // the last one, off the GL thread
    RunOnGL([] {});  // queued behind the deleter
    EXPECT_EQ(fate.deleted, 1);
    EXPECT_TRUE(fate.deletedOnGlThread);
    EXPECT_EQ(fate.abandoned, 0);
    EXPECT_EQ(DeletersRun(), before + 1);
}

TEST_F(GLThreadDeleterGLTest, OnTheGlThreadOrWithoutGlNamesItGoesAtOnce) {
    RenderHub::GetInstance().Initialize(nullptr, true);
    ASSERT_TRUE(RenderHub::GetInstance().IsInitialized());
    const auto before = DeletersRun();
    Fate onGl;
    RunOnGL([&] {
        boost::intrusive_ptr<Probe> probe(new Probe(onGl, true));
        probe.reset();
        EXPECT_EQ(onGl.deleted, 1);
    });
    EXPECT_TRUE(onGl.deletedOnGlThread);

    Fate plain;
    boost::intrusive_ptr<Probe> probe(new Probe(plain, false));
    probe.reset();
    EXPECT_EQ(plain.deleted, 1);
    EXPECT_EQ(plain.deletedOn, std::this_thread::get_id());
    RunOnGL([] {});
    EXPECT_EQ(DeletersRun(), before);
    EXPECT_EQ(onGl.abandoned + plain.abandoned, 0);
}

TEST_F(GLThreadDeleterGLTest, WithoutAWorkerTheObjectIsAbandonedAndDeletedHere) {
    ASSERT_FALSE(RenderHub::GetInstance().IsInitialized());
    Kavrin::Test::LogCapture log;
    Fate fate;
    boost::intrusive_ptr<Probe> probe(new Probe(fate, true));
    probe.reset();
    EXPECT_EQ(fate.deleted, 1);
    EXPECT_EQ(fate.abandoned, 1);
    EXPECT_TRUE(fate.abandonedBeforeDelete);
    EXPECT_EQ(fate.deletedOn, std::this_thread::get_id());
    EXPECT_EQ(log.CountPrefix("GLThreadDeleterProbe not queued: "), 1) << log.Dump();
}

// A deleter still queued when the worker stops with cancellation never runs:
// dropping it abandons the object.
TEST_F(GLThreadDeleterGLTest, ADeleterCancelledByTheStoppingWorkerAbandonsTheObject) {
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());
    const auto before = DeletersRun();
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    hub.DoBackgroundTask(MakeTask([&](auto, const auto&) {
        entered.set_value();
        released.wait();
    }));
    entered.get_future().wait();

    Fate fate;
    boost::intrusive_ptr<Probe> probe(new Probe(fate, true));
    probe.reset();  // queues the deleter behind the blocked task
    auto after = MakeTask([](auto, const auto&) {});
    hub.DoBackgroundTask(after);
    EXPECT_EQ(fate.deleted, 0);
    // Cancelled tasks count as reached: `after` is once the queue is cancelled.
    std::thread releaser([&] {
        after->WaitUntilExecuted();
        release.set_value();
    });
    hub.Deinitialize();
    releaser.join();
    EXPECT_EQ(after->GetStatus(), Kavrin::Proc::TaskCancelled);
    EXPECT_EQ(fate.deleted, 1);
    EXPECT_EQ(fate.abandoned, 1);
    EXPECT_TRUE(fate.abandonedBeforeDelete);
    EXPECT_EQ(DeletersRun(), before);
}

}  // namespace
