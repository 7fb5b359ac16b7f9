// Colour-space conversion on the GPU against the double-precision transfer curves
// and primaries matrices of ColourReference.h.
#include <GL/glew.h>

#include "ColorSpaceConverter.h"

#include <cmath>
#include <optional>
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

namespace Ref = Kavrin::Test::Ref;

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

// Draws `input` into a float target. With `u`, in rows of 256 through the
// converter's own source built as a test program, so every uniform (unknown
// identifiers included) is ours to set; without, through the public entry point
// from a float frame in `info.source`, left as the pool hands it out (linear
// filtering): each pixel must still read exactly its own texel.
std::vector<glm::vec4> Convert(const std::vector<glm::vec4>& input, const Uniforms* u,
                               const ColorConversionInfo& info = {}) {
    const int width = u != nullptr ? 256 : static_cast<int>(input.size());
    const int height = static_cast<int>(input.size()) / width;
    std::vector<glm::vec4> result;
    WithStorage([&](const ShaderStorage& storage) {
        auto target = FloatTexture(width, height);
        storage.FBO().Attach(*target);
        if (u == nullptr) {
            auto frame =
                Frame::CreateIntermediate(info.source, Kavrin::PixFmt::RGBAF32LE, {width, 1, 0, 0});
            frame->GetFirstTexture()->Update(0, input.data());
            ConvertColorSpace(frame, info, storage);
            result = Kavrin::Test::ReadFloat(*target, storage);
            return;
        }
        ShaderProgram& program = storage.MakeShader(ShaderSources<VShader::Id, ShaderGenerator>{
            "colorSpaceConverterGLTest", VShader::Id::XYUV, &ColorSpaceConverterSource, __FILE__});
        if (!program.UniformExists("sourceFunction")) {
            throw std::runtime_error("the converter source did not build");
        }
        auto source = FloatTexture(width, height, input.data());
        program.Use();
        program.Uniform("tex", 0);
        program.Uniform("sourceFunction", u->sourceFunction);
        program.Uniform("targetFunction", u->targetFunction);
        program.Uniform("sourcePrimaries", u->sourcePrimaries);
        program.Uniform("targetPrimaries", u->targetPrimaries);
        program.Uniform("flags", 0);  // the OOTFs, scale and tone curve are the pipeline's
        program.Uniform("linearScale", 1.0f);
        program.Uniform("pqTonemapA", 0.0f);
        program.Uniform("pqTonemapB", 0.0f);
        program.Uniform("displayPeakLuminance", u->displayPeakLuminance);
        program.Uniform("ootfGamma", u->ootfGamma);
        source->Use(0);
        storage.Quad().Activate();
        storage.Quad().Draw(program);
        result = Kavrin::Test::ReadFloat(*target, storage);
    });
    return result;
}

glm::dvec3 Rgb(const glm::vec4& p) { return {p.r, p.g, p.b}; }
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
                          << Describe(got[i]) << " wanted " << Describe(glm::dvec4(wanted[i], 1));
        }
    }
    EXPECT_EQ(failures, 0) << what << ": pixels out of tolerance";
}

// A 256-sample sweep of [0, 1]: row 0 grey, row 1 with the channels permuted so
// every channel meets every level against different partners. Alpha varies.
std::vector<glm::vec4> SignalSweep() {
    std::vector<glm::vec4> texels;
    for (int row = 0; row < 2; ++row) {
        for (int i = 0; i < 256; ++i) {
            const float v = float(i) / 255.0f;
            const float g = row == 0 ? v : float((i * 97 + 13) % 256) / 255.0f;
            const float b = row == 0 ? v : float((i * 59 + 200) % 256) / 255.0f;
            texels.push_back({v, g, b, float(i % 5) / 4.0f});
        }
    }
    return texels;
}

// HLG system gamma of BT.2100 for a nominal peak.
float HlgGamma(double peak) { return float(1.2 + 0.42 * std::log10(peak / 1000.0)); }

