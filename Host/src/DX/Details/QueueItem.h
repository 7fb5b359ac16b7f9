#pragma once

#include <memory>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/DX/D12CompletionEvent.h"
#include "Kavrin/DX/D12GraphicsCommandList.h"
#include "Kavrin/DX/EmulatedFence.h"

namespace Kavrin::DX::Details {

// One entry of an emulated queue: lists to run, or a fence to signal or wait for.
struct QueueItem {
    enum class Kind { Execute, Signal, Wait };
    Kind kind = Kind::Execute;
    std::vector<boost::intrusive_ptr<D12GraphicsCommandList>> lists;
    // The event keeps the fence's handle alive until the item has run.
    boost::intrusive_ptr<D12CompletionEvent> event;
    UINT64 value = 0;
};

}  // namespace Kavrin::DX::Details
