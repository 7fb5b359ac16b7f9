#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/EmulatedTexture.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D11.h"
#include "Kavrin/Win/D3D12.h"

#include "Details/DeviceState.h"

namespace Kavrin::DX::Details {

// Reference counting of the emulated Windows interfaces: the last Release deletes.
template <class Interface>
class ComObject : public Interface {
public:
    ULONG AddRef() override { return refCount.AddRef(); }
    ULONG Release() override {
        const unsigned remaining = refCount.Release();
        if (remaining == 0)
            delete this;
        return remaining;
    }

private:
    RefCountImpl refCount;
};

// The emulated ID3D11Device behind a D11Device.
class D11DeviceImpl final : public ComObject<ID3D11Device> {
public:
    D11DeviceImpl(std::shared_ptr<DeviceState> state, D3D_FEATURE_LEVEL level);
    ~D11DeviceImpl() override;

    D3D_FEATURE_LEVEL GetFeatureLevel() override { return level; }
    HRESULT GetDeviceRemovedReason() override { return state->removedReason.load(); }

    const std::shared_ptr<DeviceState> state;
    const D3D_FEATURE_LEVEL level;

private:
    std::uint64_t liveId;
};

// An emulated Direct3D 11 texture: its description and memory.
class D11TextureImpl final : public ComObject<ID3D11Texture2D> {
public:
    D11TextureImpl(CComPtr<ID3D11Device> device, const D3D11_TEXTURE2D_DESC& desc,
                   std::shared_ptr<EmulatedTexture> memory);
    ~D11TextureImpl() override;

    void GetDevice(ID3D11Device** result) override {
        device.p->AddRef();
        *result = device.p;
    }
    void GetDesc(D3D11_TEXTURE2D_DESC* result) override { *result = desc; }

    const CComPtr<ID3D11Device> device;
    const D3D11_TEXTURE2D_DESC desc;
    const std::shared_ptr<EmulatedTexture> memory;

private:
    std::uint64_t liveId;
};

// An emulated Direct3D 12 resource: its description, memory, name and the state the
// work submitted so far leaves it in.
class D12ResourceImpl final : public ComObject<ID3D12Resource> {
public:
    D12ResourceImpl(std::shared_ptr<DeviceState> device, const D3D12_RESOURCE_DESC& desc,
                    std::shared_ptr<EmulatedTexture> memory, D3D12_RESOURCE_STATES state);
    ~D12ResourceImpl() override;

    HRESULT SetName(LPCWSTR name) override;
    D3D12_RESOURCE_DESC GetDesc() override { return desc; }
    std::string GetName() const;
    bool IsSimultaneousAccess() const {
        return (desc.Flags & D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS) != 0;
    }
    D3D12_RESOURCE_STATES GetState() const;
    void SetState(D3D12_RESOURCE_STATES state);

    const std::shared_ptr<DeviceState> device;
    const D3D12_RESOURCE_DESC desc;
    const std::shared_ptr<EmulatedTexture> memory;

private:
    // Guards `name` and `state`; a leaf lock.
    mutable std::mutex mutex;
    std::string name;
    D3D12_RESOURCE_STATES state;
    std::uint64_t liveId;
};

// The emulated object behind an interface pointer; null for null or foreign pointers.
D11TextureImpl* AsEmulated(ID3D11Resource* resource);
D12ResourceImpl* AsEmulated(ID3D12Resource* resource);

}  // namespace Kavrin::DX::Details
