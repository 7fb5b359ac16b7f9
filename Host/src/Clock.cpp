#include "Kavrin/Core/Clock.h"

#include <chrono>
#include <memory>
#include <mutex>

namespace Kavrin::Core {
namespace {

// Guards `source`; a leaf lock.
std::mutex sourceMutex;
std::shared_ptr<const std::function<std::int64_t()>> source;

}  // namespace

std::int64_t SteadyNowNs() {
    std::shared_ptr<const std::function<std::int64_t()>> current;
    {
        std::lock_guard lock(sourceMutex);
        current = source;
    }
    if (current) {
        return (*current)();
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SetClockSource(std::function<std::int64_t()> newSource) {
    auto replacement =
        newSource ? std::make_shared<const std::function<std::int64_t()>>(std::move(newSource))
                  : nullptr;
    std::lock_guard lock(sourceMutex);
    source = std::move(replacement);
}

}  // namespace Kavrin::Core