// The converter's shader with its own uniforms: every transfer decoded, encoded
// and both over a dense sweep; every ordered pair of supported primaries against
// the host's matrix (the shader carries it with six decimals); unknown
// identifiers paint a flat fault colour (source red, target blue, primaries
// green) that still goes through a known target curve.
//
// Tolerances, all float32 GPU arithmetic on pow/exp/log chains:
// SDR curves live in [0, 1]: absolute 1e-5 on both sides.
// PQ decodes to 0..100, so relative. The ST 2084 fraction (p - c1) / (c2 - c3 p)
// cancels near black and near peak; correctly rounded float32 alone is 5e-5 off
// at code 240/255, hence 2e-4 with a floor for the near-black. HLG display light
// is relative for the same range reason. HDR signals: absolute 1e-4 of full scale.
TEST_F(ColorSpaceConverterGLTest, TransfersPrimariesAndUnknownIdentifiersMatchReference) {
    constexpr Tolerance kSdr{1e-5, 0.0};
    constexpr Tolerance kHdrLinear{1e-6, 2e-4};
    constexpr Tolerance kHdrSignal{1e-4, 0.0};
    constexpr Tolerance kExact{0.0, 0.0};
    const glm::dvec3 kRed(1, 0, 0), kGreen(0, 1, 0), kBlue(0, 0, 1), kNone(-1);
    struct Row {
        std::string name;
        Uniforms u;
        Tolerance tol;
        std::optional<glm::dvec3> flat;  // none: the reference conversion
        bool linearInput;                // the sweep decoded by the target curve, else the sweep
    };
    std::vector<Row> rows;
    // HLG at 300 cd/m²: system gamma below 1, saturated colours decode above the peak.
    const struct {
        int id;
        float hlgPeak;     // HLG display peak (others ignore it)
        Tolerance decode;  // linear light; signals get kSdr or kHdrSignal
    } transfers[] = {
        {T::BT709, 1000, kSdr},        {T::BT709A, 1000, kSdr},
        {T::BT1886, 1000, kSdr},       {T::Gamma22, 1000, kSdr},
        {T::Gamma28, 1000, kSdr},      {T::SRGB, 1000, kSdr},
        {T::ST2084, 1000, kHdrLinear}, {T::ST2084Scene, 1000, kHdrLinear},
        {T::HLG, 1000, kHdrLinear},    {T::HLG, 400, kHdrLinear},
        {T::HLG, 300, kHdrLinear},     {T::HLGScene, 1000, kHdrLinear},
    };
    for (const auto& t : transfers) {
        const Tolerance signal = t.decode.rel == 0.0 ? kSdr : kHdrSignal;
        const Uniforms u{T::Linear, T::Linear, 1, 1, t.hlgPeak, HlgGamma(t.hlgPeak)};
        Uniforms decode = u, both = u, encode = u;
        decode.sourceFunction = both.sourceFunction = both.targetFunction = t.id;
        encode.targetFunction = t.id;
        const std::string name = "transfer " + std::to_string(t.id) + " at " +
                                 std::to_string(int(t.hlgPeak)) + " cd/m², ";
        rows.push_back({name + "decode", decode, t.decode, std::nullopt, false});
        rows.push_back({name + "decode+encode", both, signal, std::nullopt, false});
        rows.push_back({name + "encode", encode, signal, std::nullopt, true});
    }
    const int primaries[] = {1, 5, 6, 12, 9};
    for (const int from : primaries) {
        for (const int to : primaries) {
            if (from != to) {
                rows.push_back({"primaries " + std::to_string(from) + " to " + std::to_string(to),
                                {T::Linear, T::Linear, from, to},
                                {1e-5, 0.0},  // rounding
                                std::nullopt,
                                false});
            }
        }
    }
    constexpr Tolerance kFloat{1e-6, 0.0};
    const struct {
        int source, target, fromPrimaries, toPrimaries;
        glm::dvec3 flat;  // kNone: the input comes through
        Tolerance tol;
    } faults[] = {
        {0, T::Linear, 1, 1, kRed, kExact},           {12, T::Linear, 1, 1, kRed, kExact},
        {-1, T::Linear, 1, 1, kRed, kExact},          {99, T::SRGB, 1, 1, kRed, kFloat},
        {T::Linear, 0, 1, 1, kBlue, kExact},          {T::Linear, 12, 1, 1, kBlue, kExact},
        {T::ST2084, -1, 1, 1, kBlue, kExact},         {T::Linear, T::Linear, 1, 7, kGreen, kExact},
        {T::Linear, T::Linear, 4, 9, kGreen, kExact}, {T::Linear, T::Linear, 9, 2, kGreen, kExact},
        {T::Linear, T::SRGB, 1, 11, kGreen, kFloat},  {T::Linear, T::Linear, 1, 1, kNone, kExact},
        {T::SRGB, T::SRGB, 1, 1, kNone, kFloat},
    };
    for (const auto& f : faults) {
        rows.push_back({"fault row " + std::to_string(&f - faults),
                        {f.source, f.target, f.fromPrimaries, f.toPrimaries},
                        f.tol,
                        f.flat == kNone ? std::nullopt : std::optional(f.flat),
                        false});
    }

    const std::vector<glm::vec4> sweep = SignalSweep();
    for (const Row& row : rows) {
        const Ref::Curve curve{0.0, 0.0, row.u.displayPeakLuminance, double(row.u.ootfGamma)};
        // Linear inputs at the decoded sweep levels sample the dark end as densely
        // as the signal.
        std::vector<glm::vec4> input = sweep;
        if (row.linearInput) {
            for (auto& t : input) {
                t = glm::vec4(glm::vec3(Ref::Decode(row.u.targetFunction, Rgb(t), curve)), t.a);
            }
        }
        std::vector<glm::dvec3> wanted;
        for (const auto& t : input) {
            if (row.flat) {
                wanted.push_back(*row.flat);
            } else {
                // Equal primaries give the exact identity.
                const auto m = Kavrin::Conf::GetRGBCrossMatrix(
                    ColorPrimaries(row.u.sourcePrimaries), ColorPrimaries(row.u.targetPrimaries));
                const glm::dvec3 c = Ref::Decode(row.u.sourceFunction, Rgb(t), curve);
                wanted.push_back(Ref::Encode(row.u.targetFunction, Ref::Apply(m, c), curve));
            }
        }
        ExpectColours(row.name, input, Convert(input, &row.u), wanted, row.tol);
    }
}

