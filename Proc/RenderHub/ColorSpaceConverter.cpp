#include <GL/glew.h>

#include "ColorSpaceConverter.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include <glm/glm.hpp>

#include "Kavrin/Conf/ColorPrimaries.h"
#include "Kavrin/Conf/ColorSpaceTransform.h"

#include "Frame.h"
#include "GlslConstants.h"
#include "Mesh.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

// Transfer functions per channel, SMPTE ST 2084, ITU-R BT.2100-2 (HLG), IEC
// 61966-2-1 (sRGB), ITU-R BT.709 and BT.1886; display light 1.0 = 100 cd/m².
constexpr std::string_view kTransferLibrary = R"(uniform sampler2D tex;
uniform int sourceFunction;
uniform int targetFunction;
uniform int sourcePrimaries;
uniform int targetPrimaries;
uniform int flags;
uniform float linearScale;
uniform float pqTonemapA;
uniform float pqTonemapB;
uniform float displayPeakLuminance;
uniform float ootfGamma;
varying vec2 TexCoord0;

const int INVERSE_OOTF = 1;
const int FORWARD_OOTF = 2;
const float BT709_A_GAMMA = 1.960938;
const float BT1886_GAMMA = 2.4;
const float PQ_M1 = 2610.0 / 16384.0;
const float PQ_M2 = 2523.0 / 4096.0 * 128.0;
const float PQ_C1 = 3424.0 / 4096.0;
const float PQ_C2 = 2413.0 / 4096.0 * 32.0;
const float PQ_C3 = 2392.0 / 4096.0 * 32.0;
const float HLG_A = 0.17883277;
const float HLG_B = 0.28466892;
const float HLG_C = 0.55991073;

float rec709_to_scene_linear(float c) { return c < 0.081 ? c / 4.5 : pow((c + 0.099) / 1.099, 1.0 / 0.45); }
vec3 rec709_to_scene_linear(vec3 c) { return vec3(rec709_to_scene_linear(c.x), rec709_to_scene_linear(c.y), rec709_to_scene_linear(c.z)); }
float scene_linear_to_rec709(float c) { return c < 0.018 ? 4.5 * c : 1.099 * pow(c, 0.45) - 0.099; }
vec3 scene_linear_to_rec709(vec3 c) { return vec3(scene_linear_to_rec709(c.x), scene_linear_to_rec709(c.y), scene_linear_to_rec709(c.z)); }

float srgb_to_linear(float c) { return c <= 0.04045 ? c / 12.92 : pow((c + 0.055) / 1.055, 2.4); }
vec3 srgb_to_linear(vec3 c) { return vec3(srgb_to_linear(c.x), srgb_to_linear(c.y), srgb_to_linear(c.z)); }
float linear_to_srgb(float c) { return c <= 0.0031308 ? 12.92 * c : 1.055 * pow(c, 1.0 / 2.4) - 0.055; }
vec3 linear_to_srgb(vec3 c) { return vec3(linear_to_srgb(c.x), linear_to_srgb(c.y), linear_to_srgb(c.z)); }

vec3 gamma_to_linear(vec3 c, float g) { return sign(c) * pow(abs(c), vec3(g)); }
vec3 linear_to_gamma(vec3 c, float g) { return sign(c) * pow(abs(c), vec3(1.0 / g)); }
vec3 rec709_to_display_linear(vec3 c) { return gamma_to_linear(c, BT1886_GAMMA); }
vec3 display_linear_to_rec709(vec3 c) { return linear_to_gamma(c, BT1886_GAMMA); }

float rec709_to_pq_scene_linear(float c) { return c < 0.081 ? c / 2.6784 : pow((c + 0.099) / 0.870159, 1.0 / 0.45); }
vec3 rec709_to_pq_scene_linear(vec3 c) { return vec3(rec709_to_pq_scene_linear(c.x), rec709_to_pq_scene_linear(c.y), rec709_to_pq_scene_linear(c.z)); }
float pq_scene_linear_to_rec709(float c) { return c <= 0.03024 ? 2.6784 * c : 0.870159 * pow(c, 0.45) - 0.099; }
vec3 pq_scene_linear_to_rec709(vec3 c) { return vec3(pq_scene_linear_to_rec709(c.x), pq_scene_linear_to_rec709(c.y), pq_scene_linear_to_rec709(c.z)); }

