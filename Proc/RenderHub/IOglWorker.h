#pragma once

#include <GL/glew.h>

#include <deque>
#include <memory>
#include <mutex>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"

#include "IOglTask.h"
#include "OglInformation.h"
#include "ShaderStorage.h"

namespace Kavrin::Ogl {

// The toolkit-free half of the GL worker: the task queue, the shader storage and
// task execution. PushTask, Dispatch and CancelTask are thread-safe; ExecuteTask
// and the resource operations run on the GL thread only.
class IOglWorker : public IRefCountable {
public:
    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

    ~IOglWorker() override;

    virtual void Deinitialize(bool cancelPending) = 0;

    // Queues the task and wakes the GL thread. Throws std::logic_error after
    // deinitialisation.
    void PushTask(const boost::intrusive_ptr<IOglTask>& task);
    // On the GL thread runs the task at once (nested), elsewhere queues it.
    void Dispatch(const boost::intrusive_ptr<IOglTask>& task);
    // Cancels the task and drops it from the queue.
    void CancelTask(const boost::intrusive_ptr<IOglTask>& task);
    // Runs one task; whatever it throws is logged and consumed: the task ends
    // failed (Proc::TaskFailed) and neither the worker nor a dispatcher sees it.
    void ExecuteTask(boost::intrusive_ptr<IOglTask> task);

    const std::shared_ptr<OglInformation>& GetInformation() const { return information; }
    const ShaderStorage& GetStorage() const { return storage; }
    // Number of queued tasks (diagnostics). Thread-safe.
    std::size_t GetQueueSize() const;

protected:
    // `information`: what detection found of the OpenGL implementation.
    explicit IOglWorker(std::shared_ptr<OglInformation> information);

    virtual void NotifyNewTask() = 0;

    // The caller holds `mutex`.
    boost::intrusive_ptr<IOglTask> PopTask();
    // Cancels every queued task and hands them over: the caller drops them after
    // unlocking, since a task's last reference may release a frame, which queues
    // its deleter and so needs the mutex.
    [[nodiscard]] std::deque<boost::intrusive_ptr<IOglTask>> CancelAll();

    void MakeResources();
    void ReleaseResources();
    void PurgeResources();

    // Guards every field below and the fields of the Qt worker. Taken after the
    // facade's mutex; a task's execute mutex is taken under it only in CancelAll.
    mutable std::mutex mutex;
    bool deinitialized = false;
    std::shared_ptr<OglInformation> information;
    ShaderStorage storage;
    std::deque<boost::intrusive_ptr<IOglTask>> queue;

private:
    RefCountImpl refCount;
};

}  // namespace Kavrin::Ogl
