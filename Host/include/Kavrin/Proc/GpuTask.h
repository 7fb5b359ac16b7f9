#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Kavrin/Core/RefCount.h"

namespace Kavrin::Proc {

// Status values of a GPU task; they only ever rise. A task has reached S when its
// status is S or more.
enum TaskStatus : std::int32_t {
    TaskPending = 0,
    TaskExecuted = 1,
    TaskFailed = 2,  // ran, and the body threw: counts as executed for waiters
    TaskSkipped = 3,
    TaskCancelled = 4,
};

// Base of units of GPU work. Owns a shared status record that other threads wait
// on; the record outlives the task while a waiter holds it. All members are
// thread-safe.
class GpuTask : public IRefCountable {
public:
    struct StatusRecord {
        // Guards the fields below; a leaf lock (nothing is taken after it).
        std::mutex mutex;
        std::condition_variable changed;
        std::int32_t status = TaskPending;
        std::int64_t startTimeNs = 0;
        bool startTimeSet = false;
    };

    explicit GpuTask(std::string&& name);
    ~GpuTask() override;

    const std::string& GetName() const noexcept { return name; }
    std::int32_t GetStatus() const;
    bool HasReached(std::int32_t status) const { return GetStatus() >= status; }

    // Raises the status to `status` when it is lower and wakes every waiter;
    // lower requests are ignored.
    void RaiseStatus(std::int32_t status);

    // Notes the moment the task was handed over for execution; the GL side reports
    // the time from here to the end of execution as waiting time.
    void SetStartTime();

    // Blocks until the task has run, was skipped or was cancelled.
    void WaitUntilExecuted() const;
    // As above with a deadline; false when it passed first.
    bool WaitUntilExecuted(std::chrono::nanoseconds timeout) const;

    const std::shared_ptr<StatusRecord>& GetStatusRecord() const noexcept { return record; }

protected:
    std::string name;

private:
    std::shared_ptr<StatusRecord> record;
};

}  // namespace Kavrin::Proc
