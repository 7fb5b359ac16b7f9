// GLSL helper library evaluated on the GPU against double-precision references.
#include <GL/glew.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "GpuEval.h"
#include "TestTasks.h"

namespace {

using Kavrin::Test::Describe;
using Kavrin::Test::EvaluatePerCase;
using Kavrin::Test::EvaluatePixelShader;
using Kavrin::Test::GetGLError;

// BT.709 luma weights.
constexpr double kKr = 0.2126;
constexpr double kKb = 0.0722;
constexpr double kKg = 1.0 - kKr - kKb;

// The arguments of one library call, packed as vec4 (scalars in .x).
struct Case {
    std::string name;
    std::vector<glm::vec4> args;
};

std::string DescribeArgs(const std::vector<glm::vec4>& args) {
    std::string text;
    for (const glm::vec4& arg : args) {
        text += (text.empty() ? "" : ", ") + Describe(arg);
    }
    return text;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name << " " << DescribeArgs(c.args); }

std::string CaseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

glm::dvec4 D(const glm::vec4& v) { return glm::dvec4(v); }

// |got - wanted| <= tolerance in the first `components` components (NaN fails).
::testing::AssertionResult Near(const glm::vec4& got, const glm::dvec4& wanted, double tolerance,
                                int components = 4) {
    for (int c = 0; c < components; ++c) {
        const double error = std::abs(static_cast<double>(got[c]) - wanted[c]);
        if (!(error <= tolerance)) {
            return ::testing::AssertionFailure()
                   << "component " << c << " is off by " << error << " > " << tolerance << ": got "
                   << Describe(got) << ", wanted " << Describe(wanted);
        }
    }
    return ::testing::AssertionSuccess();
}

// One pixel running `gl_FragColor = <expression>;` over EvalInput(k).
glm::vec4 EvaluateExpression(const std::string& expression, const std::vector<glm::vec4>& args) {
    const std::string body = "void main()\n{\n    gl_FragColor = " + expression + ";\n}\n";
    const std::vector<glm::vec4> pixels = EvaluatePerCase(body, {args});
    return pixels.empty() ? glm::vec4(std::numeric_limits<float>::quiet_NaN()) : pixels.front();
}

class GlslLibraryTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR)); }
};

class GlslLibraryCaseTest : public ::testing::TestWithParam<Case> {
protected:
    void TearDown() override { EXPECT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR)); }
};

// ---------------------------------------------------------------- references

glm::dvec4 MixReference(const glm::dvec4& c0, const glm::dvec4& c1, double e) {
    const double alpha = c0.a * (1.0 - e) + c1.a * e;
    const glm::dvec3 chroma =
        (glm::dvec3(c0) * c0.a * (1.0 - e) + glm::dvec3(c1) * c1.a * e) / alpha;
    return {chroma, alpha};
}

glm::dvec4 BlendReference(const glm::dvec4& dst, const glm::dvec4& src, double e) {
    const double k = src.a * e;
    const double alpha = k + dst.a * (1.0 - k);
    const glm::dvec3 chroma = (glm::dvec3(src) * k + glm::dvec3(dst) * dst.a * (1.0 - k)) / alpha;
    return {chroma, alpha};
}

double Luma(const glm::dvec4& rgba) { return kKr * rgba.r + kKg * rgba.g + kKb * rgba.b; }

glm::dvec4 YuvaReference(const glm::dvec4& rgba) {
    const double y = Luma(rgba);
    return {y, (rgba.b - y) / (2.0 * (1.0 - kKb)) + 0.5, (rgba.r - y) / (2.0 * (1.0 - kKr)) + 0.5,
            rgba.a};
}

glm::dvec4 RgbaFromYuvaReference(const glm::dvec4& yuva) {
    const double r = yuva.x + 2.0 * (1.0 - kKr) * (yuva.z - 0.5);
    const double b = yuva.x + 2.0 * (1.0 - kKb) * (yuva.y - 0.5);
    const double g = (yuva.x - kKr * r - kKb * b) / kKg;
    return {r, g, b, yuva.a};
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
    if (h < 0.0) {
        h += 1.0;
    }
    return {h, s, l};
}

