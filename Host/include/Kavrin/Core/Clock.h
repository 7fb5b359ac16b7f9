#pragma once

#include <cstdint>
#include <functional>

namespace Kavrin::Core {

// Steady-clock time in nanoseconds for timings and statistics. Tests replace the
// source with SetClockSource to make time-dependent results deterministic.
// Thread-safe; the source itself must be thread-safe.
std::int64_t SteadyNowNs();

// Replaces the time source; an empty function restores the steady clock.
void SetClockSource(std::function<std::int64_t()> source);

}  // namespace Kavrin::Core