float rec2100PQ_to_rec2020_display_linear(float v)
{
    float Y2MQ = pow(clamp(v, 0.0, 1.0), 1.0 / PQ_M2);
    return 100.0 * pow(max(Y2MQ - PQ_C1, 0.0) / (PQ_C2 - PQ_C3 * Y2MQ), 1.0 / PQ_M1);
}

vec3 rec2100PQ_to_rec2020_linear(vec3 pixel, bool displayLinear, float A, float B)
{
    vec3 display = vec3(rec2100PQ_to_rec2020_display_linear(pixel.x), rec2100PQ_to_rec2020_display_linear(pixel.y),
        rec2100PQ_to_rec2020_display_linear(pixel.z));
    float m = max(display.x, max(display.y, display.z));
    if (A > 0.0 && m > 0.0) {
        display *= (1.0 + A * m) / (1.0 + B * m);
    }
    return displayLinear ? display : rec709_to_pq_scene_linear(display_linear_to_rec709(display));
}

float rec2020_display_linear_to_rec2100PQ(float d)
{
    float Y1MQ = pow(clamp(d * 0.01, 0.0, 1.0), PQ_M1);
    return pow((PQ_C1 + PQ_C2 * Y1MQ) / (1.0 + PQ_C3 * Y1MQ), PQ_M2);
}

vec3 rec2020_linear_to_rec2100PQ(vec3 pixel, bool displayLinear)
{
    vec3 display = displayLinear ? pixel : rec709_to_display_linear(pq_scene_linear_to_rec709(pixel));
    return vec3(rec2020_display_linear_to_rec2100PQ(display.x), rec2020_display_linear_to_rec2100PQ(display.y),
        rec2020_display_linear_to_rec2100PQ(display.z));
}

float rec2020HLG_to_rec2020_scene_linear(float v)
{
    v = clamp(v, 0.0, 1.0);
    return v < 0.5 ? 4.0 * v * v : exp((v - HLG_C) / HLG_A) + HLG_B;
}

vec3 rec2020HLG_to_rec2020_linear(vec3 pixel, bool displayLinear, float peak, float gamma)
{
    vec3 scene = vec3(rec2020HLG_to_rec2020_scene_linear(pixel.x), rec2020HLG_to_rec2020_scene_linear(pixel.y),
        rec2020HLG_to_rec2020_scene_linear(pixel.z));
    if (!displayLinear) {
        return scene;
    }
    vec3 color = clamp(scene / 12.0, 0.0, 1.0);
    float Y = 0.2627 * color.r + 0.6780 * color.g + 0.0593 * color.b;
    // pow(0, negative) is undefined in GLSL; black stays black.
    return Y > 0.0 ? color * pow(Y, gamma - 1.0) * peak / 100.0 : vec3(0.0);
}

float rec2020_scene_linear_to_rec2020HLG(float s)
{
    s = clamp(s, 0.0, 12.0);
    return s < 1.0 ? 0.5 * sqrt(s) : HLG_A * log(s - HLG_B) + HLG_C;
}

vec3 rec2020_linear_to_rec2020HLG(vec3 pixel, bool displayLinear, float peak, float gamma)
{
    vec3 scene = pixel;
    if (displayLinear) {
        // Not clamped to the peak: below 1000 cd/m² the system gamma drops under 1 and
        // saturated colours decode above it; the scene light is clamped when encoding.
        vec3 color = max(pixel * 100.0 / peak, 0.0);
        float Y = 0.2627 * color.r + 0.6780 * color.g + 0.0593 * color.b;
        // The inverse OOTF tends to 0 with Y: only exact black needs a guard.
        scene = Y > 0.0 ? color * pow(Y, 1.0 / gamma - 1.0) * 12.0 : vec3(0.0);
    }
    return vec3(rec2020_scene_linear_to_rec2020HLG(scene.x), rec2020_scene_linear_to_rec2020HLG(scene.y),
        rec2020_scene_linear_to_rec2020HLG(scene.z));
}
)";

