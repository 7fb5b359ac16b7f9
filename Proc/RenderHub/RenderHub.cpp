#include <GL/glew.h>

#include "RenderHub.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <utility>

#include <glog/logging.h>

#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/DataVideoGPU.h"
#include "Kavrin/Proc/ProcException.h"

#include "DataVideoOGL.h"
#include "GLThreadDeleter.h"
#include "Private/TransferBuffers.h"
#include "QtOgl/QtOglContext.h"
#include "QtOgl/QtOglWorker.h"

namespace Kavrin::Ogl {

std::string OglInformation::CapabilityName() const {
    switch (capability) {
        case OglCapability::Compatibility30:
            return "3.0 Compatibility Profile";
        case OglCapability::Compatibility32:
            return "3.2 Compatibility Profile";
        case OglCapability::Core32:
            return "3.2 Core Profile";
        case OglCapability::Core33:
            return "3.3 Core Profile";
        default:
            return "Unknown";
    }
}

std::string OglInformation::VersionText() const {
    return std::to_string(majorVersion) + "." + std::to_string(minorVersion);
}

bool OglInformation::IsSoftwareRenderer() const {
    return Details::IsSoftwareRenderer(reinterpret_cast<const GLubyte*>(renderer.c_str()));
}

namespace Details {

void PrepareQtEnvironment() {
    if (const char* dll = std::getenv("QT_OPENGL_DLL")) {
        LOG(WARNING) << "QT_OPENGL_DLL environment variable has been previously set to value '"
                     << dll << "'. Removing it to prevent problems with QOpenGLContext creation.";
        unsetenv("QT_OPENGL_DLL");
    }
    if (const char* mode = std::getenv("QT_OPENGL")) {
        if (std::string(mode) == "desktop") {
            LOG(INFO) << "QT_OPENGL environment variable is set to '" << mode << "'.";
            return;
        }
        LOG(WARNING) << "QT_OPENGL environment variable has been previously set to value '" << mode
                     << "'. Overwriting it to prevent problems with QOpenGLContext creation.";
    }
    setenv("QT_OPENGL", "desktop", 1);
}

namespace {

// Runs one deferred delete; dropped unrun, the work gives its object up.
class DeferredDeleteTask final : public IOglTask {
public:
    explicit DeferredDeleteTask(std::unique_ptr<DeferredDelete> work)
        : IOglTask(OglCapability::Minimal, work->Name()), work(std::move(work)) {}

private:
    void DoExecute(OglCapability, const ShaderStorage&) override { work->Run(); }

    std::unique_ptr<DeferredDelete> work;
};

}  // namespace

void QueueDeferredDelete(std::unique_ptr<DeferredDelete> work) {
    const char* name = work->Name();
    boost::intrusive_ptr<IOglTask> task(new DeferredDeleteTask(std::move(work)));
    try {
        RenderHub::GetInstance().DoBackgroundTask(task);
    } catch (const std::exception& error) {
        // No worker to run it: dropping the task below abandons the object.
        LOG(WARNING) << name << " not queued: " << error.what();
    }
}

}  // namespace Details

RenderHub& RenderHub::GetInstance() {
    static RenderHub instance;
    return instance;
}

RenderHub::RenderHub() { Details::PrepareQtEnvironment(); }

RenderHub::~RenderHub() {
    // At process exit the GL thread may already be gone: forget the worker
    // instead of stopping it.
    worker.detach();
}

void RenderHub::Initialize(QSurface* surface, bool cancelOnDeinitialize) {
    std::lock_guard lifecycle(lifecycleMutex);
    if (IsInitialized()) {
        return;
    }
    Start(surface);
    std::lock_guard lock(mutex);
    cancelTasksOnDeinitialize = cancelOnDeinitialize;
}

void RenderHub::Initialize() {
    std::lock_guard lifecycle(lifecycleMutex);
    if (!IsInitialized()) {
        Start(nullptr);
    }
}

void RenderHub::Start(QSurface* surface) {
    boost::intrusive_ptr<IOglWorker> started = QtOglWorker::Create(surface);
    if (started) {
        Proc::DataVideoGPU::CreatorOGL = &DataVideoOGL::CreateGPU;
    }
    std::lock_guard lock(mutex);
    worker = std::move(started);
}

bool RenderHub::IsInitialized() const {
    std::lock_guard lock(mutex);
    return static_cast<bool>(worker);
}

void RenderHub::Deinitialize() {
    std::lock_guard lifecycle(lifecycleMutex);
    boost::intrusive_ptr<IOglWorker> stopping;
    bool cancel = true;
    {
        std::lock_guard lock(mutex);
        if (!worker) {
            return;
        }
        stopping = worker;
        cancel = cancelTasksOnDeinitialize;
    }
    Proc::DataVideoGPU::Creator creator = std::move(Proc::DataVideoGPU::CreatorOGL);
    Proc::DataVideoGPU::CreatorOGL = nullptr;
    try {
        // Without the facade's lock: tasks still draining on the GL thread may
        // call the facade (a nested dispatch, a data object's destructor).
        stopping->Deinitialize(cancel);
    } catch (...) {
        // The worker keeps running, so its pipeline factory must stay usable.
        Proc::DataVideoGPU::CreatorOGL = std::move(creator);
        throw;
    }
    {
        std::lock_guard lock(mutex);
        worker.reset();
    }
    // The last reference, and with it the worker, goes here, outside the lock.
}

boost::intrusive_ptr<IOglWorker> RenderHub::GetWorker() const {
    {
        std::lock_guard lock(mutex);
        if (worker) {
            return worker;
        }
    }
    if (GetCollectedInformation()->capability < OglCapability::Minimal) {
        KAVRIN_THROW_HOST("GetWorker", Proc::ProcException, "RenderHub could not be initialized");
    }
    KAVRIN_THROW_HOST("GetWorker", Proc::ProcException, "RenderHub has not yet been initialized");
}

void RenderHub::DispatchTask(const boost::intrusive_ptr<IOglTask>& task) {
    GetWorker()->Dispatch(task);
}

void RenderHub::DoBackgroundTask(const boost::intrusive_ptr<IOglTask>& task) {
    GetWorker()->PushTask(task);
}

void RenderHub::CancelTask(const boost::intrusive_ptr<IOglTask>& task) {
    GetWorker()->CancelTask(task);
}

std::shared_ptr<OglInformation> RenderHub::GetInformation() {
    std::lock_guard lock(mutex);
    return worker ? worker->GetInformation() : GetCollectedInformation();
}

OglCapability RenderHub::GetOglVersion() {
    std::shared_ptr<OglInformation> information = GetInformation();
    return information ? information->capability : OglCapability::Unknown;
}

std::string RenderHub::GetRenderer() {
    std::shared_ptr<OglInformation> information = GetInformation();
    return information ? information->renderer : std::string();
}

std::uint64_t RenderHub::GetMaximumTextureSize() {
    return GetWorker()->GetInformation()->maxTextureSize;
}

bool RenderHub::IsOpenGLThread() const { return Ogl::IsOpenGLThread(); }

}  // namespace Kavrin::Ogl
