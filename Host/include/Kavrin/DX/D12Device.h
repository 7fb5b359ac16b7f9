#pragma once

#include <cstdint>
#include <optional>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/DX/D12CompletionEvent.h"
#include "Kavrin/DX/D3Device.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D12.h"
#include "Kavrin/Win/bitflags.h"

namespace Kavrin::DX {

class D12CommandQueue;

// A committed 2D texture resource; the fields after `flags` are zero in normal use.
struct D12Texture2DDesc {
    UINT heapType = D3D12_HEAP_TYPE_DEFAULT;
    UINT64 width = 0;
    UINT height = 0;
    UINT16 arraySize = 1;
    UINT16 mipLevels = 1;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
    DXGI_SAMPLE_DESC sampleDesc{1, 0};
    D3D12_RESOURCE_FLAGS flags = D3D12_RESOURCE_FLAG_NONE;
    D3D12_RESOURCE_STATES initialState = D3D12_RESOURCE_STATE_COMMON;
};

// A Direct3D 12 device (emulated in system memory) with one direct queue on which
// the host executes command lists. Thread-safe.
class D12Device : public D3Device {
public:
    // Whether Direct3D 12 exists on this machine (DX::Emulation::SetD12Available).
    static bool IsAvailable();
    // The device on the adapter with this LUID. Throws DirectXException:
    // DXGI_ERROR_NOT_FOUND for an unknown adapter, DXGI_ERROR_UNSUPPORTED without
    // Direct3D 12 (level below 11.0), or the adapter's configured failure.
    static boost::intrusive_ptr<D12Device> Create(const LUID& adapterLuid);
    ~D12Device() override;

    // The Direct3D 12 SDK version of the runtime; empty when it cannot be told.
    std::optional<unsigned> GetSDKVersion() const;
    // A new texture in `desc.initialState`. Throws DirectXException E_INVALIDARG for
    // sizes or formats the emulation cannot hold.
    CComPtr<ID3D12Resource> CreateTexture2D(const D12Texture2DDesc& desc) const;
    // A resource on the memory a shared handle names (a Direct3D 11 shared texture or
    // a Direct3D 12 resource). Throws DirectXException E_INVALIDARG for a bad handle or
    // one of another adapter.
    CComPtr<ID3D12Resource> OpenSharedResource(HANDLE handle) const;
    // A new handle (GENERIC_ALL) to the resource's memory; the caller closes it.
    HANDLE CreateSharedHandle(ID3D12Resource* resource) const;
    // A new fence at 0; D3D12_FENCE_FLAG_SHARED gives it a shared handle.
    boost::intrusive_ptr<D12CompletionEvent> CreateCompletionEvent(
        bitflags<D3D12_FENCE_FLAGS> flags) const;
    // The device's direct queue.
    const boost::intrusive_ptr<D12CommandQueue>& GetQueue() const noexcept { return queue; }

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    friend class D12CommandAllocator;
    D12Device(std::shared_ptr<const AdapterDescription> adapter, D3D_FEATURE_LEVEL level,
              std::optional<unsigned> sdkVersion);

    RefCountImpl refCount;
    std::optional<unsigned> sdkVersion;
    boost::intrusive_ptr<D12CommandQueue> queue;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
