#pragma once

#include <cstdint>
#include <string>

namespace Kavrin::DX::Details {

// The registry behind ReportDirectXLeaks: every emulated object enters at its
// construction and leaves at its destruction. Thread-safe.
std::uint64_t RegisterLive(std::string kind, std::string name);
void RenameLive(std::uint64_t id, std::string name);
void UnregisterLive(std::uint64_t id);

}  // namespace Kavrin::DX::Details
