// Colour on the GPU against the double-precision references of ColourReference.h:
// the colour-space converter, Y'CbCr conversion and the GLSL helper library.
#include <GL/glew.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"

#include "ColorSpaceConverter.h"
#include "ColourReference.h"
#include "Frame.h"
#include "GpuEval.h"  // the program, storage and texture headers
#include "Mesh.h"
#include "Private/UploadDownloadBuffers.h"
#include "ShaderSources.h"
#include "TestTasks.h"
#include "YUVColorConverter.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::PixelColorRange;
using Kavrin::PixFmt;
using Kavrin::PixFmtDescription;
using Kavrin::Conf::ColorPrimaries;
using Kavrin::Conf::ColorSpace;
using Kavrin::Conf::ColorSpaceTransform;
using Kavrin::Conf::YCbCrMatrix;
using Kavrin::Proc::ColorConversionInfo;
using namespace Kavrin::Test;
using T = ColorSpaceTransform;
using Params = Texture::Params;
using Samples = std::vector<std::uint16_t>;
using Args = std::vector<glm::vec4>;
using Cases = std::vector<Args>;
using ColourGLTest = GLTest<>;  // ends with the pool emptied and no GL error left

struct Uniforms {
    int sourceFunction = T::Linear, targetFunction = T::Linear;
    int sourcePrimaries = 1, targetPrimaries = 1;
    float displayPeakLuminance = 1000.0f, ootfGamma = 1.2f;
};

// Draws `input` into a float target. With `u`, in rows of 256 through the converter's
// source as a test program, every uniform ours; without, through the public entry from
// a pooled (linearly filtered) float frame, where each pixel must read its own texel.
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
            result = ReadFloat(*target, storage);
            return;
        }
        ShaderProgram& program = storage.MakeShader(ShaderSources<VShader::Id, ShaderGenerator>{
            "colorSpaceConverterGLTest", VShader::Id::XYUV, &ColorSpaceConverterSource, __FILE__});
        if (!program.UniformExists("sourceFunction"))
            throw std::runtime_error("the converter source did not build");
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
        result = ReadFloat(*target, storage);
    });
    return result;
}

glm::dvec3 Rgb(const glm::vec4& p) { return {p.r, p.g, p.b}; }
// |got - wanted| <= abs + rel |wanted| per channel; with `pixel`, rel scales with the
// largest |wanted| channel (a matrix spreads that channel's error over the others).
struct Tolerance {
    double abs, rel;
    bool pixel = false;
};

// Colour channels within `tol` of `want`, alpha exactly; the first failures in full.
void ExpectColours(const std::string& what, const std::vector<glm::vec4>& input,
                   const std::vector<glm::vec4>& got,
                   const std::function<glm::dvec3(const glm::vec4&)>& want, Tolerance tol) {
    ASSERT_EQ(got.size(), input.size()) << what;
    int failures = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        bool ok = got[i].a == input[i].a;
        const glm::dvec3 wanted = want(input[i]), size = glm::abs(wanted);
        const double largest = std::max({size.r, size.g, size.b});
        for (int c = 0; c < 3; ++c)
            ok = ok && std::abs(double(got[i][c]) - wanted[c]) <=
                           tol.abs + tol.rel * (tol.pixel ? largest : size[c]);
        if (!ok && ++failures <= 4) {
            ADD_FAILURE() << what << " pixel " << i << ": input " << Describe(input[i]) << " got "
                          << Describe(got[i]) << " wanted " << Describe(glm::dvec4(wanted, 1));
        }
    }
    EXPECT_EQ(failures, 0) << what << ": pixels out of tolerance";
}

// A 256-sample sweep of [0, 1]: row 0 grey, row 1 with the channels permuted so
// every channel meets every level against different partners. Alpha varies.
std::vector<glm::vec4> SignalSweep() {
    std::vector<glm::vec4> texels;
    for (int j = 0; j < 512; ++j) {
        const int i = j % 256;
        const float v = float(i) / 255.0f;
        const float g = j < 256 ? v : float((i * 97 + 13) % 256) / 255.0f;
        const float b = j < 256 ? v : float((i * 59 + 200) % 256) / 255.0f;
        texels.push_back({v, g, b, float(i % 5) / 4.0f});
    }
    return texels;
}

