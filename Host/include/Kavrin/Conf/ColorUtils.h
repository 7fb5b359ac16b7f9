#pragma once

#include <array>
#include <cstdint>

namespace Kavrin::Conf {

// YCbCr matrices, numbered like FFmpeg's AVColorSpace.
enum class YCbCrMatrix : std::int32_t {
    RGB = 0,
    BT709 = 1,
    Unspecified = 2,
    Reserved = 3,
    FCC = 4,
    BT470BG = 5,
    SMPTE170M = 6,
    SMPTE240M = 7,
    YCgCo = 8,
    BT2020NonConstant = 9,
    BT2020Constant = 10,
    SMPTE2085 = 11,
    ChromaDerivedNonConstant = 12,
    ChromaDerivedConstant = 13,
    ICtCp = 14,
};

// True for the matrices whose luma coefficients are known, i.e. those a linear
// YCbCr <-> R'G'B' matrix describes (constant-luminance and derived ones are not).
bool IsValidYCbCrMatrix(YCbCrMatrix matrix);

// Kr, Kg, Kb of the matrix. Throws Kavrin::Exception for a matrix that is not valid.
std::array<float, 3> GetYCbCrCoefficients(YCbCrMatrix matrix);

// Y'PbPr (Y' in [0, 1], Pb and Pr in [-0.5, 0.5]) to R'G'B':
// R = c0*Y + c1*Pr, G = c0*Y + c3*Pb + c2*Pr, B = c0*Y + c4*Pb.
using YpCbCrToARGBMatrix = std::array<float, 5>;
YpCbCrToARGBMatrix GetYpPbPrToRGBMatrix(YCbCrMatrix matrix);

// R'G'B' to Y'PbPr: Y = d0*R + d1*G + d2*B, Pb = d3*R + d4*G + d5*B,
// Pr = d5*R + d6*G + d7*B (d5 = 0.5 serves both).
using ARGBToYpCbCrMatrix = std::array<float, 8>;
ARGBToYpCbCrMatrix GetRGBToYpPbPrMatrix(YCbCrMatrix matrix);

}  // namespace Kavrin::Conf