// Chroma / second-largest / offset form, independent of the n1/n2 form.
glm::dvec3 RgbFromHslReference(const glm::dvec3& hsl) {
    const double h = hsl.x;
    const double s = hsl.y;
    const double l = hsl.z;
    if (s == 0.0) {
        return glm::dvec3(l);
    }
    const double chroma = (1.0 - std::abs(2.0 * l - 1.0)) * s;
    const double sector = std::fmod(h * 6.0, 6.0);
    const double x = chroma * (1.0 - std::abs(std::fmod(sector, 2.0) - 1.0));
    const double m = l - chroma / 2.0;
    glm::dvec3 rgb;
    switch (static_cast<int>(std::floor(sector))) {
        case 0:
            rgb = {chroma, x, 0.0};
            break;
        case 1:
            rgb = {x, chroma, 0.0};
            break;
        case 2:
            rgb = {0.0, chroma, x};
            break;
        case 3:
            rgb = {0.0, x, chroma};
            break;
        case 4:
            rgb = {x, 0.0, chroma};
            break;
        default:
            rgb = {chroma, 0.0, x};
            break;
    }
    return rgb + m;
}

// The generator's formula with its literals at float precision, as GLSL has them.
double RandReference(const glm::mat2& seed, const glm::vec2& s, double x, double y) {
    const double cx = static_cast<double>(43.7585453f) + s.x;
    const double cy = static_cast<double>(77585.7856412f) + s.y;
    const double vx = (x + 10.0) * static_cast<double>(1371.412741f);
    const double vy = (y + 10.0) * static_cast<double>(31.1157f);
    // Row vector times matrix: component j is the dot with column j.
    const double a0 = vx * seed[0][0] + vy * seed[0][1];
    const double a1 = vx * seed[1][0] + vy * seed[1][1];
    const double sum = std::sin(a0) * cx + std::sin(a1) * cy;
    return sum - std::floor(sum);
}

// Every colour of a 5x5x5 cube, alpha cycling through 1, 0.5, 0, 0.25.
std::vector<std::vector<glm::vec4>> ColourCube() {
    static constexpr float kAlphas[] = {1.0f, 0.5f, 0.0f, 0.25f};
    std::vector<std::vector<glm::vec4>> cases;
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

// ------------------------------------------------------------ kavrin_mixRGBA_

using GlslMixRGBA = GlslLibraryCaseTest;

TEST_P(GlslMixRGBA, MatchesReference) {
    const auto& a = GetParam().args;
    const glm::vec4 got =
        EvaluateExpression("kavrin_mixRGBA_(EvalInput(0), EvalInput(1), EvalInput(2).x)", a);
    EXPECT_TRUE(Near(got, MixReference(D(a[0]), D(a[1]), a[2].x), 1e-5))  // float
        << "kavrin_mixRGBA_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(
    GlslLibrary, GlslMixRGBA,
    ::testing::Values(
        Case{"ExtAlphaZero", {{0.2f, 0.4f, 0.6f, 0.8f}, {1, 0, 0, 1}, {0, 0, 0, 0}}},
        Case{"ExtAlphaOne", {{0.2f, 0.4f, 0.6f, 0.8f}, {1, 0, 0, 1}, {1, 0, 0, 0}}},
        Case{"BlackToWhiteHalfway", {{0, 0, 0, 1}, {1, 1, 1, 1}, {0.5f, 0, 0, 0}}},
        Case{"TransparentFirst", {{1, 0, 0, 0}, {0, 0, 1, 1}, {0.5f, 0, 0, 0}}},
        Case{"TransparentSecond", {{0.25f, 0.5f, 0.75f, 1}, {1, 1, 1, 0}, {0.25f, 0, 0, 0}}},
        Case{"BlackToHalfWhite", {{0, 0, 0, 1}, {1, 1, 1, 0.5f}, {0.25f, 0, 0, 0}}},
        Case{"MixedAlphas", {{0.9f, 0.1f, 0.3f, 0.4f}, {0.2f, 0.7f, 0.5f, 0.9f}, {0.3f, 0, 0, 0}}}),
    CaseName);

TEST_F(GlslLibraryTest, MixRGBAEndsGiveTheEndColours) {
    const std::vector<glm::vec4> colours = {
        {0, 0, 0, 1}, {1, 1, 1, 1}, {1, 0, 0, 0.5f}, {0.2f, 0.4f, 0.6f, 0.25f}};
    std::vector<std::vector<glm::vec4>> cases;
    for (const glm::vec4& first : colours) {
        for (const glm::vec4& second : colours) {
            cases.push_back({first, second, {0, 0, 0, 0}});
            cases.push_back({first, second, {1, 0, 0, 0}});
        }
    }
    const std::vector<glm::vec4> got = EvaluatePerCase(R"(void main()
{
    gl_FragColor = kavrin_mixRGBA_(EvalInput(0), EvalInput(1), EvalInput(2).x);
}
)",
                                                       cases);
    ASSERT_EQ(got.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const glm::vec4& wanted = cases[i][2].x == 0.0f ? cases[i][0] : cases[i][1];
        EXPECT_TRUE(Near(got[i], D(wanted), 1e-6))  // float
            << "kavrin_mixRGBA_" << DescribeArgs(cases[i]);
    }
}

