#pragma once

#include <cstdint>

namespace Kavrin::Conf {

// Codes numbered like FFmpeg's AVColorPrimaries, AVColorTransferCharacteristic
// and AVColorSpace; 2 means unspecified.
struct ColorSpace {
    std::int32_t primaries = 2;
    std::int32_t transfer = 2;
    std::int32_t matrix = 2;

    friend bool operator==(const ColorSpace&, const ColorSpace&) = default;
};

}  // namespace Kavrin::Conf
