// Host exceptions and their guard, the GL thread registration, reference
// counting, GPU tasks and their statistics, the periodic timer (it calls on its
// own thread while running, stops from any thread, its own included, waits for a
// call in progress when asked, and lets tests substitute what Create makes), the
// settings, the tracker and small utilities.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QSettings>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/intrusive_ptr.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/Exception.h"
#include "Kavrin/Core/MemoryException.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/Core/RegSettings.h"
#include "Kavrin/Core/UnhandledExceptionFilterGuard.h"
#include "Kavrin/Core/Utils.h"
#include "Kavrin/Core/WaitableTimer.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/GpuTask.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"
#include "Kavrin/Proc/ICoreTracker.h"
#include "Kavrin/Proc/ProcException.h"

namespace {

void ThrowProc() { KAVRIN_THROW_HOST("FixedName", Kavrin::Proc::ProcException, "it failed"); }

TEST(ExceptionTest, HostExceptionCarriesDescriptionStackAndFixedFunctionName) {
    EXPECT_THROW(ThrowProc(), Kavrin::Exception);
    EXPECT_THROW(ThrowProc(), std::exception);
    EXPECT_THROW(ThrowProc(), boost::exception);
    try {
        ThrowProc();
        FAIL() << "nothing thrown";
    } catch (const Kavrin::Proc::ProcException& error) {
        EXPECT_STREQ(error.what(), "it failed");
        EXPECT_EQ(error.GetDescription(), "it failed");
        const std::string* stack = boost::get_error_info<Kavrin::TagCallStack>(error);
        ASSERT_NE(stack, nullptr);
        // Frames of the throwing thread, one per line (names need exported symbols).
        EXPECT_GE(std::count(stack->begin(), stack->end(), '\n'), 3) << *stack;
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        ASSERT_NE(function, nullptr);
        EXPECT_STREQ(*function, "FixedName");
        const char* const* file = boost::get_error_info<boost::throw_file>(error);
        ASSERT_NE(file, nullptr);
        EXPECT_NE(std::string(*file).find("CoreTest.cpp"), std::string::npos);
    }
    EXPECT_STREQ(Kavrin::Exception().what(), "Kavrin::Exception");  // no description
    EXPECT_EQ(Kavrin::Exception().GetDescription(), "");
}

TEST(ExceptionTest, OtherExceptionsThrownWithLocationKeepTheirContent) {
    try {
        KAVRIN_THROW_FROM("Somewhere", std::logic_error("misuse"));
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "misuse");
        const std::string diagnostic = boost::diagnostic_information(error);
        EXPECT_NE(diagnostic.find("Somewhere"), std::string::npos) << diagnostic;
    }
    try {
        KAVRIN_THROW_FROM("Allocate", Kavrin::Core::MemoryException("too big", 1ull << 40));
    } catch (const Kavrin::Core::MemoryException& error) {
        EXPECT_EQ(error.GetSize(), 1ull << 40);
        EXPECT_STREQ(error.what(), "too big");
    }
}

using namespace Kavrin::Ogl;

TEST(OglThreadTest, OnlyTheRegisteredThreadIsTheOpenGLThread) {
    bool onWorker = false;
    std::thread([&] { onWorker = (RegisterOglThread(), IsOpenGLThread()); }).join();
    EXPECT_TRUE(onWorker);
    EXPECT_FALSE(IsOpenGLThread());
    RegisterOglThread();
    EXPECT_TRUE(IsOpenGLThread());
    // Unregistering from another thread must not drop the registration.
    bool otherThread = true;
    std::thread([&] { otherThread = (UnregisterOglThread(), IsOpenGLThread()); }).join();
    EXPECT_FALSE(otherThread);
    EXPECT_TRUE(IsOpenGLThread());
    UnregisterOglThread();
    EXPECT_FALSE(IsOpenGLThread());
}

TEST(UnhandledExceptionFilterGuardTest, GuardsNestAndRestoreTheHandler) {
    const std::terminate_handler before = std::get_terminate();
    {
        Kavrin::Core::UnhandledExceptionFilterGuard outer;
        const std::terminate_handler installed = std::get_terminate();
        EXPECT_NE(installed, before);
        {
            Kavrin::Core::UnhandledExceptionFilterGuard inner;
            EXPECT_EQ(Kavrin::Core::UnhandledExceptionFilterGuard::ActiveCount(), 2);
            EXPECT_EQ(std::get_terminate(), installed);
        }
        EXPECT_EQ(std::get_terminate(), installed);
    }
    EXPECT_EQ(std::get_terminate(), before);
    EXPECT_EQ(Kavrin::Core::UnhandledExceptionFilterGuard::ActiveCount(), 0);
}

