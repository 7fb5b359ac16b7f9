// The host's periodic timer: calls on its own thread while running, stops from
// any thread (its own included), waits for a call in progress when asked, and
// lets tests substitute what Create makes.
#include "Kavrin/Core/WaitableTimer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

namespace {

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

}  // namespace
