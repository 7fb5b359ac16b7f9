#include <GL/glew.h>

#include "QtWin/WinOglContext.h"

#include <cstdlib>

#include <glog/logging.h>

#include "Kavrin/DX/ReportDirectXLeaks.h"

namespace Kavrin::Ogl {

std::shared_ptr<WinOpenGLContext> WinOpenGLContext::Create(QSurface* surface, bool debugLogging) {
    auto context = std::make_shared<WinOpenGLContext>(surface, debugLogging);
    if (!context->IsValid()) {
        return nullptr;
    }
    return context;
}

WinOpenGLContext::WinOpenGLContext(QSurface* surface, bool debugLogging)
    : QtOglContext(surface, debugLogging) {}

WinOpenGLContext::~WinOpenGLContext() {
    if (InteropContext::GetCount() != 0) {
        LOG(ERROR) << "All interop contexts must be destroyed before the OpenGL context is "
                      "destroyed";
#ifndef NDEBUG
        std::abort();
#endif
    }
    std::lock_guard lock(interopMutex);
    interopContext.reset();
}

bool WinOpenGLContext::Activate() {
    if (!QtOglContext::Activate()) {
        return false;
    }
    // A context without interop still works.
    std::lock_guard lock(interopMutex);
    interopContext = InteropContext::Create(nullptr);
    return true;
}

void WinOpenGLContext::Deactivate() {
    MakeCurrent();
    {
        std::lock_guard lock(interopMutex);
        interopContext.reset();
    }
    QtOglContext::Deactivate();
    DX::ReportDirectXLeaks();
}

boost::intrusive_ptr<InteropContext> WinOpenGLContext::GetInteropContext() {
    std::lock_guard lock(interopMutex);
    return interopContext;
}

boost::intrusive_ptr<DX::D3Device> WinOpenGLContext::GetInteropDevice(
    InteropContext::DXDeviceType type, bool create) {
    std::lock_guard lock(interopMutex);
    if (interopContext) {
        boost::intrusive_ptr<DX::D3Device> device = interopContext->GetInteropDevice(type);
        // No Direct3D 12 device means nothing to check, and nothing to replace.
        if (!device) {
            return nullptr;
        }
        if (device->GetDeviceRemovedReason() == S_OK) {
            return device;
        }
        device.reset();
        interopContext.reset();
    }
    if (!create) {
        return nullptr;
    }
    interopContext = InteropContext::Create(nullptr);
    return interopContext ? interopContext->GetInteropDevice(type) : nullptr;
}

WinOpenGLContext* WinOpenGLContext::FindContext() {
    auto& registry = Details::GetContextRegistry();
    std::lock_guard lock(registry.mutex);
    if (registry.contexts.empty()) {
        return nullptr;
    }
    if (registry.contexts.size() > 1) {
        KAVRIN_THROW_INTEROP("FindContext", E_FAIL,
                             "Failed to get DirectX device due to multiple OpenGL contexts found");
    }
    return dynamic_cast<WinOpenGLContext*>(registry.contexts.begin()->second);
}

boost::intrusive_ptr<DX::D3Device> GetInteropDevice(InteropContext::DXDeviceType type,
                                                    bool create) {
    WinOpenGLContext* context = WinOpenGLContext::FindContext();
    return context != nullptr ? context->GetInteropDevice(type, create) : nullptr;
}

}  // namespace Kavrin::Ogl
