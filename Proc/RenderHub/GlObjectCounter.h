#pragma once

#include <array>
#include <atomic>
#include <cstddef>

namespace Kavrin::Ogl::Details {

// Live GL objects per kind, counted by their owners' single create and delete
// paths (never for wrapped names). Tests compare snapshots; thread-safe.
class GlObjectCounter {
public:
    enum Kind : std::size_t {
        Shader,
        Program,
        Texture,
        Framebuffer,
        Renderbuffer,
        Buffer,
        VertexArray,
        KindCount
    };
    using Snapshot = std::array<long, KindCount>;

    static void Created(Kind kind) {
        counts[kind].fetch_add(1, std::memory_order_relaxed);
        totals[kind].fetch_add(1, std::memory_order_relaxed);
    }
    static void Deleted(Kind kind) { counts[kind].fetch_sub(1, std::memory_order_relaxed); }
    static long Live(Kind kind) { return counts[kind].load(std::memory_order_relaxed); }
    // Objects of the kind ever created: shows creation churn that Live hides.
    static long TotalCreated(Kind kind) { return totals[kind].load(std::memory_order_relaxed); }
    static Snapshot Take();
    static const char* Name(Kind kind);

private:
    static std::array<std::atomic<long>, KindCount> counts;
    static std::array<std::atomic<long>, KindCount> totals;
};

}  // namespace Kavrin::Ogl::Details