// ---------------------------------------------------------- kavrin_blendRGBA_

using GlslBlendRGBA = GlslLibraryCaseTest;

TEST_P(GlslBlendRGBA, MatchesReference) {
    const auto& a = GetParam().args;
    const glm::vec4 got =
        EvaluateExpression("kavrin_blendRGBA_(EvalInput(0), EvalInput(1), EvalInput(2).x)", a);
    EXPECT_TRUE(Near(got, BlendReference(D(a[0]), D(a[1]), a[2].x), 1e-5))  // float
        << "kavrin_blendRGBA_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(
    GlslLibrary, GlslBlendRGBA,
    ::testing::Values(
        Case{"OpaqueSourceFull", {{0.2f, 0.4f, 0.6f, 0.5f}, {1, 0.5f, 0, 1}, {1, 0, 0, 0}}},
        Case{"ZeroStrength", {{0.2f, 0.4f, 0.6f, 0.5f}, {1, 0.5f, 0, 1}, {0, 0, 0, 0}}},
        Case{"TransparentSource", {{0, 1, 0, 1}, {1, 0, 0, 0}, {1, 0, 0, 0}}},
        Case{"HalfSourceOverOpaque", {{0, 0, 1, 1}, {1, 0, 0, 0.5f}, {1, 0, 0, 0}}},
        Case{"OverTransparent", {{0, 1, 0, 0}, {0.3f, 0.6f, 0.9f, 0.5f}, {1, 0, 0, 0}}},
        Case{"WhiteOverBlackHalfStrength", {{0, 0, 0, 1}, {1, 1, 1, 1}, {0.5f, 0, 0, 0}}},
        Case{"MixedAlphas", {{0.7f, 0.2f, 0.1f, 0.6f}, {0.1f, 0.8f, 0.4f, 0.7f}, {0.6f, 0, 0, 0}}}),
    CaseName);

TEST_F(GlslLibraryTest, BlendRGBAOpaqueSourceCoversAndZeroStrengthKeepsDestination) {
    const std::vector<glm::vec4> destinations = {
        {0, 0, 0, 1}, {1, 1, 1, 0.5f}, {0.2f, 0.4f, 0.6f, 0.25f}};
    const std::vector<glm::vec4> sources = {{1, 0, 0, 1}, {0.3f, 0.6f, 0.9f, 1}, {1, 1, 1, 1}};
    std::vector<std::vector<glm::vec4>> cases;
    for (const glm::vec4& dst : destinations) {
        for (const glm::vec4& src : sources) {
            cases.push_back({dst, src, {1, 0, 0, 0}});
            cases.push_back({dst, src, {0, 0, 0, 0}});
        }
    }
    const std::vector<glm::vec4> got = EvaluatePerCase(R"(void main()
{
    gl_FragColor = kavrin_blendRGBA_(EvalInput(0), EvalInput(1), EvalInput(2).x);
}
)",
                                                       cases);
    ASSERT_EQ(got.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const glm::vec4& wanted = cases[i][2].x == 1.0f ? cases[i][1] : cases[i][0];
        EXPECT_TRUE(Near(got[i], D(wanted), 1e-6))  // float
            << "kavrin_blendRGBA_" << DescribeArgs(cases[i]);
    }
}

// ----------------------------------------------- kavrin_premultiplyAlphaRGBA_

