#pragma once

#include <cstdint>

namespace Kavrin {

// Pixel formats numbered exactly like FFmpeg's AVPixelFormat of libavutil 58.
enum class PixFmt : std::int32_t {
    None = -1,
    YUV420P = 0,
    YUYV422 = 1,
    RGB24 = 2,
    BGR24 = 3,
    GRAY8 = 8,
    NV12 = 23,
    RGBA = 26,
    BGRA = 28,
};

}  // namespace Kavrin