// Tone curves and gamut compression of the mapping variants (see ColorMapping).
constexpr std::string_view kMappingLibrary = R"(uniform float toneSourcePeak;
uniform float toneTargetPeak;
uniform vec3 targetLuma;

#if TONE_CURVE == 1
// ITU-R BT.2390-10 section 5.4 on PQ signal e, the peaks given in PQ signal;
// with black 0 on both sides the black lift vanishes.
float bt2390_eetf(float e, float sourcePQ, float targetPQ)
{
    float e1 = min(e / sourcePQ, 1.0);
    float maxLum = targetPQ / sourcePQ;
    float ks = max(1.5 * maxLum - 0.5, 0.0);
    if (e1 < ks) {
        return e;
    }
    // The Hermite spline from (KS, slope 1) to (1, slope 0), written as its
    // distance below maxLum so that it stays monotonic in float near the top.
    float t = (e1 - ks) / (1.0 - ks);
    float below = (1.0 - t) * (1.0 - t) * ((1.0 + 2.0 * t) * (maxLum - ks) - t * (1.0 - ks));
    return (maxLum - below) * sourcePQ;
}
#endif

// Display light in units of 100 cd/m^2, from the source peak to the tone
// target. The curves act on the largest channel and scale the others with it,
// which keeps hue and saturation.
// pqOfMax: the PQ signal of the largest channel where the source gives it, else
// negative.
vec3 tone_map(vec3 c, float pqOfMax)
{
#if TONE_CURVE == 2
    return min(c, vec3(toneTargetPeak));
#else
    float m = max(c.r, max(c.g, c.b));
    if (m <= 0.0) {
        return c;
    }
#if TONE_CURVE == 1
    // The curve ends flat at the target; rounding must not overshoot it.
    float e = pqOfMax >= 0.0 ? min(pqOfMax, 1.0) : rec2020_display_linear_to_rec2100PQ(m);
    float curved = min(rec2100PQ_to_rec2020_display_linear(bt2390_eetf(e,
        rec2020_display_linear_to_rec2100PQ(toneSourcePeak), rec2020_display_linear_to_rec2100PQ(toneTargetPeak))),
        toneTargetPeak);
#else
    float curved = m * (1.0 + m * toneTargetPeak / (toneSourcePeak * toneSourcePeak)) / (1.0 + m / toneTargetPeak);
#endif
    return c * (curved / m);
#endif
}

#if TONE_CURVE != 0
// PQ signal v as BT.1886's gamma of its display light, for a scene-referred
// target: the inverse OOTF's first power folds into the EOTF's second one.
float rec2100PQ_to_bt1886(float v)
{
    float Y2MQ = pow(clamp(v, 0.0, 1.0), 1.0 / PQ_M2);
    return pow(100.0, 1.0 / BT1886_GAMMA) *
        pow(max(Y2MQ - PQ_C1, 0.0) / (PQ_C2 - PQ_C3 * Y2MQ), 1.0 / (PQ_M1 * BT1886_GAMMA));
}

// tone_map of a PQ source on those values: its factor, applied to display light,
// becomes the factor's power here, and the largest channel's power is the
// largest value.
vec3 tone_map_bt1886(vec3 g, float pqOfMax)
{
    float peak = pow(toneTargetPeak, 1.0 / BT1886_GAMMA);
#if TONE_CURVE == 2
    return min(g, vec3(peak));
#else
    float m = max(g.r, max(g.g, g.b));
    if (m <= 0.0) {
        return g;
    }
    float curved = min(rec2100PQ_to_bt1886(bt2390_eetf(min(pqOfMax, 1.0),
        rec2020_display_linear_to_rec2100PQ(toneSourcePeak), rec2020_display_linear_to_rec2100PQ(toneTargetPeak))),
        peak);
    return g * (curved / m);
#endif
}
#endif

