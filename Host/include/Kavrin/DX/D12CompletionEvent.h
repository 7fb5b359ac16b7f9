#pragma once

#include <cstdint>
#include <memory>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/EmulatedFence.h"
#include "Kavrin/Win/D3D12.h"
#include "Kavrin/Win/bitflags.h"

namespace Kavrin::DX {

// A Direct3D 12 fence with the value last handed to a signaller. Created by
// D12Device::CreateCompletionEvent; with D3D12_FENCE_FLAG_SHARED it owns a handle
// to the fence in the process's handle table (closed with the event). Thread-safe.
class D12CompletionEvent : public IRefCountable {
public:
    D12CompletionEvent(std::shared_ptr<EmulatedFence> fence, bitflags<D3D12_FENCE_FLAGS> flags);
    ~D12CompletionEvent() override;

    // The last value handed out; 0 before the first PreIncrementValue.
    UINT64 GetValue() const { return fence->GetValue(); }
    // Raises the value by one and returns the new value, for the next signal.
    UINT64 PreIncrementValue() { return fence->PreIncrementValue(); }
    UINT64 GetCompletedValue() const { return fence->GetCompletedValue(); }
    // Signals `value` from the CPU.
    void Signal(UINT64 value) { fence->Signal(value); }
    // Waits until the fence reaches `value`; false after `milliseconds` (INFINITE: never).
    bool Wait(UINT64 value, DWORD milliseconds) const { return fence->Wait(value, milliseconds); }

    bitflags<D3D12_FENCE_FLAGS> GetFlags() const noexcept { return flags; }
    // The fence's handle, owned by the event; null unless created shared.
    HANDLE GetSharedHandle() const noexcept { return sharedHandle; }
    const std::shared_ptr<EmulatedFence>& GetFence() const noexcept { return fence; }

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    RefCountImpl refCount;
    std::shared_ptr<EmulatedFence> fence;
    bitflags<D3D12_FENCE_FLAGS> flags;
    HANDLE sharedHandle = nullptr;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
