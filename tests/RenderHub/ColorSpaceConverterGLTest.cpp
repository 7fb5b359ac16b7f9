// Colour-space conversion on the GPU against double-precision implementations of
// the transfer standards (SMPTE ST 2084, ITU-R BT.2100 HLG, IEC 61966-2-1, ITU-R
// BT.709, BT.1886) and published primaries matrices.
#include <GL/glew.h>

#include "ColorSpaceConverter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Conf/ColorPrimaries.h"
#include "Kavrin/Conf/ColorSpaceTransform.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/ColorConversionInfo.h"

#include "ColourReference.h"
#include "Frame.h"
#include "GpuEval.h"
#include "Mesh.h"
#include "RenderHub.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Conf::ColorPrimaries;
using Kavrin::Conf::ColorSpace;
using Kavrin::Conf::ColorSpaceTransform;
using Kavrin::Proc::ColorConversionInfo;
using Params = Texture::Params;
using T = ColorSpaceTransform;

using Kavrin::Test::FloatTexture;
using Kavrin::Test::WithStorage;

// ---------------------------------------------------------------------------
// Reference curves in double. Display light 1.0 = 100 cd/m²; HLG scene light
// 0..12; PQ scene light E x 100 (same 0..100 range as its display light).

namespace Ref {

using namespace Kavrin::Test::Ref;

// BT.2100 PQ reference OOTF: G1886(G709(E)) with the 59.5208 scene gain.
double PqOotf(double e) {
    const double ep = e <= 0.0003024 ? 267.84 * e : 1.099 * std::pow(59.5208 * e, 0.45) - 0.099;
    return Power(ep, 2.4);
}
double PqInverseOotf(double d) {
    const double ep = Power(d, 1.0 / 2.4);
    return ep <= 267.84 * 0.0003024 ? ep / 267.84
                                    : std::pow((ep + 0.099) / 1.099, 1.0 / 0.45) / 59.5208;
}

// The converter clamps HLG signal and normalised scene light to [0, 1].
double HlgOetf01(double e) { return HlgOetf(Clamp01(e)); }
double HlgInverseOetf01(double v) { return HlgInverseOetf(Clamp01(v)); }

double Luminance2020(const glm::dvec3& c) { return 0.2627 * c.r + 0.6780 * c.g + 0.0593 * c.b; }

// BT.2100 HLG EOTF with black 0: F_D = L_W Y_S^(gamma - 1) E, and its exact
// inverse (with gamma < 1 saturated colours decode above L_W and must come back).
glm::dvec3 HlgEotf(const glm::dvec3& v, double peak, double gamma) {
    const glm::dvec3 e(HlgInverseOetf01(v.r), HlgInverseOetf01(v.g), HlgInverseOetf01(v.b));
    const double y = Luminance2020(e);
    return y > 0.0 ? e * (std::pow(y, gamma - 1.0) * peak / 100.0) : glm::dvec3(0.0);
}
glm::dvec3 HlgInverseEotf(const glm::dvec3& d, double peak, double gamma) {
    const glm::dvec3 f = glm::max(d * (100.0 / peak), 0.0);
    const double y = Luminance2020(f);
    const glm::dvec3 e = y > 0.0 ? f * std::pow(y, (1.0 - gamma) / gamma) : glm::dvec3(0.0);
    return {HlgOetf01(e.r), HlgOetf01(e.g), HlgOetf01(e.b)};
}

// Extended Reinhard on the largest channel.
glm::dvec3 PqTonemap(const glm::dvec3& d, double a, double b) {
    const double m = std::max(d.r, std::max(d.g, d.b));
    return a > 0.0 && m > 0.0 ? d * ((1.0 + a * m) / (1.0 + b * m)) : d;
}

glm::dvec3 PerChannel(const glm::dvec3& c, double (*f)(double)) { return {f(c.r), f(c.g), f(c.b)}; }
glm::dvec3 PerChannel(const glm::dvec3& c, double g) {
    return {Power(c.r, g), Power(c.g, g), Power(c.b, g)};
}

struct Curve {
    double pqA = 0.0;
    double pqB = 0.0;
    double hlgPeak = 1000.0;
    double hlgGamma = 1.2;
};

// Signal to linear light for a converter transfer identifier.
glm::dvec3 Decode(int id, const glm::dvec3& v, const Curve& curve) {
    switch (id) {
        case T::BT709:
            return PerChannel(v, &Bt709InverseOetf);
        case T::BT709A:
            return PerChannel(v, 1.960938);
        case T::BT1886:
            return PerChannel(v, 2.4);
        case T::Gamma22:
            return PerChannel(v, 2.2);
        case T::Gamma28:
            return PerChannel(v, 2.8);
        case T::Linear:
            return v;
        case T::SRGB:
            return PerChannel(v, &SrgbEotf);
        case T::ST2084:
            return PqTonemap(PerChannel(v, &PqEotf), curve.pqA, curve.pqB);
        case T::ST2084Scene:
            return 100.0 * PerChannel(PqTonemap(PerChannel(v, &PqEotf), curve.pqA, curve.pqB),
                                      &PqInverseOotf);
        case T::HLG:
            return HlgEotf(v, curve.hlgPeak, curve.hlgGamma);
        case T::HLGScene:
            return 12.0 * PerChannel(v, &HlgInverseOetf01);
        default:
            ADD_FAILURE() << "no reference for transfer " << id;
            return {};
    }
}

// Linear light to signal for a converter transfer identifier.
glm::dvec3 Encode(int id, const glm::dvec3& l, const Curve& curve) {
    switch (id) {
        case T::BT709:
            return PerChannel(l, &Bt709Oetf);
        case T::BT709A:
            return PerChannel(l, 1.0 / 1.960938);
        case T::BT1886:
            return PerChannel(l, 1.0 / 2.4);
        case T::Gamma22:
            return PerChannel(l, 1.0 / 2.2);
        case T::Gamma28:
            return PerChannel(l, 1.0 / 2.8);
        case T::Linear:
            return l;
        case T::SRGB:
            return PerChannel(l, &SrgbInverseEotf);
        case T::ST2084:
            return PerChannel(l, &PqInverseEotf);
        case T::ST2084Scene:
            return PerChannel(PerChannel(l / 100.0, &PqOotf), &PqInverseEotf);
        case T::HLG:
            return HlgInverseEotf(l, curve.hlgPeak, curve.hlgGamma);
        case T::HLGScene:
            return PerChannel(l / 12.0, &HlgOetf01);
        default:
            ADD_FAILURE() << "no reference for transfer " << id;
            return {};
    }
}

glm::dvec3 Apply(const Kavrin::Conf::RGBCrossMatrix& m, const glm::dvec3& c) {
    glm::dvec3 r;
    for (int i = 0; i < 3; ++i) {
        r[i] = double(m[i][0]) * c.r + double(m[i][1]) * c.g + double(m[i][2]) * c.b;
    }
    return r;
}

// The whole conversion in double from the host's parameters: decode, SDR
// reference OOTF (BT.709 OETF and BT.1886 gamma 2.4), primaries, scale, encode.
glm::dvec3 Pipeline(const glm::dvec3& signal, const ColorSpaceTransform& t) {
    const auto [a, b] = t.GetPQTonemapCoefs();
    const Curve curve{a, b, t.GetHLGDisplayPeakLuminance(), t.GetHLGOOTFGamma()};
    glm::dvec3 c = Decode(t.GetSourceTransfer(), signal, curve);
    if ((t.GetFlags() & T::InverseOOTF) != 0) {
        c = PerChannel(c, &SdrSceneOfDisplay);
    }
    if (t.GetSourcePrimaries() != t.GetTargetPrimaries()) {
        c = Apply(Kavrin::Conf::GetRGBCrossMatrix(ColorPrimaries(t.GetSourcePrimaries()),
                                                  ColorPrimaries(t.GetTargetPrimaries())),
                  c);
    }
    c *= double(t.GetLinearScale());
    if ((t.GetFlags() & T::ForwardOOTF) != 0) {
        c = PerChannel(c, &SdrDisplayOfScene);
    }
    return Encode(t.GetTargetTransfer(), c, curve);
}

}  // namespace Ref