#ifdef GAMUT_COMPRESS
const float GAMUT_KNEE = KNEE;
const float GAMUT_POWER = 1.2;

// Linear RGB c of the target primaries, `source` the same colour in the source
// primaries. Saturation r is the share of the way from the grey of the colour's
// own luminance to the gamut boundary, where its lowest channel reaches 0; r
// beyond the knee, up to where the source gamut ends in the same direction, is
// compressed into the rest of the target gamut. Then colours brighter than white
// lose saturation at constant luminance until their largest channel is 1.
vec3 compress_gamut(vec3 source, vec3 c)
{
    float Y = dot(c, targetLuma);
    if (Y <= 0.0) {
        return vec3(0.0);
    }
    if (Y >= 1.0) {
        return vec3(1.0);
    }
    vec3 d = c - Y;
    float low = min(d.x, min(d.y, d.z));
    float r = -low / Y;
    if (r > GAMUT_KNEE) {
        vec3 ds = source - Y;
        float lowSource = min(ds.x, min(ds.y, ds.z));
        float reach = lowSource < 0.0 ? low / lowSource : 1.0;
        float compressed = 1.0;
        if (reach > 1.0 + 1e-4) {
            // A power curve with slope 1 at the knee that takes reach to 1.
            float a = (r - GAMUT_KNEE) / (1.0 - GAMUT_KNEE);
            float limit = (reach - GAMUT_KNEE) / (1.0 - GAMUT_KNEE);
            float s = limit / pow(pow(limit, GAMUT_POWER) - 1.0, 1.0 / GAMUT_POWER);
            float f = a / pow(1.0 + pow(a / s, GAMUT_POWER), 1.0 / GAMUT_POWER);
            compressed = GAMUT_KNEE + (1.0 - GAMUT_KNEE) * min(f, 1.0);
        }
        d *= min(compressed, 1.0) / r;
    }
    float high = max(d.x, max(d.y, d.z)) + Y;
    if (high > 1.0) {
        d *= (1.0 - Y) / (high - Y);
    }
    return Y + d;
}
#endif
)";

struct Identifier {
    const char* name;
    int value;
};

using Transfer = Conf::ColorSpaceTransform;
constexpr Identifier kTransfers[] = {
    {"trc_bt709", Transfer::BT709},
    {"trc_bt709a", Transfer::BT709A},
    {"trc_bt1886", Transfer::BT1886},
    {"trc_gamma22", Transfer::Gamma22},
    {"trc_gamma28", Transfer::Gamma28},
    {"trc_linear", Transfer::Linear},
    {"trc_sRGB", Transfer::SRGB},
    {"trc_st2084", Transfer::ST2084},
    {"trc_st2084Scene", Transfer::ST2084Scene},
    {"trc_hlg", Transfer::HLG},
    {"trc_hlgScene", Transfer::HLGScene},
};

