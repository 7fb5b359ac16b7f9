#pragma once

#include <memory>
#include <optional>
#include <variant>

#include "Kavrin/DX/EmulatedFence.h"
#include "Kavrin/DX/EmulatedTexture.h"
#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::DX::Details {

// What an NT handle of the emulation names; the handle keeps it alive.
struct HandleEntry {
    std::variant<std::shared_ptr<EmulatedTexture>, std::shared_ptr<EmulatedFence>> object;
    DWORD access = 0;
};

// The process-wide handle table. Thread-safe.
HANDLE OpenHandle(HandleEntry entry);
// The entry of an open handle; empty for closed or unknown ones.
std::optional<HandleEntry> LookupHandle(HANDLE handle);
std::size_t OpenHandleCount();

}  // namespace Kavrin::DX::Details
