#include "Kavrin/DX/EmulatedFence.h"

#include <chrono>

#include "Details/LiveObjects.h"

namespace Kavrin::DX {

EmulatedFence::EmulatedFence(LUID adapter, bool shared)
    : adapter(adapter),
      shared(shared),
      liveId(Details::RegisterLive("Fence", shared ? "shared" : "local")) {}

EmulatedFence::~EmulatedFence() { Details::UnregisterLive(liveId); }

UINT64 EmulatedFence::GetCompletedValue() const {
    std::lock_guard lock(mutex);
    return completed;
}

void EmulatedFence::Signal(UINT64 value) {
    {
        std::lock_guard lock(mutex);
        completed = value;
    }
    changed.notify_all();
}

bool EmulatedFence::Wait(UINT64 target, DWORD milliseconds) const {
    std::unique_lock lock(mutex);
    const auto reached = [&] { return completed >= target; };
    if (milliseconds == INFINITE) {
        changed.wait(lock, reached);
        return true;
    }
    return changed.wait_for(lock, std::chrono::milliseconds(milliseconds), reached);
}

bool EmulatedFence::WaitUnless(UINT64 target, const std::function<bool()>& cancel) const {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return completed >= target || cancel(); });
    return completed >= target;
}

void EmulatedFence::WakeAll() const {
    // Taking the lock orders the wake after a waiter's check of its cancel condition.
    { std::lock_guard lock(mutex); }
    changed.notify_all();
}

}  // namespace Kavrin::DX