// The converter's shader with its own uniforms: every transfer decoded, encoded and
// both; every pair of primaries against the host's matrix (six decimals in the
// shader); unknown identifiers paint a flat colour (source red, target blue,
// primaries green) that still goes through a known target curve. Tolerances (float32
// pow/exp/log): SDR absolute 1e-5. PQ decodes to 0..100, so relative: its fraction
// (p - c1) / (c2 - c3 p) cancels near black and peak, correctly rounded float32 is
// 5e-5 off at code 240/255, hence 2e-4 with a floor; HLG display light likewise.
// HDR signals: absolute 1e-4.
TEST_F(ColourGLTest, TransfersPrimariesAndUnknownIdentifiersMatchReference) {
    constexpr Tolerance kSdr{1e-5, 0.0}, kHdrLinear{1e-6, 2e-4}, kHdrSignal{1e-4, 0.0};
    constexpr Tolerance kExact{0.0, 0.0}, kFloat{1e-6, 0.0};
    const glm::dvec3 kRed(1, 0, 0), kGreen(0, 1, 0), kBlue(0, 0, 1);
    struct Row {
        Uniforms u;
        Tolerance tol;
        std::optional<glm::dvec3> flat = std::nullopt;  // none: the reference conversion
        bool linearInput = false;  // the sweep decoded by the target curve, else the sweep
        std::optional<float> level = std::nullopt;  // one grey level in place of the sweep
    };
    // Unknown identifiers paint flat; known ones around them still work.
    // clang-format off
    std::vector<Row> rows = {
        {{0, T::Linear}, kExact, kRed}, {{12, T::Linear}, kExact, kRed}, {{-1, T::Linear}, kExact, kRed},
        {{99, T::SRGB}, kFloat, kRed}, {{T::Linear, 0}, kExact, kBlue}, {{T::Linear, 12}, kExact, kBlue},
        {{T::ST2084, -1}, kExact, kBlue}, {{T::Linear, T::Linear, 1, 7}, kExact, kGreen},
        {{T::Linear, T::Linear, 4, 9}, kExact, kGreen}, {{T::Linear, T::Linear, 9, 2}, kExact, kGreen},
        {{T::Linear, T::SRGB, 1, 11}, kFloat, kGreen}, {{T::Linear, T::Linear}, kExact},
        {{T::SRGB, T::SRGB}, kFloat},
        // Levels the standards publish, tighter than the sweep's bounds: a constant of a curve
        // a few millionths off moves them. PQ peak 10000 cd/m²; the HLG knee, signal 0.5, is
        // scene 1/12 (1.0 on the 0..12 scale), scene 12 encodes to a ln(12 - b) + c = 1; the
        // ends of the IEC 61966-2-1 and BT.709 linear segments.
        {{T::ST2084, T::Linear}, {0.0, 1e-5}, glm::dvec3(100.0), false, 1.0f},
        {{T::HLGScene, T::Linear}, {1e-6, 0.0}, glm::dvec3(1.0), false, 0.5f},
        {{T::Linear, T::HLGScene}, {1e-6, 0.0}, glm::dvec3(1.0), false, 12.0f},
        {{T::SRGB, T::Linear}, {1e-9, 0.0}, glm::dvec3(0.04045 / 12.92), false, 0.04045f},
        {{T::Linear, T::SRGB}, {1e-8, 0.0}, glm::dvec3(0.0031308 * 12.92), false, 0.0031308f},
        {{T::Linear, T::BT709}, {1e-8, 0.0}, glm::dvec3(0.045), false, 0.01f}};
    // clang-format on
    // Transfers and HLG display peaks; at 300 cd/m² the system gamma is below 1 and
    // saturated colours decode above the peak.
    const std::pair<int, float> transfers[] = {
        {T::BT709, 1000},   {T::BT709A, 1000}, {T::BT1886, 1000}, {T::Gamma22, 1000},
        {T::Gamma28, 1000}, {T::SRGB, 1000},   {T::ST2084, 1000}, {T::ST2084Scene, 1000},
        {T::HLG, 1000},     {T::HLG, 400},     {T::HLG, 300},     {T::HLGScene, 1000}};
    for (const auto& [id, hlgPeak] : transfers) {
        const bool hdr = id >= T::ST2084;
        const float gamma = float(1.2 + 0.42 * std::log10(hlgPeak / 1000.0));  // BT.2100
        rows.push_back({{id, T::Linear, 1, 1, hlgPeak, gamma}, hdr ? kHdrLinear : kSdr});
        rows.push_back({{id, id, 1, 1, hlgPeak, gamma}, hdr ? kHdrSignal : kSdr});
        rows.push_back({{T::Linear, id, 1, 1, hlgPeak, gamma}, hdr ? kHdrSignal : kSdr, {}, true});
    }
    const int primaries[] = {1, 5, 6, 12, 9};
    for (const int from : primaries)
        for (const int to : primaries)
            if (from != to)
                rows.push_back({{T::Linear, T::Linear, from, to}, {1e-5, 0.0}});  // rounding
    const std::vector<glm::vec4> sweep = SignalSweep();
    for (const Row& row : rows) {
        const Ref::Curve curve{0.0, 0.0, row.u.displayPeakLuminance, double(row.u.ootfGamma)};
        const std::string name = ::testing::PrintToString(
            std::tuple(row.u.sourceFunction, row.u.targetFunction, row.u.sourcePrimaries,
                       row.u.targetPrimaries, row.u.displayPeakLuminance, row.linearInput,
                       row.level.value_or(-1.0f)));
        // Linear inputs at the decoded sweep levels sample the dark end densely.
        std::vector<glm::vec4> input =
            row.level ? std::vector(256, glm::vec4(glm::vec3(*row.level), 0.25f)) : sweep;
        if (row.linearInput)
            for (auto& t : input)
                t = glm::vec4(glm::vec3(Ref::Decode(row.u.targetFunction, Rgb(t), curve)), t.a);
        // Equal primaries give the exact identity; unknown ones paint flat.
        const auto m = row.flat
                           ? Kavrin::Conf::RGBCrossMatrix{}
                           : Kavrin::Conf::GetRGBCrossMatrix(ColorPrimaries(row.u.sourcePrimaries),
                                                             ColorPrimaries(row.u.targetPrimaries));
        const auto want = [&](const glm::vec4& t) {
            if (row.flat)
                return *row.flat;
            const glm::dvec3 linear = Ref::Decode(row.u.sourceFunction, Rgb(t), curve);
            return Ref::Encode(row.u.targetFunction, Ref::Apply(m, linear), curve);
        };
        ExpectColours(name, input, Convert(input, &row.u), want, row.tol);
    }
}

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

