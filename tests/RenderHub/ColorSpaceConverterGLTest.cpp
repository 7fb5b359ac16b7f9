// Colour-space conversion on the GPU against double-precision implementations of
// the transfer standards (SMPTE ST 2084, ITU-R BT.2100 HLG, IEC 61966-2-1, ITU-R
// BT.709, BT.1886) and published primaries matrices.
#include <GL/glew.h>

#include "ColorSpaceConverter.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
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
using Kavrin::Test::Describe;
using Kavrin::Test::FloatTexture;
using Kavrin::Test::WithStorage;
using T = ColorSpaceTransform;
using ColorSpaceConverterGLTest = Kavrin::Test::GLTest<>;

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

glm::dvec3 PerChannel(const glm::dvec3& c, const std::function<double(double)>& f) {
    return {f(c.r), f(c.g), f(c.b)};
}

// BT.2100 HLG EOTF with black 0: F_D = L_W Y_S^(gamma - 1) E, and its exact
// inverse (with gamma < 1 saturated colours decode above L_W and must come back).
glm::dvec3 HlgEotf(const glm::dvec3& v, double peak, double gamma) {
    const glm::dvec3 e = PerChannel(v, &HlgInverseOetf01);
    const double y = Luminance2020(e);
    return y > 0.0 ? e * (std::pow(y, gamma - 1.0) * peak / 100.0) : glm::dvec3(0.0);
}
glm::dvec3 HlgInverseEotf(const glm::dvec3& d, double peak, double gamma) {
    const glm::dvec3 f = glm::max(d * (100.0 / peak), 0.0);
    const double y = Luminance2020(f);
    return PerChannel(y > 0.0 ? f * std::pow(y, (1.0 - gamma) / gamma) : glm::dvec3(0.0),
                      &HlgOetf01);
}

// Extended Reinhard on the largest channel.
glm::dvec3 PqTonemap(const glm::dvec3& d, double a, double b) {
    const double m = std::max(d.r, std::max(d.g, d.b));
    return a > 0.0 && m > 0.0 ? d * ((1.0 + a * m) / (1.0 + b * m)) : d;
}

struct Curve {
    double pqA = 0.0;
    double pqB = 0.0;
    double hlgPeak = 1000.0;
    double hlgGamma = 1.2;
};

std::function<double(double)> Gamma(double g) {
    return [g](double v) { return Power(v, g); };
}

// Signal to linear light for a converter transfer identifier.
glm::dvec3 Decode(int id, const glm::dvec3& v, const Curve& curve) {
    const auto pq = [&] { return PqTonemap(PerChannel(v, &PqEotf), curve.pqA, curve.pqB); };
    switch (id) {
        case T::ST2084:
            return pq();
        case T::ST2084Scene:
            return 100.0 * PerChannel(pq(), &PqInverseOotf);
        case T::HLG:
            return HlgEotf(v, curve.hlgPeak, curve.hlgGamma);
        case T::HLGScene:
            return 12.0 * PerChannel(v, &HlgInverseOetf01);
    }
    const std::function<double(double)> sdr[] = {&Bt709InverseOetf, Gamma(1.960938), Gamma(2.4),
                                                 Gamma(2.2),        Gamma(2.8),      Gamma(1.0),
                                                 &SrgbEotf};
    return PerChannel(v, sdr[id - T::BT709]);
}

// Linear light to signal for a converter transfer identifier.
glm::dvec3 Encode(int id, const glm::dvec3& l, const Curve& curve) {
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
    const std::function<double(double)> sdr[] = {
        &Bt709Oetf, Gamma(1.0 / 1.960938), Gamma(1.0 / 2.4), Gamma(1.0 / 2.2), Gamma(1.0 / 2.8),
        Gamma(1.0), &SrgbInverseEotf};
    return PerChannel(l, sdr[id - T::BT709]);
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
    float displayPeakLuminance = 1000.0f;
    float ootfGamma = 1.2f;
};