// Levels the standards publish, tighter than the sweep's bounds: a constant of a
// curve a few millionths off moves them.
TEST_F(ColorSpaceConverterGLTest, AnchorsMatchPublishedValues) {
    const struct {
        const char* name;
        int source, target;
        double input, wanted;
        Tolerance tol;
    } rows[] = {
        {"pq_peak", T::ST2084, T::Linear, 1.0, 100.0, {0.0, 1e-5}},  // 10000 cd/m²
        // The HLG knee, signal 0.5, is scene 1/12 (1.0 on the 0..12 scale); scene
        // 12 encodes to a ln(12 - b) + c = 1.
        {"hlg_scene_knee", T::HLGScene, T::Linear, 0.5, 1.0, {1e-6, 0.0}},
        {"hlg_scene_peak", T::Linear, T::HLGScene, 12.0, 1.0, {1e-6, 0.0}},
        // IEC 61966-2-1 and BT.709: the ends of the linear segments.
        {"srgb_knee", T::SRGB, T::Linear, 0.04045, 0.04045 / 12.92, {1e-9, 0.0}},
        {"srgb_knee_encode", T::Linear, T::SRGB, 0.0031308, 0.0031308 * 12.92, {1e-8, 0.0}},
        {"bt709_linear_segment", T::Linear, T::BT709, 0.01, 0.045, {1e-8, 0.0}},
    };
    for (const auto& row : rows) {
        const Uniforms u{row.source, row.target, 1, 1, 1000, 1.2f};
        const float in = float(row.input);
        const std::vector<glm::vec4> input(256, glm::vec4(in, in, in, 0.25f));  // one row
        ExpectColours(row.name, input, Convert(input, &u),
                      std::vector<glm::dvec3>(256, glm::dvec3(row.wanted)), row.tol);
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
    return {source, target, sourcePeak, targetPeak};
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
    // Alternating dark and very bright PQ columns across a wide frame: the curve
    // turns the slightest mix of a neighbour into a large error, worst at the far
    // end of the row.
    std::vector<glm::vec4> columns(1920, glm::vec4(glm::vec3(65021 / 65535.0f), 1.0f));
    for (std::size_t x = 1; x < columns.size(); x += 2) {
        columns[x] = glm::vec4(glm::vec3(16705 / 65535.0f), 1.0f);
    }
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
        {"pq2020_to_linear2020_wide", Info(kPq2020, {9, 8, 9}), columns, kLinearFromHdr},
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
        const auto m = Kavrin::Conf::GetRGBCrossMatrix(ColorPrimaries(row.info.source.primaries),
                                                       ColorPrimaries(row.info.target.primaries));
        std::vector<glm::dvec3> wanted;
        for (const auto& t : row.input) {
            wanted.push_back(Ref::Pipeline(Rgb(t), transform, &m));
        }
        ExpectColours(row.name, row.input, Convert(row.input, nullptr, row.info), wanted, row.tol);
    }
}

}  // namespace