// ---------------------------------------------------------------------------
// GPU side.

struct Uniforms {
    int sourceFunction = T::Linear;
    int targetFunction = T::Linear;
    int sourcePrimaries = 1;
    int targetPrimaries = 1;
    int flags = 0;
    float linearScale = 1.0f;
    float pqTonemapA = 0.0f;
    float pqTonemapB = 0.0f;
    float displayPeakLuminance = 1000.0f;
    float ootfGamma = 1.2f;
};

// The converter's own source built as a test program, so every uniform (unknown
// identifiers included) is ours to set.
ShaderProgram& ConverterProgram(const ShaderStorage& storage) {
    ShaderProgram& program = storage.MakeShader(ShaderSources<VShader::Id, ShaderGenerator>{
        "colorSpaceConverterGLTest", VShader::Id::XYUV, &ColorSpaceConverterSource, __FILE__});
    if (!program.UniformExists("sourceFunction")) {
        throw std::runtime_error("the converter source did not build");
    }
    return program;
}

// Draws `input` (width x height) through the converter with `u`; bottom row first.
std::vector<glm::vec4> Convert(const Uniforms& u, const std::vector<glm::vec4>& input, int width,
                               int height) {
    std::vector<glm::vec4> result;
    WithStorage([&](const ShaderStorage& storage) {
        ShaderProgram& program = ConverterProgram(storage);
        auto target = FloatTexture(width, height);
        auto source = FloatTexture(width, height, input.data());
        program.Use();
        program.Uniform("tex", 0);
        program.Uniform("sourceFunction", u.sourceFunction);
        program.Uniform("targetFunction", u.targetFunction);
        program.Uniform("sourcePrimaries", u.sourcePrimaries);
        program.Uniform("targetPrimaries", u.targetPrimaries);
        program.Uniform("flags", u.flags);
        program.Uniform("linearScale", u.linearScale);
        program.Uniform("pqTonemapA", u.pqTonemapA);
        program.Uniform("pqTonemapB", u.pqTonemapB);
        program.Uniform("displayPeakLuminance", u.displayPeakLuminance);
        program.Uniform("ootfGamma", u.ootfGamma);
        source->Use(0);
        storage.FBO().Attach(*target);
        storage.Quad().Activate();
        storage.Quad().Draw(program);
        result = Kavrin::Test::ReadFloat(*target, storage);
    });
    return result;
}

std::vector<glm::vec4> Convert(const Uniforms& u, const std::vector<glm::vec4>& input) {
    return Convert(u, input, static_cast<int>(input.size()), 1);
}