// Draws `input` (width x height, bottom row first) through the converter's own
// source built as a test program, so every uniform (unknown identifiers
// included) is ours to set.
std::vector<glm::vec4> Convert(const Uniforms& u, const std::vector<glm::vec4>& input,
                               int width = 0, int height = 1) {
    width = width == 0 ? static_cast<int>(input.size()) : width;
    std::vector<glm::vec4> result;
    WithStorage([&](const ShaderStorage& storage) {
        ShaderProgram& program = storage.MakeShader(ShaderSources<VShader::Id, ShaderGenerator>{
            "colorSpaceConverterGLTest", VShader::Id::XYUV, &ColorSpaceConverterSource, __FILE__});
        if (!program.UniformExists("sourceFunction")) {
            throw std::runtime_error("the converter source did not build");
        }
        auto target = FloatTexture(width, height);
        auto source = FloatTexture(width, height, input.data());
        program.Use();
        program.Uniform("tex", 0);
        program.Uniform("sourceFunction", u.sourceFunction);
        program.Uniform("targetFunction", u.targetFunction);
        program.Uniform("sourcePrimaries", u.sourcePrimaries);
        program.Uniform("targetPrimaries", u.targetPrimaries);
        program.Uniform("flags", 0);  // the OOTFs, scale and tone curve are the pipeline's
        program.Uniform("linearScale", 1.0f);
        program.Uniform("pqTonemapA", 0.0f);
        program.Uniform("pqTonemapB", 0.0f);
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
std::vector<glm::dvec3> Rgbs(const std::vector<glm::vec4>& texels) {
    std::vector<glm::dvec3> rgbs;
    for (const auto& t : texels) {
        rgbs.push_back(Rgb(t));
    }
    return rgbs;
}

// |got - wanted| <= abs + rel |wanted| per channel; with `pixel`, rel scales
// with the pixel's largest |wanted| channel (a matrix spreads that channel's
// error over the others).
struct Tolerance {
    double abs;
    double rel;
    bool pixel = false;
};

// Colour channels within `tol`, alpha exactly; the first few failing pixels in full.
void ExpectColours(const std::string& what, const std::vector<glm::vec4>& input,
                   const std::vector<glm::vec4>& got, const std::vector<glm::dvec3>& wanted,
                   Tolerance tol) {
    ASSERT_EQ(got.size(), wanted.size()) << what;
    ASSERT_EQ(got.size(), input.size()) << what;
    int failures = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        bool ok = got[i].a == input[i].a;
        const glm::dvec3 size = glm::abs(wanted[i]);
        const double largest = std::max(size.r, std::max(size.g, size.b));
        for (int c = 0; c < 3; ++c) {
            const double error = std::abs(double(got[i][c]) - wanted[i][c]);
            ok = ok && error <= tol.abs + tol.rel * (tol.pixel ? largest : size[c]);
        }
        if (!ok && ++failures <= 4) {
            ADD_FAILURE() << what << " pixel " << i << ": input " << Describe(input[i]) << " got "
                          << Describe(got[i]) << " wanted " << Describe(glm::dvec4(wanted[i], 1))
                          << " alpha " << input[i].a << " (tolerance abs " << tol.abs << " rel "
                          << tol.rel << (tol.pixel ? " of the pixel)" : ")");
        }
    }
    EXPECT_EQ(failures, 0) << what << ": pixels out of tolerance";
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
// Each transfer function over a dense sweep: decode, encode, and both.

// HLG system gamma of BT.2100 for a nominal peak.
float HlgGamma(double peak) { return float(1.2 + 0.42 * std::log10(peak / 1000.0)); }

// Tolerances, all float32 GPU arithmetic on pow/exp/log chains:
// SDR curves live in [0, 1]: absolute 1e-5 on both sides.
// PQ decodes to 0..100, so relative. The ST 2084 fraction (p - c1) / (c2 - c3 p)
// cancels near black and near peak; correctly rounded float32 alone is 5e-5 off
// at code 240/255, hence 2e-4 with a floor for the near-black. HLG display light
// is relative for the same range reason. HDR signals: absolute 1e-4 of full scale.
TEST_F(ColorSpaceConverterGLTest, EachTransferMatchesItsStandard) {
    constexpr Tolerance kSdr{1e-5, 0.0};
    constexpr Tolerance kHdrLinear{1e-6, 2e-4};
    constexpr Tolerance kHdrSignal{1e-4, 0.0};
    const struct {
        const char* name;
        int id;
        float hlgPeak;  // HLG display parameters (others ignore them)
        float hlgGamma;
        Tolerance decode;  // linear light; signal tolerances are kSdr or kHdrSignal
    } rows[] = {
        {"bt709", T::BT709, 1000, 1.2f, kSdr},
        {"bt709a", T::BT709A, 1000, 1.2f, kSdr},
        {"bt1886", T::BT1886, 1000, 1.2f, kSdr},
        {"gamma22", T::Gamma22, 1000, 1.2f, kSdr},
        {"gamma28", T::Gamma28, 1000, 1.2f, kSdr},
        {"sRGB", T::SRGB, 1000, 1.2f, kSdr},
        {"st2084", T::ST2084, 1000, 1.2f, kHdrLinear},
        {"st2084Scene", T::ST2084Scene, 1000, 1.2f, kHdrLinear},
        {"hlg_1000", T::HLG, 1000, 1.2f, kHdrLinear},
        {"hlg_400", T::HLG, 400, HlgGamma(400), kHdrLinear},
        // System gamma below 1: saturated colours decode above the nominal peak.
        {"hlg_300", T::HLG, 300, HlgGamma(300), kHdrLinear},
        {"hlgScene", T::HLGScene, 1000, 1.2f, kHdrLinear},
    };
    const std::vector<glm::vec4> sweep = SignalSweep();
    for (const auto& row : rows) {
        const Ref::Curve curve{0.0, 0.0, row.hlgPeak, double(row.hlgGamma)};
        const Tolerance signal = row.decode.rel == 0.0 ? kSdr : kHdrSignal;
        Uniforms u;
        u.displayPeakLuminance = row.hlgPeak;
        u.ootfGamma = row.hlgGamma;
        // Linear inputs at the decoded sweep levels, so the dark end is sampled
        // as densely as the signal.
        std::vector<glm::vec4> linear;
        std::vector<glm::dvec3> decoded, encoded;
        for (const auto& t : sweep) {
            decoded.push_back(Ref::Decode(row.id, Rgb(t), curve));
            linear.push_back(
                {float(decoded.back().r), float(decoded.back().g), float(decoded.back().b), t.a});
            encoded.push_back(Ref::Encode(row.id, Rgb(linear.back()), curve));
        }
        u.sourceFunction = row.id;
        ExpectColours(std::string(row.name) + " decode", sweep, Convert(u, sweep, kSweep, 2),
                      decoded, row.decode);
        u.targetFunction = row.id;
        ExpectColours(std::string(row.name) + " decode+encode", sweep, Convert(u, sweep, kSweep, 2),
                      Rgbs(sweep), signal);
        u.sourceFunction = T::Linear;
        ExpectColours(std::string(row.name) + " encode", linear, Convert(u, linear, kSweep, 2),
                      encoded, signal);
    }
}

// Published anchor points of the standards, one pixel each.
TEST_F(ColorSpaceConverterGLTest, AnchorsMatchPublishedValues) {
    const struct {
        const char* name;
        int source;
        int target;
        double input;  // grey
        double wanted;
        Tolerance tol;
    } rows[] = {
        // ST 2084: code 1.0 is 10000 cd/m².
        {"pq_peak", T::ST2084, T::Linear, 1.0, 100.0, {0.0, 1e-5}},  // float32
        {"pq_black", T::ST2084, T::Linear, 0.0, 0.0, {0.0, 0.0}},
        // BT.2408 table 1: HDR reference white 203 cd/m² at PQ 58% (rounded code),
        // and HLG 75% on a 1000 cd/m² display.
        {"pq_reference_white", T::ST2084, T::Linear, 0.5807, 2.03, {0.0, 5e-3}},  // rounding
        {"hlg_reference_white", T::HLG, T::Linear, 0.75, 2.03, {0.0, 5e-3}},      // rounding
        // BT.2100: the HLG knee, signal 0.5, is scene 1/12: 1.0 on the 0..12 scale;
        // scene 12, the nominal peak, encodes to a ln(12 - b) + c = 1.
        {"hlg_scene_knee", T::HLGScene, T::Linear, 0.5, 1.0, {1e-6, 0.0}},  // float32
        {"hlg_scene_peak", T::Linear, T::HLGScene, 12.0, 1.0, {1e-6, 0.0}},
        // HLG display near black: 0.05 cd/m² grey on a 1000 cd/m² display.
        {"hlg_display_near_black",
         T::Linear,
         T::HLG,
         0.0005,
         Ref::HlgInverseEotf(glm::dvec3(0.0005), 1000.0, 1.2).g,
         {1e-5, 0.0}},
        // IEC 61966-2-1: the last points of the linear segments.
        {"srgb_knee", T::SRGB, T::Linear, 0.04045, 0.04045 / 12.92, {1e-9, 0.0}},
        {"srgb_knee_encode", T::Linear, T::SRGB, 0.0031308, 0.0031308 * 12.92, {1e-8, 0.0}},
        // BT.709 linear segment (its knee itself is discontinuous in the rounded constants).
        {"bt709_linear_segment", T::Linear, T::BT709, 0.01, 0.045, {1e-8, 0.0}},
        {"bt709_white", T::BT709, T::Linear, 1.0, 1.0, {1e-6, 0.0}},
    };
    for (const auto& row : rows) {
        Uniforms u;
        u.sourceFunction = row.source;
        u.targetFunction = row.target;
        const float in = float(row.input);
        const std::vector<glm::vec4> input = {{in, in, in, 0.25f}};
        ExpectColours(row.name, input, Convert(u, input), {glm::dvec3(row.wanted)}, row.tol);
    }
}

// ---------------------------------------------------------------------------
// Primaries.

// Every pair against the host's matrix (the shader carries it with six
// decimals), and there and back; BT.709 to BT.2020 also against the four
// decimals of ITU-R BT.2087-0 section 2.
TEST_F(ColorSpaceConverterGLTest, PrimariesMatchHostMatrixAndRoundTrip) {
    const ColorPrimaries all[] = {ColorPrimaries::BT709, ColorPrimaries::BT470BG,
                                  ColorPrimaries::SMPTE170M, ColorPrimaries::SMPTE432,
                                  ColorPrimaries::BT2020};
    const std::vector<glm::vec4> input = SignalSweep();
    for (const ColorPrimaries from : all) {
        for (const ColorPrimaries to : all) {
            if (from == to) {
                continue;
            }
            const std::string name = "primaries " + std::to_string(static_cast<int>(from)) +
                                     " to " + std::to_string(static_cast<int>(to));
            Uniforms there, back;
            there.sourcePrimaries = back.targetPrimaries = static_cast<int>(from);
            there.targetPrimaries = back.sourcePrimaries = static_cast<int>(to);
            const auto m = Kavrin::Conf::GetRGBCrossMatrix(from, to);
            std::vector<glm::dvec3> wanted;
            for (const auto& t : input) {
                wanted.push_back(Ref::Apply(m, Rgb(t)));
            }
            const auto got = Convert(there, input, kSweep, 2);
            ExpectColours(name, input, got, wanted, {1e-5, 0.0});  // rounding
            ExpectColours(name + " and back", input, Convert(back, got, kSweep, 2), Rgbs(input),
                          {1e-5, 0.0});  // rounding
        }
    }
    const std::vector<glm::vec4> primaries = {{1, 0, 0, 1}, {0, 1, 0, 0.5f}, {0, 0, 1, 0}};
    Uniforms u;
    u.sourcePrimaries = static_cast<int>(ColorPrimaries::BT709);
    u.targetPrimaries = static_cast<int>(ColorPrimaries::BT2020);
    ExpectColours("bt709_to_bt2020 columns", primaries, Convert(u, primaries),
                  {{0.6274, 0.0691, 0.0164}, {0.3293, 0.9195, 0.0880}, {0.0433, 0.0114, 0.8956}},
                  {1e-4, 0.0});  // rounding
}

// Unknown identifiers paint a flat fault colour (source red, target blue,
// primaries green), which still goes through a known target curve; known
// identity conversions pass through.
TEST_F(ColorSpaceConverterGLTest, UnknownIdentifiersPaintTheFaultOrPassThrough) {
    constexpr int kLin = T::Linear;
    const glm::dvec3 kRed(1, 0, 0), kGreen(0, 1, 0), kBlue(0, 0, 1), kNone(-1);
    constexpr Tolerance kExact{0.0, 0.0};
    constexpr Tolerance kFloat{1e-6, 0.0};
    const struct {
        int source, target, fromPrimaries, toPrimaries;
        glm::dvec3 flat;  // kNone: the input comes through
        Tolerance tol;
    } rows[] = {
        {0, kLin, 1, 1, kRed, kExact},           {12, kLin, 1, 1, kRed, kExact},
        {-1, kLin, 1, 1, kRed, kExact},          {99, T::SRGB, 1, 1, kRed, kFloat},
        {kLin, 0, 1, 1, kBlue, kExact},          {kLin, 12, 1, 1, kBlue, kExact},
        {T::ST2084, -1, 1, 1, kBlue, kExact},    {kLin, kLin, 1, 7, kGreen, kExact},
        {kLin, kLin, 4, 9, kGreen, kExact},      {kLin, kLin, 9, 2, kGreen, kExact},
        {kLin, T::SRGB, 1, 11, kGreen, kFloat},  {kLin, kLin, 1, 1, kNone, kExact},
        {T::SRGB, T::SRGB, 1, 1, kNone, kFloat},
    };
    const std::vector<glm::vec4> input = SignalSweep();
    for (const auto& row : rows) {
        Uniforms u;
        u.sourceFunction = row.source;
        u.targetFunction = row.target;
        u.sourcePrimaries = row.fromPrimaries;
        u.targetPrimaries = row.toPrimaries;
        const std::vector<glm::dvec3> wanted =
            row.flat == kNone ? Rgbs(input) : std::vector<glm::dvec3>(input.size(), row.flat);
        ExpectColours("transfers " + std::to_string(row.source) + " -> " +
                          std::to_string(row.target) + ", primaries " +
                          std::to_string(row.fromPrimaries) + " -> " +
                          std::to_string(row.toPrimaries),
                      input, Convert(u, input, kSweep, 2), wanted, row.tol);
    }
}

// ---------------------------------------------------------------------------
// End to end through ConvertColorSpace with the host's parameters.

const ColorSpace kPq2020{9, 16, 9};
const ColorSpace kSdr709{1, 1, 1};
const ColorSpace kSrgb{1, 13, 1};
const ColorSpace kLinear709{1, 8, 1};
const ColorSpace kHlg2020{9, 18, 9};

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
    for (const auto& hue : hues) {
        for (double level : levels) {
            const glm::dvec3 wide = Ref::Apply(toWide, hue * (level * maxDisplay));
            const glm::dvec3 pq = Ref::PerChannel(glm::max(wide, 0.0), &Ref::PqInverseEotf);
            texels.push_back({float(pq.r), float(pq.g), float(pq.b), float(texels.size() % 3) / 2});
        }
    }
    return texels;
}

ColorConversionInfo Info(ColorSpace source, ColorSpace target, float sourcePeak = 1000.0f,
                         float targetPeak = 1000.0f) {
    ColorConversionInfo info;
    info.source = source;
    info.target = target;
    info.sourcePeakLuminance = sourcePeak;
    info.targetPeakLuminance = targetPeak;
    return info;
}

// Float32 chains. HDR-sourced colours lose ~1e-5 of their brightest channel in
// the PQ decode; the 2020 -> 709 matrix spreads that onto near-zero channels,
// where the sRGB (12.92) and BT.709 (4.5) slopes magnify it: 4e-4 of signal.
TEST_F(ColorSpaceConverterGLTest, ConversionsMatchReferencePipeline) {
    constexpr Tolerance kSignal{1e-4, 0.0};
    constexpr Tolerance kSdrFromHdr{4e-4, 0.0};
    constexpr Tolerance kLinearFromHdr{1e-6, 1e-4, true};
    const std::vector<glm::vec4> pq1000 = PqColoursIn709(10.0), pq4000 = PqColoursIn709(40.0);
    const std::vector<glm::vec4> sweep = SignalSweep();
    const struct {
        const char* name;
        ColorConversionInfo info;
        const std::vector<glm::vec4>& input;
        Tolerance tol;
    } rows[] = {
        {"pq2020_to_bt709_tonemapped", Info(kPq2020, kSdr709), pq1000, kSdrFromHdr},
        {"pq2020_to_bt709_untouched", Info(kPq2020, kSdr709, 203), pq1000, kSdrFromHdr},
        {"pq2020_to_srgb", Info(kPq2020, kSrgb), pq1000, kSdrFromHdr},
        {"pq2020_to_linear709", Info(kPq2020, kLinear709), pq1000, kLinearFromHdr},
        {"bt709_to_pq2020", Info(kSdr709, kPq2020), sweep, kSignal},
        {"srgb_to_pq2020", Info(kSrgb, kPq2020), sweep, kSignal},
        {"pq4000_to_pq1000", Info(kPq2020, kPq2020, 4000, 1000), pq4000, kSignal},
        {"pq2020_to_hlg2020", Info(kPq2020, kHlg2020), pq1000, kSignal},
        {"hlg2020_to_bt709", Info(kHlg2020, kSdr709), sweep, kSdrFromHdr},
        {"bt709_to_hlg2020", Info(kSdr709, kHlg2020), sweep, kSignal},
        {"gamma22_p3_to_bt709", Info({12, 4, 1}, kSdr709), sweep, kSignal},
    };
    for (const auto& row : rows) {
        const ColorSpaceTransform transform(row.info);
        std::vector<glm::dvec3> wanted;
        for (const auto& t : row.input) {
            wanted.push_back(Ref::Pipeline(Rgb(t), transform));
        }
        ExpectColours(row.name, row.input, ConvertFrame(row.info, row.input), wanted, row.tol);
    }
}

TEST_F(ColorSpaceConverterGLTest, NeighboursDoNotBleedAcrossAWideFrame) {
    // Alternating dark and very bright PQ columns: the curve turns the slightest
    // mix of a neighbour into a large error, worst at the far end of the row.
    const ColorConversionInfo info = Info(kPq2020, {9, 8, 9});
    const glm::vec4 dark(glm::vec3(16705 / 65535.0f), 1.0f);
    const glm::vec4 bright(glm::vec3(65021 / 65535.0f), 1.0f);
    std::vector<glm::vec4> row(1920);
    for (std::size_t x = 0; x < row.size(); ++x) {
        row[x] = x % 2 != 0 ? dark : bright;
    }
    const std::vector<glm::vec4> alone = ConvertFrame(info, {bright, dark});
    const std::vector<glm::vec4> result = ConvertFrame(info, row);
    ASSERT_EQ(result.size(), row.size());
    ASSERT_EQ(alone.size(), 2u);
    for (std::size_t x = 0; x < row.size(); ++x) {
        const glm::vec4& want = alone[x % 2];
        ASSERT_NEAR(result[x].r, want.r, 1e-6 * want.r) << "column " << x;  // float
    }
}

// HDR reference white is SDR white once the scale has acted, when no tone curve
// bends it (source peak not above reference white); and SDR comes back to PQ.
TEST_F(ColorSpaceConverterGLTest, ReferenceWhiteLandsOnSdrWhiteAndComesBack) {
    const float white = float(Ref::PqInverseEotf(2.03));
    for (const ColorSpace target : {kSdr709, kSrgb, kLinear709}) {
        const std::vector<glm::vec4> input = {{white, white, white, 1.0f},
                                              {0.5807f, 0.5807f, 0.5807f, 0.0f}};
        const auto got = ConvertFrame(Info(kPq2020, target, 203.0f), input);
        const std::string name =
            "pq reference white to transfer " + std::to_string(target.transfer);
        ASSERT_EQ(got.size(), 2u);
        ExpectColours(name, {input[0]}, {got[0]}, {glm::dvec3(1.0)}, {1e-4, 0.0});  // float32
        // The rounded BT.2408 code is 203.02 cd/m²: half a per cent in light.
        ExpectColours(name + " (58% code)", {input[1]}, {got[1]}, {glm::dvec3(1.0)},
                      {5e-3, 0.0});  // rounding
    }
    const ColorConversionInfo forward = Info(kPq2020, kSdr709, 203.0f);
    ASSERT_EQ(ColorSpaceTransform(forward).GetPQTonemapCoefs().first, 0.0f);
    const std::vector<glm::vec4> input = PqColoursIn709(10.0);
    ExpectColours("pq->bt709->pq", input,
                  ConvertFrame(Info(kSdr709, kPq2020), ConvertFrame(forward, input)), Rgbs(input),
                  {1e-3, 0.0});  // float32
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
        EXPECT_GT(out, previous) << "tone curve not increasing at PQ input " << input[i].g;
        previous = out;
    }
    EXPECT_NEAR(Ref::PqEotf(got[kSweep - 1].g), 10.0, 10.0 * 5e-3);  // curve
    for (std::size_t k = 0; k < std::size(blacks); ++k) {
        EXPECT_NEAR(Ref::PqEotf(got[kSweep + k].g) / blacks[k], 1.0, 1e-3)  // slope
            << "near-black input " << blacks[k];
    }
}

}  // namespace
