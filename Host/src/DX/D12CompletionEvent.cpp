#include "Kavrin/DX/D12CompletionEvent.h"

#include "Kavrin/Win/WinBase.h"

#include "Details/HandleTable.h"
#include "Details/LiveObjects.h"

namespace Kavrin::DX {

D12CompletionEvent::D12CompletionEvent(std::shared_ptr<EmulatedFence> fence,
                                       bitflags<D3D12_FENCE_FLAGS> flags)
    : fence(std::move(fence)),
      flags(flags),
      liveId(Details::RegisterLive("D12CompletionEvent", "")) {
    if (flags.contains(D3D12_FENCE_FLAG_SHARED))
        sharedHandle = Details::OpenHandle({this->fence, GENERIC_ALL});
}

D12CompletionEvent::~D12CompletionEvent() {
    if (sharedHandle)
        CloseHandle(sharedHandle);
    Details::UnregisterLive(liveId);
}

}  // namespace Kavrin::DX
