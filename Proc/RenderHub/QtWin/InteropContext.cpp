#include "QtWin/InteropContext.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <mutex>
#include <set>
#include <vector>

#include <boost/exception/diagnostic_information.hpp>
#include <glog/logging.h>

#include "Kavrin/Core/RegSettings.h"
#include "Kavrin/Core/UnhandledExceptionFilterGuard.h"
#include "Kavrin/Core/Utils.h"
#include "Kavrin/DX/D12CommandAllocator.h"
#include "Kavrin/DX/D3ShaderBytecode.h"
#include "Kavrin/DX/DXGIFactory.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/ICoreTracker.h"
#include "Kavrin/Win/GLInterop.h"
#include "Kavrin/Win/WinBase.h"

#include "GLThreadDeleter.h"
#include "IOglTask.h"
#include "QtOgl/QtOglContext.h"
#include "QtOgl/QtOpenGL.h"
#include "QtWin/D11Surface.h"
#include "QtWin/D12Surface.h"
#include "QtWin/WinOglContext.h"
#include "RenderHub.h"

namespace Kavrin::Ogl {
namespace {

using Proc::ICoreTracker;
using Info = std::map<std::string, std::string>;

constexpr HRESULT kOpenFailed = static_cast<HRESULT>(0x8007006E);
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);

// A switch under the host's "OpenGL" settings: set when the key opens, the value
// reads and it is not 0. Read afresh every time.
bool SwitchSet(const char* name) {
    Core::RegKey key;
    if (key.Open(Core::RegSettings::Core().GetKey(), "OpenGL", Core::KEY_READ) != ERROR_SUCCESS) {
        return false;
    }
    DWORD value = 0;
    return key.QueryDword(name, value) == ERROR_SUCCESS && value != 0;
}

// The first value stored under a key stays.
void Store(Info& info, const std::string& key, const std::string& value) {
    info.emplace(key, value);
}

std::string Diagnostic() { return boost::current_exception_diagnostic_information(true); }

// A driver call that may fault: false when it threw.
template <class Call>
bool Guarded(Call&& call) {
    Core::UnhandledExceptionFilterGuard crashGuard;
    try {
        call();
        return true;
    } catch (...) {
        return false;
    }
}

// Guards the probes; tests replace them, the defaults create real surfaces.
std::mutex probeMutex;
Details::InteropProbe d11Probe;
Details::InteropProbe d12Probe;

void RunProbe(bool d12, const boost::intrusive_ptr<InteropContext>& context) {
    Details::InteropProbe probe;
    {
        std::lock_guard lock(probeMutex);
        probe = d12 ? d12Probe : d11Probe;
    }
    probe(context);
}

// Linking is confirmed by registering and locking a Direct3D 11 surface.
void ProbeD11Surface(const boost::intrusive_ptr<InteropContext>& context) {
    D11Surface::Create(800, 600, DXGI_FORMAT_R8G8B8A8_UNORM, context);
}

// Direct3D 12 sharing is confirmed by a pooled surface; both are dropped at once.
void ProbeD12Surface(const boost::intrusive_ptr<InteropContext>& context) {
    boost::intrusive_ptr<D12SurfacePool> pool(
        new D12SurfacePool(800, 600, DXGI_FORMAT_R8G8B8A8_UNORM));
    pool->CreateSurface(context);
}

// Initialises a context on the GL thread for a caller elsewhere.
class InteropInitializeTask : public IOglPromiseTask<bool> {
public:
    InteropInitializeTask(boost::intrusive_ptr<InteropContext> context,
                          boost::intrusive_ptr<DX::D11Device> device)
        : IOglPromiseTask(OglCapability::Minimal, "InteropInitializeTask"),
          context(std::move(context)),
          device(std::move(device)) {}

private:
    void DoExecute(OglCapability, const ShaderStorage&) override {
        // The caller rethrows a refusal (the adapter mismatch) as its own; without
        // it, it would see only a broken promise.
        try {
            promise.set_value(context->Initialize(device));
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    }
    boost::intrusive_ptr<InteropContext> context;
    boost::intrusive_ptr<DX::D11Device> device;
};

// Destroys a context on the GL thread for a last reference dropped elsewhere;
// an unrun one deletes it where it is, since nothing of it then needs GL.
class InteropContextDeleter final
    : public Details::GLThreadDeleter<InteropContext, InteropContextDeleter> {
public:
    static constexpr const char* kName = "InteropContextDeleter";
    using GLThreadDeleter::GLThreadDeleter;
};

}  // namespace

namespace Details {

void SetInteropProbes(InteropProbe d11, InteropProbe d12) {
    std::lock_guard lock(probeMutex);
    d11Probe = d11 ? std::move(d11) : InteropProbe(&ProbeD11Surface);
    d12Probe = d12 ? std::move(d12) : InteropProbe(&ProbeD12Surface);
}

}  // namespace Details

std::atomic<std::uint64_t> InteropContext::s_contextCount{0};

InteropSurface::InteropSurface(unsigned width, unsigned height, DXGI_FORMAT format,
                               const boost::intrusive_ptr<InteropContext>& context)
    : InteropTexture(width, height), format(format), context(context) {}

InteropContext::InteropContext() {
    static std::once_flag probesSet;
    std::call_once(probesSet, [] {
        std::lock_guard lock(probeMutex);
        if (!d11Probe) {
            d11Probe = &ProbeD11Surface;
        }
        if (!d12Probe) {
            d12Probe = &ProbeD12Surface;
        }
    });
    ++s_contextCount;
}

InteropContext::~InteropContext() {
    if (!surfaces.empty()) {
        LOG(ERROR) << "All interop surfaces must be destroyed before the interop context is "
                      "destroyed";
#ifndef NDEBUG
        std::abort();
#endif
    }
    DX::D12CommandAllocator::WaitAllComplete();
    if (oglDevice != nullptr) {
        Guarded([&] { wglDXCloseDeviceNV(oglDevice); });
    }
    d11Device.reset();
    d12Device.reset();
    --s_contextCount;
}

unsigned InteropContext::AddRef() const { return refCount.AddRef(); }

unsigned InteropContext::GetRefCount() const { return refCount.Get(); }

unsigned InteropContext::Release() const {
    const unsigned remaining = refCount.Release();
    if (remaining == 0) {
        // Its destructor closes the GL side of the Direct3D link.
        InteropContextDeleter::Delete(this, true);
    }
    return remaining;
}

boost::intrusive_ptr<InteropContext> InteropContext::Create(
    const boost::intrusive_ptr<DX::D11Device>& device) {
    boost::intrusive_ptr<InteropContext> context(new InteropContext());
    bool ok = false;
    if (IsOpenGLThread()) {
        ok = context->Initialize(device);
    } else {
        boost::intrusive_ptr<InteropInitializeTask> task(
            new InteropInitializeTask(context, device));
        std::future<bool> result = task->GetFuture();
        RenderHub::GetInstance().DoBackgroundTask(task);
        task.reset();
        ok = result.get();
    }
    return ok ? context : nullptr;
}

boost::intrusive_ptr<InteropContext> InteropContext::GetShared() {
    if (!IsOpenGLThread()) {
        WinOpenGLContext* found = WinOpenGLContext::FindContext();
        return found != nullptr ? found->GetInteropContext() : nullptr;
    }
    auto* current = dynamic_cast<WinOpenGLContext*>(QtOglContext::GetCurrent());
    if (QtOglContext::GetCurrent() == nullptr) {
        KAVRIN_THROW_INTEROP("GetShared", E_FAIL, "No current OpenGL context");
    }
    boost::intrusive_ptr<InteropContext> shared =
        current != nullptr ? current->GetInteropContext() : nullptr;
    if (!shared) {
        KAVRIN_THROW_INTEROP("GetShared", E_FAIL, "No current interop context");
    }
    return shared;
}

bool InteropContext::Initialize(const boost::intrusive_ptr<DX::D11Device>& device) {
    Core::UnhandledExceptionFilterGuard crashGuard;
    Info info;
    if (device) {
        return InitializeInterop(device, info);
    }
    const auto& information = GetCollectedInformation();
    Store(info, ICoreTracker::CORE_OGL_VERSION, information->VersionText());
    Store(info, ICoreTracker::CORE_OGL_CAPABILITY, information->CapabilityName());
    const bool result = InitializeInterop(nullptr, info);
    if (!result) {
        Store(info, ICoreTracker::CORE_OGL_DEVICE_NAME, information->renderer);
    }
    ICoreTracker::GetTracker()->ReportEvent(ICoreTracker::CORE_EVENT_OGL_INFO, info);
    return result;
}

bool InteropContext::InitializeInterop(const boost::intrusive_ptr<DX::D11Device>& device,
                                       Info& info) {
    oglContext = QtOglContext::GetCurrent();
    if (oglContext == nullptr) {
        KAVRIN_THROW_INTEROP("InitializeInterop", E_FAIL, "No current OpenGL context");
    }
    if (SwitchSet("DisableDirectX")) {
        LOG(INFO) << "OpenGL <-> DirectX interop is disabled";
        Store(info, ICoreTracker::CORE_OGL_DX_STATUS, "FORCED_OFF");
        return false;
    }
    if (!DX::IsGLExtensionSupported("WGL_NV_DX_interop") ||
        !DX::IsGLExtensionSupported("WGL_NV_DX_interop2")) {
        LOG(WARNING) << "OpenGL <-> DirectX interop not supported";
        Store(info, ICoreTracker::CORE_OGL_DX_STATUS, "INTEROP_UNSUPPORTED");
        return false;
    }
    const bool memoryObjects = DX::IsGLExtensionSupported("GL_EXT_memory_object_win32");
    if (memoryObjects) {
        while (glGetError() != GL_NO_ERROR) {
            // An error left by earlier work must not be read as the query's.
        }
        GLubyte luid[GL_LUID_SIZE_EXT] = {};
        glGetUnsignedBytevEXT(GL_DEVICE_LUID_EXT, luid);
        if (glGetError() == GL_NO_ERROR) {
            LUID value{};
            std::memcpy(&value, luid, sizeof(value));
            adapterLuid = value;
        }
    }
    if (!DX::D3ShaderBytecode::IsCompilerLoaded()) {
        LOG(ERROR) << "The DirectX can't start because d3dcompiler_47.dll is missing from your "
                      "computer";
        Store(info, ICoreTracker::CORE_OGL_DX_STATUS, "D3COMPILER_FAILED");
        return false;
    }
    if (device) {
        if (adapterLuid && !(*adapterLuid == device->GetAdapterLuid())) {
            KAVRIN_THROW_INTEROP("InitializeInterop", kOpenFailed,
                                 "OpenGL context adapter and DirectX device adapter are different");
        }
        if (LinkWithOpenGL(device) < 0) {
            return false;
        }
    } else {
        std::string status;
        if (!CreateD11Device(status)) {
            Store(info, ICoreTracker::CORE_OGL_DX_STATUS, status);
            return false;
        }
    }
    adapterLuid = d11Device->GetAdapterLuid();
    const QSurfaceFormat format = oglContext->GetContext()->format();
    const bool gl45 =
        format.majorVersion() > 4 || (format.majorVersion() == 4 && format.minorVersion() >= 5);
    const bool keyedMutex = DX::IsGLExtensionSupported("GL_EXT_win32_keyed_mutex") &&
                            d11Device->GetFeatureLevel() >= D3D_FEATURE_LEVEL_11_1;
    d11SharingSupported = memoryObjects && gl45 && keyedMutex;
    if (device) {
        return true;
    }

    DX::D3Device* reported = d11Device.get();
    bool semaphores = false;
    if (CreateD12Device()) {
        reported = d12Device.get();
        semaphores = DX::IsGLExtensionSupported("GL_EXT_semaphore_win32");
    }
    if (memoryObjects && gl45 && semaphores && keyedMutex) {
        // The probe must take the sharing path it is there to confirm.
        d12SharingSupported = true;
        try {
            RunProbe(true, boost::intrusive_ptr<InteropContext>(this));
        } catch (...) {
            d12SharingSupported = false;
        }
    } else {
        d12SharingSupported = false;
    }
    const int sharing = (d11SharingSupported ? 1 : 0) | (d12SharingSupported ? 2 : 0);
    LOG(INFO) << "Interop adapter: " << reported->GetAdapterName() << "; DirectX "
              << reported->GetLevelName() << "; Sharing status: " << sharing;
    Store(info, ICoreTracker::CORE_OGL_DX_STATUS, "INTEROP_AVAILABLE");
    Store(info, ICoreTracker::CORE_OGL_DX_SHARING_STATUS, std::to_string(sharing));
    Store(info, ICoreTracker::CORE_GPU_BRAND_STR, reported->GetAdapterName());
    Store(info, ICoreTracker::CORE_GPU_DRIVER_VERSION, reported->GetDriverVersion());
    Store(info, ICoreTracker::CORE_DIRECTX_LEVEL, reported->GetLevelName());
    if (d12Device) {
        Store(info, ICoreTracker::CORE_DIRECTX12_VERSION,
              std::to_string(d12Device->GetSDKVersion().value_or(0)));
    }
    return true;
}

bool InteropContext::CreateD11Device(std::string& status) {
    const std::vector<DX::DXGIAdapter> candidates = EnumerateAdapters();
    LOG(INFO) << "Finding the right interop GPU adapter...";
    std::set<std::string> failures;
    for (const DX::DXGIAdapter& adapter : candidates) {
        boost::intrusive_ptr<DX::D11Device> device;
        try {
            device = DX::D11Device::Create(adapter);
        } catch (const DX::DirectXException& error) {
            if (error.GetResult() == DXGI_ERROR_UNSUPPORTED) {
                failures.insert("DIRECTX_UNSUPPORTED");
                LOG(WARNING) << "DirectX 11 device interface or feature level is not supported on "
                                "this system";
            } else {
                failures.insert("DIRECTX_FAILED");
                LOG(ERROR) << error.GetErrorDescription() << ". " << error.GetResultDescription();
            }
            continue;
        } catch (...) {
            failures.insert("DIRECTX_FAILED");
            LOG(ERROR) << Diagnostic();
            continue;
        }
        if (!device) {
            continue;
        }
        const long result = LinkWithOpenGL(device);
        if (result >= 0) {
            return true;
        }
        failures.insert(result == kNotSupported ? "INTEROP_UNSUPPORTED" : "INTEROP_FAILED");
    }
    LOG(ERROR) << "The right interop GPU adapter not found";
    status.clear();
    for (const std::string& word : failures) {
        status += (status.empty() ? "" : ", ") + word;
    }
    if (status.empty()) {
        status = "INTEROP_FAILED";
    }
    return false;
}

bool InteropContext::CreateD12Device() {
    if (SwitchSet("DisableDirectX12")) {
        LOG(INFO) << "Use of DirectX 12 with OpenGL is disabled";
        return false;
    }
    if (!d11Device || d11Device->GetFeatureLevel() < D3D_FEATURE_LEVEL_11_1 ||
        !d11Device->IsFencesSupported() || !DX::D12Device::IsAvailable()) {
        return false;
    }
    try {
        d12Device = DX::D12Device::Create(adapterLuid.value());
        return true;
    } catch (const DX::DirectXException& error) {
        if (error.GetResult() == DXGI_ERROR_UNSUPPORTED) {
            LOG(WARNING) << "DirectX 12 device interface or feature level is not supported on this "
                            "system";
        } else {
            LOG(ERROR) << error.GetErrorDescription() << ". " << error.GetResultDescription();
        }
    } catch (...) {
        LOG(ERROR) << Diagnostic();
    }
    return false;
}

std::vector<DX::DXGIAdapter> InteropContext::EnumerateAdapters() const {
    const auto* vendorText = reinterpret_cast<const char*>(glGetString(GL_VENDOR));
    std::string vendor = vendorText != nullptr ? vendorText : "";
    Core::Utils::ToLower(vendor);
    LOG(INFO) << "Finding GPU adapters...";
    std::vector<DX::DXGIAdapter> adapters;
    DX::DXGIFactory::Create()->EnumerateAdapters(adapters, DX::DXGIEnumFlags::IncludeSoftware);
    std::vector<DX::DXGIAdapter> candidates;
    for (const DX::DXGIAdapter& adapter : adapters) {
        const auto description = adapter.GetDescription();
        if (description->qualifier == 0) {
            continue;
        }
        if (adapterLuid) {
            LOG(INFO) << "Available GPU adapter: " << description->name
                      << ", driver: " << description->GetDriverVersion();
            if (description->luid == *adapterLuid) {
                candidates.push_back(adapter);
            }
            continue;
        }
        if (description->vendorKeywords.empty()) {
            LOG(WARNING) << "Found unknown GPU adapter: " << description->name;
            continue;
        }
        LOG(INFO) << "Available GPU adapter: " << description->name
                  << ", driver: " << description->GetDriverVersion();
        for (std::string keyword : description->vendorKeywords) {
            Core::Utils::ToLower(keyword);
            if (vendor.find(keyword) != std::string::npos) {
                candidates.push_back(adapter);
                break;
            }
        }
    }
    return candidates;
}

long InteropContext::LinkWithOpenGL(const boost::intrusive_ptr<DX::D11Device>& device) {
    HANDLE opened = nullptr;
    if (!Guarded([&] { opened = wglDXOpenDeviceNV(device->Get()); })) {
        LOG(ERROR) << "Crash occurred while opening OpenGL device";
        return kOpenFailed;
    }
    if (opened == nullptr) {
        HRESULT result = HRESULT_FROM_WIN32(GetLastError());
        // The link failed whatever the last error says.
        if (result >= 0) {
            result = E_FAIL;
        }
        const auto [code, description] = Core::Utils::GetErrorInfo(result);
        LOG(ERROR) << "Failed to create OpenGL interop. Code: " << code
                   << ", Description: " << description;
        return result;
    }
    oglDevice = opened;
    d11Device = device;
    HRESULT result = S_OK;
    try {
        RunProbe(false, boost::intrusive_ptr<InteropContext>(this));
        return S_OK;
    } catch (const DX::DirectXException& error) {
        result = error.GetResult();
        LOG(ERROR) << error.GetErrorDescription() << ". " << error.GetResultDescription();
    } catch (...) {
        result = E_FAIL;
        LOG(ERROR) << Diagnostic();
    }
    HANDLE linked = std::exchange(oglDevice, nullptr);
    Guarded([&] { wglDXCloseDeviceNV(linked); });
    d11Device.reset();
    return result;
}

boost::intrusive_ptr<DX::D3Device> InteropContext::GetInteropDevice(DXDeviceType type) const {
    switch (type) {
        case DXDeviceType::D11:
            return d11Device;
        case DXDeviceType::D12:
            return d12Device;
        default:
            if (d12Device && d12SharingSupported) {
                return d12Device;
            }
            return d11Device;
    }
}

void InteropContext::RegisterSurface(InteropSurface* surface) {
    std::lock_guard lock(surfacesMutex);
    surfaces.insert(surface);
}

void InteropContext::UnregisterSurface(InteropSurface* surface) {
    std::lock_guard lock(surfacesMutex);
    surfaces.erase(surface);
}

bool IsDirectXPlayerEnabled() { return !SwitchSet("DisableDirectXPlayer"); }

}  // namespace Kavrin::Ogl