// Float32 chains. HDR-sourced colours lose ~1e-5 of their brightest channel in
// the PQ decode; the 2020 -> 709 matrix spreads that onto near-zero channels,
// where the sRGB (12.92) and BT.709 (4.5) slopes magnify it: 4e-4 of signal.
TEST_F(ColourGLTest, ConversionsMatchReferencePipeline) {
    constexpr Tolerance kSignal{1e-4, 0.0};
    constexpr Tolerance kSdrFromHdr{4e-4, 0.0};
    constexpr Tolerance kLinearFromHdr{1e-6, 1e-4, true};
    const std::vector<glm::vec4> pq1000 = PqColoursIn709(10.0), pq4000 = PqColoursIn709(40.0);
    const std::vector<glm::vec4> sweep = SignalSweep();
    // Alternating dark and very bright PQ columns across a wide frame: the curve turns
    // the slightest mix of a neighbour into a large error, worst at the far end.
    std::vector<glm::vec4> columns(1920, glm::vec4(glm::vec3(65021 / 65535.0f), 1.0f));
    for (std::size_t x = 1; x < columns.size(); x += 2)
        columns[x] = glm::vec4(glm::vec3(16705 / 65535.0f), 1.0f);
    const struct {
        const char* name;
        ColorConversionInfo info;
        const std::vector<glm::vec4>& input;
        Tolerance tol;
    } rows[] = {
        {"pq2020_to_bt709_tonemapped", {kPq2020, kSdr709}, pq1000, kSdrFromHdr},
        {"pq2020_to_bt709_untouched", {kPq2020, kSdr709, 203}, pq1000, kSdrFromHdr},
        {"pq2020_to_srgb", {kPq2020, kSrgb}, pq1000, kSdrFromHdr},
        {"pq2020_to_linear709", {kPq2020, kLinear709}, pq1000, kLinearFromHdr},
        {"pq2020_to_linear2020_wide", {kPq2020, {9, 8, 9}}, columns, kLinearFromHdr},
        {"bt709_to_pq2020", {kSdr709, kPq2020}, sweep, kSignal},
        {"srgb_to_pq2020", {kSrgb, kPq2020}, sweep, kSignal},
        {"pq4000_to_pq1000", {kPq2020, kPq2020, 4000, 1000}, pq4000, kSignal},
        {"pq2020_to_hlg2020", {kPq2020, kHlg2020}, pq1000, kSignal},
        {"hlg2020_to_bt709", {kHlg2020, kSdr709}, sweep, kSdrFromHdr},
        {"bt709_to_hlg2020", {kSdr709, kHlg2020}, sweep, kSignal},
        {"gamma22_p3_to_bt709", {{12, 4, 1}, kSdr709}, sweep, kSignal},
    };
    for (const auto& row : rows) {
        const ColorSpaceTransform transform(row.info);
        const auto m = Kavrin::Conf::GetRGBCrossMatrix(ColorPrimaries(row.info.source.primaries),
                                                       ColorPrimaries(row.info.target.primaries));
        ExpectColours(
            row.name, row.input, Convert(row.input, nullptr, row.info),
            [&](const glm::vec4& t) { return Ref::Pipeline(Rgb(t), transform, &m); }, row.tol);
    }
}

