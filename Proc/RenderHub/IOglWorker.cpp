#include <GL/glew.h>

#include "IOglWorker.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <boost/exception/diagnostic_information.hpp>
#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Ogl/OglThread.h"

#include "Texture.h"

namespace Kavrin::Ogl {

IOglWorker::IOglWorker(std::shared_ptr<OglInformation> information)
    : information(std::move(information)) {}

IOglWorker::~IOglWorker() = default;

void IOglWorker::PushTask(const boost::intrusive_ptr<IOglTask>& task) {
    std::lock_guard lock(mutex);
    if (deinitialized) {
        KAVRIN_THROW_FROM("PushTask", std::logic_error("OpenGL Worker is deinitialized"));
    }
    queue.push_back(task);
    // One wake-up per pushed task, posted while the queue still holds it.
    NotifyNewTask();
}

void IOglWorker::Dispatch(const boost::intrusive_ptr<IOglTask>& task) {
    if (IsOpenGLThread()) {
        // Queueing from the GL thread and waiting would deadlock: run it nested.
        ExecuteTask(task);
    } else {
        PushTask(task);
    }
}

void IOglWorker::CancelTask(const boost::intrusive_ptr<IOglTask>& task) {
    if (!task) {
        return;
    }
    task->Cancel();
    std::lock_guard lock(mutex);
    auto found = std::find(queue.begin(), queue.end(), task);
    if (found != queue.end()) {
        queue.erase(found);
    }
}

void IOglWorker::ExecuteTask(boost::intrusive_ptr<IOglTask> task) {
    try {
        task->Execute(information->capability, storage);
    } catch (const std::exception&) {
        LOG(ERROR) << "Exception occurred while executing OpenGL task: "
                   << boost::current_exception_diagnostic_information(true);
    } catch (...) {
        // Rethrown, it would reach Qt's event loop (which terminates) or the
        // dispatching task, which cannot tell one task's failure from its own.
        LOG(ERROR) << "Unknown exception occurred while executing OpenGL task";
    }
}

std::size_t IOglWorker::GetQueueSize() const {
    std::lock_guard lock(mutex);
    return queue.size();
}

boost::intrusive_ptr<IOglTask> IOglWorker::PopTask() {
    if (queue.empty()) {
        return nullptr;
    }
    boost::intrusive_ptr<IOglTask> task = std::move(queue.front());
    queue.pop_front();
    return task;
}

std::deque<boost::intrusive_ptr<IOglTask>> IOglWorker::CancelAll() {
    for (const auto& task : queue) {
        task->Cancel();
    }
    return std::exchange(queue, {});
}

void IOglWorker::MakeResources() {
    if (!information) {
        KAVRIN_THROW_FROM("MakeResources", std::logic_error("OpenGL Worker not initialized"));
    }
    Texture::BeginContext();
    storage.Create(information->capability);
}

void IOglWorker::ReleaseResources() {
    if (storage.IsValid()) {
        storage.Reset();
    }
    TexturePool::GetInstance().Clear();
}

void IOglWorker::PurgeResources() { TexturePool::GetInstance().Purge(); }

}  // namespace Kavrin::Ogl
