// GLSL helper library evaluated on the GPU against double-precision references.
#include <GL/glew.h>

#include <cmath>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "ColourReference.h"
#include "GpuEval.h"
#include "TestTasks.h"

namespace {

using Kavrin::Test::Describe;
using Kavrin::Test::EvaluatePerCase;
using Kavrin::Test::GetGLError;
using Args = std::vector<glm::vec4>;
using Cases = std::vector<Args>;

namespace Ref = Kavrin::Test::Ref;
const Ref::Luma kBt709 = Ref::LumaOf(Ref::YCbCrMatrix::BT709);
const glm::dvec3 kBias(0.0, 0.5, 0.5);  // Y'PbPr to Y'CbCr

std::string DescribeArgs(const Args& args) {
    std::string text;
    for (const glm::vec4& arg : args) {
        text += (text.empty() ? "" : ", ") + Describe(arg);
    }
    return text;
}

glm::dvec4 D(const glm::vec4& v) { return glm::dvec4(v); }

// |got - wanted| <= tolerance in every component (NaN fails).
::testing::AssertionResult Near(const glm::vec4& got, const glm::dvec4& wanted, double tolerance) {
    for (int c = 0; c < 4; ++c) {
        const double error = std::abs(static_cast<double>(got[c]) - wanted[c]);
        if (!(error <= tolerance)) {
            return ::testing::AssertionFailure()
                   << "component " << c << " is off by " << error << " > " << tolerance << ": got "
                   << Describe(got) << ", wanted " << Describe(wanted);
        }
    }
    return ::testing::AssertionSuccess();
}

class GlslLibraryTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR)); }
};

// ---------------------------------------------------------------- references

glm::dvec4 MixReference(const glm::dvec4& c0, const glm::dvec4& c1, double e) {
    const double alpha = c0.a * (1.0 - e) + c1.a * e;
    return {(glm::dvec3(c0) * c0.a * (1.0 - e) + glm::dvec3(c1) * c1.a * e) / alpha, alpha};
}

glm::dvec4 BlendReference(const glm::dvec4& dst, const glm::dvec4& src, double e) {
    const double k = src.a * e;
    const double alpha = k + dst.a * (1.0 - k);
    return {(glm::dvec3(src) * k + glm::dvec3(dst) * dst.a * (1.0 - k)) / alpha, alpha};
}

double Luma(const glm::dvec4& rgba) { return Ref::RgbToYpPbPr(kBt709, glm::dvec3(rgba)).x; }

glm::dvec4 YuvaReference(const glm::dvec4& rgba) {
    return {Ref::RgbToYpPbPr(kBt709, glm::dvec3(rgba)) + kBias, rgba.a};
}

glm::dvec4 RgbaFromYuvaReference(const glm::dvec4& yuva) {
    const glm::dvec3 ypbpr = glm::dvec3(yuva) - kBias;
    return {Ref::YpPbPrToRgb(kBt709, ypbpr.x, ypbpr.y, ypbpr.z), yuva.a};
}

glm::dvec3 HslReference(const glm::dvec3& rgb) {
    const double high = std::max(rgb.r, std::max(rgb.g, rgb.b));
    const double low = std::min(rgb.r, std::min(rgb.g, rgb.b));
    const double l = (high + low) / 2.0;
    if (high == low) {
        return {-1.0, 0.0, l};
    }
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
    if (hsl.y == 0.0) {
        return glm::dvec3(hsl.z);
    }
    const double chroma = (1.0 - std::abs(2.0 * hsl.z - 1.0)) * hsl.y;
    const double sector = std::fmod(hsl.x * 6.0, 6.0);
    const double x = chroma * (1.0 - std::abs(std::fmod(sector, 2.0) - 1.0));
    const glm::dvec3 rgb[] = {{chroma, x, 0.0}, {x, chroma, 0.0}, {0.0, chroma, x},
                              {0.0, x, chroma}, {x, 0.0, chroma}, {chroma, 0.0, x}};
    return rgb[std::min(5, static_cast<int>(std::floor(sector)))] + (hsl.z - chroma / 2.0);
}

// The generator's formula with its literals at float precision, as GLSL has them.
double RandReference(const glm::mat2& seed, const glm::vec4& s, double x, double y) {
    const double cx = static_cast<double>(43.7585453f) + s.x;
    const double cy = static_cast<double>(77585.7856412f) + s.y;
    const double vx = (x + 10.0) * static_cast<double>(1371.412741f);
    const double vy = (y + 10.0) * static_cast<double>(31.1157f);
    // Row vector times matrix: component j is the dot with column j.
    const double sum = std::sin(vx * seed[0][0] + vy * seed[0][1]) * cx +
                       std::sin(vx * seed[1][0] + vy * seed[1][1]) * cy;
    return sum - std::floor(sum);
}

// Every colour of a 5x5x5 cube, alpha cycling through 1, 0.5, 0, 0.25.
Cases ColourCube() {
    static constexpr float kAlphas[] = {1.0f, 0.5f, 0.0f, 0.25f};
    Cases cases;
    for (int r = 0; r <= 4; ++r) {
        for (int g = 0; g <= 4; ++g) {
            for (int b = 0; b <= 4; ++b) {
                cases.push_back(
                    {glm::vec4(r / 4.0f, g / 4.0f, b / 4.0f, kAlphas[cases.size() % 4])});
            }
        }
    }
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
                if (first.a * (1 - e) + second.a * e > 0 && k + first.a * (1 - k) > 0) {
                    cases.push_back({first, second, {e, 0, 0, 0}});
                }
            }
        }
    }
    return cases;
}