using GlslPremultiplyAlphaRGBA = GlslLibraryCaseTest;

TEST_P(GlslPremultiplyAlphaRGBA, MatchesReference) {
    const auto& a = GetParam().args;
    const glm::vec4 got =
        EvaluateExpression("kavrin_premultiplyAlphaRGBA_(EvalInput(0), EvalInput(1).x)", a);
    const glm::dvec4 c = D(a[0]);
    const glm::dvec4 wanted(glm::dvec3(c) * c.a * static_cast<double>(a[1].x), 1.0);
    EXPECT_TRUE(Near(got, wanted, 1e-6))  // float
        << "kavrin_premultiplyAlphaRGBA_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(
    GlslLibrary, GlslPremultiplyAlphaRGBA,
    ::testing::Values(Case{"HalfAlphaWhite", {{1, 1, 1, 0.5f}, {1, 0, 0, 0}}},
                      Case{"Opaque", {{0.2f, 0.4f, 0.8f, 1}, {1, 0, 0, 0}}},
                      Case{"AlphaZero", {{1, 0.5f, 0.25f, 0}, {1, 0, 0, 0}}},
                      Case{"ExtAlphaZero", {{1, 0.5f, 0.25f, 1}, {0, 0, 0, 0}}},
                      Case{"Black", {{0, 0, 0, 1}, {1, 0, 0, 0}}},
                      Case{"BothPartial", {{0.2f, 0.4f, 0.8f, 0.75f}, {0.5f, 0, 0, 0}}}),
    CaseName);

TEST_F(GlslLibraryTest, PremultiplyHalfAlphaWhiteIsHalfGreyOpaque) {
    const glm::vec4 got =
        EvaluateExpression("kavrin_premultiplyAlphaRGBA_(EvalInput(0), EvalInput(1).x)",
                           {{1, 1, 1, 0.5f}, {1, 0, 0, 0}});
    EXPECT_TRUE(Near(got, glm::dvec4(0.5, 0.5, 0.5, 1.0), 1e-7))  // float
        << "kavrin_premultiplyAlphaRGBA_((1, 1, 1, 0.5), 1)";
}

// ---------------------------------------------------------------- kavrin_rand_

constexpr const char* kRandBody = R"(uniform mat2 Seed;
uniform vec2 Offset;

void main()
{
    gl_FragColor = vec4(kavrin_rand_(Seed, Offset, gl_FragCoord.xy), 0.0, 0.0, 1.0);
}
)";

std::vector<glm::vec4> EvaluateRand(const glm::mat2& seed, const glm::vec2& offset, int size) {
    return EvaluatePixelShader(kRandBody, size, size, [&](Kavrin::Ogl::ShaderProgram& program) {
        program.Uniform("Seed", seed, false);
        program.Uniform("Offset", offset);
    });
}

// Float sin loses every digit that survives the x77585 weight once its argument
// is large, so a pointwise check needs small angles and small weights: a seed
// of powers of two scales the angles below ~40 rad, and an offset that cancels
// the float literals exactly leaves weights (2, 1).
TEST_F(GlslLibraryTest, RandMatchesReferenceForSmallAngles) {
    const glm::mat2 seed(1.0f / 1024, 1.0f / 2048, -1.0f / 4096, 1.0f / 512);
    const glm::vec2 offset(2.0f - 43.7585453f, 1.0f - 77585.7856412f);
    constexpr int kSize = 16;
    const std::vector<glm::vec4> got = EvaluateRand(seed, offset, kSize);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kSize * kSize));
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const double value = got[static_cast<std::size_t>(y * kSize + x)].x;
            const double wanted = RandReference(seed, offset, x + 0.5, y + 0.5);
            // fract wraps: 0.99999 and 0.00001 are neighbours.
            const double distance = std::abs(value - wanted);
            EXPECT_LE(std::min(distance, 1.0 - distance), 1e-4)  // sin
                << "kavrin_rand_ at coord (" << x + 0.5 << ", " << y + 0.5 << "): got " << value
                << ", wanted " << wanted;
        }
    }
}