// The primaries functions' order: BT.709 first, then BT.2020, then the others in
// the table's order.
std::vector<Conf::NamedPrimaries> FunctionOrder() {
    std::vector<Conf::NamedPrimaries> order(Conf::GetConvertiblePrimaries().begin(),
                                            Conf::GetConvertiblePrimaries().end());
    const auto rank = [](const Conf::NamedPrimaries& entry) {
        return entry.primaries == Conf::ColorPrimaries::BT709    ? 0
               : entry.primaries == Conf::ColorPrimaries::BT2020 ? 1
                                                                 : 2;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    return order;
}

std::string Row(const std::array<float, 3>& row) {
    char text[96];
    std::snprintf(text, sizeof(text), "vec3( %f, %f, %f )", row[0], row[1], row[2]);
    return text;
}

// The host matrix's rows become the GLSL matrix's columns, and rgb * M applies
// the host matrix to the column vector.
std::string PrimariesFunction(const Conf::NamedPrimaries& from, const Conf::NamedPrimaries& to) {
    const Conf::RGBCrossMatrix m = Conf::GetRGBCrossMatrix(from.primaries, to.primaries);
    return std::string("vec3 ") + from.shaderName + "_to_" + to.shaderName + "( vec3 rgb )\n" +
           "{\n" + "    mat3 transformMatrix = " + " mat3(\n" + Row(m[0]) + ",\n" + Row(m[1]) +
           ",\n" + Row(m[2]) + "\n" + ");\n" + "    return rgb * transformMatrix;\n" + "}\n\n";
}

std::string PrimariesDispatch() {
    std::string text =
        "vec3 convert_primaries(vec3 rgb, int from, int to, out bool known)\n{\n    known = "
        "true;\n";
    const std::vector<Conf::NamedPrimaries> order = FunctionOrder();
    for (const auto& from : order) {
        for (const auto& to : order) {
            if (from.primaries == to.primaries) {
                continue;
            }
            text += std::string("    if (from == pri_") + from.shaderName + " && to == pri_" +
                    to.shaderName + ") return " + from.shaderName + "_to_" + to.shaderName +
                    "(rgb);\n";
        }
    }
    return text + "    known = false;\n    return rgb;\n}\n\n";
}

constexpr std::string_view kMainBody = R"(void main()
{
    // The texel under TexCoord0, unfiltered: filtering would leak a neighbour
    // into the curves, where a bright one dominates a dark one.
    ivec2 size = textureSize(tex, 0);
    vec4 color = texelFetch(tex, clamp(ivec2(TexCoord0 * vec2(size)), ivec2(0), size - 1), 0);
    if (sourceFunction == trc_bt709) color.rgb = rec709_to_scene_linear(color.rgb);
    else if (sourceFunction == trc_bt709a) color.rgb = gamma_to_linear(color.rgb, BT709_A_GAMMA);
    else if (sourceFunction == trc_bt1886) color.rgb = rec709_to_display_linear(color.rgb);
    else if (sourceFunction == trc_gamma22) color.rgb = gamma_to_linear(color.rgb, 2.2);
    else if (sourceFunction == trc_gamma28) color.rgb = gamma_to_linear(color.rgb, 2.8);
    else if (sourceFunction == trc_linear) {}
    else if (sourceFunction == trc_sRGB) color.rgb = srgb_to_linear(color.rgb);
    else if (sourceFunction == trc_st2084) color.rgb = rec2100PQ_to_rec2020_linear(color.rgb, true, pqTonemapA, pqTonemapB);
    else if (sourceFunction == trc_st2084Scene) color.rgb = rec2100PQ_to_rec2020_linear(color.rgb, false, pqTonemapA, pqTonemapB);
    else if (sourceFunction == trc_hlg) color.rgb = rec2020HLG_to_rec2020_linear(color.rgb, true, displayPeakLuminance, ootfGamma);
    else if (sourceFunction == trc_hlgScene) color.rgb = rec2020HLG_to_rec2020_linear(color.rgb, false, displayPeakLuminance, ootfGamma);
    else color.rgb = vec3(1.0, 0.0, 0.0);

    if ((flags & INVERSE_OOTF) != 0) {
        color.rgb = rec709_to_scene_linear(display_linear_to_rec709(color.rgb));
    }
    if (sourcePrimaries != targetPrimaries) {
        bool known;
        color.rgb = convert_primaries(color.rgb, sourcePrimaries, targetPrimaries, known);
        if (!known) {
            color.rgb = vec3(0.0, 1.0, 0.0);
        }
    }
    color.rgb *= linearScale;
    if ((flags & FORWARD_OOTF) != 0) {
        color.rgb = rec709_to_display_linear(scene_linear_to_rec709(color.rgb));
    }

    if (targetFunction == trc_bt709) color.rgb = scene_linear_to_rec709(color.rgb);
    else if (targetFunction == trc_bt709a) color.rgb = linear_to_gamma(color.rgb, BT709_A_GAMMA);
    else if (targetFunction == trc_bt1886) color.rgb = display_linear_to_rec709(color.rgb);
    else if (targetFunction == trc_gamma22) color.rgb = linear_to_gamma(color.rgb, 2.2);
    else if (targetFunction == trc_gamma28) color.rgb = linear_to_gamma(color.rgb, 2.8);
    else if (targetFunction == trc_linear) {}
    else if (targetFunction == trc_sRGB) color.rgb = linear_to_srgb(color.rgb);
    else if (targetFunction == trc_st2084) color.rgb = rec2020_linear_to_rec2100PQ(color.rgb, true);
    else if (targetFunction == trc_st2084Scene) color.rgb = rec2020_linear_to_rec2100PQ(color.rgb, false);
    else if (targetFunction == trc_hlg) color.rgb = rec2020_linear_to_rec2020HLG(color.rgb, true, displayPeakLuminance, ootfGamma);
    else if (targetFunction == trc_hlgScene) color.rgb = rec2020_linear_to_rec2020HLG(color.rgb, false, displayPeakLuminance, ootfGamma);
    else color.rgb = vec3(0.0, 0.0, 1.0);
    gl_FragColor = color;
}
)";

