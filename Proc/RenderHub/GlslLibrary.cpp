#include "GlslLibrary.h"

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <glm/glm.hpp>

#include "Kavrin/Conf/ColorUtils.h"

#include "YpPbPrMatrices.h"

namespace Kavrin::Ogl {
namespace Details {

std::string GlslVec3(float x, float y, float z) {
    char text[64];
    std::snprintf(text, sizeof(text), "vec3( %13.10f, %13.10f, %13.10f )", x, y, z);
    return text;
}

}  // namespace Details

namespace {

// Columns in glm's storage order, so that the GLSL constant equals the glm matrix.
std::string GlslMat3(const glm::mat3& m) {
    return "mat3(\n          " + Details::GlslVec3(m[0][0], m[0][1], m[0][2]) + "\n        , " +
           Details::GlslVec3(m[1][0], m[1][1], m[1][2]) + "\n        , " +
           Details::GlslVec3(m[2][0], m[2][1], m[2][2]) + "\n        )";
}

std::string LumaDeclaration() {
    const auto k = Conf::GetYCbCrCoefficients(Conf::YCbCrMatrix::BT709);
    char text[128];
    std::snprintf(text, sizeof(text), "vec4 yCbCrCoefficients = vec4( %f, %f, %f, 0.0 );", k[0],
                  k[1], k[2]);
    return text;
}

std::string BiasDeclaration() {
    const glm::vec3 bias = YpPbPrBias();
    return "const vec3 bias = " + Details::GlslVec3(bias.x, bias.y, bias.z) + ";";
}

// Straight-alpha colours mixed through their premultiplied form.
constexpr std::string_view kMixRgba = R"(
		vec4 kavrin_mixRGBA_(vec4 color0, vec4 color1, float extAlpha)
		{
			float outAlpha = mix(color0.a, color1.a, extAlpha);
			vec3 outChroma = mix(color0.rgb * color0.a, color1.rgb * color1.a, extAlpha) / outAlpha;
			return vec4(outChroma, outAlpha);
		}
	)";

// Source over destination, the source's opacity scaled by extAlpha.
constexpr std::string_view kBlendRgba = R"(
		vec4 kavrin_blendRGBA_(vec4 colorDst, vec4 colorSrc, float extAlpha)
		{
			float k = colorSrc.a * extAlpha;
			float outAlpha = k + colorDst.a * (1. - k);
			vec3 outChroma = (colorSrc.rgb * k + colorDst.rgb * colorDst.a * (1. - k)) / outAlpha;
			return vec4(outChroma, outAlpha);
		}
	)";

constexpr std::string_view kPremultiplyAlphaRgba = R"(
		vec4 kavrin_premultiplyAlphaRGBA_(vec4 rgba, float extAlpha)
		{
			return vec4(rgba.rgb * rgba.a * extAlpha, 1.0);
		}
	)";

// A hash of the coordinate in [0, 1); `seed` and `s` pick the sequence.
constexpr std::string_view kRand = R"(
		float kavrin_rand_(mat2 seed, vec2 s, vec2 coord)
		{
			vec2 c = vec2(43.7585453, 77585.7856412) + s;
			vec2 nCoord = coord + vec2(10.0, 10.0);
			return fract(dot(sin((nCoord * vec2(1371.412741, 31.1157)) * seed), c));
		}
	  )";

// BT.709 luma; @luma@ becomes the weights' declaration.
constexpr std::string_view kRgbaToY = R"(
		float kavrin_RGBA2Y_(vec4 rgba)
		{
			@luma@
			return dot(rgba, yCbCrCoefficients);
		}
	)";

constexpr std::string_view kRgbaToGreyA = R"(
		vec4 kavrin_RGBA2GRAYA_(vec4 rgba)
		{
			@luma@
			float luma = dot(rgba, yCbCrCoefficients);
			return vec4(luma, luma, luma, rgba.a);
		}
	)";

// BT.709 Y'PbPr with the chroma offset; @matrix@ and @bias@ become constants.
constexpr std::string_view kRgbaToYuva = R"(
		vec4 kavrin_RGBA2YUVA_(vec4 rgba)
		{
			const mat3 conversionMatrix = @matrix@;
			@bias@
			vec3 yuv = vec3(rgba.rgb) * conversionMatrix + bias;
			return vec4(yuv, rgba.a);
		}
	)";

constexpr std::string_view kClampSdr = R"(
		vec4 kavrin_ClampSDR_(vec4 yuva)
		{
			return clamp(yuva, 0.0, 1.0);
		}
	)";

constexpr std::string_view kYuvaToRgba = R"(
		vec4 kavrin_YUVA2RGBA_(vec4 yuva)
		{
			const mat3 conversionMatrix = @matrix@;
			@bias@
			vec3 rgb = vec3(yuva.xyz - bias) * conversionMatrix;
			return vec4(rgb, yuva.a);
		}
	)";

