#include "Kavrin/Proc/ICoreTracker.h"

#include <mutex>

namespace Kavrin::Proc {
namespace {

class RecordingTracker : public ICoreTracker {
public:
    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

    void ReportEvent(const std::string& event, const Values& values) override {
        std::lock_guard lock(mutex);
        events.push_back({event, values});
    }
    std::vector<Event> GetEvents() const override {
        std::lock_guard lock(mutex);
        return events;
    }
    void ClearEvents() override {
        std::lock_guard lock(mutex);
        events.clear();
    }

private:
    RefCountImpl refCount;
    // Guards `events`; a leaf lock.
    mutable std::mutex mutex;
    std::vector<Event> events;
};

}  // namespace

const std::string ICoreTracker::CORE_EVENT_OGL_INFO = "OpenGL";
const std::string ICoreTracker::CORE_OGL_VERSION = "OpenGLVersion";
const std::string ICoreTracker::CORE_OGL_CAPABILITY = "OpenGLCapability";
const std::string ICoreTracker::CORE_OGL_DEVICE_NAME = "OpenGLDevice";
const std::string ICoreTracker::CORE_OGL_DX_STATUS = "DirectXInteropStatus";
const std::string ICoreTracker::CORE_OGL_DX_SHARING_STATUS = "DirectXSharingStatus";
const std::string ICoreTracker::CORE_GPU_BRAND_STR = "GPUBrand";
const std::string ICoreTracker::CORE_GPU_DRIVER_VERSION = "GPUDriverVersion";
const std::string ICoreTracker::CORE_DIRECTX_LEVEL = "DirectXLevel";
const std::string ICoreTracker::CORE_DIRECTX12_VERSION = "DirectX12Version";

boost::intrusive_ptr<ICoreTracker> ICoreTracker::GetTracker() {
    // Never destroyed: components may report during static destruction.
    static ICoreTracker* tracker = [] {
        auto* created = new RecordingTracker();
        created->AddRef();
        return created;
    }();
    return boost::intrusive_ptr<ICoreTracker>(tracker);
}

}  // namespace Kavrin::Proc
