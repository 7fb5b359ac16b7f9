#include <GL/glew.h>

#include "QtWin/D12Surface.h"

#include <chrono>
#include <stdexcept>
#include <utility>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/Exception.h"
#include "Kavrin/DX/D11CompletionEvent.h"
#include "Kavrin/DX/D11SharedTexture2D.h"
#include "Kavrin/DX/D12Device.h"
#include "Kavrin/DX/D12GraphicsCommandList.h"
#include "Kavrin/Win/GLInterop.h"
#include "Kavrin/Win/WinBase.h"

#include "QtWin/D11Surface.h"

namespace Kavrin::Ogl {
namespace {

using Details::CheckSurfaceContext;
using Details::DeleteSurfaceTexture;
using Details::DestroyInDestructor;
using Details::ForgetSurfaceTexture;
using Details::ImportSharedTexture;

constexpr std::int64_t kIdleExpiryNs = 5'000'000'000;
constexpr std::chrono::milliseconds kPurgePeriod{5000};
constexpr DWORD kSharedAccess = DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE;
constexpr const wchar_t* kResourceName = L"Shared DirectX 12 with OpenGL texture";

GLenum SharingFormatOf(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
            return GL_RGBA32F;
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
            return GL_RGBA16F;
        case DXGI_FORMAT_R16G16B16A16_UNORM:
            return GL_RGBA16;
        case DXGI_FORMAT_R10G10B10A2_UNORM:
            return GL_RGB10_A2;
        case DXGI_FORMAT_R8G8B8A8_UNORM:
            return GL_RGBA8;
        default:
            KAVRIN_THROW_INTEROP("D12SharingSurfaceImpl", E_NOTIMPL,
                                 "Unsupported DXGI format for interop");
    }
}

void Transition(DX::D12GraphicsCommandList& list, ID3D12Resource* resource,
                D3D12_RESOURCE_STATES before, D3D12_RESOURCE_STATES after) {
    D3D12_RESOURCE_BARRIER barrier{};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Flags = D3D12_RESOURCE_BARRIER_FLAG_NONE;
    barrier.Transition.pResource = resource;
    barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    barrier.Transition.StateBefore = before;
    barrier.Transition.StateAfter = after;
    list.ResourceBarrier(1, &barrier);
}

// Records a copy between the surface and a host resource that passes through
// `copyState` around it; the surface's own resource keeps its state.
void RecordCopy(const boost::intrusive_ptr<DX::D12CommandAllocator>& allocator,
                ID3D12Resource* destination, ID3D12Resource* source, ID3D12Resource* host,
                D3D12_RESOURCE_STATES copyState, D12Surface::States stateBefore,
                D12Surface::States stateAfter) {
    boost::intrusive_ptr<DX::D12GraphicsCommandList> list = allocator->CreateCommandList();
    if (stateBefore != D12Surface::States(copyState)) {
        Transition(*list, host, stateBefore.get(), copyState);
    }
    list->CopyResource(destination, source);
    if (stateAfter != D12Surface::States(copyState)) {
        Transition(*list, host, copyState, stateAfter.get());
    }
    list->Close();
}

const boost::intrusive_ptr<DX::D12Device>& D12DeviceOf(const InteropContext& context) {
    if (!context.GetD12Device()) {
        KAVRIN_THROW_INTEROP("D12InteropSurface", E_FAIL,
                             "The interop context has no DirectX 12 device; create the surface "
                             "on the shared context");
    }
    return context.GetD12Device();
}

// GL_EXT_memory_object_win32 + GL_EXT_semaphore_win32: a shared Direct3D 12
// texture imported into GL as memory, and the surface's fence imported as a
// semaphore that GL signals after rendering.
class D12SharingSurfaceImpl final : public D12InteropSurface {
public:
    D12SharingSurfaceImpl(unsigned width, unsigned height, DXGI_FORMAT format,
                          const boost::intrusive_ptr<InteropContext>& context)
        : D12InteropSurface(width, height, format, context) {
        const GLenum internalFormat = SharingFormatOf(format);
        try {
            const auto& device = D12DeviceOf(*context);
            DX::D12Texture2DDesc desc;
            desc.width = width;
            desc.height = height;
            desc.arraySize = 1;
            desc.mipLevels = 1;
            desc.format = format;
            desc.sampleDesc = {1, 0};
            desc.flags = D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET |
                         D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS;
            d3dTexture = device->CreateTexture2D(desc);
            d3dTexture->SetName(kResourceName);
            sharedHandle = device->CreateSharedHandle(d3dTexture.p);
            ImportSharedTexture(texture, memoryObject, GL_HANDLE_TYPE_D3D12_RESOURCE_EXT,
                                sharedHandle, internalFormat, width, height,
                                "D12SharingSurfaceImpl",
                                "Failed to import DirectX 12 memory object",
                                "Failed to create OpenGL texture on DirectX 12 memory");
            glGenSemaphoresEXT(1, &semaphore);
            if (semaphore == 0) {
                KAVRIN_THROW_INTEROP("D12SharingSurfaceImpl", E_FAIL,
                                     "Failed to create OpenGL semaphore");
            }
            glImportSemaphoreWin32HandleEXT(semaphore, GL_HANDLE_TYPE_D3D12_FENCE_EXT,
                                            event->GetSharedHandle());
            if (glGetError() != GL_NO_ERROR) {
                KAVRIN_THROW_INTEROP("D12SharingSurfaceImpl", E_FAIL,
                                     "Failed to import DirectX 12 fence");
            }
        } catch (...) {
            ReleaseObjects();
            throw;
        }
        context->RegisterSurface(this);
    }

