#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/D12CompletionEvent.h"
#include "Kavrin/DX/D12GraphicsCommandList.h"

namespace Kavrin::DX {

namespace Details {
struct DeviceState;
struct QueueItem;
}  // namespace Details

// The emulated direct queue of a D12Device. Submissions are checked at once, in
// submission order, against the resource states that earlier submissions leave
// (barriers must name the state a resource is in; copies need copy states, with
// Direct3D 12's implicit promotion from and decay to COMMON), then run in order on
// the queue's own thread, which stands in for the GPU. Thread-safe.
class D12CommandQueue : public IRefCountable {
public:
    explicit D12CommandQueue(std::shared_ptr<Details::DeviceState> device);
    // Runs what it can of the submitted work; work behind an unsatisfied Wait is dropped.
    ~D12CommandQueue() override;

    // Submits closed lists of this device. Throws DirectXException, submitting nothing:
    // DXGI_ERROR_INVALID_CALL for an open or foreign list, E_INVALIDARG for a barrier
    // or copy that does not match the resource states, the removal reason on a lost device.
    void ExecuteCommandLists(
        const std::vector<boost::intrusive_ptr<D12GraphicsCommandList>>& lists);
    // Signals `value` on the event's fence once the work submitted before has run.
    void Signal(const boost::intrusive_ptr<D12CompletionEvent>& event, UINT64 value);
    // Holds the work submitted after this until the event's fence reaches `value`.
    void Wait(const boost::intrusive_ptr<D12CompletionEvent>& event, UINT64 value);
    // Blocks until everything submitted so far has run (or was dropped).
    void Flush();

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    void Enqueue(std::unique_ptr<Details::QueueItem> item);
    void Run();

    RefCountImpl refCount;
    std::shared_ptr<Details::DeviceState> device;
    // Serialises submissions so that state checks and queue order agree; taken
    // before `mutex`.
    std::mutex submitMutex;
    // Guards `items`, `busy` and `waitingOn`; a leaf lock apart from
    // the global pending-work counter taken after it.
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Details::QueueItem>> items;
    bool busy = false;
    std::atomic<bool> stopping{false};
    std::shared_ptr<EmulatedFence> waitingOn;
    std::thread worker;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
