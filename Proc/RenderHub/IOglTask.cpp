#include <GL/glew.h>

#include "IOglTask.h"

#include <stdexcept>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/Exception.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

#include "Frame.h"

namespace Kavrin::Ogl {
IOglTask::IOglTask(OglCapability requiredCapability, std::string&& taskName)
    : GpuTask(std::move(taskName)), requiredCapability(requiredCapability) {
    if (name.empty()) {
        KAVRIN_THROW_FROM("IOglTask", std::logic_error("The task name must not be empty"));
    }
}

IOglTask::~IOglTask() = default;

void IOglTask::AttachFrame(boost::intrusive_ptr<Frame> newFrame,
                           const Conf::ColorSpace& newColorSpace, PixFmt newPixFmt,
                           const Conf::FrameInfo& newFrameInfo) {
    if (!executeMutex.try_lock()) {
        KAVRIN_THROW_FROM(
            "AttachFrame",
            std::logic_error("The frame must be attached before the task is executed"));
    }
    std::lock_guard lock(executeMutex, std::adopt_lock);
    frame = std::move(newFrame);
    pixFmt = newPixFmt;
    colorSpace = newColorSpace;
    frameInfo = newFrameInfo;
}

void IOglTask::Execute(OglCapability capability, const ShaderStorage& storage) {
    if (!IsOpenGLThread()) {
        KAVRIN_THROW_FROM("Execute",
                          std::logic_error("OpenGL task must execute in OpenGL thread context"));
    }
    std::lock_guard lock(executeMutex);

    // The task drops its frame and its waiters wake whatever the outcome (after
    // the frame is gone); a body that throws leaves the task failed.
    struct Finish {
        IOglTask& task;
        Proc::TaskStatus status = Proc::TaskFailed;
        ~Finish() {
            task.frame.reset();
            task.RaiseStatus(status);
        }
    } finish{*this};
    const std::int64_t startNs = Core::SteadyNowNs();

    if (capability < requiredCapability) {
        finish.status = Proc::TaskSkipped;
        return;
    }
    if (GetStatus() >= Proc::TaskCancelled) {
        finish.status = Proc::TaskExecuted;  // below cancelled: nothing changes
        return;
    }
    if (frame && !frame->IsValid()) {
        frame->Allocate(colorSpace, pixFmt, frameInfo);
    }
    DoExecute(capability, storage);
    finish.status = Proc::TaskExecuted;

    const std::int64_t endNs = Core::SteadyNowNs();
    Proc::GpuTaskStatistic::Statistic stat;
    stat.executionTime = static_cast<std::uint64_t>(endNs - startNs);
    {
        const auto& record = GetStatusRecord();
        std::lock_guard recordLock(record->mutex);
        stat.waitingTime =
            record->startTimeSet ? static_cast<std::uint64_t>(endNs - record->startTimeNs) : 0;
    }
    Proc::GpuTaskStatistic::GetInstance().AddOglStat(name, stat);
}

bool IOglTask::Cancel() {
    if (!executeMutex.try_lock()) {
        return false;
    }
    std::lock_guard lock(executeMutex, std::adopt_lock);
    RaiseStatus(Proc::TaskCancelled);
    return true;
}

template class IOglPromiseTask<bool>;

}  // namespace Kavrin::Ogl
