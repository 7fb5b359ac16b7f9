// Reference counting, GPU tasks and their statistics.
#include "Kavrin/Proc/GpuTask.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <boost/intrusive_ptr.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

namespace {

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
    original.AddRef();
    Kavrin::RefCountImpl copy(original);
    EXPECT_EQ(copy.Get(), 0u);
    EXPECT_EQ(original.Get(), 2u);
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

}  // namespace
