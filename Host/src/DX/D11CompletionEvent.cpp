#include "Kavrin/DX/D11CompletionEvent.h"

#include "Kavrin/DX/DirectXException.h"
#include "Kavrin/DX/Emulation.h"

#include "Details/Faults.h"
#include "Details/LiveObjects.h"

namespace Kavrin::DX {

boost::intrusive_ptr<D11CompletionEvent> D11CompletionEvent::OpenShared(
    const boost::intrusive_ptr<D11Device>& device,
    const boost::intrusive_ptr<D12CompletionEvent>& event) {
    if (!device || !event)
        KAVRIN_THROW_DX("OpenShared", E_INVALIDARG, "A device and an event are needed");
    if (!event->GetFlags().contains(D3D12_FENCE_FLAG_SHARED)) {
        KAVRIN_THROW_DX("OpenShared", E_INVALIDARG,
                        "The event's fence was not created with D3D12_FENCE_FLAG_SHARED");
    }
    if (!device->IsFencesSupported()) {
        KAVRIN_THROW_DX(
            "OpenShared", E_NOINTERFACE,
            "The Direct3D 11 device of " + device->GetAdapterName() + " does not support fences");
    }
    if (!(event->GetFence()->GetAdapterLuid() == device->GetAdapterLuid())) {
        KAVRIN_THROW_DX("OpenShared", E_INVALIDARG, "The event's fence belongs to another adapter");
    }
    Details::ThrowIfFailing(Emulation::Step::D11OpenSharedEvent, "OpenShared");
    return boost::intrusive_ptr<D11CompletionEvent>(new D11CompletionEvent(event->GetFence()));
}

D11CompletionEvent::D11CompletionEvent(std::shared_ptr<EmulatedFence> fence)
    : fence(std::move(fence)), liveId(Details::RegisterLive("D11CompletionEvent", "")) {}

D11CompletionEvent::~D11CompletionEvent() { Details::UnregisterLive(liveId); }

}  // namespace Kavrin::DX