    ~D12SharingSurfaceImpl() override {
        DestroyInDestructor([this] { Destroy(); }, [this] { ReleaseObjects(false); });
        context->UnregisterSurface(this);
    }

    void BindFrameBuffer(const std::function<void()>& draw,
                         const std::optional<GLViewport>& viewport) const override {
        CheckSurfaceContext(*context, "BindFrameBuffer");
        InteropTexture::BindFrameBuffer(draw, viewport);
        const GLuint64 value = event->PreIncrementValue();
        glSemaphoreParameterui64vEXT(semaphore, GL_D3D12_FENCE_VALUE_EXT, &value);
        glSignalSemaphoreEXT(semaphore, 0, nullptr, 0, nullptr, nullptr);
    }

    void Draw(const Mesh& mesh, const ShaderStorage& storage) const override {
        CheckSurfaceContext(*context, "Draw");
        // The emulated Direct3D 12 memory reaches GL only at a hand-over point:
        // wait for the last value handed out, which the host signals after its
        // writes (or GL did after rendering), and take the texture back.
        const GLuint64 value = event->GetValue();
        glSemaphoreParameterui64vEXT(semaphore, GL_D3D12_FENCE_VALUE_EXT, &value);
        const GLuint textures[] = {texture};
        const GLenum layouts[] = {GL_LAYOUT_SHADER_READ_ONLY_EXT};
        glWaitSemaphoreEXT(semaphore, 0, nullptr, 1, textures, layouts);
        InteropTexture::Draw(mesh, storage);
    }

    void Destroy() override {
        CheckSurfaceContext(*context, "Destroy");
        ReleaseObjects();
    }

private:
    // Whatever exists; safe on a half-built surface and a second time. Without
    // `withGL` the GL names are forgotten.
    void ReleaseObjects(bool withGL = true) {
        if (semaphore != 0 && withGL) {
            glDeleteSemaphoresEXT(1, &semaphore);
        }
        semaphore = 0;
        if (memoryObject != 0 && withGL) {
            glDeleteMemoryObjectsEXT(1, &memoryObject);
        }
        memoryObject = 0;
        if (sharedHandle != nullptr) {
            CloseHandle(sharedHandle);
            sharedHandle = nullptr;
        }
        withGL ? DeleteSurfaceTexture(texture) : ForgetSurfaceTexture(texture);
        d3dTexture.Release();
    }

