#pragma once
// Double-precision colour maths from the published standards, never from the
// library's tables or helpers, so expected values stay independent of the code.
#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include <glm/glm.hpp>

#include "Kavrin/Conf/ColorPrimaries.h"
#include "Kavrin/Conf/ColorSpaceTransform.h"
#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/PixFmtDescription.h"

namespace Kavrin::Test::Ref {

using Conf::YCbCrMatrix;

struct Luma {
    double kr, kb;
    double Kg() const { return 1.0 - kr - kb; }
};

// Kr and Kb of the matrices the library supports; throws std::invalid_argument otherwise.
inline Luma LumaOf(YCbCrMatrix matrix) {
    using M = YCbCrMatrix;
    const std::pair<M, Luma> table[] = {
        {M::BT709, {0.2126, 0.0722}},   {M::FCC, {0.30, 0.11}},
        {M::BT470BG, {0.299, 0.114}},   {M::SMPTE170M, {0.299, 0.114}},
        {M::SMPTE240M, {0.212, 0.087}}, {M::BT2020NonConstant, {0.2627, 0.0593}}};
    for (const auto& [m, luma] : table)
        if (m == matrix)
            return luma;
    throw std::invalid_argument("no luma coefficients for matrix " +
                                std::to_string(static_cast<int>(matrix)));
}

// Code ranges at `depth` bits. Full-range chroma starts at 1, so both sides of
// the midpoint have 2^(b-1) - 1 steps.
struct Limits {
    int ymin, ymax, cmin, cmax, cmid;
    double ChromaSpan() const { return 2.0 * (cmax - cmid); }
};
inline Limits LimitsOf(PixelColorRange range, int depth) {
    const int max = (1 << depth) - 1;
    const int mid = 1 << (depth - 1);
    if (range == PixelColorRange::Full)
        return {0, max, 1, max, mid};
    const int s = depth - 8;
    return {16 << s, 235 << s, 16 << s, 240 << s, mid};
}

// Y'PbPr <-> R'G'B' from Kr and Kb: R = Y + 2(1-Kr)Pr, B = Y + 2(1-Kb)Pb, and G
// from Y = Kr R + Kg G + Kb B.
inline glm::dvec3 YpPbPrToRgb(const Luma& luma, double y, double pb, double pr) {
    const double r = y + 2.0 * (1.0 - luma.kr) * pr, b = y + 2.0 * (1.0 - luma.kb) * pb;
    return {r, (y - luma.kr * r - luma.kb * b) / luma.Kg(), b};
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
    return glm::all(glm::greaterThan(glm::abs(codes - glm::floor(codes) - 0.5), glm::dvec3(0.01)));
}

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

// Sign-preserving power, so that curves carry small negatives.
inline double Power(double v, double g) { return std::copysign(std::pow(std::abs(v), g), v); }

// PQ signal (clamped to [0, 1]) to display light 0..100, and back.
inline double PqEotf(double v) {
    const double p = std::pow(std::clamp(v, 0.0, 1.0), 1.0 / kPqM2);
    return 100.0 * std::pow(std::max(p - kPqC1, 0.0) / (kPqC2 - kPqC3 * p), 1.0 / kPqM1);
}
inline double PqInverseEotf(double d) {
    const double y = std::pow(std::clamp(d / 100.0, 0.0, 1.0), kPqM1);
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

// ITU-R BT.2390-10 5.4 EETF on PQ signal e, blacks 0, mastering white lw and target
// white lmax (PQ signal); the Hermite spline above the knee KS = 1.5 maxLum - 0.5.
inline double Bt2390Eetf(double e, double lw, double lmax) {
    const double e1 = e / lw, maxLum = lmax / lw, ks = 1.5 * maxLum - 0.5;
    if (e1 < ks)
        return e;
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

// The converter's pipeline. HLG scene light 0..12; PQ scene light E x 100.

// BT.2100 PQ reference OOTF: G1886(G709(E)) with the 59.5208 scene gain.
inline double PqOotf(double e) {
    const double ep = e <= 0.0003024 ? 267.84 * e : 1.099 * std::pow(59.5208 * e, 0.45) - 0.099;
    return Power(ep, 2.4);
}
inline double PqInverseOotf(double d) {
    const double ep = Power(d, 1.0 / 2.4);
    return ep <= 267.84 * 0.0003024 ? ep / 267.84
                                    : std::pow((ep + 0.099) / 1.099, 1.0 / 0.45) / 59.5208;
}
// The converter clamps HLG signal and normalised scene light to [0, 1].
inline double HlgOetf01(double e) { return HlgOetf(std::clamp(e, 0.0, 1.0)); }
inline double HlgInverseOetf01(double v) { return HlgInverseOetf(std::clamp(v, 0.0, 1.0)); }

inline glm::dvec3 PerChannel(const glm::dvec3& c, const std::function<double(double)>& f) {
    return {f(c.r), f(c.g), f(c.b)};
}

// BT.2100 HLG EOTF with black 0: F_D = L_W Y_S^(gamma - 1) E, and its exact
// inverse (with gamma < 1 saturated colours decode above L_W and must come back).
inline glm::dvec3 HlgEotf(const glm::dvec3& v, double peak, double gamma) {
    const glm::dvec3 e = PerChannel(v, &HlgInverseOetf01);
    const double y = 0.2627 * e.r + 0.6780 * e.g + 0.0593 * e.b;
    return y > 0.0 ? e * (std::pow(y, gamma - 1.0) * peak / 100.0) : glm::dvec3(0.0);
}
inline glm::dvec3 HlgInverseEotf(const glm::dvec3& d, double peak, double gamma) {
    const glm::dvec3 f = glm::max(d * (100.0 / peak), 0.0);
    const double y = 0.2627 * f.r + 0.6780 * f.g + 0.0593 * f.b;
    return PerChannel(y > 0.0 ? f * std::pow(y, (1.0 - gamma) / gamma) : glm::dvec3(0.0),
                      &HlgOetf01);
}

// PQ tone curve (extended Reinhard on the largest channel) and HLG display.
struct Curve {
    double pqA = 0.0, pqB = 0.0, hlgPeak = 1000.0, hlgGamma = 1.2;
};

// Signal to linear light, and back, for a converter transfer identifier; the
// pure-gamma curves from BT709A (1.960938) to Linear.
constexpr double kGammas[] = {0, 1.960938, 2.4, 2.2, 2.8, 1.0, 0};
inline glm::dvec3 Decode(int id, const glm::dvec3& v, const Curve& curve) {
    using T = Conf::ColorSpaceTransform;
    glm::dvec3 pq = PerChannel(v, &PqEotf);
    const double m = std::max(pq.r, std::max(pq.g, pq.b));
    pq *= curve.pqA > 0.0 && m > 0.0 ? (1.0 + curve.pqA * m) / (1.0 + curve.pqB * m) : 1.0;
    switch (id) {
        case T::ST2084:
            return pq;
        case T::ST2084Scene:
            return 100.0 * PerChannel(pq, &PqInverseOotf);
        case T::HLG:
            return HlgEotf(v, curve.hlgPeak, curve.hlgGamma);
        case T::HLGScene:
            return 12.0 * PerChannel(v, &HlgInverseOetf01);
    }
    const int k = id - T::BT709;
    return k == 0   ? PerChannel(v, &Bt709InverseOetf)
           : k == 6 ? PerChannel(v, &SrgbEotf)
                    : PerChannel(v, [&](double x) { return Power(x, kGammas[k]); });
}
inline glm::dvec3 Encode(int id, const glm::dvec3& l, const Curve& curve) {
    using T = Conf::ColorSpaceTransform;
    switch (id) {
        case T::ST2084:
            return PerChannel(l, &PqInverseEotf);
        case T::ST2084Scene:
            return PerChannel(PerChannel(l / 100.0, &PqOotf), &PqInverseEotf);
        case T::HLG:
            return HlgInverseEotf(l, curve.hlgPeak, curve.hlgGamma);
        case T::HLGScene:
            return PerChannel(l / 12.0, &HlgOetf01);
    }
    const int k = id - T::BT709;
    return k == 0   ? PerChannel(l, &Bt709Oetf)
           : k == 6 ? PerChannel(l, &SrgbInverseEotf)
                    : PerChannel(l, [&](double x) { return Power(x, 1.0 / kGammas[k]); });
}

inline glm::dvec3 Apply(const Conf::RGBCrossMatrix& m, const glm::dvec3& c) {
    const auto row = [&](int i) { return double(m[i][0]) * c.r + m[i][1] * c.g + m[i][2] * c.b; };
    return {row(0), row(1), row(2)};
}

// The whole conversion from a transform's parameters: decode, SDR reference OOTF,
// primaries (none without a matrix), scale, encode.
inline glm::dvec3 Pipeline(const glm::dvec3& signal, const Conf::ColorSpaceTransform& t,
                           const Conf::RGBCrossMatrix* primaries = nullptr) {
    using T = Conf::ColorSpaceTransform;
    const auto [a, b] = t.GetPQTonemapCoefs();
    const Curve curve{a, b, t.GetHLGDisplayPeakLuminance(), t.GetHLGOOTFGamma()};
    glm::dvec3 c = Decode(t.GetSourceTransfer(), signal, curve);
    if ((t.GetFlags() & T::InverseOOTF) != 0)
        c = PerChannel(c, &SdrSceneOfDisplay);
    c = (primaries != nullptr ? Apply(*primaries, c) : c) * double(t.GetLinearScale());
    if ((t.GetFlags() & T::ForwardOOTF) != 0)
        c = PerChannel(c, &SdrDisplayOfScene);
    return Encode(t.GetTargetTransfer(), c, curve);
}

}  // namespace Kavrin::Test::Ref