const ShaderSourceKeeper<VShader::Id, ShaderGenerator> colorSpaceConverterShader(
    "colorSpaceConverterShader", VShader::Id::XYUV, [] { return ColorSpaceConverterSource(); },
    __FILE__);

// One conversion's values, baked into the mapping program as constants: the
// compiler then keeps only the curves and primaries this conversion uses, which
// on llvmpipe makes the pass several times faster than the uniform-driven one.
struct Baked {
    const char* type;
    const char* name;
    std::string value;
};

std::vector<Baked> BakedValues(const Conf::ColorSpaceTransform& transform,
                               const ColorMapping& mapping) {
    const auto [sourcePeak, targetPeak] = transform.GetToneMapPeaks();
    const auto pqTonemap = transform.GetPQTonemapCoefs();
    std::vector<Baked> values = {
        {"int", "sourceFunction", std::to_string(transform.GetSourceTransfer())},
        {"int", "targetFunction", std::to_string(transform.GetTargetTransfer())},
        {"int", "sourcePrimaries", std::to_string(transform.GetSourcePrimaries())},
        {"int", "targetPrimaries", std::to_string(transform.GetTargetPrimaries())},
        {"int", "flags", std::to_string(transform.GetFlags())},
        {"float", "linearScale", GlslConstants::Literal(transform.GetLinearScale())},
        // A mapping's own curve replaces the one in the PQ decoding.
        {"float", "pqTonemapA",
         mapping.IsDefault() ? GlslConstants::Literal(pqTonemap.first) : "0.0"},
        {"float", "pqTonemapB",
         mapping.IsDefault() ? GlslConstants::Literal(pqTonemap.second) : "0.0"},
        {"float", "displayPeakLuminance",
         GlslConstants::Literal(transform.GetHLGDisplayPeakLuminance())},
        {"float", "ootfGamma", GlslConstants::Literal(transform.GetHLGOOTFGamma())},
        {"float", "toneSourcePeak", GlslConstants::Literal(sourcePeak)},
        {"float", "toneTargetPeak", GlslConstants::Literal(targetPeak)},
    };
    glm::vec3 luma(0.0f);
    if (mapping.compressGamut) {
        const auto coefficients = Conf::GetLuminanceCoefficients(
            static_cast<Conf::ColorPrimaries>(transform.GetTargetPrimaries()));
        luma = glm::vec3(coefficients[0], coefficients[1], coefficients[2]);
    }
    values.push_back({"vec3", "targetLuma",
                      "vec3(" + GlslConstants::Literal(luma.x) + ", " +
                          GlslConstants::Literal(luma.y) + ", " + GlslConstants::Literal(luma.z) +
                          ")"});
    return values;
}

std::string BakedName(const ColorMapping& mapping, const std::vector<Baked>& values) {
    std::string name = "mapped" + std::to_string(static_cast<int>(mapping.toneCurve)) +
                       (mapping.toneMapHLG ? "h" : "") + (mapping.compressGamut ? "g" : "");
    for (const Baked& value : values) {
        name += std::string("\n") + value.name + "=" + value.value;
    }
    return name;
}