TEST(UnhandledExceptionFilterGuardDeathTest, EscapingExceptionIsReportedWithStack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Kavrin::Core::UnhandledExceptionFilterGuard guard;
            std::thread([] { throw std::runtime_error("escaped"); }).join();
        },
        "Unhandled exception:(.|\n)*escaped(.|\n)*Call stack:");
}

using Kavrin::Proc::GpuTask;
using Kavrin::Proc::GpuTaskStatistic;

// A task counted by the host's reference counting, which counts its destructions.
class Counted : public GpuTask {
public:
    explicit Counted(std::atomic<int>* destroyed = nullptr)
        : GpuTask("Plain"), destroyed(destroyed) {}
    ~Counted() override {
        if (destroyed) {
            ++*destroyed;
        }
    }
    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    Kavrin::RefCountImpl refCount;
    std::atomic<int>* destroyed;
};

// Copies on several threads balance; the last release deletes exactly once.
TEST(RefCountTest, CopiesBalanceAndTheLastReleaseDeletesOnce) {
    std::atomic<int> destroyed = 0;
    auto* object = new Counted(&destroyed);
    boost::intrusive_ptr<Counted> shared(object);
    {
        const boost::intrusive_ptr<Counted> second = shared;
        EXPECT_EQ(object->GetRefCount(), 2u);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared] {
            for (int i = 0; i < 10000; ++i) {
                boost::intrusive_ptr<Counted> copy = shared;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(object->GetRefCount(), 1u);
    EXPECT_EQ(destroyed, 0);
    shared.reset();
    EXPECT_EQ(destroyed, 1);
    // A copied object starts with no references of its own.
    Kavrin::RefCountImpl original;
    original.AddRef();
    EXPECT_EQ(Kavrin::RefCountImpl(original).Get(), 0u);
    EXPECT_EQ(original.Get(), 1u);
}

TEST(GpuTaskTest, StatusOnlyRisesStartTimeComesFromTheClockAndTheRecordOutlivesTheTask) {
    Kavrin::Core::SetClockSource([] { return std::int64_t{123456}; });
    boost::intrusive_ptr<Counted> task(new Counted());
    EXPECT_FALSE(task->GetStatusRecord()->startTimeSet);
    task->SetStartTime();
    Kavrin::Core::SetClockSource(nullptr);
    EXPECT_TRUE(task->GetStatusRecord()->startTimeSet);
    EXPECT_EQ(task->GetStatusRecord()->startTimeNs, 123456);
    EXPECT_NE(Kavrin::Core::SteadyNowNs(), 123456);
    EXPECT_EQ(task->GetStatus(), Kavrin::Proc::TaskPending);
    task->RaiseStatus(Kavrin::Proc::TaskCancelled);
    task->RaiseStatus(Kavrin::Proc::TaskExecuted);
    EXPECT_EQ(task->GetStatus(), Kavrin::Proc::TaskCancelled);
    EXPECT_TRUE(task->HasReached(Kavrin::Proc::TaskExecuted));
    EXPECT_EQ(task->GetName(), "Plain");
    // The status record outlives the task.
    const std::shared_ptr<GpuTask::StatusRecord> record = task->GetStatusRecord();
    task.reset();
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->status, Kavrin::Proc::TaskCancelled);
}

TEST(GpuTaskTest, WaitersOnOtherThreadsWakeOnRaise) {
    boost::intrusive_ptr<Counted> task(new Counted());
    std::atomic<int> woken = 0;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            task->WaitUntilExecuted();
            ++woken;
        });
    }
    EXPECT_FALSE(task->WaitUntilExecuted(std::chrono::milliseconds(1)));
    task->RaiseStatus(Kavrin::Proc::TaskSkipped);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken, 4);
    EXPECT_TRUE(task->WaitUntilExecuted(std::chrono::milliseconds(0)));
}

TEST(GpuTaskStatisticTest, SummarisesByName) {
    auto& statistic = GpuTaskStatistic::GetInstance();
    statistic.Clear();
    statistic.AddOglStat("A", {100, 300});
    statistic.AddOglStat("A", {50, 700});
    statistic.AddOglStat("B", {1, 2});
    const auto a = statistic.GetOglStat("A");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->count, 2u);
    EXPECT_EQ(a->total.executionTime, 150u);
    EXPECT_EQ(a->total.waitingTime, 1000u);
    EXPECT_EQ(a->last.executionTime, 50u);
    EXPECT_EQ(a->max.executionTime, 100u);
    EXPECT_EQ(a->max.waitingTime, 700u);
    EXPECT_EQ(statistic.GetAll().size(), 2u);
    EXPECT_FALSE(statistic.GetOglStat("C").has_value());
    statistic.Clear();
    EXPECT_TRUE(statistic.GetAll().empty());
}

