#include "Kavrin/DX/D12CommandAllocator.h"

#include <stdexcept>

#include "Kavrin/Core/Exception.h"

#include "Details/DeviceState.h"
#include "Details/LiveObjects.h"

namespace Kavrin::DX {

boost::intrusive_ptr<D12CommandAllocator> D12CommandAllocator::Create(
    const boost::intrusive_ptr<D12Device>& device) {
    if (!device)
        KAVRIN_THROW_FROM("Create", std::logic_error("A command allocator needs a device"));
    return boost::intrusive_ptr<D12CommandAllocator>(new D12CommandAllocator(device));
}

D12CommandAllocator::D12CommandAllocator(const boost::intrusive_ptr<D12Device>& device)
    : device(device), liveId(Details::RegisterLive("D12CommandAllocator", "")) {}

D12CommandAllocator::~D12CommandAllocator() { Details::UnregisterLive(liveId); }

boost::intrusive_ptr<D12GraphicsCommandList> D12CommandAllocator::CreateCommandList() const {
    Details::CheckNotRemoved(*device->GetState(), "CreateCommandList");
    boost::intrusive_ptr<D12GraphicsCommandList> list(
        new D12GraphicsCommandList(device->GetState()));
    std::lock_guard lock(listsMutex);
    lists.push_back(list);
    return list;
}

std::vector<boost::intrusive_ptr<D12GraphicsCommandList>> D12CommandAllocator::TakeClosedLists() {
    std::lock_guard lock(listsMutex);
    std::vector<boost::intrusive_ptr<D12GraphicsCommandList>> closed;
    std::vector<boost::intrusive_ptr<D12GraphicsCommandList>> open;
    for (auto& list : lists) {
        (list->IsClosed() ? closed : open).push_back(std::move(list));
    }
    lists = std::move(open);
    return closed;
}

}  // namespace Kavrin::DX