// The mapping's text with every uniform but the texture a constant.
std::string BakedText(const ColorMapping& mapping, const std::vector<Baked>& values) {
    std::string text = ColorMappingSource(mapping);
    for (const Baked& value : values) {
        const std::string uniform = std::string("uniform ") + value.type + " " + value.name + ";";
        const std::size_t at = text.find(uniform);
        if (at != std::string::npos) {
            text.replace(
                at, uniform.size(),
                std::string("const ") + value.type + " " + value.name + " = " + value.value + ";");
        }
    }
    return text;
}

ShaderSources<VShader::Id, ShaderGenerator> MappingSources(const ColorMapping& mapping,
                                                           const std::vector<Baked>& values) {
    return {"colorSpaceConverterShader." + BakedName(mapping, values), VShader::Id::XYUV,
            [mapping, values] { return BakedText(mapping, values); }, __FILE__};
}

// The main body with the mapping's steps: the tone curve after the source
// transfer (PQ keeps its signal, whose largest channel is the PQ of the largest
// linear one), and the gamut compression after the primaries.
std::string MappingMainBody() {
    std::string body(kMainBody);
    const auto insert = [&body](std::string_view after, std::string_view text) {
        const std::size_t at = body.find(after);
        body.insert(at + after.size(), text);
    };
    const auto insertBefore = [&body](std::string_view before, std::string_view text) {
        body.insert(body.find(before), text);
    };
    // A PQ source into a scene-referred target goes from PQ straight to the
    // inverse OOTF's gamma: three powers a pixel fewer.
    insertBefore(
        "    if (sourceFunction == trc_bt709) ",
        "    float signalMax = max(color.r, max(color.g, color.b));\n"
        "    bool gammaShortcut = TONE_CURVE != 0 && sourceFunction == trc_st2084 &&\n"
        "        (flags & INVERSE_OOTF) != 0;\n"
        "#if TONE_CURVE != 0\n"
        "    if (gammaShortcut) {\n"
        "        vec3 g = vec3(rec2100PQ_to_bt1886(color.r), rec2100PQ_to_bt1886(color.g),\n"
        "            rec2100PQ_to_bt1886(color.b));\n"
        "        if (toneSourcePeak > 0.0) g = tone_map_bt1886(g, signalMax);\n"
        "        color.rgb = rec709_to_scene_linear(g);\n"
        "    } else\n"
        "#endif\n"
        "    {\n");
    const std::string_view inverse = "\n    if ((flags & INVERSE_OOTF) != 0) {";
    body.replace(body.find(inverse), inverse.size(),
                 "    }\n\n    if (!gammaShortcut && (flags & INVERSE_OOTF) != 0) {");
    insert(
        "    else color.rgb = vec3(1.0, 0.0, 0.0);\n",
        "    if (toneSourcePeak > 0.0) {\n"
        "        if (sourceFunction == trc_st2084) color.rgb = tone_map(color.rgb, signalMax);\n"
        "        else if (TONE_HLG && sourceFunction == trc_hlg) color.rgb = tone_map(color.rgb, "
        "-1.0);\n"
        "    }\n");
    insertBefore(
        "    if (sourcePrimaries != targetPrimaries) {",
        "#ifdef GAMUT_COMPRESS\n    vec3 sourceColour = color.rgb * linearScale;\n#endif\n");
    insert("    color.rgb *= linearScale;\n",
           "#ifdef GAMUT_COMPRESS\n    if (sourcePrimaries != targetPrimaries) {\n"
           "        color.rgb = compress_gamut(sourceColour, color.rgb);\n    }\n#endif\n");
    return body;
}

}  // namespace

std::string ColorSpaceConverterSource() { return ColorMappingSource(ColorMapping{}); }