using Kavrin::Core::WaitableTimer;
using namespace std::chrono_literals;

// Counted calls and whether one ran on the test's thread; waits are bounded, so a
// broken timer fails instead of hanging.
struct Calls {
    std::function<void()> Counter() {
        return [this, caller = std::this_thread::get_id()] {
            std::lock_guard lock(mutex);
            ++count;
            onCaller = onCaller || std::this_thread::get_id() == caller;
            changed.notify_all();
        };
    }
    bool WaitFor(int wanted) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return count >= wanted; });
    }
    int Count() {
        std::lock_guard lock(mutex);
        return count;
    }
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
    std::atomic<bool> onCaller{false};
};

TEST(WaitableTimerTest, CallsPeriodicallyOnItsOwnThreadUntilStopped) {
    Calls calls;
    auto timer = WaitableTimer::Create(calls.Counter());
    EXPECT_FALSE(timer->IsRunning()) << "created stopped";
    timer->StartPeriodic(1ms);
    EXPECT_TRUE(timer->IsRunning());
    ASSERT_TRUE(calls.WaitFor(3));
    EXPECT_FALSE(calls.onCaller);
    timer->Stop(true);
    EXPECT_FALSE(timer->IsRunning());
    const int stoppedAt = calls.Count();

    // Another timer's calls give the first one time to misbehave.
    Calls witness;
    auto other = WaitableTimer::Create(witness.Counter());
    other->StartPeriodic(1ms);
    ASSERT_TRUE(witness.WaitFor(5));
    EXPECT_EQ(calls.Count(), stoppedAt) << "called after Stop returned";

    // A stopped timer starts again; destroying it running stops it.
    timer->StartPeriodic(1ms);
    ASSERT_TRUE(calls.WaitFor(stoppedAt + 2));
    timer.reset();
    const int atDestruction = calls.Count();
    ASSERT_TRUE(witness.WaitFor(witness.Count() + 3));
    EXPECT_EQ(calls.Count(), atDestruction);
}

TEST(WaitableTimerTest, StopWithWaitingWaitsForTheCallInProgress) {
    std::promise<void> entered;
    std::promise<void> gate;
    std::shared_future<void> gateOpen = gate.get_future().share();
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    auto timer = WaitableTimer::Create([&] {
        if (calls++ == 0) {
            entered.set_value();
            gateOpen.wait();
            finished = true;
        }
    });
    timer->StartPeriodic(1ms);
    entered.get_future().wait();
    // The gate opens only once Stop has begun.
    std::thread opener([&] {
        while (timer->IsRunning()) {
            std::this_thread::yield();
        }
        gate.set_value();
    });
    timer->Stop(true);
    EXPECT_TRUE(finished) << "Stop(true) returned while the callback still ran";
    opener.join();
}

TEST(WaitableTimerTest, TheCallbackMayStopItsOwnTimer) {
    std::unique_ptr<WaitableTimer> timer;
    Calls calls;
    timer = WaitableTimer::Create([&, count = calls.Counter()] {
        timer->Stop(true);  // waiting here would wait for this very call
        count();
    });
    timer->StartPeriodic(1ms);
    ASSERT_TRUE(calls.WaitFor(1));
    EXPECT_FALSE(timer->IsRunning());
    timer->StartPeriodic(1ms);
    ASSERT_TRUE(calls.WaitFor(2)) << "restarted after stopping itself";
    timer.reset();
}

// A timer that counts what it is asked to do and runs nothing by itself.
class CountingTimer : public WaitableTimer {
public:
    explicit CountingTimer(Callback callback) : WaitableTimer(std::move(callback)) {}
    void StartPeriodic(const std::chrono::milliseconds& period) override {
        lastPeriod = period;
        SetRunning(true);
    }
    void Stop(bool) override { SetRunning(false); }
    std::chrono::milliseconds lastPeriod{0};
};

TEST(WaitableTimerTest, TestsReplaceWhatCreateMakes) {
    int made = 0;
    WaitableTimer::SetFactory([&](WaitableTimer::Callback callback) {
        ++made;
        return std::make_unique<CountingTimer>(std::move(callback));
    });
    auto timer = WaitableTimer::Create([] {});
    auto* counting = dynamic_cast<CountingTimer*>(timer.get());
    ASSERT_NE(counting, nullptr);
    EXPECT_EQ(made, 1);
    timer->StartPeriodic(5000ms);
    EXPECT_TRUE(timer->IsRunning());
    EXPECT_EQ(counting->lastPeriod, 5000ms);
    timer->Stop(false);
    EXPECT_FALSE(timer->IsRunning());

    WaitableTimer::SetFactory({});
    auto plain = WaitableTimer::Create([] {});
    EXPECT_EQ(dynamic_cast<CountingTimer*>(plain.get()), nullptr);
    EXPECT_EQ(made, 1);
}