// With the usual large angles only the properties the callers rely on are
// checked: range, repeatability, spread over coordinates, dependence on inputs.
TEST_F(GlslLibraryTest, RandIsRepeatableInUnitRangeAndVaries) {
    const glm::mat2 identity(1.0f);
    const glm::mat2 rotated(0.8f, 0.6f, -0.6f, 0.8f);
    constexpr int kSize = 16;
    const std::vector<glm::vec4> first = EvaluateRand(identity, glm::vec2(0.0f), kSize);
    const std::vector<glm::vec4> again = EvaluateRand(identity, glm::vec2(0.0f), kSize);
    const std::vector<glm::vec4> offset = EvaluateRand(identity, glm::vec2(0.5f, 0.25f), kSize);
    const std::vector<glm::vec4> reseeded = EvaluateRand(rotated, glm::vec2(0.0f), kSize);
    const std::size_t count = static_cast<std::size_t>(kSize * kSize);
    ASSERT_EQ(first.size(), count);
    ASSERT_EQ(again.size(), count);
    ASSERT_EQ(offset.size(), count);
    ASSERT_EQ(reseeded.size(), count);

    std::set<float> distinct;
    int quarters[4] = {0, 0, 0, 0};
    int offsetChanges = 0;
    int seedChanges = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const float value = first[i].x;
        EXPECT_GE(value, 0.0f) << "kavrin_rand_ pixel " << i;
        EXPECT_LT(value, 1.0f) << "kavrin_rand_ pixel " << i;
        EXPECT_EQ(value, again[i].x) << "kavrin_rand_ pixel " << i << " is not repeatable";
        distinct.insert(value);
        if (value >= 0.0f && value < 1.0f) {
            ++quarters[static_cast<int>(value * 4.0f)];
        }
        offsetChanges += offset[i].x != value;
        seedChanges += reseeded[i].x != value;
    }
    // fract of values near 8e4 has 1/128 steps, so 256 pixels share ~110 values.
    EXPECT_GE(distinct.size(), 32u) << "kavrin_rand_ barely depends on the coordinate";
    for (int q = 0; q < 4; ++q) {
        EXPECT_GE(quarters[q], 16) << "kavrin_rand_ leaves quarter " << q << " of [0, 1) empty";
    }
    EXPECT_GE(offsetChanges, static_cast<int>(count / 2)) << "the offset barely matters";
    EXPECT_GE(seedChanges, static_cast<int>(count / 2)) << "the seed barely matters";
}

// ----------------------------------------------- luma, grey and Y'CbCr of RGBA

const auto kColourCases = ::testing::Values(
    Case{"Black", {{0, 0, 0, 1}}}, Case{"White", {{1, 1, 1, 1}}}, Case{"Red", {{1, 0, 0, 1}}},
    Case{"Green", {{0, 1, 0, 1}}}, Case{"Blue", {{0, 0, 1, 1}}},
    Case{"GreyHalfAlpha", {{0.5f, 0.5f, 0.5f, 0.5f}}}, Case{"CyanTransparent", {{0, 1, 1, 0}}},
    Case{"Orange", {{1, 0.5f, 0, 0.25f}}}, Case{"Mixed", {{0.3f, 0.6f, 0.9f, 0.75f}}},
    Case{"Dark", {{0.05f, 0.1f, 0.02f, 1}}});

using GlslRGBA2Y = GlslLibraryCaseTest;

