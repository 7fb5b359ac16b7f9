#pragma once

#include <optional>

#include "Kavrin/DX/Emulation.h"
#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::DX::Details {

// The HRESULT of this call of `step` when a test armed it to fail (disarming
// it), else empty. Thread-safe.
std::optional<HRESULT> TakeFailure(Emulation::Step step);

// Throws the DirectXException of an armed failure of `step` from `function`.
void ThrowIfFailing(Emulation::Step step, const char* function);

}  // namespace Kavrin::DX::Details