// Through the public entry point: a float frame in `info.source`, drawn into a
// float target.
std::vector<glm::vec4> ConvertFrame(const ColorConversionInfo& info,
                                    const std::vector<glm::vec4>& input) {
    const int width = static_cast<int>(input.size());
    std::vector<glm::vec4> result;
    WithStorage([&](const ShaderStorage& storage) {
        auto frame =
            Frame::CreateIntermediate(info.source, Kavrin::PixFmt::RGBAF32LE, {width, 1, 0, 0});
        // Left as the pool hands it out (linear filtering): each pixel must still
        // read exactly its own texel.
        frame->GetFirstTexture()->Update(0, input.data());
        auto target = FloatTexture(width, 1);
        storage.FBO().Attach(*target);
        ConvertColorSpace(frame, info, storage);
        result = Kavrin::Test::ReadFloat(*target, storage);
    });
    return result;
}

glm::dvec3 Rgb(const glm::vec4& p) { return {p.r, p.g, p.b}; }

using Kavrin::Test::Describe;
std::string Describe(const glm::dvec3& c) { return Describe(glm::dvec4(c, 1.0)); }

// |got - wanted| <= abs + rel |wanted| per channel; with `pixel`, rel scales
// with the pixel's largest |wanted| channel (a matrix spreads that channel's
// error over the others).
struct Tolerance {
    double abs;
    double rel;
    bool pixel = false;
};

struct ErrorStats {
    double maxAbs = 0.0;
    double maxRel = 0.0;  // over |wanted| > 1e-3
    int failures = 0;
};

// Compares colour channels within `tol` and alpha exactly; reports up to a few
// failing pixels in full and returns the measured errors.
ErrorStats ExpectColours(const std::string& function, const std::vector<glm::vec4>& input,
                         const std::vector<glm::vec4>& got, const std::vector<glm::dvec3>& wanted,
                         Tolerance tol, const char* reason) {
    ErrorStats stats;
    EXPECT_EQ(got.size(), wanted.size()) << function;
    if (got.size() != wanted.size() || got.size() != input.size()) {
        ++stats.failures;
        return stats;
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        bool ok = got[i].a == input[i].a;
        const glm::dvec3 size = glm::abs(wanted[i]);
        const double largest = std::max(size.r, std::max(size.g, size.b));
        for (int c = 0; c < 3; ++c) {
            const double error = std::abs(double(got[i][c]) - wanted[i][c]);
            const double scale = tol.pixel ? largest : size[c];
            if (!(error <= tol.abs + tol.rel * scale)) {
                ok = false;
            }
            stats.maxAbs = std::max(stats.maxAbs, std::isnan(error) ? INFINITY : error);
            if (std::abs(wanted[i][c]) > 1e-3) {
                stats.maxRel = std::max(stats.maxRel, error / std::abs(wanted[i][c]));
            }
        }
        if (!ok && ++stats.failures <= 6) {
            ADD_FAILURE() << function << " pixel " << i << ": input " << Describe(input[i])
                          << " got " << Describe(got[i]) << " wanted " << Describe(wanted[i])
                          << " with alpha " << input[i].a << " (tolerance abs " << tol.abs
                          << " rel " << tol.rel << (tol.pixel ? " of the pixel" : "") << ", "
                          << reason << ")";
        }
    }
    if (stats.failures > 6) {
        ADD_FAILURE() << function << ": " << stats.failures << " pixels out of tolerance in all";
    }
    return stats;
}

void Report(const std::string& what, const ErrorStats& stats) {
    std::printf("[ measured ] %-28s max abs %.3g  max rel %.3g\n", what.c_str(), stats.maxAbs,
                stats.maxRel);
}

// A 256-sample sweep of [0, 1]: row 0 grey, row 1 with the channels permuted so
// every channel meets every level against different partners. Alpha varies.
constexpr int kSweep = 256;
std::vector<glm::vec4> SignalSweep() {
    std::vector<glm::vec4> texels;
    for (int row = 0; row < 2; ++row) {
        for (int i = 0; i < kSweep; ++i) {
            const float v = float(i) / float(kSweep - 1);
            const float g = row == 0 ? v : float((i * 97 + 13) % kSweep) / float(kSweep - 1);
            const float b = row == 0 ? v : float((i * 59 + 200) % kSweep) / float(kSweep - 1);
            texels.push_back({v, g, b, float(i % 5) / 4.0f});
        }
    }
    return texels;
}

// ---------------------------------------------------------------------------
// Each transfer function over a dense sweep.

struct TransferRow {
    const char* name;
    int id;
    float hlgPeak;  // HLG display parameters (others ignore them)
    float hlgGamma;
    Tolerance decode;    // linear light
    Tolerance encode;    // signal
    Tolerance identity;  // signal after decode and encode
};

void PrintTo(const TransferRow& row, std::ostream* out) { *out << row.name; }

// HLG system gamma of BT.2100 for a nominal peak.
float HlgGamma(double peak) { return float(1.2 + 0.42 * std::log10(peak / 1000.0)); }

// Tolerances, all float32 GPU arithmetic on pow/exp/log chains:
// SDR curves live in [0, 1]: absolute 1e-5 on both sides.
// PQ decodes to 0..100, so relative. The ST 2084 fraction (p - c1) / (c2 - c3 p)
// cancels near black and near peak; correctly rounded float32 alone is 5e-5 off
// at code 240/255, hence 2e-4 with a floor for the near-black. HLG display light
// is relative for the same range reason. HDR signals: absolute 1e-4 of full scale.
constexpr Tolerance kSdr{1e-5, 0.0};
constexpr Tolerance kHdrLinear{1e-6, 2e-4};
constexpr Tolerance kHdrSignal{1e-4, 0.0};