using namespace Kavrin::Core;

// The host's settings, tracker and small utilities the interop code relies on.
// $XDG_CONFIG_HOME points at a folder of the test's own.
class RegSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { Write({}); }
    void TearDown() override { Write({}); }
    // Replaces the "OpenGL" group of the core settings file.
    static void Write(const std::map<QString, QVariant>& values) {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core");
        settings.clear();
        for (const auto& [name, value] : values) {
            settings.setValue("OpenGL/" + name, value);
        }
        settings.sync();
    }
};

// A missing key or a null parent does not open; values read as the registry
// would give them, afresh each time.
TEST_F(RegSettingsTest, KeysOpenOnlyWhenThereAndDwordsReadAsTheRegistryGivesThem) {
    RegKey key;
    EXPECT_EQ(key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.GetKey(), nullptr);
    EXPECT_EQ(key.Open(nullptr, "OpenGL", KEY_READ), ERROR_INVALID_HANDLE);
    DWORD value = 7;
    EXPECT_EQ(key.QueryDword("DisableDirectX", value), ERROR_INVALID_HANDLE);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(&RegSettings::Core(), &RegSettings::Core());
    Write({{"One", 1},
           {"Hex", "0x10"},
           {"Text", "abc"},
           {"Negative", -1},
           {"TooBig", 4294967296ull},
           {"Max", 4294967295ull}});
    ASSERT_EQ(key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ), ERROR_SUCCESS);
    for (auto [name, expected] : {std::pair{"One", 1u}, {"Hex", 16u}, {"Max", 0xFFFFFFFFu}}) {
        EXPECT_EQ(key.QueryDword(name, value), ERROR_SUCCESS) << name;
        EXPECT_EQ(value, expected) << name;
    }
    value = 5;
    for (const char* name : {"Text", "Negative", "TooBig"})
        EXPECT_EQ(key.QueryDword(name, value), ERROR_INVALID_DATA) << name;
    EXPECT_EQ(key.QueryDword("Missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 5u);
    Write({{"One", 2}});
    ASSERT_EQ(key.QueryDword("One", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
}

// Something other than a regular file where the settings file belongs is no
// settings: a FIFO would block the reader until a writer came.
TEST_F(RegSettingsTest, AFifoInPlaceOfTheFileReadsAsNoSettings) {
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        GTEST_SKIP() << "XDG_CONFIG_HOME must name a folder of the test's own (CTest sets it)";
    }
    const std::string path =
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core")
            .fileName()
            .toStdString();
    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
    // Gone whatever happens: the fixture's QSettings would block on it too.
    struct RemoveOnExit {
        const std::string& path;
        ~RemoveOnExit() { std::remove(path.c_str()); }
    } removeFifo{path};
    auto opened = std::async(std::launch::async, [] {
        RegKey key;
        return key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ);
    });
    const bool finished = opened.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    // Writers that come and go release a blocked reader at each open, so the test ends.
    while (opened.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        close(open(path.c_str(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_TRUE(finished) << "reading the settings blocked on the FIFO " << path;
    EXPECT_EQ(opened.get(), ERROR_FILE_NOT_FOUND);
}

TEST(CoreTrackerTest, KeepsEveryEventInOrder) {
    using Kavrin::Proc::ICoreTracker;
    const auto tracker = ICoreTracker::GetTracker();
    EXPECT_EQ(tracker, ICoreTracker::GetTracker());
    tracker->ClearEvents();
    tracker->ReportEvent(ICoreTracker::CORE_EVENT_OGL_INFO,
                         {{ICoreTracker::CORE_OGL_VERSION, "4.5"}});
    tracker->ReportEvent("Other", {});
    const auto events = tracker->GetEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, ICoreTracker::CORE_EVENT_OGL_INFO);
    EXPECT_EQ(events[0].values.at(ICoreTracker::CORE_OGL_VERSION), "4.5");
    EXPECT_EQ(events[1].name, "Other");
    tracker->ClearEvents();
    EXPECT_TRUE(tracker->GetEvents().empty());
}

TEST(UtilsTest, LowerCasesAsciiAndDescribesErrors) {
    std::string vendor = "Mesa/X.org NVIDIA Corporation \xC3\x84";
    Utils::ToLower(vendor);
    EXPECT_EQ(vendor, "mesa/x.org nvidia corporation \xC3\x84");
    const auto [code, description] = Utils::GetErrorInfo(static_cast<HRESULT>(0x80070032));
    EXPECT_NE(code.find("0x80070032"), std::string::npos) << code;
    EXPECT_FALSE(description.empty());
}

}  // namespace
