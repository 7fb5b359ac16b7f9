#include "GlObjectCounter.h"

namespace Kavrin::Ogl::Details {

std::array<std::atomic<long>, GlObjectCounter::KindCount> GlObjectCounter::counts{};
std::array<std::atomic<long>, GlObjectCounter::KindCount> GlObjectCounter::totals{};

GlObjectCounter::Snapshot GlObjectCounter::Take() {
    Snapshot snapshot{};
    for (std::size_t kind = 0; kind < KindCount; ++kind) {
        snapshot[kind] = counts[kind].load(std::memory_order_relaxed);
    }
    return snapshot;
}

const char* GlObjectCounter::Name(Kind kind) {
    static constexpr const char* names[KindCount] = {
        "shader", "program", "texture", "framebuffer", "renderbuffer", "buffer", "vertex array"};
    return kind < KindCount ? names[kind] : "unknown";
}

}  // namespace Kavrin::Ogl::Details