const TransferRow kTransferRows[] = {
    {"bt709", T::BT709, 1000, 1.2f, kSdr, kSdr, kSdr},
    {"bt709a", T::BT709A, 1000, 1.2f, kSdr, kSdr, kSdr},
    {"bt1886", T::BT1886, 1000, 1.2f, kSdr, kSdr, kSdr},
    {"gamma22", T::Gamma22, 1000, 1.2f, kSdr, kSdr, kSdr},
    {"gamma28", T::Gamma28, 1000, 1.2f, kSdr, kSdr, kSdr},
    {"sRGB", T::SRGB, 1000, 1.2f, kSdr, kSdr, kSdr},
    {"st2084", T::ST2084, 1000, 1.2f, kHdrLinear, kHdrSignal, kHdrSignal},
    {"st2084Scene", T::ST2084Scene, 1000, 1.2f, kHdrLinear, kHdrSignal, kHdrSignal},
    {"hlg_1000", T::HLG, 1000, 1.2f, kHdrLinear, kHdrSignal, kHdrSignal},
    {"hlg_400", T::HLG, 400, HlgGamma(400), kHdrLinear, kHdrSignal, kHdrSignal},
    // System gamma below 1: saturated colours decode above the nominal peak.
    {"hlg_300", T::HLG, 300, HlgGamma(300), kHdrLinear, kHdrSignal, kHdrSignal},
    {"hlgScene", T::HLGScene, 1000, 1.2f, kHdrLinear, kHdrSignal, kHdrSignal},
};

std::string TransferName(const ::testing::TestParamInfo<TransferRow>& info) {
    return info.param.name;
}

class ColorSpaceTransferGLTest : public Kavrin::Test::GLTestWithParam<TransferRow> {
protected:
    static Ref::Curve Curve(const TransferRow& row) {
        return {0.0, 0.0, row.hlgPeak, double(row.hlgGamma)};
    }
    static Uniforms Make(const TransferRow& row, int source, int target) {
        Uniforms u;
        u.sourceFunction = source;
        u.targetFunction = target;
        u.displayPeakLuminance = row.hlgPeak;
        u.ootfGamma = row.hlgGamma;
        return u;
    }
};

TEST_P(ColorSpaceTransferGLTest, DecodeMatchesStandard) {
    const TransferRow& row = GetParam();
    const std::vector<glm::vec4> input = SignalSweep();
    std::vector<glm::dvec3> wanted;
    for (const auto& t : input) {
        wanted.push_back(Ref::Decode(row.id, Rgb(t), Curve(row)));
    }
    const auto got = Convert(Make(row, row.id, T::Linear), input, kSweep, 2);
    Report(std::string(row.name) + " decode",
           ExpectColours(std::string(row.name) + " decode", input, got, wanted, row.decode,
                         "float32"));
}

TEST_P(ColorSpaceTransferGLTest, EncodeMatchesStandard) {
    const TransferRow& row = GetParam();
    // Linear inputs at the decoded sweep levels, so the dark end is sampled as
    // densely as the signal.
    std::vector<glm::vec4> input;
    std::vector<glm::dvec3> wanted;
    for (const auto& t : SignalSweep()) {
        const glm::dvec3 linear = Ref::Decode(row.id, Rgb(t), Curve(row));
        input.push_back({float(linear.r), float(linear.g), float(linear.b), t.a});
        wanted.push_back(Ref::Encode(row.id, Rgb(input.back()), Curve(row)));
    }
    const auto got = Convert(Make(row, T::Linear, row.id), input, kSweep, 2);
    Report(std::string(row.name) + " encode",
           ExpectColours(std::string(row.name) + " encode", input, got, wanted, row.encode,
                         "float32"));
}

TEST_P(ColorSpaceTransferGLTest, DecodeThenEncodeIsIdentity) {
    const TransferRow& row = GetParam();
    const std::vector<glm::vec4> input = SignalSweep();
    std::vector<glm::dvec3> wanted;
    for (const auto& t : input) {
        wanted.push_back(Rgb(t));
    }
    const auto got = Convert(Make(row, row.id, row.id), input, kSweep, 2);
    Report(std::string(row.name) + " identity",
           ExpectColours(std::string(row.name) + " decode+encode", input, got, wanted, row.identity,
                         "float32"));
}

INSTANTIATE_TEST_SUITE_P(Transfers, ColorSpaceTransferGLTest, ::testing::ValuesIn(kTransferRows),
                         TransferName);

// Published anchor points of the standards, one pixel each.
struct AnchorRow {
    const char* name;
    int source;
    int target;
    double input;  // grey
    double wanted;
    Tolerance tol;
    const char* reason;
};

void PrintTo(const AnchorRow& row, std::ostream* out) { *out << row.name; }

