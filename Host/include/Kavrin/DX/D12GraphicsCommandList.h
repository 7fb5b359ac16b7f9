#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D12.h"

namespace Kavrin::DX {

namespace Details {
struct DeviceState;
}

// A recorded ResourceBarrier entry; `resource` keeps the barrier's resource alive.
struct D12BarrierCommand {
    D3D12_RESOURCE_BARRIER barrier;
    CComPtr<ID3D12Resource> resource;
};

struct D12CopyCommand {
    CComPtr<ID3D12Resource> destination;
    CComPtr<ID3D12Resource> source;
};

using D12Command = std::variant<D12BarrierCommand, D12CopyCommand>;

// A direct command list: records barriers and copies until Close; the host then runs
// it on a D12CommandQueue. Recording is meant for one thread at a time but is
// serialised; GetCommands may be read once the list is closed.
class D12GraphicsCommandList : public IRefCountable {
public:
    explicit D12GraphicsCommandList(std::shared_ptr<Details::DeviceState> device);
    ~D12GraphicsCommandList() override;

    // Records the barriers. Throws DirectXException: DXGI_ERROR_INVALID_CALL on a
    // closed list; E_INVALIDARG for a null or foreign resource, a subresource other
    // than 0 or all, or a transition whose two states are equal.
    void ResourceBarrier(UINT count, const D3D12_RESOURCE_BARRIER* barriers);
    // Records a copy of the whole of `source` into `destination`: same size and format,
    // both of this device (E_INVALIDARG otherwise).
    void CopyResource(ID3D12Resource* destination, ID3D12Resource* source);
    // Ends recording; closing twice throws DirectXException E_FAIL.
    void Close();
    bool IsClosed() const;
    // What was recorded, in order.
    std::vector<D12Command> GetCommands() const;
    // The adapter of the device that created the list.
    LUID GetAdapterLuid() const;

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    void CheckOpen(const char* function) const;

    RefCountImpl refCount;
    std::shared_ptr<Details::DeviceState> device;
    // Guards the fields below; a leaf lock.
    mutable std::mutex mutex;
    std::vector<D12Command> commands;
    bool closed = false;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