    HANDLE sharedHandle = nullptr;
    GLuint memoryObject = 0;
    GLuint semaphore = 0;
};

// Without Direct3D 12 sharing: GL uses an inner Direct3D 11 surface, and
// Direct3D 11 copies between it and a keyed-mutex texture that Direct3D 12 opens,
// signalling the surface's fence after each render.
class D12InteropSurfaceImpl final : public D12InteropSurface {
public:
    D12InteropSurfaceImpl(unsigned width, unsigned height, DXGI_FORMAT format,
                          const boost::intrusive_ptr<InteropContext>& context)
        : D12InteropSurface(width, height, format, context) {
        try {
            d11Surface = D11Surface::Create(width, height, format, context);
            d11Event = DX::D11CompletionEvent::OpenShared(context->GetD11Device(), event);
            D3D11_TEXTURE2D_DESC desc{};
            desc.Width = width;
            desc.Height = height;
            desc.MipLevels = 1;
            desc.ArraySize = 1;
            desc.Format = format;
            desc.SampleDesc = {1, 0};
            desc.Usage = D3D11_USAGE_DEFAULT;
            sharedTexture = DX::D11SharedTexture2D::Create(context->GetD11Device(), desc);
            sharedHandle = sharedTexture->CreateSharedHandle(kSharedAccess);
            d3dTexture = D12DeviceOf(*context)->OpenSharedResource(sharedHandle);
            d3dTexture->SetName(kResourceName);
        } catch (...) {
            ReleaseObjects();
            throw;
        }
        context->RegisterSurface(this);
    }

    ~D12InteropSurfaceImpl() override {
        DestroyInDestructor([this] { Destroy(); }, [this] { ReleaseObjects(false); });
        context->UnregisterSurface(this);
        d11Event.reset();
    }

    void BindFrameBuffer(const std::function<void()>& draw,
                         const std::optional<GLViewport>& viewport) const override {
        d11Surface->BindFrameBuffer(draw, viewport);
        sharedTexture->AcquireSync(0, INFINITE);
        const SyncReleaser release(*sharedTexture);
        d11Surface->Encode([&](const boost::intrusive_ptr<DX::D11DeviceContext>& deviceContext,
                               const CComPtr<ID3D11Texture2D>& inner) {
            deviceContext->CopyResource(sharedTexture->GetTexture().p, inner.p);
            deviceContext->Signal(d11Event);
        });
    }

    void Draw(const Mesh& mesh, const ShaderStorage& storage) const override {
        {
            sharedTexture->AcquireSync(0, INFINITE);
            const SyncReleaser release(*sharedTexture);
            d11Surface->Encode([&](const boost::intrusive_ptr<DX::D11DeviceContext>& deviceContext,
                                   const CComPtr<ID3D11Texture2D>& inner) {
                deviceContext->CopyResource(inner.p, sharedTexture->GetTexture().p);
            });
        }
        d11Surface->Draw(mesh, storage);
    }

    void Destroy() override {
        CheckSurfaceContext(*context, "Destroy");
        ReleaseObjects();
    }

private:
    class SyncReleaser {
    public:
        explicit SyncReleaser(const DX::D11SharedTexture2D& texture) : texture(texture) {}
        ~SyncReleaser() { texture.ReleaseSync(0); }
        SyncReleaser(const SyncReleaser&) = delete;
        SyncReleaser& operator=(const SyncReleaser&) = delete;

    private:
        const DX::D11SharedTexture2D& texture;
    };

    void ReleaseObjects(bool withGL = true) {
        withGL ? DeleteSurfaceTexture(texture) : ForgetSurfaceTexture(texture);
        d3dTexture.Release();
        if (sharedHandle != nullptr) {
            CloseHandle(sharedHandle);
            sharedHandle = nullptr;
        }
        sharedTexture.reset();
        d11Surface.reset();
    }

    boost::intrusive_ptr<D11Surface> d11Surface;
    boost::intrusive_ptr<DX::D11CompletionEvent> d11Event;
    boost::intrusive_ptr<DX::D11SharedTexture2D> sharedTexture;
    HANDLE sharedHandle = nullptr;
};

}  // namespace

D12InteropSurface::D12InteropSurface(unsigned width, unsigned height, DXGI_FORMAT format,
                                     const boost::intrusive_ptr<InteropContext>& context)
    : InteropSurface(width, height, format, context),
      event(D12DeviceOf(*context)->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED)) {}

void D12InteropSurface::Destroy() {
    DeleteSurfaceTexture(texture);
    d3dTexture.Release();
}

D12Surface::D12Surface(boost::intrusive_ptr<D12InteropSurface>&& impl,
                       boost::intrusive_ptr<D12SurfacePool>&& pool)
    : impl(std::move(impl)), pool(std::move(pool)) {}

D12Surface::~D12Surface() = default;

unsigned D12Surface::AddRef() const { return refCount.AddRef(); }

