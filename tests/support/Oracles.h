#pragma once
// FFmpeg's swscale as an independent Y'CbCr decoder. Link users against libswscale.
#include <cstdint>
#include <vector>

namespace Kavrin::Test {

// 4:4:4 planar Y'CbCr (8-bit, or 10-bit little-endian when `wide`) to
// interleaved RGB, point-sampled and accurately rounded: RGB24 bytes, or RGB48
// words when `wide`. BT.709 or else BT.601 coefficients. Empty on failure,
// which is also a test failure.
std::vector<int> SwscaleYuv444ToRgb(const std::uint8_t* const planes[3], const int strides[3],
                                    int width, int height, bool wide, bool bt709, bool fullRange);

}  // namespace Kavrin::Test
