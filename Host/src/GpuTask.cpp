#include "Kavrin/Proc/GpuTask.h"

#include "Kavrin/Core/Clock.h"

namespace Kavrin::Proc {

GpuTask::GpuTask(std::string&& name)
    : name(std::move(name)), record(std::make_shared<StatusRecord>()) {}

GpuTask::~GpuTask() = default;

std::int32_t GpuTask::GetStatus() const {
    std::lock_guard lock(record->mutex);
    return record->status;
}

void GpuTask::RaiseStatus(std::int32_t status) {
    {
        std::lock_guard lock(record->mutex);
        if (status <= record->status) {
            return;
        }
        record->status = status;
    }
    record->changed.notify_all();
}

void GpuTask::SetStartTime() {
    const std::int64_t now = Core::SteadyNowNs();
    std::lock_guard lock(record->mutex);
    record->startTimeNs = now;
    record->startTimeSet = true;
}

void GpuTask::WaitUntilExecuted() const {
    std::unique_lock lock(record->mutex);
    record->changed.wait(lock, [this] { return record->status >= TaskExecuted; });
}

bool GpuTask::WaitUntilExecuted(std::chrono::nanoseconds timeout) const {
    std::unique_lock lock(record->mutex);
    return record->changed.wait_for(lock, timeout,
                                    [this] { return record->status >= TaskExecuted; });
}

}  // namespace Kavrin::Proc