const AnchorRow kAnchorRows[] = {
    // ST 2084: code 1.0 is 10000 cd/m².
    {"pq_peak", T::ST2084, T::Linear, 1.0, 100.0, {0.0, 1e-5}, "float32"},
    {"pq_black", T::ST2084, T::Linear, 0.0, 0.0, {0.0, 0.0}, "exact"},
    // BT.2408 table 1: HDR reference white 203 cd/m² at PQ 58% (rounded code).
    {"pq_reference_white", T::ST2084, T::Linear, 0.5807, 2.03, {0.0, 5e-3}, "rounding"},
    // BT.2408 table 1: HLG 75% on a 1000 cd/m² display is also 203 cd/m².
    {"hlg_reference_white", T::HLG, T::Linear, 0.75, 2.03, {0.0, 5e-3}, "rounding"},
    // BT.2100: the HLG knee, signal 0.5, is scene 1/12: 1.0 on the 0..12 scale.
    {"hlg_scene_knee", T::HLGScene, T::Linear, 0.5, 1.0, {1e-6, 0.0}, "float32"},
    // Scene 12, the nominal peak, encodes to a ln(12 - b) + c, which is 1.
    {"hlg_scene_peak",
     T::Linear,
     T::HLGScene,
     12.0,
     Ref::kHlgA* std::log(12.0 - Ref::kHlgB) + Ref::kHlgC,
     {1e-6, 0.0},
     "float32"},
    {"hlg_scene_peak_is_one", T::Linear, T::HLGScene, 12.0, 1.0, {1e-6, 0.0}, "constants"},
    // HLG display near black: 0.05 cd/m² grey on a 1000 cd/m² display.
    {"hlg_display_near_black",
     T::Linear,
     T::HLG,
     0.0005,
     Ref::HlgInverseEotf(glm::dvec3(0.0005), 1000.0, 1.2).g,
     {1e-5, 0.0},
     "float32"},
    // IEC 61966-2-1: the last points of the linear segments.
    {"srgb_knee", T::SRGB, T::Linear, 0.04045, 0.04045 / 12.92, {1e-9, 0.0}, "exact"},
    {"srgb_knee_encode", T::Linear, T::SRGB, 0.0031308, 0.0031308 * 12.92, {1e-8, 0.0}, "exact"},
    // BT.709 linear segment (its knee itself is discontinuous in the rounded constants).
    {"bt709_linear_segment", T::Linear, T::BT709, 0.01, 0.045, {1e-8, 0.0}, "exact"},
    {"bt709_white", T::BT709, T::Linear, 1.0, 1.0, {1e-6, 0.0}, "float32"},
};

std::string AnchorName(const ::testing::TestParamInfo<AnchorRow>& info) { return info.param.name; }

using ColorSpaceAnchorGLTest = Kavrin::Test::GLTestWithParam<AnchorRow>;

TEST_P(ColorSpaceAnchorGLTest, MatchesPublishedValue) {
    const AnchorRow& row = GetParam();
    Uniforms u;
    u.sourceFunction = row.source;
    u.targetFunction = row.target;
    const float in = float(row.input);
    const std::vector<glm::vec4> input = {{in, in, in, 0.25f}};
    const auto got = Convert(u, input);
    ExpectColours(row.name, input, got, {glm::dvec3(row.wanted)}, row.tol, row.reason);
}

INSTANTIATE_TEST_SUITE_P(Anchors, ColorSpaceAnchorGLTest, ::testing::ValuesIn(kAnchorRows),
                         AnchorName);

// ---------------------------------------------------------------------------
// Primaries.

struct PrimariesPair {
    ColorPrimaries from;
    ColorPrimaries to;
};

const char* PrimariesName(ColorPrimaries p) {
    switch (p) {
        case ColorPrimaries::BT709:
            return "bt709";
        case ColorPrimaries::BT470BG:
            return "bt470bg";
        case ColorPrimaries::SMPTE170M:
            return "smpte170m";
        case ColorPrimaries::SMPTE432:
            return "smpte432";
        case ColorPrimaries::BT2020:
            return "bt2020";
        default:
            return "other";
    }
}

void PrintTo(const PrimariesPair& pair, std::ostream* out) {
    *out << PrimariesName(pair.from) << "_to_" << PrimariesName(pair.to);
}

std::vector<PrimariesPair> AllPairs() {
    const ColorPrimaries all[] = {ColorPrimaries::BT709, ColorPrimaries::BT470BG,
                                  ColorPrimaries::SMPTE170M, ColorPrimaries::SMPTE432,
                                  ColorPrimaries::BT2020};
    std::vector<PrimariesPair> pairs;
    for (auto from : all) {
        for (auto to : all) {
            if (from != to) {
                pairs.push_back({from, to});
            }
        }
    }
    return pairs;
}

std::string PairName(const ::testing::TestParamInfo<PrimariesPair>& info) {
    return std::string(PrimariesName(info.param.from)) + "_to_" + PrimariesName(info.param.to);
}

Uniforms PrimariesUniforms(ColorPrimaries from, ColorPrimaries to) {
    Uniforms u;
    u.sourcePrimaries = static_cast<int>(from);
    u.targetPrimaries = static_cast<int>(to);
    return u;
}

using ColorSpacePrimariesGLTest = Kavrin::Test::GLTestWithParam<PrimariesPair>;

TEST_P(ColorSpacePrimariesGLTest, MatchesHostCrossMatrix) {
    const PrimariesPair& pair = GetParam();
    const std::vector<glm::vec4> input = SignalSweep();
    const auto m = Kavrin::Conf::GetRGBCrossMatrix(pair.from, pair.to);
    std::vector<glm::dvec3> wanted;
    for (const auto& t : input) {
        wanted.push_back(Ref::Apply(m, Rgb(t)));
    }
    std::ostringstream name;
    PrintTo(pair, &name);
    const auto got = Convert(PrimariesUniforms(pair.from, pair.to), input, kSweep, 2);
    // The shader carries the matrix with six decimals.
    ExpectColours(name.str(), input, got, wanted, {1e-5, 0.0}, "rounding");
}

