#pragma once

#include <GL/glew.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/D11Device.h"
#include "Kavrin/DX/D12Device.h"
#include "Kavrin/DX/DirectXException.h"
#include "Kavrin/Win/DXGI.h"

#include "interop/InteropTexture.h"

namespace Kavrin::DX {
class DXGIAdapter;
}

// Throws an InteropException with the function name, description and HRESULT.
#define KAVRIN_THROW_INTEROP(function, result, description)                                  \
    KAVRIN_THROW_FROM(                                                                       \
        function,                                                                            \
        ::Kavrin::Details::AttachDescription(::Kavrin::Ogl::InteropException(), description) \
            << ::Kavrin::DX::HResult(result))

namespace Kavrin::Ogl {

class InteropContext;
class QtOglContext;

// Failures of the Direct3D interop: what() is "OpenGL interop exception"; the
// description and the HRESULT travel as error info (GetErrorDescription,
// GetResult).
class InteropException : public DX::DirectXException {
public:
    const char* what() const noexcept override { return "OpenGL interop exception"; }
};

// The base of every texture shared with Direct3D: its format and the interop
// context it lives on (one reference). Concrete surfaces register with the
// context when constructed and unregister when destroyed.
class InteropSurface : public InteropTexture {
public:
    DXGI_FORMAT GetFormat() const { return format; }
    const boost::intrusive_ptr<InteropContext>& GetContext() const { return context; }
    // Releases the GL and Direct3D objects now (the destructor does otherwise).
    virtual void Destroy() = 0;

protected:
    InteropSurface(unsigned width, unsigned height, DXGI_FORMAT format,
                   const boost::intrusive_ptr<InteropContext>& context);

    DXGI_FORMAT format;
    boost::intrusive_ptr<InteropContext> context;
};

// Links the library's OpenGL context with a Direct3D 11 device and, for the GL
// thread's shared context, a Direct3D 12 device on the same adapter, and decides
// which sharing paths work: WGL_NV_DX_interop (required), Direct3D 11 sharing
// through memory objects and keyed mutexes, Direct3D 12 sharing through memory
// objects and semaphores (confirmed by a probe surface). The shared context
// reports what it found to the host's core tracker. Reference counts change on
// any thread; initialisation and destruction run on the GL thread.
class InteropContext : public IRefCountable {
public:
    enum class DXDeviceType : std::int32_t { Preferred = 0, D11 = 1, D12 = 2 };

    ~InteropContext() override;
    InteropContext(const InteropContext&) = delete;
    InteropContext& operator=(const InteropContext&) = delete;

    unsigned AddRef() const override;
    unsigned GetRefCount() const override;
    unsigned Release() const override;

    // Any thread (initialisation runs on the GL thread, the caller waits). Null
    // when interop is not available; a null device makes the shared kind of
    // context (adapter search, Direct3D 12, tracker report). An exception of the
    // initialisation reaches a GL-thread caller as itself and others as
    // std::future_error (broken promise).
    static boost::intrusive_ptr<InteropContext> Create(
        const boost::intrusive_ptr<DX::D11Device>& device);
    // The shared context of the GL context: off the GL thread that of the one
    // registered context (null when there is none); on the GL thread that of the
    // current context, throwing when there is no current context or interop.
    static boost::intrusive_ptr<InteropContext> GetShared();
    static std::uint64_t GetCount() { return s_contextCount.load(); }

    // GL thread, the library's context current.
    bool Initialize(const boost::intrusive_ptr<DX::D11Device>& device);

    boost::intrusive_ptr<DX::D3Device> GetInteropDevice(DXDeviceType type) const;
    const boost::intrusive_ptr<DX::D11Device>& GetD11Device() const { return d11Device; }
    const boost::intrusive_ptr<DX::D12Device>& GetD12Device() const { return d12Device; }
    // std::bad_optional_access before the adapter is known.
    LUID GetAdapterLuid() const { return adapterLuid.value(); }
    QtOglContext* GetOglContext() const { return oglContext; }
    void* GetOglDevice() const { return oglDevice; }
    bool IsD11SharingSupported() const { return d11SharingSupported; }
    bool IsD12SharingSupported() const { return d12SharingSupported; }

    // Surface construction and destruction: the GL thread, or any thread for a
    // surface dropped after the worker stopped.
    void RegisterSurface(InteropSurface* surface);
    void UnregisterSurface(InteropSurface* surface);

private:
    InteropContext();

    bool InitializeInterop(const boost::intrusive_ptr<DX::D11Device>& device,
                           std::map<std::string, std::string>& info);
    bool CreateD11Device(std::string& status);
    bool CreateD12Device();
    std::vector<DX::DXGIAdapter> EnumerateAdapters() const;
    long LinkWithOpenGL(const boost::intrusive_ptr<DX::D11Device>& device);

    RefCountImpl refCount;
    QtOglContext* oglContext = nullptr;
    std::optional<LUID> adapterLuid;
    HANDLE oglDevice = nullptr;
    boost::intrusive_ptr<DX::D11Device> d11Device;
    boost::intrusive_ptr<DX::D12Device> d12Device;
    bool d11SharingSupported = false;
    bool d12SharingSupported = false;
    std::mutex surfacesMutex;  // guards `surfaces`; a leaf lock
    std::unordered_set<InteropSurface*> surfaces;

    static std::atomic<std::uint64_t> s_contextCount;
};

// False when the host's switch "DisableDirectXPlayer" is set.
bool IsDirectXPlayerEnabled();

// The interop device of that type of the process's OpenGL context; null when
// there is no context. A removed device drops the interop context, and `create`
// makes a new one (waiting for the GL thread when called elsewhere).
boost::intrusive_ptr<DX::D3Device> GetInteropDevice(InteropContext::DXDeviceType type, bool create);

namespace Details {

// The surfaces an interop context creates to confirm a sharing path: the
// Direct3D 11 probe while linking, the Direct3D 12 one for Direct3D 12 sharing.
// Each throws when the path does not work. Tests replace them; an empty function
// restores the real surfaces.
using InteropProbe = std::function<void(const boost::intrusive_ptr<InteropContext>&)>;
void SetInteropProbes(InteropProbe d11, InteropProbe d12);

}  // namespace Details

}  // namespace Kavrin::Ogl