// GL helpers; all run on the GL thread.
std::unique_ptr<Texture> IntegerPlane(int width, int height, int containerBits,
                                      int components = 1) {
    const bool wide = containerBits > 8;
    const GLenum type = wide ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE;
    const Params params =
        components == 1 ? Params{width, height, GL_RED_INTEGER, wide ? GL_R16UI : GL_R8UI, type}
                        : Params{width, height, GL_RG_INTEGER, wide ? GL_RG16UI : GL_RG8UI, type};
    return std::make_unique<Texture>(params, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
}

// Host samples (row 0 first) into the texture, 16-bit ones in host order.
void UploadSamples(const Samples& samples, Texture& texture, const ShaderStorage& storage) {
    const Params& p = texture.GetTexParams();
    const int bytes = p.type == GL_UNSIGNED_SHORT ? 2 : 1;
    const std::vector<std::uint8_t> narrow(samples.begin(), samples.end());
    const int rowBytes = p.width * texture.ComponentsPerPixel() * bytes;
    ASSERT_EQ(samples.size() * bytes, static_cast<std::size_t>(rowBytes * p.height));
    const void* data = bytes == 2 ? static_cast<const void*>(samples.data()) : narrow.data();
    UploadPlane({static_cast<const std::uint8_t*>(data), rowBytes, p.height}, texture, storage);
}

Samples ReadSamples(Texture& texture, const ShaderStorage& storage) {
    const Params& p = texture.GetTexParams();
    Samples samples(static_cast<std::size_t>(p.width * p.height * texture.ComponentsPerPixel()));
    std::vector<std::uint8_t> bytes(p.type == GL_UNSIGNED_SHORT ? 0 : samples.size());
    texture.Download(0, bytes.empty() ? static_cast<void*>(samples.data()) : bytes.data(),
                     storage.FBO());
    std::copy(bytes.begin(), bytes.end(), samples.begin());
    return samples;
}

// One matrix, range, depth and bit alignment, with alpha. ToYUV encodes in-gamut
// colours premultiplied, ToYUVA straight with a rounded alpha plane; into 4:2:0,
// chroma is the code of the 2x2 block's mean premultiplied colour, even from a
// linearly filtered source. ToRGB and ToRGBA decode those codes and random samples
// over the whole container (super-black and -white, out-of-range chroma, alpha past
// the depth, junk in the padding bits, each plane's extremes).
void ExpectConverterMatchesReference(YCbCrMatrix matrix, PixelColorRange range, int depth,
                                     int shift) {
    constexpr int kSize = 32, kHalf = kSize * kSize / 2;
    std::mt19937 random(
        static_cast<unsigned>(depth * 131 + shift * 7 + int(matrix) * 3 + int(range)));
    const int top = (1 << depth) - 1;
    const auto code = [&](const glm::dvec3& c) {
        return Ref::EncodeSamples(matrix, range, depth, c);
    };
    const auto nearTie = [&](const glm::dvec3& c) {
        return !Ref::FarFromTie(Ref::EncodeUnrounded(matrix, range, depth, c));
    };
    std::uniform_int_distribution<int> container(0, (1 << (depth + shift)) - 1);
    std::uniform_real_distribution<double> channel(0.05, 0.95);
    // Samples out: ToYUV, ToYUVA, and ToYUV into 4:2:0 (its Y plane unread).
    Samples planes[4], out[10];
    std::vector<glm::vec4> colours, rgb, rgba;
    for (int i = 0; i < kHalf; ++i) {
        const glm::dvec4 c(channel(random), channel(random), channel(random), channel(random));
        colours.push_back(glm::vec4(c));
        const glm::ivec3 s = code(glm::dvec3(c));
        for (int k = 0; k < 3; ++k)
            planes[k].push_back(static_cast<std::uint16_t>(s[k] << shift));
        planes[3].push_back(
            static_cast<std::uint16_t>(std::lround(colours.back().a * top) << shift));
    }
    for (Samples& plane : planes) {
        std::generate_n(std::back_inserter(plane), kHalf,
                        [&] { return static_cast<std::uint16_t>(container(random)); });
    }
    for (int k = 0; k < 4; ++k) {
        planes[k][kHalf + k] = 0;
        planes[k][kHalf + 4 + k] = static_cast<std::uint16_t>(top << shift);
    }
    // Above the depth in a 16-bit container: clamps to one.
    planes[3][kHalf + 9] = static_cast<std::uint16_t>(depth + shift > 8 ? 0xFFFF : top);
    WithStorage([&](const ShaderStorage& storage) {
        YUVConverter converter(storage, matrix, range, static_cast<unsigned char>(depth),
                               static_cast<unsigned char>(shift));
        const Texture source(Params{kSize, kSize / 2, GL_RGBA, GL_RGBA32F, GL_FLOAT},
                             GL_CLAMP_TO_EDGE, GL_LINEAR, colours.data());
        std::unique_ptr<Texture> t[10];
        for (int k = 0; k < 10; ++k)
            t[k] = IntegerPlane(kSize >> (k / 8), kSize / 2 >> (k / 8), depth + shift);
        converter.ToYUV(source, *t[0], *t[1], *t[2]);
        converter.ToYUVA(source, *t[3], *t[4], *t[5], *t[6]);
        converter.ToYUV(source, *t[7], *t[8], *t[9]);
        for (int k = 0; k < 10; ++k)
            out[k] = ReadSamples(*t[k], storage);
        auto target = FloatTexture(kSize, kSize);
        for (int k = 0; k < 4; ++k) {
            t[k] = IntegerPlane(kSize, kSize, depth + shift);
            UploadSamples(planes[k], *t[k], storage);
        }
        converter.ToRGB(*t[0], *t[1], *t[2], *target);
        rgb = ReadFloat(*target, storage);
        converter.ToRGBA(*t[0], *t[1], *t[2], *t[3], *target);
        rgba = ReadFloat(*target, storage);
    });
    // The same codes, but where float rounding may tip a tie.
    for (std::size_t i = 0; i < kHalf; ++i) {
        const glm::dvec3 c(colours[i]), premultiplied = c * double(colours[i].a);
        const double a = colours[i].a * double(top);
        const int slack = nearTie(c) || std::abs(a - std::floor(a) - 0.5) <= 0.01 ? 1 << shift : 0;
        const glm::ivec3 want = code(premultiplied);
        for (int k = 0; k < 4; ++k) {
            ASSERT_LE(std::abs(out[3 + k].at(i) - planes[k][i]), slack)
                << "ToYUVA pixel " << i << " plane " << k;
            ASSERT_EQ(out[3 + k][i] & ((1 << shift) - 1), 0) << "padding bits";
            if (k < 3) {
                ASSERT_LE(std::abs(out[k].at(i) - (want[k] << shift)),
                          nearTie(premultiplied) ? 1 << shift : 0)
                    << "ToYUV pixel " << i << " plane " << k;
            }
        }
    }
    for (int i = 0; i < kHalf / 4; ++i) {  // float sums may tip a tie
        const int p = i / (kSize / 2) * 2 * kSize + i % (kSize / 2) * 2;
        glm::dvec3 mean(0.0);
        for (const int q : {p, p + 1, p + kSize, p + kSize + 1})
            mean += glm::dvec3(colours[q]) * double(colours[q].a) / 4.0;
        for (int k = 0; k < 2; ++k) {
            ASSERT_LE(std::abs(out[8 + k].at(i) - (code(mean)[k + 1] << shift)), 1 << shift)
                << "4:2:0 block " << i << " plane " << k + 1;
        }
    }
    ASSERT_EQ(std::pair(rgb.size(), rgba.size()), std::pair(planes[0].size(), planes[0].size()));
    // Never more than a twentieth of a code, so that a one-code slip shows at 16 bits too.
    const double tolerance = std::min(1e-4, 0.05 / top);  // float
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        const glm::dvec3 want = Ref::DecodeSamples(matrix, range, depth, shift, planes[0][i],
                                                   planes[1][i], planes[2][i]);
        const double alpha = std::min((planes[3][i] >> shift) / double(top), 1.0);
        for (int ch = 0; ch < 4; ++ch) {
            ASSERT_NEAR(rgb[i][ch], ch < 3 ? want[ch] : 1.0, tolerance)
                << "ToRGB pixel " << i << " samples (" << planes[0][i] << ", " << planes[1][i]
                << ", " << planes[2][i] << ") channel " << ch;
            ASSERT_NEAR(rgba[i][ch], ch < 3 ? want[ch] : alpha, tolerance)
                << "ToRGBA pixel " << i << " alpha sample " << planes[3][i];
        }
    }
}

