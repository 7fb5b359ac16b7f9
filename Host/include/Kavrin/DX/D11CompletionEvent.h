#pragma once

#include <cstdint>
#include <memory>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/D11Device.h"
#include "Kavrin/DX/D12CompletionEvent.h"
#include "Kavrin/DX/EmulatedFence.h"

namespace Kavrin::DX {

// A Direct3D 12 completion event's fence opened on a Direct3D 11 device, so that
// Direct3D 11 work can signal it (D11DeviceContext::Signal). Thread-safe.
class D11CompletionEvent : public IRefCountable {
public:
    // Opens the shared fence of `event` on `device`. Throws DirectXException:
    // E_INVALIDARG when the event is not shared or lives on another adapter,
    // E_NOINTERFACE when the device has no fence support.
    static boost::intrusive_ptr<D11CompletionEvent> OpenShared(
        const boost::intrusive_ptr<D11Device>& device,
        const boost::intrusive_ptr<D12CompletionEvent>& event);
    ~D11CompletionEvent() override;

    // The last value handed out (shared with the Direct3D 12 event).
    UINT64 GetValue() const { return fence->GetValue(); }
    UINT64 GetCompletedValue() const { return fence->GetCompletedValue(); }
    bool Wait(UINT64 value, DWORD milliseconds) const { return fence->Wait(value, milliseconds); }
    const std::shared_ptr<EmulatedFence>& GetFence() const noexcept { return fence; }

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    explicit D11CompletionEvent(std::shared_ptr<EmulatedFence> fence);

    RefCountImpl refCount;
    std::shared_ptr<EmulatedFence> fence;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
