#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/D12Device.h"
#include "Kavrin/DX/D12GraphicsCommandList.h"

namespace Kavrin::DX {

// Hands out direct command lists for one D12Device. Thread-safe.
class D12CommandAllocator : public IRefCountable {
public:
    static boost::intrusive_ptr<D12CommandAllocator> Create(
        const boost::intrusive_ptr<D12Device>& device);
    ~D12CommandAllocator() override;

    // A new, open command list of the allocator's device. Throws DirectXException with
    // the removal reason on a lost device. The allocator keeps the list until
    // TakeClosedLists hands it out, so code that records and drops a list leaves it
    // for the host to execute.
    boost::intrusive_ptr<D12GraphicsCommandList> CreateCommandList() const;
    // The lists made here that are closed now, in creation order; the allocator
    // forgets them (open ones stay).
    std::vector<boost::intrusive_ptr<D12GraphicsCommandList>> TakeClosedLists();
    // Blocks until every queue of the process has run all the work submitted to it.
    // A queue that waits for a fence nobody signals keeps it waiting.
    static void WaitAllComplete();

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    explicit D12CommandAllocator(const boost::intrusive_ptr<D12Device>& device);

    RefCountImpl refCount;
    boost::intrusive_ptr<D12Device> device;
    // Guards `lists`; a leaf lock (list calls take only their own lock after it).
    mutable std::mutex listsMutex;
    mutable std::vector<boost::intrusive_ptr<D12GraphicsCommandList>> lists;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