unsigned D12Surface::GetRefCount() const { return refCount.Get(); }

unsigned D12Surface::Release() const {
    const unsigned remaining = refCount.Release();
    if (remaining == 0) {
        pool->ReuseSurface(this);
        delete this;
    }
    return remaining;
}

void D12Surface::CopyFrom(const boost::intrusive_ptr<DX::D12CommandAllocator>& allocator,
                          const CComPtr<ID3D12Resource>& source, States stateBefore,
                          States stateAfter) {
    RecordCopy(allocator, impl->GetD3DTexture().p, source.p, source.p,
               D3D12_RESOURCE_STATE_COPY_SOURCE, stateBefore, stateAfter);
}

void D12Surface::CopyTo(const boost::intrusive_ptr<DX::D12CommandAllocator>& allocator,
                        const CComPtr<ID3D12Resource>& destination, States stateBefore,
                        States stateAfter) const {
    RecordCopy(allocator, destination.p, impl->GetD3DTexture().p, destination.p,
               D3D12_RESOURCE_STATE_COPY_DEST, stateBefore, stateAfter);
}

void D12Surface::BindFrameBuffer(const std::function<void()>& draw,
                                 const std::optional<GLViewport>& viewport) const {
    impl->BindFrameBuffer(draw, viewport);
}

void D12Surface::Draw(const ShaderStorage& storage, const std::array<float, 2>& scale) const {
    impl->InteropTexture::Draw(storage, scale);
}

const boost::intrusive_ptr<DX::D12CompletionEvent>& D12Surface::GetEvent() const {
    return impl->GetEvent();
}

const CComPtr<ID3D12Resource>& D12Surface::GetTexture() const { return impl->GetD3DTexture(); }

unsigned D12Surface::GetWidth() const { return pool->GetWidth(); }

unsigned D12Surface::GetHeight() const { return pool->GetHeight(); }

DXGI_FORMAT D12Surface::GetFormat() const { return pool->GetFormat(); }

D12SurfacePool::D12SurfacePool(unsigned width, unsigned height, DXGI_FORMAT format)
    : width(width),
      height(height),
      format(format),
      purgeTimer(Core::WaitableTimer::Create([this] { PurgeSurfaces(); })) {}

D12SurfacePool::~D12SurfacePool() {
    purgeTimer->Stop(true);
    purgeTimer.reset();
    idle.clear();
}

boost::intrusive_ptr<D12Surface> D12SurfacePool::CreateSurface(
    const boost::intrusive_ptr<InteropContext>& context) {
    if (!context) {
        KAVRIN_THROW_FROM("CreateSurface", std::invalid_argument("Interop context is null"));
    }
    boost::intrusive_ptr<D12InteropSurface> impl;
    {
        std::lock_guard lock(mutex);
        if (!idle.empty()) {
            impl = std::move(idle.back().surface);
            idle.pop_back();
        }
    }
    if (!impl) {
        if (context->IsD12SharingSupported()) {
            impl = new D12SharingSurfaceImpl(width, height, format, context);
        } else {
            impl = new D12InteropSurfaceImpl(width, height, format, context);
        }
    }
    return boost::intrusive_ptr<D12Surface>(
        new D12Surface(std::move(impl), boost::intrusive_ptr<D12SurfacePool>(this)));
}

void D12SurfacePool::ReuseSurface(const D12Surface* surface) {
    const std::int64_t expiry = Core::SteadyNowNs() + kIdleExpiryNs;
    std::lock_guard lock(mutex);
    idle.push_back(Entry{surface->impl, expiry});
    if (!purgeTimer->IsRunning()) {
        purgeTimer->StartPeriodic(kPurgePeriod);
    }
}

void D12SurfacePool::PurgeSurfaces() {
    const std::int64_t now = Core::SteadyNowNs();
    for (;;) {
        boost::intrusive_ptr<D12InteropSurface> expired;
        {
            std::lock_guard lock(mutex);
            if (idle.empty() || now < idle.front().expiry) {
                return;
            }
            expired = std::move(idle.front().surface);
            idle.pop_front();
            if (idle.empty()) {
                purgeTimer->Stop(false);
            }
        }
        // Released outside the lock: the last release may queue a GL-thread task.
        expired.reset();
    }
}

}  // namespace Kavrin::Ogl
