#include "Kavrin/DX/D12CommandQueue.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <sstream>

#include "Kavrin/DX/D12CommandAllocator.h"
#include "Kavrin/DX/DirectXException.h"

#include "Details/DeviceState.h"
#include "Details/EmulatedObjects.h"
#include "Details/LiveObjects.h"
#include "Details/QueueItem.h"

namespace Kavrin::DX {
namespace {

// Work submitted to any queue and not yet run, for D12CommandAllocator::WaitAllComplete.
struct PendingWork {
    // Guards `count`; a leaf lock, taken after a queue's own mutex.
    std::mutex mutex;
    std::condition_variable done;
    std::size_t count = 0;
};

PendingWork& GetPendingWork() {
    static PendingWork* pending = new PendingWork();  // never destroyed: queues may outlive statics
    return *pending;
}

void BeginWork() {
    PendingWork& pending = GetPendingWork();
    std::lock_guard lock(pending.mutex);
    ++pending.count;
}

void EndWork(std::size_t items) {
    PendingWork& pending = GetPendingWork();
    {
        std::lock_guard lock(pending.mutex);
        pending.count -= items;
    }
    pending.done.notify_all();
}

std::string StateText(D3D12_RESOURCE_STATES state) {
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << static_cast<unsigned>(state);
    return text.str();
}

// The state a resource is in while a submission is checked, and whether it falls back
// to COMMON when the submission has run.
struct Tracked {
    D3D12_RESOURCE_STATES state;
    bool decays;
};

class StateCheck {
public:
    void Barrier(const D3D12_RESOURCE_BARRIER& barrier) {
        if (barrier.Type != D3D12_RESOURCE_BARRIER_TYPE_TRANSITION)
            return;
        const D3D12_RESOURCE_TRANSITION_BARRIER& transition = barrier.Transition;
        Details::D12ResourceImpl& resource = *Details::AsEmulated(transition.pResource);
        Tracked& tracked = Find(resource);
        if (tracked.state != transition.StateBefore) {
            Fail("ResourceBarrier on '" + resource.GetName() + "': StateBefore " +
                 StateText(transition.StateBefore) + " does not match the resource's state " +
                 StateText(tracked.state));
        }
        tracked.state = transition.StateAfter;
        // An explicit transition ends an implicit read-only promotion.
        tracked.decays = resource.IsSimultaneousAccess();
    }

    void Copy(const D12CopyCommand& copy) {
        Details::D12ResourceImpl& source = *Details::AsEmulated(copy.source.p);
        Tracked& from = Find(source);
        if (!(from.state & D3D12_RESOURCE_STATE_COPY_SOURCE)) {
            if (from.state != D3D12_RESOURCE_STATE_COMMON) {
                Fail("CopyResource source '" + source.GetName() + "' is in state " +
                     StateText(from.state) + ", not D3D12_RESOURCE_STATE_COPY_SOURCE");
            }
            // Implicit promotion from COMMON; read-only promotions decay afterwards.
            from = {D3D12_RESOURCE_STATE_COPY_SOURCE, true};
        }
        Details::D12ResourceImpl& destination = *Details::AsEmulated(copy.destination.p);
        Tracked& to = Find(destination);
        if (to.state != D3D12_RESOURCE_STATE_COPY_DEST) {
            if (to.state != D3D12_RESOURCE_STATE_COMMON) {
                Fail("CopyResource destination '" + destination.GetName() + "' is in state " +
                     StateText(to.state) + ", not D3D12_RESOURCE_STATE_COPY_DEST");
            }
            to.state = D3D12_RESOURCE_STATE_COPY_DEST;
        }
    }

    // The states the submission leaves behind, once it has run.
    void Commit() {
        for (auto& [resource, tracked] : resources)
            resource->SetState(tracked.decays ? D3D12_RESOURCE_STATE_COMMON : tracked.state);
    }

private:
    Tracked& Find(Details::D12ResourceImpl& resource) {
        auto [entry, added] = resources.try_emplace(
            &resource, Tracked{resource.GetState(), resource.IsSimultaneousAccess()});
        return entry->second;
    }

    [[noreturn]] static void Fail(const std::string& message) {
        KAVRIN_THROW_DX("ExecuteCommandLists", E_INVALIDARG, message);
    }