TEST_P(ColorSpacePrimariesGLTest, RoundTripIsIdentity) {
    const PrimariesPair& pair = GetParam();
    const std::vector<glm::vec4> input = SignalSweep();
    const auto there = Convert(PrimariesUniforms(pair.from, pair.to), input, kSweep, 2);
    const auto back = Convert(PrimariesUniforms(pair.to, pair.from), there, kSweep, 2);
    std::vector<glm::dvec3> wanted;
    for (const auto& t : input) {
        wanted.push_back(Rgb(t));
    }
    std::ostringstream name;
    PrintTo(pair, &name);
    ExpectColours(name.str() + " and back", input, back, wanted, {1e-5, 0.0}, "rounding");
}

INSTANTIATE_TEST_SUITE_P(Pairs, ColorSpacePrimariesGLTest, ::testing::ValuesIn(AllPairs()),
                         PairName);

using ColorSpaceConverterGLTest = Kavrin::Test::GLTest<>;

// ITU-R BT.2087-0 section 2: linear BT.709 RGB to BT.2020 RGB, four decimals.
TEST_F(ColorSpaceConverterGLTest, Bt709ToBt2020MatchesBt2087) {
    const double published[3][3] = {
        {0.6274, 0.3293, 0.0433}, {0.0691, 0.9195, 0.0114}, {0.0164, 0.0880, 0.8956}};
    const std::vector<glm::vec4> input = {{1, 0, 0, 1}, {0, 1, 0, 0.5f}, {0, 0, 1, 0}};
    const auto got =
        Convert(PrimariesUniforms(ColorPrimaries::BT709, ColorPrimaries::BT2020), input);
    std::vector<glm::dvec3> wanted;
    for (int column = 0; column < 3; ++column) {
        wanted.push_back({published[0][column], published[1][column], published[2][column]});
    }
    ExpectColours("bt709_to_bt2020 columns", input, got, wanted, {1e-4, 0.0}, "rounding");
}

// ---------------------------------------------------------------------------
// Identifier marking and pass-through.

struct MarkRow {
    const char* name;
    Uniforms uniforms;
    bool marks;       // a flat colour instead of the input
    glm::dvec3 flat;  // the colour when it marks
    Tolerance tol;
    const char* reason;
};

void PrintTo(const MarkRow& row, std::ostream* out) { *out << row.name; }

Uniforms MarkUniforms(int source, int target, int fromPrimaries = 1, int toPrimaries = 1) {
    Uniforms u;
    u.sourceFunction = source;
    u.targetFunction = target;
    u.sourcePrimaries = fromPrimaries;
    u.targetPrimaries = toPrimaries;
    return u;
}

constexpr int kLin = T::Linear;
const glm::dvec3 kRed(1, 0, 0), kGreen(0, 1, 0), kBlue(0, 0, 1);
constexpr Tolerance kExact{0.0, 0.0};
constexpr Tolerance kFloat{1e-6, 0.0};

const MarkRow kMarkRows[] = {
    {"source_0", MarkUniforms(0, kLin), true, kRed, kExact, "flat"},
    {"source_12", MarkUniforms(12, kLin), true, kRed, kExact, "flat"},
    {"source_minus1", MarkUniforms(-1, kLin), true, kRed, kExact, "flat"},
    // The mark is linear light and still goes through the target curve.
    {"source_99_to_srgb", MarkUniforms(99, T::SRGB), true, kRed, kFloat, "float32"},
    {"target_0", MarkUniforms(kLin, 0), true, kBlue, kExact, "flat"},
    {"target_12", MarkUniforms(kLin, 12), true, kBlue, kExact, "flat"},
    {"target_minus1_from_pq", MarkUniforms(T::ST2084, -1), true, kBlue, kExact, "flat"},
    {"pair_bt709_to_7", MarkUniforms(kLin, kLin, 1, 7), true, kGreen, kExact, "flat"},
    {"pair_4_to_bt2020", MarkUniforms(kLin, kLin, 4, 9), true, kGreen, kExact, "flat"},
    {"pair_bt2020_to_2", MarkUniforms(kLin, kLin, 9, 2), true, kGreen, kExact, "flat"},
    {"pair_unknown_to_srgb", MarkUniforms(kLin, T::SRGB, 1, 11), true, kGreen, kFloat, "float32"},
    {"linear_passthrough", MarkUniforms(kLin, kLin), false, {}, kExact, "exact"},
    {"srgb_to_srgb", MarkUniforms(T::SRGB, T::SRGB), false, {}, kFloat, "float32"},
};

std::string MarkName(const ::testing::TestParamInfo<MarkRow>& info) { return info.param.name; }

using ColorSpaceMarkGLTest = Kavrin::Test::GLTestWithParam<MarkRow>;

TEST_P(ColorSpaceMarkGLTest, PaintsTheFaultOrPassesThrough) {
    const MarkRow& row = GetParam();
    const std::vector<glm::vec4> input = SignalSweep();
    std::vector<glm::dvec3> wanted;
    for (const auto& t : input) {
        wanted.push_back(row.marks ? row.flat : Rgb(t));
    }
    const auto got = Convert(row.uniforms, input, kSweep, 2);
    ExpectColours(row.name, input, got, wanted, row.tol, row.reason);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, ColorSpaceMarkGLTest, ::testing::ValuesIn(kMarkRows),
                         MarkName);

// ---------------------------------------------------------------------------
// End to end through ConvertColorSpace with the host's parameters.

const ColorSpace kPq2020{9, 16, 9};
const ColorSpace kSdr709{1, 1, 1};