const Cases kColours = {
    {{0, 0, 0, 1}},           {{1, 1, 1, 1}},        {{1, 0, 0, 1}},
    {{0, 1, 0, 1}},           {{0, 0, 1, 1}},        {{0.5f, 0.5f, 0.5f, 0.5f}},
    {{0, 1, 1, 0}},           {{1, 0.5f, 0, 0.25f}}, {{0.3f, 0.6f, 0.9f, 0.75f}},
    {{0.05f, 0.1f, 0.02f, 1}}};

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

// Float sin loses every digit that survives the x77585 weight once its argument
// is large, so a pointwise check needs small angles and small weights: a seed
// of powers of two scales the angles below ~40 rad, and an offset that cancels
// the float literals exactly leaves weights (2, 1). No value lies within 1.6e-4
// of 0 or 1, so the distance needs no wrap.
Cases RandPoints() {
    const glm::vec4 seed(1.0f / 1024, 1.0f / 2048, -1.0f / 4096, 1.0f / 512);
    const glm::vec4 offset(2.0f - 43.7585453f, 1.0f - 77585.7856412f, 0, 0);
    Cases points;
    for (int i = 0; i < 256; ++i) {
        points.push_back({{i % 16 + 0.5f, i / 16 + 0.5f, 0, 0}, seed, offset});
    }
    return points;
}
glm::dvec4 Rand(const Args& a) {
    const glm::mat2 seed(a[1].x, a[1].y, a[1].z, a[1].w);
    return {RandReference(seed, a[2], a[0].x, a[0].y), 0.0, 0.0, 1.0};
}

using Reference = std::function<glm::dvec4(const Args&)>;

// One library expression over EvalInput(k), its reference and its cases.
struct Row {
    std::string expression;
    Reference reference;
    Cases cases;
    double tolerance;
};

glm::dvec4 Same(const Args& a) { return D(a[0]); }
glm::dvec4 Grey(const Args& a) {
    const double y = Luma(D(a[0]));
    return {y, y, y, a[0].a};
}

std::vector<Row> Rows() {
    const auto mix = [](const Args& a) { return MixReference(D(a[0]), D(a[1]), a[2].x); };
    const auto blend = [](const Args& a) { return BlendReference(D(a[0]), D(a[1]), a[2].x); };
    const std::string mixCall = "kavrin_mixRGBA_(EvalInput(0), EvalInput(1), EvalInput(2).x)";
    const std::string blendCall = "kavrin_blendRGBA_(EvalInput(0), EvalInput(1), EvalInput(2).x)";
    // The ends give the end colours, or the source where it covers, tighter.
    return {
        {mixCall, mix, Pairs({0.25f, 0.3f, 0.5f}), 1e-5},  // float
        {mixCall, mix, Pairs({0, 1}), 1e-6},               // float
        {blendCall, blend, Pairs({0.5f, 0.6f}), 1e-5},     // float
        {blendCall, blend, Pairs({0, 1}), 1e-6},           // float
        {"kavrin_premultiplyAlphaRGBA_(EvalInput(0), EvalInput(1).x)",
         [](const Args& a) { return glm::dvec4(glm::dvec3(D(a[0])) * double(a[0].a * a[1].x), 1); },
         kPremultiply, 1e-6},                                        // float
        {"kavrin_RGBA2GRAYA_(EvalInput(0))", Grey, kColours, 1e-6},  // float
        {"kavrin_RGBA2YUVA_(EvalInput(0))", [](const Args& a) { return YuvaReference(D(a[0])); },
         kColours, 1e-5},  // matrix
        {"kavrin_ClampSDR_(EvalInput(0))",
         [](const Args& a) { return glm::clamp(D(a[0]), 0.0, 1.0); }, kOutOfRange, 0.0},  // exact
        {"kavrin_YUVA2RGBA_(EvalInput(0))",
         [](const Args& a) { return RgbaFromYuvaReference(D(a[0])); }, kColours, 1e-5},  // matrix
        {"vec4(kavrin_RGB2HSL_(EvalInput(0).rgb), 1.0)",
         [](const Args& a) { return glm::dvec4(HslReference(glm::dvec3(D(a[0]))), 1.0); },
         ColourCube(), 1e-6},  // float
        {"vec4(kavrin_HSL2RGB_(EvalInput(0).xyz), 1.0)",
         [](const Args& a) { return glm::dvec4(RgbFromHslReference(glm::dvec3(D(a[0]))), 1.0); },
         kHsl, 1e-5},  // float
        // A body naming several functions gets each of them; the pairs round-trip.
        {"kavrin_YUVA2RGBA_(kavrin_RGBA2YUVA_(EvalInput(0)))", Same, ColourCube(), 1e-5},
        // RGB inside the unit cube maps inside [0, 1] Y'CbCr, so the clamp is idle.
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
}

TEST_F(GlslLibraryTest, FunctionsMatchTheirReferences) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.expression);
        const std::string body =
            std::string("void main()\n{\n    gl_FragColor = ") + row.expression + ";\n}\n";
        const std::vector<glm::vec4> got = EvaluatePerCase(body, row.cases);
        ASSERT_EQ(got.size(), row.cases.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_TRUE(Near(got[i], row.reference(row.cases[i]), row.tolerance))
                << DescribeArgs(row.cases[i]);
        }
    }
}

}  // namespace