TEST_P(GlslRGBA2Y, MatchesBT709Luma) {
    const auto& a = GetParam().args;
    const glm::vec4 got =
        EvaluateExpression("vec4(kavrin_RGBA2Y_(EvalInput(0)), 0.0, 0.0, 1.0)", a);
    EXPECT_TRUE(Near(got, glm::dvec4(Luma(D(a[0])), 0, 0, 1), 1e-6, 1))  // float
        << "kavrin_RGBA2Y_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(GlslLibrary, GlslRGBA2Y, kColourCases, CaseName);

using GlslRGBA2GRAYA = GlslLibraryCaseTest;

TEST_P(GlslRGBA2GRAYA, IsLumaInEveryChannelWithAlphaKept) {
    const auto& a = GetParam().args;
    const glm::vec4 got = EvaluateExpression("kavrin_RGBA2GRAYA_(EvalInput(0))", a);
    const double y = Luma(D(a[0]));
    EXPECT_TRUE(Near(got, glm::dvec4(y, y, y, a[0].a), 1e-6))  // float
        << "kavrin_RGBA2GRAYA_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(GlslLibrary, GlslRGBA2GRAYA, kColourCases, CaseName);

using GlslRGBA2YUVA = GlslLibraryCaseTest;

TEST_P(GlslRGBA2YUVA, MatchesBT709FullRange) {
    const auto& a = GetParam().args;
    const glm::vec4 got = EvaluateExpression("kavrin_RGBA2YUVA_(EvalInput(0))", a);
    EXPECT_TRUE(Near(got, YuvaReference(D(a[0])), 1e-5))  // matrix
        << "kavrin_RGBA2YUVA_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(GlslLibrary, GlslRGBA2YUVA, kColourCases, CaseName);

// ------------------------------------------------------------ kavrin_ClampSDR_

using GlslClampSDR = GlslLibraryCaseTest;

TEST_P(GlslClampSDR, ClampsEveryChannelToUnitRange) {
    const auto& a = GetParam().args;
    const glm::vec4 got = EvaluateExpression("kavrin_ClampSDR_(EvalInput(0))", a);
    const glm::dvec4 wanted = glm::clamp(D(a[0]), 0.0, 1.0);
    EXPECT_TRUE(Near(got, wanted, 0.0))  // exact
        << "kavrin_ClampSDR_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(GlslLibrary, GlslClampSDR,
                         ::testing::Values(Case{"InRange", {{0.1f, 0.5f, 0.9f, 0.3f}}},
                                           Case{"Bounds", {{0, 1, 0, 1}}},
                                           Case{"Below", {{-0.5f, -1e-3f, -1e-20f, -2}}},
                                           Case{"Above", {{1.5f, 1.001f, 1e20f, 7}}},
                                           Case{"Mixed", {{-0.25f, 0.5f, 1.25f, 1}}}),
                         CaseName);

// ----------------------------------------------------------- kavrin_YUVA2RGBA_

using GlslYUVA2RGBA = GlslLibraryCaseTest;

TEST_P(GlslYUVA2RGBA, InvertsBT709FullRange) {
    const auto& a = GetParam().args;
    const glm::vec4 got = EvaluateExpression("kavrin_YUVA2RGBA_(EvalInput(0))", a);
    EXPECT_TRUE(Near(got, RgbaFromYuvaReference(D(a[0])), 1e-5))  // matrix
        << "kavrin_YUVA2RGBA_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(GlslLibrary, GlslYUVA2RGBA,
                         ::testing::Values(Case{"NeutralBlack", {{0, 0.5f, 0.5f, 1}}},
                                           Case{"NeutralWhite", {{1, 0.5f, 0.5f, 1}}},
                                           Case{"NeutralGrey", {{0.5f, 0.5f, 0.5f, 0.5f}}},
                                           Case{"MaxCrMinCb", {{0.5f, 0, 1, 1}}},
                                           Case{"MaxCbMinCr", {{0.5f, 1, 0, 0}}},
                                           Case{"Mixed", {{0.25f, 0.75f, 0.4f, 0.6f}}},
                                           Case{"Warm", {{0.7f, 0.45f, 0.55f, 1}}}),
                         CaseName);

TEST_F(GlslLibraryTest, YuvaOfPrimariesHitsTheChromaExtremes) {
    // Pure red has Cr = 1 and pure blue Cb = 1 by the normalisation.
    const std::vector<glm::vec4> got = EvaluatePerCase(R"(void main()
{
    gl_FragColor = kavrin_RGBA2YUVA_(EvalInput(0));
}
)",
                                                       {{{1, 0, 0, 1}}, {{0, 0, 1, 1}}});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NEAR(got[0].z, 1.0f, 1e-6f) << "kavrin_RGBA2YUVA_(red).Cr";     // float
    EXPECT_NEAR(got[0].x, 0.2126f, 1e-6f) << "kavrin_RGBA2YUVA_(red).Y";   // float
    EXPECT_NEAR(got[1].y, 1.0f, 1e-6f) << "kavrin_RGBA2YUVA_(blue).Cb";    // float
    EXPECT_NEAR(got[1].x, 0.0722f, 1e-6f) << "kavrin_RGBA2YUVA_(blue).Y";  // float
}

// ------------------------------------------------------------- kavrin_RGB2HSL_

using GlslRGB2HSL = GlslLibraryCaseTest;

TEST_P(GlslRGB2HSL, MatchesReference) {
    const auto& a = GetParam().args;
    const glm::vec4 got = EvaluateExpression("vec4(kavrin_RGB2HSL_(EvalInput(0).rgb), 1.0)", a);
    EXPECT_TRUE(Near(got, glm::dvec4(HslReference(glm::dvec3(D(a[0]))), 1.0), 1e-6))  // float
        << "kavrin_RGB2HSL_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(
    GlslLibrary, GlslRGB2HSL,
    ::testing::Values(Case{"Black", {{0, 0, 0, 0}}}, Case{"White", {{1, 1, 1, 0}}},
                      Case{"Grey", {{0.5f, 0.5f, 0.5f, 0}}}, Case{"Red", {{1, 0, 0, 0}}},
                      Case{"Green", {{0, 1, 0, 0}}}, Case{"Blue", {{0, 0, 1, 0}}},
                      Case{"Yellow", {{1, 1, 0, 0}}}, Case{"Cyan", {{0, 1, 1, 0}}},
                      Case{"Magenta", {{1, 0, 1, 0}}}, Case{"DarkRed", {{0.5f, 0, 0, 0}}},
                      Case{"Pink", {{1, 0.5f, 0.5f, 0}}}, Case{"Steel", {{0.2f, 0.4f, 0.6f, 0}}},
                      Case{"HueWrapsBelowZero", {{1, 0, 0.5f, 0}}},
                      Case{"LightWarm", {{0.9f, 0.6f, 0.3f, 0}}}),
    CaseName);

TEST_F(GlslLibraryTest, RGB2HSLOfPrimariesAndGreys) {
    const std::vector<glm::vec4> got = EvaluatePerCase(
        R"(void main()
{
    gl_FragColor = vec4(kavrin_RGB2HSL_(EvalInput(0).rgb), 0.0);
}
)",
        {{{1, 0, 0, 1}}, {{0, 1, 0, 1}}, {{0, 0, 1, 1}}, {{0.25f, 0.25f, 0.25f, 1}}});
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(Near(got[0], glm::dvec4(0.0, 1.0, 0.5, 0.0), 1e-6)) << "red";          // float
    EXPECT_TRUE(Near(got[1], glm::dvec4(1.0 / 3, 1.0, 0.5, 0.0), 1e-6)) << "green";    // float
    EXPECT_TRUE(Near(got[2], glm::dvec4(2.0 / 3, 1.0, 0.5, 0.0), 1e-6)) << "blue";     // float
    EXPECT_TRUE(Near(got[3], glm::dvec4(-1.0, 0.0, 0.25, 0.0), 1e-7)) << "grey 0.25";  // exact
}

// ------------------------------------------------------------- kavrin_HSL2RGB_

using GlslHSL2RGB = GlslLibraryCaseTest;

TEST_P(GlslHSL2RGB, MatchesReference) {
    const auto& a = GetParam().args;
    const glm::vec4 got = EvaluateExpression("vec4(kavrin_HSL2RGB_(EvalInput(0).xyz), 1.0)", a);
    EXPECT_TRUE(
        Near(got, glm::dvec4(RgbFromHslReference(glm::dvec3(D(a[0]))), 1.0), 1e-5))  // float
        << "kavrin_HSL2RGB_" << DescribeArgs(a);
}

INSTANTIATE_TEST_SUITE_P(
    GlslLibrary, GlslHSL2RGB,
    ::testing::Values(
        Case{"GreyWithoutHue", {{-1, 0, 0.5f, 0}}}, Case{"GreyWithHue", {{0.3f, 0, 0.8f, 0}}},
        Case{"Black", {{0, 0, 0, 0}}}, Case{"White", {{0, 0, 1, 0}}},
        Case{"Red", {{0, 1, 0.5f, 0}}}, Case{"Green", {{1.0f / 3, 1, 0.5f, 0}}},
        Case{"Blue", {{2.0f / 3, 1, 0.5f, 0}}}, Case{"HueOne", {{1, 1, 0.5f, 0}}},
        Case{"DarkTeal", {{0.5f, 0.5f, 0.25f, 0}}}, Case{"LightMagenta", {{0.9f, 0.8f, 0.7f, 0}}},
        Case{"PaleOrange", {{0.1f, 0.3f, 0.8f, 0}}}, Case{"Violet", {{0.75f, 0.6f, 0.4f, 0}}}),
    CaseName);

// ------------------------------------------------------------- through a body

// A body naming several functions gets each of them; the pairs round-trip.
TEST_F(GlslLibraryTest, YuvaRoundTripInOneBody) {
    const auto cases = ColourCube();
    const std::vector<glm::vec4> got = EvaluatePerCase(R"(void main()
{
    gl_FragColor = kavrin_YUVA2RGBA_(kavrin_RGBA2YUVA_(EvalInput(0)));
}
)",
                                                       cases);
    ASSERT_EQ(got.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(Near(got[i], D(cases[i][0]), 1e-5))  // matrix
            << "kavrin_YUVA2RGBA_(kavrin_RGBA2YUVA_" << DescribeArgs(cases[i]) << ")";
    }
}