// Colours inside the BT.709 gamut, as BT.2020 PQ: greys and saturated mixes at
// display luminances up to `maxDisplay` (units of 100 cd/m²).
std::vector<glm::vec4> PqColoursIn709(double maxDisplay) {
    const auto toWide =
        Kavrin::Conf::GetRGBCrossMatrix(ColorPrimaries::BT709, ColorPrimaries::BT2020);
    const glm::dvec3 hues[] = {{1, 1, 1},       {1, 0, 0},      {0, 1, 0}, {0, 0, 1},
                               {1, 1, 0},       {0, 1, 1},      {1, 0, 1}, {0.9, 0.5, 0.2},
                               {0.2, 0.4, 0.8}, {0.3, 0.7, 0.4}};
    const double levels[] = {0.0, 0.001, 0.01, 0.05, 0.1, 0.25, 0.5, 0.75, 1.0};
    std::vector<glm::vec4> texels;
    int k = 0;
    for (const auto& hue : hues) {
        for (double level : levels) {
            const glm::dvec3 wide = Ref::Apply(toWide, hue * (level * maxDisplay));
            const glm::dvec3 pq = Ref::PerChannel(glm::max(wide, 0.0), &Ref::PqInverseEotf);
            texels.push_back({float(pq.r), float(pq.g), float(pq.b), float(k++ % 3) / 2.0f});
        }
    }
    return texels;
}

struct PipelineRow {
    const char* name;
    ColorConversionInfo info;
    std::vector<glm::vec4> (*input)();
    Tolerance tol;
    const char* reason;
};

void PrintTo(const PipelineRow& row, std::ostream* out) { *out << row.name; }

std::vector<glm::vec4> PqTo1000() { return PqColoursIn709(10.0); }
std::vector<glm::vec4> PqTo4000() { return PqColoursIn709(40.0); }
ColorConversionInfo Info(ColorSpace source, ColorSpace target, float sourcePeak = 1000.0f,
                         float targetPeak = 1000.0f) {
    ColorConversionInfo info;
    info.source = source;
    info.target = target;
    info.sourcePeakLuminance = sourcePeak;
    info.targetPeakLuminance = targetPeak;
    return info;
}

const ColorSpace kSrgb{1, 13, 1};
const ColorSpace kLinear709{1, 8, 1};
const ColorSpace kHlg2020{9, 18, 9};

// Float32 chains. HDR-sourced colours lose ~1e-5 of their brightest channel in
// the PQ decode; the 2020 -> 709 matrix spreads that onto near-zero channels,
// where the sRGB (12.92) and BT.709 (4.5) slopes magnify it: 4e-4 of signal.
constexpr Tolerance kSignal{1e-4, 0.0};
constexpr Tolerance kSdrFromHdr{4e-4, 0.0};
constexpr Tolerance kLinearFromHdr{1e-6, 1e-4, true};

const PipelineRow kPipelineRows[] = {
    {"pq2020_to_bt709_tonemapped", Info(kPq2020, kSdr709), &PqTo1000, kSdrFromHdr, "cancellation"},
    {"pq2020_to_bt709_untouched", Info(kPq2020, kSdr709, 203), &PqTo1000, kSdrFromHdr,
     "cancellation"},
    {"pq2020_to_srgb", Info(kPq2020, kSrgb), &PqTo1000, kSdrFromHdr, "cancellation"},
    {"pq2020_to_linear709", Info(kPq2020, kLinear709), &PqTo1000, kLinearFromHdr, "cancellation"},
    {"bt709_to_pq2020", Info(kSdr709, kPq2020), &SignalSweep, kSignal, "float32"},
    {"srgb_to_pq2020", Info(kSrgb, kPq2020), &SignalSweep, kSignal, "float32"},
    {"pq4000_to_pq1000", Info(kPq2020, kPq2020, 4000, 1000), &PqTo4000, kSignal, "float32"},
    {"pq2020_to_hlg2020", Info(kPq2020, kHlg2020), &PqTo1000, kSignal, "float32"},
    {"hlg2020_to_bt709", Info(kHlg2020, kSdr709), &SignalSweep, kSdrFromHdr, "cancellation"},
    {"bt709_to_hlg2020", Info(kSdr709, kHlg2020), &SignalSweep, kSignal, "float32"},
    {"gamma22_p3_to_bt709", Info({12, 4, 1}, kSdr709), &SignalSweep, kSignal, "float32"},
};

std::string PipelineName(const ::testing::TestParamInfo<PipelineRow>& info) {
    return info.param.name;
}

using ColorSpacePipelineGLTest = Kavrin::Test::GLTestWithParam<PipelineRow>;

TEST_P(ColorSpacePipelineGLTest, MatchesReferencePipeline) {
    const PipelineRow& row = GetParam();
    const ColorSpaceTransform transform(row.info);
    const std::vector<glm::vec4> input = row.input();
    std::vector<glm::dvec3> wanted;
    for (const auto& t : input) {
        wanted.push_back(Ref::Pipeline(Rgb(t), transform));
    }
    const auto got = ConvertFrame(row.info, input);
    Report(std::string(row.name), ExpectColours(row.name, input, got, wanted, row.tol, row.reason));
}

INSTANTIATE_TEST_SUITE_P(Conversions, ColorSpacePipelineGLTest, ::testing::ValuesIn(kPipelineRows),
                         PipelineName);

