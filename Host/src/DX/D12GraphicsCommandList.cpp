#include "Kavrin/DX/D12GraphicsCommandList.h"

#include "Kavrin/DX/DirectXException.h"

#include "Details/EmulatedObjects.h"
#include "Details/LiveObjects.h"

namespace Kavrin::DX {
namespace {

Details::D12ResourceImpl& CheckedResource(ID3D12Resource* resource, const LUID& device,
                                          const char* function, const char* role) {
    Details::D12ResourceImpl* emulated = Details::AsEmulated(resource);
    if (!emulated) {
        KAVRIN_THROW_DX(function, E_INVALIDARG,
                        std::string("The ") + role + " is not a resource of the DirectX emulation");
    }
    if (!(emulated->device->Luid() == device)) {
        KAVRIN_THROW_DX(function, E_INVALIDARG,
                        std::string("The ") + role + " belongs to another Direct3D 12 device");
    }
    return *emulated;
}

}  // namespace

D12GraphicsCommandList::D12GraphicsCommandList(std::shared_ptr<Details::DeviceState> device)
    : device(std::move(device)), liveId(Details::RegisterLive("D12GraphicsCommandList", "")) {}

D12GraphicsCommandList::~D12GraphicsCommandList() { Details::UnregisterLive(liveId); }

void D12GraphicsCommandList::CheckOpen(const char* function) const {
    if (closed) {
        KAVRIN_THROW_DX(function, DXGI_ERROR_INVALID_CALL,
                        "The command list is closed; record into a new list");
    }
}

void D12GraphicsCommandList::ResourceBarrier(UINT count, const D3D12_RESOURCE_BARRIER* barriers) {
    std::vector<D12Command> recorded;
    for (UINT i = 0; i < count; ++i) {
        const D3D12_RESOURCE_BARRIER& barrier = barriers[i];
        ID3D12Resource* resource = nullptr;
        if (barrier.Type == D3D12_RESOURCE_BARRIER_TYPE_TRANSITION) {
            const D3D12_RESOURCE_TRANSITION_BARRIER& transition = barrier.Transition;
            CheckedResource(transition.pResource, device->Luid(), "ResourceBarrier", "resource");
            if (transition.Subresource != D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES &&
                transition.Subresource != 0) {
                KAVRIN_THROW_DX("ResourceBarrier", E_INVALIDARG,
                                "Emulated resources have only subresource 0");
            }
            if (transition.StateBefore == transition.StateAfter) {
                KAVRIN_THROW_DX("ResourceBarrier", E_INVALIDARG,
                                "A transition barrier needs two different states");
            }
            resource = transition.pResource;
        } else if (barrier.Type == D3D12_RESOURCE_BARRIER_TYPE_UAV) {
            resource = barrier.UAV.pResource;
        } else if (barrier.Type != D3D12_RESOURCE_BARRIER_TYPE_ALIASING) {
            KAVRIN_THROW_DX("ResourceBarrier", E_INVALIDARG, "Unknown barrier type");
        }
        recorded.emplace_back(D12BarrierCommand{barrier, CComPtr<ID3D12Resource>(resource)});
    }
    std::lock_guard lock(mutex);
    CheckOpen("ResourceBarrier");
    for (D12Command& command : recorded)
        commands.push_back(std::move(command));
}

void D12GraphicsCommandList::CopyResource(ID3D12Resource* destination, ID3D12Resource* source) {
    const Details::D12ResourceImpl& to =
        CheckedResource(destination, device->Luid(), "CopyResource", "destination");
    const Details::D12ResourceImpl& from =
        CheckedResource(source, device->Luid(), "CopyResource", "source");
    if (destination == source)
        KAVRIN_THROW_DX("CopyResource", E_INVALIDARG, "CopyResource needs two different resources");
    if (to.desc.Width != from.desc.Width || to.desc.Height != from.desc.Height ||
        to.desc.Format != from.desc.Format) {
        KAVRIN_THROW_DX("CopyResource", E_INVALIDARG,
                        "CopyResource needs resources of the same size and format");
    }
    std::lock_guard lock(mutex);
    CheckOpen("CopyResource");
    commands.emplace_back(
        D12CopyCommand{CComPtr<ID3D12Resource>(destination), CComPtr<ID3D12Resource>(source)});
}

void D12GraphicsCommandList::Close() {
    std::lock_guard lock(mutex);
    if (closed)
        KAVRIN_THROW_DX("Close", E_FAIL, "The command list is already closed");
    closed = true;
}

bool D12GraphicsCommandList::IsClosed() const {
    std::lock_guard lock(mutex);
    return closed;
}

std::vector<D12Command> D12GraphicsCommandList::GetCommands() const {
    std::lock_guard lock(mutex);
    return commands;
}

LUID D12GraphicsCommandList::GetAdapterLuid() const { return device->Luid(); }

}  // namespace Kavrin::DX