TEST_F(GlslLibraryTest, ClampedYuvaOfRgbColoursRoundTrips) {
    // RGB inside the unit cube maps inside [0, 1] Y'CbCr, so the clamp is idle.
    const auto cases = ColourCube();
    const std::vector<glm::vec4> got = EvaluatePerCase(R"(void main()
{
    vec4 yuva = kavrin_ClampSDR_(kavrin_RGBA2YUVA_(EvalInput(0)));
    gl_FragColor = kavrin_YUVA2RGBA_(yuva);
}
)",
                                                       cases);
    ASSERT_EQ(got.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(Near(got[i], D(cases[i][0]), 1e-5))  // matrix
            << "clamped Y'CbCr round trip of " << DescribeArgs(cases[i]);
    }
}

TEST_F(GlslLibraryTest, HslRoundTripInOneBody) {
    const auto cases = ColourCube();
    const std::vector<glm::vec4> got = EvaluatePerCase(R"(void main()
{
    vec4 rgba = EvalInput(0);
    gl_FragColor = vec4(kavrin_HSL2RGB_(kavrin_RGB2HSL_(rgba.rgb)), rgba.a);
}
)",
                                                       cases);
    ASSERT_EQ(got.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(Near(got[i], D(cases[i][0]), 1e-5))  // float
            << "kavrin_HSL2RGB_(kavrin_RGB2HSL_" << DescribeArgs(cases[i]) << ")";
    }
}

