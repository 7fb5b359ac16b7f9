#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::DX {

// The fence behind completion events: a completed value that signals raise (or set),
// and a counter of values handed out to signallers. Shared by the Direct3D 12 event,
// the Direct3D 11 event opened on it and a GL semaphore imported from its handle.
// Thread-safe.
class EmulatedFence {
public:
    explicit EmulatedFence(LUID adapter, bool shared);
    ~EmulatedFence();
    EmulatedFence(const EmulatedFence&) = delete;
    EmulatedFence& operator=(const EmulatedFence&) = delete;

    LUID GetAdapterLuid() const noexcept { return adapter; }
    bool IsShared() const noexcept { return shared; }

    // The last value handed out by PreIncrementValue.
    UINT64 GetValue() const noexcept { return value.load(); }
    // Raises the handed-out value by one and returns it.
    UINT64 PreIncrementValue() noexcept { return value.fetch_add(1) + 1; }

    UINT64 GetCompletedValue() const;
    // Sets the completed value and wakes waiters whose value is reached.
    void Signal(UINT64 completed);
    // Waits until the completed value is at least `target`; false when `milliseconds`
    // (INFINITE: no limit) passed first.
    bool Wait(UINT64 target, DWORD milliseconds) const;
    // Waits without limit until `target` is reached or `cancel` returns true after a
    // WakeAll; true when reached.
    bool WaitUnless(UINT64 target, const std::function<bool()>& cancel) const;
    // Wakes every waiter so that WaitUnless rechecks its cancel condition.
    void WakeAll() const;

private:
    const LUID adapter;
    const bool shared;
    std::atomic<UINT64> value{0};
    // Guards `completed`; a leaf lock.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    UINT64 completed = 0;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