TEST_F(ColourGLTest, EncodeAndDecodeMatchReference) {
    for (const YCbCrMatrix matrix :
         {YCbCrMatrix::BT709, YCbCrMatrix::FCC, YCbCrMatrix::BT470BG, YCbCrMatrix::SMPTE170M,
          YCbCrMatrix::SMPTE240M, YCbCrMatrix::BT2020NonConstant}) {
        for (const PixelColorRange range : {PixelColorRange::Limited, PixelColorRange::Full}) {
            for (const auto& [depth, shift] :
                 {std::pair{8, 0}, {10, 0}, {12, 0}, {16, 0}, {10, 6}, {12, 4}}) {
                SCOPED_TRACE(::testing::Message()
                             << "matrix " << int(matrix) << " range " << int(range) << " " << depth
                             << "-bit shift " << shift);
                ExpectConverterMatchesReference(matrix, range, depth, shift);
                if (HasFatalFailure())
                    return;
            }
        }
    }
}

YUVTextures Allocate(bool integer, PixFmt pixFmt, const Kavrin::Conf::FrameInfo& frame,
                     YCbCrMatrix matrix = YCbCrMatrix::BT709) {
    YUVTextures textures;
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    integer ? textures.AllocateAsIntegerTextures(frame, matrix, description)
            : textures.AllocateAsNormalizedTextures(frame, matrix, description);
    return textures;
}

Texture* Plane(const YUVTextures& t, int k) {
    Texture* planes[4] = {t.YTexture(), t.UTexture(), t.VTexture(), t.ATexture()};
    return planes[k];
}