// HDR reference white is SDR white once the scale has acted, when no tone curve
// bends it (source peak not above reference white).
TEST_F(ColorSpaceConverterGLTest, NeighboursDoNotBleedAcrossAWideFrame) {
    // Alternating dark and very bright PQ columns: the curve turns the slightest
    // mix of a neighbour into a large error, worst at the far end of the row.
    ColorConversionInfo info;
    info.source = {9, 16, 9};
    info.target = {9, 8, 9};
    const glm::vec4 dark(16705 / 65535.0f, 16705 / 65535.0f, 16705 / 65535.0f, 1.0f);
    const glm::vec4 bright(65021 / 65535.0f, 65021 / 65535.0f, 65021 / 65535.0f, 1.0f);
    std::vector<glm::vec4> row(1920);
    for (std::size_t x = 0; x < row.size(); ++x) {
        row[x] = x % 2 != 0 ? dark : bright;
    }
    const std::vector<glm::vec4> brightAlone = ConvertFrame(info, {bright});
    const std::vector<glm::vec4> darkAlone = ConvertFrame(info, {dark});
    const std::vector<glm::vec4> result = ConvertFrame(info, row);
    ASSERT_EQ(result.size(), row.size());
    ASSERT_EQ(brightAlone.size() + darkAlone.size(), 2u);
    for (std::size_t x = 0; x < row.size(); ++x) {
        const glm::vec4& want = x % 2 != 0 ? darkAlone[0] : brightAlone[0];
        ASSERT_NEAR(result[x].r, want.r, 1e-6 * want.r) << "column " << x;  // float
    }
}

TEST_F(ColorSpaceConverterGLTest, ReferenceWhiteLandsOnSdrWhite) {
    const float white = float(Ref::PqInverseEotf(2.03));
    for (const ColorSpace target : {kSdr709, kSrgb, kLinear709}) {
        const ColorConversionInfo info = Info(kPq2020, target, 203.0f);
        const std::vector<glm::vec4> input = {{white, white, white, 1.0f},
                                              {0.5807f, 0.5807f, 0.5807f, 0.0f}};
        const auto got = ConvertFrame(info, input);
        const std::string name =
            "pq reference white to transfer " + std::to_string(target.transfer);
        ExpectColours(name + " (exact code)", {input[0]}, {got.at(0)}, {glm::dvec3(1.0)},
                      {1e-4, 0.0}, "float32");
        // The rounded BT.2408 code is 203.02 cd/m²: half a per cent in light.
        ExpectColours(name + " (58% code)", {input[1]}, {got.at(1)}, {glm::dvec3(1.0)}, {5e-3, 0.0},
                      "rounding");
    }
}

TEST_F(ColorSpaceConverterGLTest, PqToSdrAndBackKeepsInGamutColours) {
    // No tone curve: source peak equals reference white.
    const ColorConversionInfo forward = Info(kPq2020, kSdr709, 203.0f);
    const ColorConversionInfo backward = Info(kSdr709, kPq2020);
    const ColorSpaceTransform there(forward), back(backward);
    ASSERT_EQ(there.GetPQTonemapCoefs().first, 0.0f);
    ASSERT_EQ(back.GetPQTonemapCoefs().first, 0.0f);
    const std::vector<glm::vec4> input = PqColoursIn709(10.0);
    const auto sdr = ConvertFrame(forward, input);
    const auto pq = ConvertFrame(backward, sdr);
    std::vector<glm::dvec3> wanted;
    for (const auto& t : input) {
        wanted.push_back(Rgb(t));
    }
    Report("pq->bt709->pq",
           ExpectColours("pq->bt709->pq", input, pq, wanted, {1e-3, 0.0}, "float32"));
}

// Tone curve of a 4000 cd/m² master on a 1000 cd/m² PQ display, measured on
// rendered pixels of a grey PQ ramp.
TEST_F(ColorSpaceConverterGLTest, PqToneCurveProperties) {
    const ColorConversionInfo info = Info(kPq2020, kPq2020, 4000.0f, 1000.0f);
    const float sourcePeak = float(Ref::PqInverseEotf(40.0));
    std::vector<glm::vec4> input;
    for (int i = 0; i < kSweep; ++i) {
        const float v = sourcePeak * float(i) / float(kSweep - 1);
        input.push_back({v, v, v, 1.0f});
    }
    // Near black: 0.05 .. 0.5 cd/m², where f(m)/m = (1 + A m)/(1 + B m) > 1 - 5e-4.
    const double blacks[] = {0.0005, 0.001, 0.002, 0.005};
    for (double d : blacks) {
        const float v = float(Ref::PqInverseEotf(d));
        input.push_back({v, v, v, 0.5f});
    }
    const auto got = ConvertFrame(info, input);
    ASSERT_EQ(got.size(), input.size());

    double previous = -1.0;
    for (int i = 0; i < kSweep; ++i) {
        const double out = Ref::PqEotf(got[i].g);
        EXPECT_GT(out, previous) << "tone curve not increasing at PQ input " << input[i].g
                                 << ": got " << out << " after " << previous;
        previous = out;
    }
    const double peak = Ref::PqEotf(got[kSweep - 1].g);
    EXPECT_NEAR(peak, 10.0, 10.0 * 5e-3) << "source peak PQ " << sourcePeak << " got " << peak
                                         << " wanted 10.0 (1000 cd/m²)";  // curve
    for (std::size_t k = 0; k < std::size(blacks); ++k) {
        const double out = Ref::PqEotf(got[kSweep + k].g);
        EXPECT_NEAR(out / blacks[k], 1.0, 1e-3)  // slope
            << "near-black input " << blacks[k] << " got " << out << " wanted " << blacks[k];
    }
}

}  // namespace