// Hue in [0, 1) (-1 for greys), saturation and lightness.
constexpr std::string_view kRgbToHsl = R"(
		vec3 kavrin_RGB2HSL_( vec3 rgb )
		{
			vec3 hsl;
			float cmax = max(rgb.r, max(rgb.g, rgb.b));
			float cmin = min(rgb.r, min(rgb.g, rgb.b));
			hsl.z = (cmax + cmin) / 2.0;
			if (cmax == cmin) {
				hsl.y = 0.0;
				hsl.x = -1.0;
			} else {
				if (hsl.z <= 0.5)
					hsl.y = (cmax - cmin) / (cmax + cmin);
				else
					hsl.y = (cmax - cmin) / (2.0 - cmax - cmin);
				float cdelta = cmax - cmin;
				if (cdelta == 0.0)
					cdelta = 1.0;
				if (rgb.r == cmax)
					hsl.x = (rgb.g - rgb.b) / cdelta;
				else if (rgb.g == cmax)
					hsl.x = 2.0 + (rgb.b - rgb.r) / cdelta;
				else
					hsl.x = 4.0 + (rgb.r - rgb.g) / cdelta;
				hsl.x = hsl.x / 6.0;
				if (hsl.x < 0.0)
					hsl.x += 1.0;
			}
			return hsl;
		}
	)";

constexpr std::string_view kHslToRgb = R"(
		float kavrin_HSLValue( float n1, float n2, float hue )
		{
			if (hue > 6.0)
				hue -= 6.0;
			else if (hue < 0.0)
				hue += 6.0;
			if (hue < 1.0)
				return n1 + (n2 - n1) * hue;
			else if (hue < 3.0)
				return n2;
			else if (hue < 4.0)
				return n1 + (n2 - n1) * (4.0 - hue);
			else
				return n1;
		}

		vec3 kavrin_HSL2RGB_( vec3 hsl )
		{
			vec3 rgb;
			if (hsl.y == 0.0) {
				rgb = vec3(hsl.z);
			} else {
				float m2;
				if (hsl.z <= 0.5)
					m2 = hsl.z * (1.0 + hsl.y);
				else
					m2 = hsl.z + hsl.y - hsl.z * hsl.y;
				float m1 = 2.0 * hsl.z - m2;
				rgb.r = kavrin_HSLValue(m1, m2, hsl.x * 6.0 + 2.0);
				rgb.g = kavrin_HSLValue(m1, m2, hsl.x * 6.0);
				rgb.b = kavrin_HSLValue(m1, m2, hsl.x * 6.0 - 2.0);
			}
			return rgb;
		}
	)";

// The text with the marker of each value replaced by it; a marker missing from
// the text throws (at static initialisation, so no run gets past it).
std::string Fill(std::string_view text,
                 std::initializer_list<std::pair<std::string_view, std::string>> values) {
    std::string filled(text);
    for (const auto& [marker, value] : values) {
        const std::size_t at = filled.find(marker);
        if (at == std::string::npos) {
            throw std::logic_error("GLSL library: no " + std::string(marker) + " to fill");
        }
        filled.replace(at, marker.size(), value);
    }
    return filled;
}

GlslLibraryList Build() {
    const std::string luma = LumaDeclaration();
    const std::string bias = BiasDeclaration();
    return {
        {"kavrin_mixRGBA_", std::string(kMixRgba)},
        {"kavrin_blendRGBA_", std::string(kBlendRgba)},
        {"kavrin_premultiplyAlphaRGBA_", std::string(kPremultiplyAlphaRgba)},
        {"kavrin_rand_", std::string(kRand)},
        {"kavrin_RGBA2Y_", Fill(kRgbaToY, {{"@luma@", luma}})},
        {"kavrin_RGBA2GRAYA_", Fill(kRgbaToGreyA, {{"@luma@", luma}})},
        {"kavrin_RGBA2YUVA_",
         Fill(kRgbaToYuva, {{"@matrix@", GlslMat3(RgbToBT709YpPbPrMatrix())}, {"@bias@", bias}})},
        {"kavrin_ClampSDR_", std::string(kClampSdr)},
        {"kavrin_YUVA2RGBA_",
         Fill(kYuvaToRgba, {{"@matrix@", GlslMat3(BT709YpPbPrToRgbMatrix())}, {"@bias@", bias}})},
        {"kavrin_RGB2HSL_", std::string(kRgbToHsl)},
        {"kavrin_HSL2RGB_", std::string(kHslToRgb)},
    };
}

}  // namespace

const GlslLibraryList& GetGlslLibrary() {
    static const GlslLibraryList library = Build();
    return library;
}

const GlslLibraryList& GlslLibrary = GetGlslLibrary();

}  // namespace Kavrin::Ogl
