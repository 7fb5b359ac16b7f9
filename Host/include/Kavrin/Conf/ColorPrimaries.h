#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace Kavrin::Conf {

// Colour primaries, numbered like FFmpeg's AVColorPrimaries (ITU-T H.273 table 2).
enum class ColorPrimaries : std::int32_t {
    Reserved0 = 0,
    BT709 = 1,  // ITU-R BT.709-6 table 1 items 1.3, 1.4; D65
    Unspecified = 2,
    Reserved = 3,
    BT470M = 4,     // ITU-R BT.470-6 system M; illuminant C
    BT470BG = 5,    // ITU-R BT.470-6 systems B, G (BT.601 625 lines); D65
    SMPTE170M = 6,  // SMPTE 170M (BT.601 525); D65
    SMPTE240M = 7,  // SMPTE 240M, same chromaticities as 170M; D65
    Film = 8,       // generic film (Wratten filters); illuminant C
    BT2020 = 9,     // ITU-R BT.2020-2 table 3; D65
    SMPTE428 = 10,  // SMPTE ST 428-1, CIE XYZ; illuminant E
    SMPTE431 = 11,  // SMPTE RP 431-2, DCI-P3; DCI white
    SMPTE432 = 12,  // SMPTE EG 432-1, P3-D65 (Display P3 primaries); D65
    EBU3213 = 22,   // EBU Tech 3213-E / JEDEC P22; D65
};

// True for the primaries whose chromaticities are known (every named value but
// Reserved0, Unspecified and Reserved).
bool IsKnownColorPrimaries(ColorPrimaries primaries);

// Rows first: output_i = sum_j m[i][j] * input_j.
using RGBCrossMatrix = std::array<std::array<float, 3>, 3>;

// Linear RGB in `from` to linear RGB in `to`, through CIE XYZ: the normalised
// primary matrices of SMPTE RP 177-1993 section 3.3, computed in double from the
// chromaticities above. When both white points are equal there is no chromatic
// adaptation; otherwise the source white is adapted to the target white with the
// linear Bradford transform (ICC.1:2010 annex E.3), so RGB white stays RGB white.
// Equal primaries give the identity. Throws Kavrin::Exception for primaries that are
// not known (IsKnownColorPrimaries). Thread-safe (pure function).
RGBCrossMatrix GetRGBCrossMatrix(ColorPrimaries from, ColorPrimaries to);

// The primaries colour-space conversions handle, each with FFmpeg's name and the
// converter shader's, in one table for the converter, its checks and the tools.
struct NamedPrimaries {
    ColorPrimaries primaries;
    const char* name;
    const char* shaderName;
};
std::span<const NamedPrimaries> GetConvertiblePrimaries();
// Its entry for a code, or null.
const NamedPrimaries* FindConvertiblePrimaries(std::int32_t code);

// Relative luminance Y of linear RGB in these primaries: the Y row of the
// normalised primary matrix above (BT.709: 0.2126, 0.7152, 0.0722). Throws like
// GetRGBCrossMatrix.
std::array<float, 3> GetLuminanceCoefficients(ColorPrimaries primaries);

}  // namespace Kavrin::Conf