TEST_F(GlslLibraryTest, LumaFunctionsAgreeInOneBody) {
    // Both declare the same local coefficients; one body must hold both.
    const auto cases = ColourCube();
    const std::vector<glm::vec4> got = EvaluatePerCase(R"(void main()
{
    vec4 rgba = EvalInput(0);
    gl_FragColor = vec4(kavrin_RGBA2Y_(rgba), kavrin_RGBA2GRAYA_(rgba).gba);
}
)",
                                                       cases);
    ASSERT_EQ(got.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const double y = Luma(D(cases[i][0]));
        EXPECT_TRUE(Near(got[i], glm::dvec4(y, y, y, cases[i][0].a), 1e-6))  // float
            << "kavrin_RGBA2Y_ / kavrin_RGBA2GRAYA_ of " << DescribeArgs(cases[i]);
    }
}

// Inputs from TexCoord0 rather than uniforms or fetches: a gradient over x.
TEST_F(GlslLibraryTest, GreyRampFromTexCoordKeepsItsLuma) {
    constexpr int kWidth = 16;
    const std::vector<glm::vec4> got = EvaluatePixelShader(R"(varying vec2 TexCoord0;

void main()
{
    gl_FragColor = kavrin_RGBA2GRAYA_(vec4(vec3(TexCoord0.x), 1.0));
}
)",
                                                           kWidth, 1);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kWidth));
    for (int x = 0; x < kWidth; ++x) {
        const double grey = (x + 0.5) / kWidth;
        EXPECT_TRUE(Near(got[static_cast<std::size_t>(x)], glm::dvec4(grey, grey, grey, 1.0),
                         1e-5))  // interpolation
            << "kavrin_RGBA2GRAYA_ of grey " << grey;
    }
}

}  // namespace