std::string ColorMappingSource(const ColorMapping& mapping) {
    std::string text;
    if (!mapping.IsDefault()) {
        text += "#define TONE_CURVE " + std::to_string(static_cast<int>(mapping.toneCurve)) + "\n";
        text += std::string("#define TONE_HLG ") + (mapping.toneMapHLG ? "true" : "false") + "\n";
        if (mapping.compressGamut) {
            text += "#define GAMUT_COMPRESS 1\n#define KNEE " +
                    std::to_string(ColorMapping::kGamutKnee) + "\n";
        }
    }
    text += kTransferLibrary;
    if (!mapping.IsDefault()) {
        text += kMappingLibrary;
    }
    text += "\n";
    for (const auto& transfer : kTransfers) {
        text += std::string("const int ") + transfer.name + " = " + std::to_string(transfer.value) +
                ";\n";
    }
    text += "\n";
    for (const auto& primaries : Conf::GetConvertiblePrimaries()) {
        text += std::string("const int pri_") + primaries.shaderName + " = " +
                std::to_string(static_cast<int>(primaries.primaries)) + ";\n";
    }
    text += "\n";
    const std::vector<Conf::NamedPrimaries> order = FunctionOrder();
    for (const auto& from : order) {
        for (const auto& to : order) {
            if (from.primaries != to.primaries) {
                text += PrimariesFunction(from, to);
            }
        }
    }
    text += PrimariesDispatch();
    text += mapping.IsDefault() ? std::string(kMainBody) : MappingMainBody();
    return text;
}

ColorMappingFunction MakeColorMappingFunction(const Proc::ColorConversionInfo& info,
                                              const ColorMapping& mapping) {
    const Conf::ColorSpaceTransform transform(info);
    const std::vector<Baked> values = BakedValues(transform, mapping);
    std::string text = BakedText(mapping, values);
    // The program's texel becomes the function's argument, its output the result.
    const std::string sampler = "uniform sampler2D tex;\n";
    text.erase(text.find(sampler), sampler.size());
    const std::size_t head = text.find("void main()");
    const std::size_t fetched = text.find('\n', text.find("vec4 color = texelFetch(", head)) + 1;
    text.replace(head, fetched - head, "vec4 mapColour(vec4 color)\n{\n");
    const std::string output = "    gl_FragColor = color;\n}";
    text.replace(text.rfind(output), output.size(), "    return color;\n}");
    return {BakedName(mapping, values), std::move(text)};
}

void ConvertColorSpace(const boost::intrusive_ptr<Frame>& frame,
                       const Proc::ColorConversionInfo& info, const ShaderStorage& storage) {
    ConvertColorSpace(frame, info, ColorMapping{}, storage);
}

void ConvertColorSpace(const boost::intrusive_ptr<Frame>& frame,
                       const Proc::ColorConversionInfo& info, const ColorMapping& mapping,
                       const ShaderStorage& storage) {
    const Conf::ColorSpaceTransform transform(info);
    if (!mapping.IsDefault()) {
        ShaderProgram& program =
            storage.MakeShader(MappingSources(mapping, BakedValues(transform, mapping)));
        program.Use();
        program.Uniform("tex", 0);
        frame->GetFirstTexture()->Use(0);
        storage.Quad().Activate();
        storage.Quad().Draw(program);
        return;
    }
    ShaderProgram& program = storage.MakeShader(colorSpaceConverterShader);
    program.Use();
    program.Uniform("tex", 0);
    frame->GetFirstTexture()->Use(0);
    program.Uniform("sourceFunction", static_cast<int>(transform.GetSourceTransfer()));
    program.Uniform("sourcePrimaries", static_cast<int>(transform.GetSourcePrimaries()));
    program.Uniform("targetFunction", static_cast<int>(transform.GetTargetTransfer()));
    program.Uniform("targetPrimaries", static_cast<int>(transform.GetTargetPrimaries()));
    program.Uniform("flags", static_cast<int>(transform.GetFlags()));
    program.Uniform("linearScale", transform.GetLinearScale());
    program.Uniform("displayPeakLuminance", transform.GetHLGDisplayPeakLuminance());
    program.Uniform("ootfGamma", transform.GetHLGOOTFGamma());
    const auto [a, b] = transform.GetPQTonemapCoefs();
    program.Uniform("pqTonemapA", a);
    program.Uniform("pqTonemapB", b);
    storage.Quad().Activate();
    storage.Quad().Draw(program);
}

}  // namespace Kavrin::Ogl