// Integer planes of every depth, their sizes (chroma rounding up) and formats, to
// normalised planes holding v / (2^b - 1) at their own precision, and back exactly.
TEST_F(ColourGLTest, YUVTexturesOfEveryDepthGoNormalizedAndBackAndMisuseThrows) {
    const Kavrin::Conf::FrameInfo frame{33, 17, 0, 0};
    for (const PixFmt pixFmt : {PixFmt::YUV420P, PixFmt::YUVA420P, PixFmt::YUV410P,
                                PixFmt::YUV420P10LE, PixFmt::YUV420P12LE, PixFmt::YUV420P16LE}) {
        const PixFmtDescription* d = PixFmtDescription::Find(pixFmt);
        SCOPED_TRACE(d->GetName());
        const bool wide = d->depth > 8;
        const int maxValue = (1 << d->depth) - 1;
        const int planeCount = d->HasAlpha() ? 4 : 3;
        std::mt19937 random(static_cast<unsigned>(maxValue));
        std::uniform_int_distribution<int> value(0, maxValue);
        Samples original[4], normalized[4], back[4];
        WithStorage([&](const ShaderStorage& storage) {
            const YUVTextures integer = Allocate(true, pixFmt, frame, YCbCrMatrix::SMPTE170M);
            for (int k = 0; k < planeCount && Plane(integer, k) != nullptr; ++k) {
                // Plane sizes as the description gives them (checked against libavutil).
                original[k].resize(
                    static_cast<std::size_t>(d->GetPlanWidth(33, k) * d->GetPlanHeight(17, k)));
                std::generate(original[k].begin(), original[k].end(),
                              [&] { return static_cast<std::uint16_t>(value(random)); });
                original[k][0] = 0;  // both ends of the range in every plane
                original[k][1] = static_cast<std::uint16_t>(maxValue);
                UploadSamples(original[k], *Plane(integer, k), storage);
            }
            const YUVTextures asNormalized = integer.ToNormalized(storage);
            const YUVTextures asInteger = asNormalized.ToInteger(storage);
            for (const YUVTextures* t : {&integer, &asNormalized, &asInteger}) {
                EXPECT_EQ(std::tuple(t->IsInteger(), t->YCbCrMatrix(), t->FrameInfo()),
                          std::tuple(t != &asNormalized, YCbCrMatrix::SMPTE170M, frame));
                // Sizes and formats show in the exact round trip below.
                for (int k = 0; k < 4; ++k)
                    ASSERT_EQ(Plane(*t, k) != nullptr, k < planeCount) << "plane " << k;
            }
            for (int k = 0; k < planeCount; ++k) {
                normalized[k] = ReadSamples(*Plane(asNormalized, k), storage);
                back[k] = ReadSamples(*Plane(asInteger, k), storage);
            }
        });
        for (int k = 0; k < planeCount; ++k) {
            ASSERT_EQ(back[k], original[k]) << "plane " << k;
            ASSERT_EQ(normalized[k].size(), original[k].size());
            for (std::size_t i = 0; i < original[k].size(); ++i) {
                ASSERT_NEAR(normalized[k][i], original[k][i] * (wide ? 65535.0 : 255.0) / maxValue,
                            1.0)  // rounding
                    << "plane " << k << " sample " << i;
            }
        }
    }
    // Texture kinds; misuse throws; move assignment returns the target's planes to the pool.
    WithStorage([&](const ShaderStorage& s) {
        EXPECT_THROW(Allocate(false, PixFmt::YUV420P, frame).ToNormalized(s), Kavrin::Exception);
        EXPECT_THROW(Allocate(true, PixFmt::YUV420P, frame).ToInteger(s), Kavrin::Exception);
        EXPECT_THROW(YUVTextures().IsInteger(), Kavrin::Exception);
        EXPECT_THROW(Allocate(true, PixFmt::RGBA, frame), Kavrin::Exception);
        const Texture rgba8(Params{1, 1, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                            GL_NEAREST, nullptr);
        const auto r16 = IntegerPlane(2, 1, 16), rg8 = IntegerPlane(2, 1, 8, 2);
        EXPECT_EQ((std::vector{YUVConverter::IsValidRGBTexture(&rgba8),
                               YUVConverter::IsValidTwoComponentTexture(rg8.get()),
                               YUVConverter::IsValidTwoComponentTexture(r16.get()),
                               YUVConverter::IsValidOneComponentTexture(r16.get()),
                               YUVConverter::IsValidRGBTexture(r16.get())}),
                  (std::vector{true, true, false, true, false}));
        auto& pool = TexturePool::GetInstance();
        pool.Clear();
        {
            YUVTextures source = Allocate(true, PixFmt::YUV420P, frame);
            YUVTextures target = Allocate(true, PixFmt::YUVA420P, frame);
            const Texture* movedY = source.YTexture();
            target = std::move(source);
            EXPECT_EQ(pool.GetCount(), 4u) << "the target's four YUVA planes go back to the pool";
            EXPECT_EQ(target.YTexture(), movedY);
            EXPECT_EQ(source.YTexture(), nullptr);  // NOLINT(bugprone-use-after-move)
        }
        EXPECT_EQ(pool.GetCount(), 7u) << "then the three moved planes";
    });
}

// GLSL helper library.
const Ref::Luma kBt709 = Ref::LumaOf(YCbCrMatrix::BT709);
const glm::dvec3 kBias(0.0, 0.5, 0.5);  // Y'PbPr to Y'CbCr

glm::dvec4 MixReference(const glm::dvec4& c0, const glm::dvec4& c1, double e) {
    const double alpha = c0.a * (1.0 - e) + c1.a * e;
    return {(glm::dvec3(c0) * c0.a * (1.0 - e) + glm::dvec3(c1) * c1.a * e) / alpha, alpha};
}
glm::dvec4 BlendReference(const glm::dvec4& dst, const glm::dvec4& src, double e) {
    const double k = src.a * e, alpha = k + dst.a * (1.0 - k);
    return {(glm::dvec3(src) * k + glm::dvec3(dst) * dst.a * (1.0 - k)) / alpha, alpha};
}

glm::dvec3 HslReference(const glm::dvec3& rgb) {
    const double high = std::max(rgb.r, std::max(rgb.g, rgb.b));
    const double low = std::min(rgb.r, std::min(rgb.g, rgb.b));
    const double l = (high + low) / 2.0;
    if (high == low)
        return {-1.0, 0.0, l};
    const double d = high - low;
    const double s = l <= 0.5 ? d / (high + low) : d / (2.0 - high - low);
    double h = rgb.r == high   ? (rgb.g - rgb.b) / d
               : rgb.g == high ? 2.0 + (rgb.b - rgb.r) / d
                               : 4.0 + (rgb.r - rgb.g) / d;
    h /= 6.0;
    return {h < 0.0 ? h + 1.0 : h, s, l};
}

// Chroma / second-largest / offset form, independent of the n1/n2 form.
glm::dvec3 RgbFromHslReference(const glm::dvec3& hsl) {
    if (hsl.y == 0.0)
        return glm::dvec3(hsl.z);
    const double chroma = (1.0 - std::abs(2.0 * hsl.z - 1.0)) * hsl.y;
    const double sector = std::fmod(hsl.x * 6.0, 6.0);
    const double x = chroma * (1.0 - std::abs(std::fmod(sector, 2.0) - 1.0));
    const glm::dvec3 rgb[] = {{chroma, x, 0.0}, {x, chroma, 0.0}, {0.0, chroma, x},
                              {0.0, x, chroma}, {x, 0.0, chroma}, {chroma, 0.0, x}};
    return rgb[std::min(5, static_cast<int>(std::floor(sector)))] + (hsl.z - chroma / 2.0);
}

// The generator's formula with its literals at float precision, as GLSL has
// them: point, seed matrix (columns), offset.
glm::dvec4 Rand(const Args& a) {
    const double cx = static_cast<double>(43.7585453f) + a[2].x;
    const double cy = static_cast<double>(77585.7856412f) + a[2].y;
    const double vx = (a[0].x + 10.0) * static_cast<double>(1371.412741f);
    const double vy = (a[0].y + 10.0) * static_cast<double>(31.1157f);
    // Row vector times matrix: component j is the dot with column j.
    const double sum =
        std::sin(vx * a[1].x + vy * a[1].y) * cx + std::sin(vx * a[1].z + vy * a[1].w) * cy;
    return {sum - std::floor(sum), 0.0, 0.0, 1.0};
}

// Every colour of a 5x5x5 cube, alpha cycling through 1, 0.5, 0, 0.25.
Cases ColourCube() {
    static constexpr float kAlphas[] = {1.0f, 0.5f, 0.0f, 0.25f};
    Cases cases;
    for (int i = 0; i < 125; ++i)
        cases.push_back(
            {glm::vec4(i / 25, i / 5 % 5, i % 5, 0) / 4.0f + glm::vec4(0, 0, 0, kAlphas[i % 4])});
    return cases;
}

// Every ordered pair of some colours (opaque, translucent, transparent) at each
// strength, but where the result has no alpha to divide by.
Cases Pairs(const std::vector<float>& strengths) {
    const Args colours = {{0, 0, 0, 1},    {1, 1, 1, 1},
                          {1, 0, 0, 0.5f}, {0.2f, 0.4f, 0.6f, 0.25f},
                          {0, 0, 1, 0},    {0.9f, 0.1f, 0.3f, 0.4f}};
    Cases cases;
    for (const glm::vec4& first : colours) {
        for (const glm::vec4& second : colours) {
            for (const float e : strengths) {
                const float k = second.a * e;  // blend's coverage
                if (first.a * (1 - e) + second.a * e > 0 && k + first.a * (1 - k) > 0)
                    cases.push_back({first, second, {e, 0, 0, 0}});
            }
        }
    }
    return cases;
}

const Cases kOutOfRange = {{{0.1f, 0.5f, 0.9f, 0.3f}},
                           {{0, 1, 0, 1}},
                           {{-0.5f, -1e-3f, -1e-20f, -2}},
                           {{1.5f, 1.001f, 1e20f, 7}},
                           {{-0.25f, 0.5f, 1.25f, 1}}};
// Colour and extra alpha.
const Cases kPremultiply = {
    {{1, 1, 1, 0.5f}, {1, 0, 0, 0}},     {{0.2f, 0.4f, 0.8f, 1}, {1, 0, 0, 0}},
    {{1, 0.5f, 0.25f, 0}, {1, 0, 0, 0}}, {{1, 0.5f, 0.25f, 1}, {0, 0, 0, 0}},
    {{0, 0, 0, 1}, {1, 0, 0, 0}},        {{0.2f, 0.4f, 0.8f, 0.75f}, {0.5f, 0, 0, 0}}};
// Greys (hue -1, or no saturation), the sector edges and the wrap at hue 1.
const Cases kHsl = {{{-1, 0, 0.5f, 0}},       {{0.3f, 0, 0.8f, 0}},    {{0, 0, 0, 0}},
                    {{0, 0, 1, 0}},           {{0, 1, 0.5f, 0}},       {{1.0f / 3, 1, 0.5f, 0}},
                    {{2.0f / 3, 1, 0.5f, 0}}, {{1, 1, 0.5f, 0}},       {{0.5f, 0.5f, 0.25f, 0}},
                    {{0.9f, 0.8f, 0.7f, 0}},  {{0.1f, 0.3f, 0.8f, 0}}, {{0.75f, 0.6f, 0.4f, 0}}};

// Float sin loses every digit that survives the x77585 weight at large arguments, so
// a pointwise check needs small angles and weights: a power-of-two seed keeps angles
// below ~40 rad, an offset cancelling the float literals leaves weights (2, 1). No
// value lies within 1.6e-4 of 0 or 1, so the distance needs no wrap.
Cases RandPoints() {
    const glm::vec4 seed(1.0f / 1024, 1.0f / 2048, -1.0f / 4096, 1.0f / 512);
    const glm::vec4 offset(2.0f - 43.7585453f, 1.0f - 77585.7856412f, 0, 0);
    Cases points;
    for (int i = 0; i < 256; ++i)
        points.push_back({{i % 16 + 0.5f, i / 16 + 0.5f, 0, 0}, seed, offset});
    return points;
}

// One library expression over EvalInput(k), its reference and its cases.
struct Row {
    std::string expression;
    std::function<glm::dvec4(const Args&)> reference;
    Cases cases;
    double tolerance;
};

glm::dvec4 Same(const Args& a) { return a[0]; }
glm::dvec4 Grey(const Args& a) {
    const double y = Ref::RgbToYpPbPr(kBt709, a[0]).x;
    return {y, y, y, a[0].a};
}

TEST_F(ColourGLTest, FunctionsMatchTheirReferences) {
    const auto mix = [](const Args& a) { return MixReference(a[0], a[1], a[2].x); };
    const auto blend = [](const Args& a) { return BlendReference(a[0], a[1], a[2].x); };
    const std::string mixCall = "kavrin_mixRGBA_(EvalInput(0), EvalInput(1), EvalInput(2).x)";
    const std::string blendCall = "kavrin_blendRGBA_(EvalInput(0), EvalInput(1), EvalInput(2).x)";
    // The ends give the end colours, or the source where it covers, tighter.
    const Row rows[] = {
        {mixCall, mix, Pairs({0.25f, 0.3f, 0.5f}), 1e-5},  // float
        {mixCall, mix, Pairs({0, 1}), 1e-6},               // float
        {blendCall, blend, Pairs({0.5f, 0.6f}), 1e-5},     // float
        {blendCall, blend, Pairs({0, 1}), 1e-6},           // float
        {"kavrin_premultiplyAlphaRGBA_(EvalInput(0), EvalInput(1).x)",
         [](const Args& a) { return glm::dvec4(glm::dvec3(a[0]) * double(a[0].a * a[1].x), 1); },
         kPremultiply, 1e-6},                                            // float
        {"kavrin_RGBA2GRAYA_(EvalInput(0))", Grey, ColourCube(), 1e-6},  // float
        {"kavrin_RGBA2YUVA_(EvalInput(0))",
         [](const Args& a) { return glm::dvec4(Ref::RgbToYpPbPr(kBt709, a[0]) + kBias, a[0].a); },
         ColourCube(), 1e-5},  // matrix
        {"kavrin_ClampSDR_(EvalInput(0))",
         [](const Args& a) { return glm::clamp(glm::dvec4(a[0]), 0.0, 1.0); }, kOutOfRange,
         0.0},  // exact
        {"kavrin_YUVA2RGBA_(EvalInput(0))",
         [](const Args& a) {
             const glm::dvec3 p = glm::dvec3(a[0]) - kBias;
             return glm::dvec4(Ref::YpPbPrToRgb(kBt709, p.x, p.y, p.z), a[0].a);
         },
         ColourCube(), 1e-5},  // matrix
        {"vec4(kavrin_RGB2HSL_(EvalInput(0).rgb), 1.0)",
         [](const Args& a) { return glm::dvec4(HslReference(glm::dvec3(a[0])), 1.0); },
         ColourCube(), 1e-6},  // float
        {"vec4(kavrin_HSL2RGB_(EvalInput(0).xyz), 1.0)",
         [](const Args& a) { return glm::dvec4(RgbFromHslReference(glm::dvec3(a[0])), 1.0); }, kHsl,
         1e-5},  // float
        // A body naming several functions gets each of them; the pairs round-trip. RGB
        // inside the unit cube maps inside [0, 1] Y'CbCr, so the clamp is idle.
        {"kavrin_YUVA2RGBA_(kavrin_ClampSDR_(kavrin_RGBA2YUVA_(EvalInput(0))))", Same, ColourCube(),
         1e-5},  // matrix
        {"vec4(kavrin_HSL2RGB_(kavrin_RGB2HSL_(EvalInput(0).rgb)), EvalInput(0).a)", Same,
         ColourCube(), 1e-5},  // float
        // Both declare the same local coefficients; one body must hold both.
        {"vec4(kavrin_RGBA2Y_(EvalInput(0)), kavrin_RGBA2GRAYA_(EvalInput(0)).gba)", Grey,
         ColourCube(), 1e-6},  // float
        {"vec4(kavrin_rand_(mat2(EvalInput(1)), EvalInput(2).xy, EvalInput(0).xy), 0.0, 0.0, 1.0)",
         Rand, RandPoints(), 1e-4},  // sin
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expression);
        const std::string body =
            std::string("void main()\n{\n    gl_FragColor = ") + row.expression + ";\n}\n";
        const std::vector<glm::vec4> got = EvaluatePerCase(body, row.cases);
        ASSERT_EQ(got.size(), row.cases.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            const glm::dvec4 want = row.reference(row.cases[i]);
            for (int c = 0; c < 4; ++c) {  // NaN fails
                EXPECT_NEAR(got[i][c], want[c], row.tolerance)
                    << "case " << i << " from " << Describe(row.cases[i][0]) << ", component " << c;
            }
        }
    }
}

}  // namespace
