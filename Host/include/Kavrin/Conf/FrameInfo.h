#pragma once

#include <cstdint>

namespace Kavrin::Conf {

// Frame geometry: width and height in pixels, then the pixel aspect ratio as a
// fraction (0/0 = square). Compared as a whole.
struct FrameInfo {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t aspectNum = 0;
    std::int32_t aspectDen = 0;

    friend bool operator==(const FrameInfo&, const FrameInfo&) = default;
};
static_assert(sizeof(FrameInfo) == 16);

}  // namespace Kavrin::Conf