    std::map<Details::D12ResourceImpl*, Tracked> resources;
};

void RunList(const D12GraphicsCommandList& list) {
    for (const D12Command& command : list.GetCommands()) {
        if (const auto* copy = std::get_if<D12CopyCommand>(&command)) {
            const auto& from = Details::AsEmulated(copy->source.p)->memory;
            const auto& to = Details::AsEmulated(copy->destination.p)->memory;
            if (from != to)
                to->Write(from->ReadAll());
        }
    }
}

}  // namespace

void D12CommandAllocator::WaitAllComplete() {
    PendingWork& pending = GetPendingWork();
    std::unique_lock lock(pending.mutex);
    pending.done.wait(lock, [&] { return pending.count == 0; });
}

D12CommandQueue::D12CommandQueue(std::shared_ptr<Details::DeviceState> device)
    : device(std::move(device)),
      worker([this] { Run(); }),
      liveId(Details::RegisterLive("D12CommandQueue", this->device->adapter->name)) {}

D12CommandQueue::~D12CommandQueue() {
    std::shared_ptr<EmulatedFence> waiting;
    {
        std::lock_guard lock(mutex);
        stopping = true;
        waiting = waitingOn;
    }
    changed.notify_all();
    if (waiting)
        waiting->WakeAll();
    worker.join();
    Details::UnregisterLive(liveId);
}

void D12CommandQueue::ExecuteCommandLists(
    const std::vector<boost::intrusive_ptr<D12GraphicsCommandList>>& lists) {
    std::lock_guard submit(submitMutex);
    Details::CheckNotRemoved(*device, "ExecuteCommandLists");
    StateCheck check;
    for (const auto& list : lists) {
        if (!list || !list->IsClosed()) {
            KAVRIN_THROW_DX("ExecuteCommandLists", DXGI_ERROR_INVALID_CALL,
                            "Command lists must be closed before they are executed");
        }
        if (!(list->GetAdapterLuid() == device->Luid())) {
            KAVRIN_THROW_DX("ExecuteCommandLists", DXGI_ERROR_INVALID_CALL,
                            "The command list belongs to another device");
        }
        for (const D12Command& command : list->GetCommands()) {
            if (const auto* barrier = std::get_if<D12BarrierCommand>(&command))
                check.Barrier(barrier->barrier);
            else
                check.Copy(std::get<D12CopyCommand>(command));
        }
    }
    check.Commit();
    auto item = std::make_unique<Details::QueueItem>();
    item->kind = Details::QueueItem::Kind::Execute;
    item->lists = lists;
    Enqueue(std::move(item));
}

void D12CommandQueue::Signal(const boost::intrusive_ptr<D12CompletionEvent>& event, UINT64 value) {
    if (!event)
        KAVRIN_THROW_DX("Signal", E_INVALIDARG, "No event to signal");
    std::lock_guard submit(submitMutex);
    Details::CheckNotRemoved(*device, "Signal");
    auto item = std::make_unique<Details::QueueItem>();
    item->kind = Details::QueueItem::Kind::Signal;
    item->event = event;
    item->value = value;
    Enqueue(std::move(item));
}

void D12CommandQueue::Wait(const boost::intrusive_ptr<D12CompletionEvent>& event, UINT64 value) {
    if (!event)
        KAVRIN_THROW_DX("Wait", E_INVALIDARG, "No event to wait for");
    std::lock_guard submit(submitMutex);
    Details::CheckNotRemoved(*device, "Wait");
    auto item = std::make_unique<Details::QueueItem>();
    item->kind = Details::QueueItem::Kind::Wait;
    item->event = event;
    item->value = value;
    Enqueue(std::move(item));
}

void D12CommandQueue::Flush() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return items.empty() && !busy; });
}

void D12CommandQueue::Enqueue(std::unique_ptr<Details::QueueItem> item) {
    BeginWork();
    {
        std::lock_guard lock(mutex);
        items.push_back(std::move(item));
    }
    changed.notify_all();
}

void D12CommandQueue::Run() {
    for (;;) {
        std::unique_ptr<Details::QueueItem> item;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return !items.empty() || stopping; });
            if (items.empty())
                return;
            item = std::move(items.front());
            items.pop_front();
            busy = true;
            if (item->kind == Details::QueueItem::Kind::Wait)
                waitingOn = item->event->GetFence();
        }
        bool abandoned = false;
        switch (item->kind) {
            case Details::QueueItem::Kind::Execute:
                for (const auto& list : item->lists)
                    RunList(*list);
                break;
            case Details::QueueItem::Kind::Signal:
                item->event->GetFence()->Signal(item->value);
                break;
            case Details::QueueItem::Kind::Wait:
                abandoned = !item->event->GetFence()->WaitUnless(
                    item->value, [this] { return stopping.load(); });
                break;
        }
        std::size_t finished = 1;
        std::deque<std::unique_ptr<Details::QueueItem>> dropped;
        {
            std::lock_guard lock(mutex);
            busy = false;
            waitingOn.reset();
            // Work behind a wait that can no longer be satisfied never runs.
            if (abandoned)
                dropped.swap(items);
        }
        finished += dropped.size();
        // References go outside the lock: an event's destructor closes its handle.
        item.reset();
        dropped.clear();
        EndWork(finished);
        changed.notify_all();
        if (abandoned)
            return;
    }
}

}  // namespace Kavrin::DX
