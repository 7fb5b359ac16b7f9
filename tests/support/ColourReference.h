#pragma once
// Double-precision colour maths written from the published standards (luma
// coefficients, quantisation ranges, transfer curves). It never calls the
// library's tables or helpers, so expected values stay independent of the code
// under test.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <glm/glm.hpp>

#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/PixFmtDescription.h"

namespace Kavrin::Test::Ref {

using Conf::YCbCrMatrix;

// ---------------------------------------------------------------------------
// Y'CbCr.

struct Luma {
    double kr;
    double kb;
    double Kg() const { return 1.0 - kr - kb; }
};

// Kr and Kb of the matrices the library supports; throws std::invalid_argument otherwise.
inline Luma LumaOf(YCbCrMatrix matrix) {
    switch (matrix) {
        case YCbCrMatrix::BT709:
            return {0.2126, 0.0722};
        case YCbCrMatrix::FCC:
            return {0.30, 0.11};
        case YCbCrMatrix::BT470BG:
        case YCbCrMatrix::SMPTE170M:
            return {0.299, 0.114};
        case YCbCrMatrix::SMPTE240M:
            return {0.212, 0.087};
        case YCbCrMatrix::BT2020NonConstant:
            return {0.2627, 0.0593};
        default:
            throw std::invalid_argument("no luma coefficients for matrix " +
                                        std::to_string(static_cast<int>(matrix)));
    }
}

// Code ranges at `depth` bits. Full-range chroma starts at 1, so both sides of
// the midpoint have 2^(b-1) - 1 steps.
struct Limits {
    int ymin;
    int ymax;
    int cmin;
    int cmax;
    int cmid;
    double ChromaSpan() const { return 2.0 * (cmax - cmid); }
};
inline Limits LimitsOf(PixelColorRange range, int depth) {
    const int max = (1 << depth) - 1;
    const int mid = 1 << (depth - 1);
    if (range == PixelColorRange::Full) {
        return {0, max, 1, max, mid};
    }
    const int s = depth - 8;
    return {16 << s, 235 << s, 16 << s, 240 << s, mid};
}
inline double MaxCode(int depth) { return static_cast<double>((1 << depth) - 1); }

// Y'PbPr <-> R'G'B' from Kr and Kb: R = Y + 2(1-Kr)Pr, B = Y + 2(1-Kb)Pb, and G
// from Y = Kr R + Kg G + Kb B.
inline glm::dvec3 YpPbPrToRgb(const Luma& luma, double y, double pb, double pr) {
    const double r = y + 2.0 * (1.0 - luma.kr) * pr;
    const double b = y + 2.0 * (1.0 - luma.kb) * pb;
    const double g = (y - luma.kr * r - luma.kb * b) / luma.Kg();
    return {r, g, b};
}
inline glm::dvec3 RgbToYpPbPr(const Luma& luma, const glm::dvec3& rgb) {
    const double y = luma.kr * rgb.r + luma.Kg() * rgb.g + luma.kb * rgb.b;
    return {y, (rgb.b - y) / (2.0 * (1.0 - luma.kb)), (rgb.r - y) / (2.0 * (1.0 - luma.kr))};
}

// Container samples (carrying `shift` low bits of padding) to R'G'B', the codes
// clamped to the legal range first and the result left unclamped.
inline glm::dvec3 DecodeSamples(YCbCrMatrix matrix, PixelColorRange range, int depth, int shift,
                                unsigned ys, unsigned cbs, unsigned crs) {
    const Limits l = LimitsOf(range, depth);
    const int y = std::clamp(static_cast<int>(ys >> shift), l.ymin, l.ymax);
    const int cb = std::clamp(static_cast<int>(cbs >> shift), l.cmin, l.cmax);
    const int cr = std::clamp(static_cast<int>(crs >> shift), l.cmin, l.cmax);
    return YpPbPrToRgb(LumaOf(matrix), static_cast<double>(y - l.ymin) / (l.ymax - l.ymin),
                       (cb - l.cmid) / l.ChromaSpan(), (cr - l.cmid) / l.ChromaSpan());
}
// R'G'B' to unrounded codes, and to rounded codes clamped to the legal range.
inline glm::dvec3 EncodeUnrounded(YCbCrMatrix matrix, PixelColorRange range, int depth,
                                  const glm::dvec3& rgb) {
    const Limits l = LimitsOf(range, depth);
    const glm::dvec3 ypbpr = RgbToYpPbPr(LumaOf(matrix), rgb);
    return {ypbpr.x * (l.ymax - l.ymin) + l.ymin, ypbpr.y * l.ChromaSpan() + l.cmid,
            ypbpr.z * l.ChromaSpan() + l.cmid};
}
inline glm::ivec3 EncodeSamples(YCbCrMatrix matrix, PixelColorRange range, int depth,
                                const glm::dvec3& rgb) {
    const Limits l = LimitsOf(range, depth);
    const glm::dvec3 v = EncodeUnrounded(matrix, range, depth, rgb);
    const auto quantise = [](double v, int lo, int hi) {
        return std::clamp(static_cast<int>(std::trunc(v + 0.5)), lo, hi);
    };
    return {quantise(v.x, l.ymin, l.ymax), quantise(v.y, l.cmin, l.cmax),
            quantise(v.z, l.cmin, l.cmax)};
}
// Whether every unrounded code is clear of a rounding tie, so that exact-code
// checks do not hinge on the last bit.
inline bool FarFromTie(const glm::dvec3& codes) {
    for (int k = 0; k < 3; ++k) {
        if (std::abs((codes[k] - std::floor(codes[k])) - 0.5) <= 0.01) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Transfer curves. Display light 1.0 = 100 cd/m².

// SMPTE ST 2084, exact rationals.
constexpr double kPqM1 = 2610.0 / 16384.0;
constexpr double kPqM2 = 2523.0 / 4096.0 * 128.0;
constexpr double kPqC1 = 3424.0 / 4096.0;
constexpr double kPqC2 = 2413.0 / 4096.0 * 32.0;
constexpr double kPqC3 = 2392.0 / 4096.0 * 32.0;
// ARIB STD-B67 / BT.2100 table 5: b and c derive from a.
constexpr double kHlgA = 0.17883277;
constexpr double kHlgB = 1.0 - 4.0 * kHlgA;
inline const double kHlgC = 0.5 - kHlgA * std::log(4.0 * kHlgA);

inline double Clamp01(double v) { return std::min(std::max(v, 0.0), 1.0); }
// Sign-preserving power, so that curves carry small negatives.
inline double Power(double v, double g) { return std::copysign(std::pow(std::abs(v), g), v); }

// PQ signal (clamped to [0, 1]) to display light 0..100, and back.
inline double PqEotf(double v) {
    const double p = std::pow(Clamp01(v), 1.0 / kPqM2);
    return 100.0 * std::pow(std::max(p - kPqC1, 0.0) / (kPqC2 - kPqC3 * p), 1.0 / kPqM1);
}
inline double PqInverseEotf(double d) {
    const double y = std::pow(Clamp01(d / 100.0), kPqM1);
    return std::pow((kPqC1 + kPqC2 * y) / (1.0 + kPqC3 * y), kPqM2);
}
// BT.709 OETF; its linear segment also carries small negatives.
inline double Bt709Oetf(double l) {
    return l < 0.018 ? 4.5 * l : 1.099 * std::pow(l, 0.45) - 0.099;
}
inline double Bt709InverseOetf(double v) {
    return v < 4.5 * 0.018 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
}
// IEC 61966-2-1.
inline double SrgbEotf(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
inline double SrgbInverseEotf(double l) {
    return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
}
// HLG OETF on scene light normalised to [0, 1], unclamped.
inline double HlgOetf(double e) {
    return e <= 1.0 / 12.0 ? std::sqrt(3.0 * e) : kHlgA * std::log(12.0 * e - kHlgB) + kHlgC;
}
inline double HlgInverseOetf(double v) {
    return v <= 0.5 ? v * v / 3.0 : (std::exp((v - kHlgC) / kHlgA) + kHlgB) / 12.0;
}
// SDR reference OOTF, BT.709 OETF then BT.1886 gamma 2.4, and its inverse.
inline double SdrDisplayOfScene(double s) { return Power(Bt709Oetf(s), 2.4); }
inline double SdrSceneOfDisplay(double d) { return Bt709InverseOetf(Power(d, 1.0 / 2.4)); }

// ITU-R BT.2390-10 section 5.4 EETF on PQ signal e, mastering black 0 and white
// lw, target black 0 and white lmax (PQ signal); the Hermite spline above the
// knee KS = 1.5 maxLum - 0.5.
inline double Bt2390Eetf(double e, double lw, double lmax) {
    const double e1 = e / lw;
    const double maxLum = lmax / lw;
    const double ks = 1.5 * maxLum - 0.5;
    if (e1 < ks) {
        return e;
    }
    const double t = (e1 - ks) / (1.0 - ks);
    const double p = (2 * t * t * t - 3 * t * t + 1) * ks + (t * t * t - 2 * t * t + t) * (1 - ks) +
                     (-2 * t * t * t + 3 * t * t) * maxLum;
    return p * lw;
}

// ITU-R BT.2087-0 equation (4): linear BT.2020 RGB to linear BT.709 RGB.
inline glm::dvec3 Bt2020ToBt709(const glm::dvec3& c) {
    return {1.6605 * c.r - 0.5876 * c.g - 0.0728 * c.b, -0.1246 * c.r + 1.1329 * c.g - 0.0083 * c.b,
            -0.0182 * c.r - 0.1006 * c.g + 1.1187 * c.b};
}

}  // namespace Kavrin::Test::Ref
