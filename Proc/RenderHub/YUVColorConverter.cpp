#include <GL/glew.h>

#include "YUVColorConverter.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "Kavrin/Core/Exception.h"

#include "GlslConstants.h"
#include "Mesh.h"
#include "Private/FormatTable.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

// Integer Y'CbCr samples to R'G'B': clamp to the legal range, then the matrix.
// Samples are fetched by index, never by normalised coordinate: the chroma of
// pixel (x, y) is (x >> chromaShift.x, y >> chromaShift.y) at any size.
// Integer Y'CbCr planes to R'G'B'(A), one program per layout (NV: one chroma
// plane, NV21: its pair swapped, ALPHA: a fourth plane) and conversion: the
// range clamp and the matrix fold into one affine map of the code values.
constexpr std::string_view kYpCbCr2Rgb = R"(uniform usampler2D y_tex;
#ifdef NV
uniform usampler2D uv_tex;
#else
uniform usampler2D u_tex;
uniform usampler2D v_tex;
#endif
#ifdef ALPHA
uniform usampler2D a_tex;
#endif

void main()
{
    ivec2 pixel = ivec2(gl_FragCoord.xy);
    ivec2 chroma = pixel >> chromaShift;
    uvec3 samples;
    samples.x = texelFetch(y_tex, pixel, 0).x;
#ifdef NV
#ifdef NV21
    samples.yz = texelFetch(uv_tex, chroma, 0).yx;
#else
    samples.yz = texelFetch(uv_tex, chroma, 0).xy;
#endif
#else
    samples.y = texelFetch(u_tex, chroma, 0).x;
    samples.z = texelFetch(v_tex, chroma, 0).x;
#endif
    vec3 codes = clamp(vec3(samples >> uint(dataShift)), low, high);
    float alpha = 1.0;
#ifdef ALPHA
    alpha = min(float(texelFetch(a_tex, pixel, 0).x >> uint(dataShift)) / bitnessMaxValue, 1.0);
#endif
    gl_FragColor = vec4(codesToRgb * codes + rgbOffset, alpha);
}
)";

// R'G'B'(A) to one integer plane, one program per plane kind (OUTPUT 0 to 3:
// Y', Cb, Cr or alpha; 4 and 5: (Cb, Cr) or (Cr, Cb) pairs) and conversion. A
// subsampled sample is the mean of every pixel it covers (fewer at the edges of
// odd sizes); colour is premultiplied by alpha where the target has none.
constexpr std::string_view kRgb2YpCbCr = R"(uniform sampler2D tex;
out uvec4 fragColor;

void main()
{
    ivec2 first = ivec2(gl_FragCoord.xy) << blockShift;
    vec4 rgba;
    if (blockShift == ivec2(0)) {
        rgba = texelFetch(tex, first, 0);
#ifdef PREMULTIPLY
        rgba = vec4(rgba.rgb * rgba.a, 1.0);
#endif
    } else {
        // A constant number of steps, which the compiler unrolls; the pixels past
        // the edge count for nothing.
        ivec2 size = textureSize(tex, 0);
        vec4 sum = vec4(0.0);
        float count = 0.0;
        for (int y = 0; y < (1 << blockShift.y); ++y) {
            for (int x = 0; x < (1 << blockShift.x); ++x) {
                ivec2 pixel = first + ivec2(x, y);
                bool inside = all(lessThan(pixel, size));
                vec4 texel = texelFetch(tex, min(pixel, size - 1), 0);
#ifdef PREMULTIPLY
                texel = vec4(texel.rgb * texel.a, 1.0);
#endif
                sum += mix(vec4(0.0), texel, bvec4(inside));
                count += float(inside);
            }
        }
        rgba = sum / count;
    }
#if OUTPUT == 3
    fragColor = uvec4(uint(clamp(rgba.a, 0.0, 1.0) * bitnessMaxValue + 0.5) << uint(dataShift));
#else
    vec3 ypbpr = conversionMatrix * rgba.rgb;
    uvec3 ycbcr = uvec3(clamp(ivec3(ypbpr * scale + bias + 0.5), low, high) << dataShift);
#if OUTPUT == 4
    fragColor = uvec4(ycbcr.y, ycbcr.z, 0u, 0u);
#elif OUTPUT == 5
    fragColor = uvec4(ycbcr.z, ycbcr.y, 0u, 0u);
#else
    fragColor = uvec4(ycbcr[OUTPUT]);
#endif
#endif
}
)";

constexpr std::string_view kIntegerToNormalized = R"(uniform usampler2D srcTex;
uniform float maxValue;
uniform int dataShift;
varying vec2 TexCoord0;

void main()
{
    gl_FragColor = clamp(vec4(texelFetch(srcTex, ivec2(gl_FragCoord.xy), 0) >> uint(dataShift)) / maxValue, 0.0, 1.0);
}
)";

// Rounded, so that integer -> normalised -> integer gives every sample back.
constexpr std::string_view kNormalizedToInteger = R"(uniform sampler2D srcTex;
uniform float maxValue;
uniform int dataShift;
varying vec2 TexCoord0;
out uvec4 fragColor;

void main()
{
    fragColor = uvec4(texelFetch(srcTex, ivec2(gl_FragCoord.xy), 0) * maxValue + 0.5) << uint(dataShift);
}
)";

const ShaderSourceKeeper<VShader::Id, std::string_view> integerToNormalizedShader(
    "IntegerTextureToNormalizedShader", VShader::Id::XYUV, kIntegerToNormalized, __FILE__);
const ShaderSourceKeeper<VShader::Id, std::string_view> normalizedToIntegerShader(
    "NormalizedTextureToIntegerShader", VShader::Id::XYUV, kNormalizedToInteger, __FILE__);

bool HasFormat(const Texture* texture, GLenum format,
               std::initializer_list<GLint> internalFormats) {
    if (texture == nullptr || texture->GetTexParams().format != format) {
        return false;
    }
    for (GLint internalFormat : internalFormats) {
        if (texture->GetTexParams().internalFormat == internalFormat) {
            return true;
        }
    }
    return false;
}

float MaxValue(unsigned bitness) { return static_cast<float>((1u << bitness) - 1u); }

// log2 of the subsampling that makes `full` pixels into `plane` samples
// (plane = ceil(full / 2^s)); any size works, odd ones included.
int SubsamplingShift(int full, int plane) {
    for (int shift = 0; shift < 8; ++shift) {
        if (((full + (1 << shift) - 1) >> shift) <= plane) {
            return shift;
        }
    }
    return 0;
}

glm::ivec2 SubsamplingShift(const Texture& full, const Texture& plane) {
    return {SubsamplingShift(full.GetTexParams().width, plane.GetTexParams().width),
            SubsamplingShift(full.GetTexParams().height, plane.GetTexParams().height)};
}

}  // namespace

RangeLimits RangeLimits::Make(PixelColorRange range, unsigned bitness) {
    const int maxValue = (1 << bitness) - 1;
    const int mid = 1 << (bitness - 1);
    if (range == PixelColorRange::Full) {
        return {0, maxValue, 1, maxValue, mid};
    }
    const int shift = static_cast<int>(bitness) - 8;
    return {16 << shift, 235 << shift, 16 << shift, 240 << shift, mid};
}

YUVConverter::YUVConverter(const ShaderStorage& storage, Conf::YCbCrMatrix matrix,
                           PixelColorRange range, unsigned char bitness, unsigned char dataShift)
    : storage(storage), matrix(matrix), range(range), bitness(bitness), dataShift(dataShift) {}

void YUVConverter::ToRGB(const Texture& y, const Texture& u, const Texture& v, Texture& target) {
    ToRGBConversion(&y, &u, &v, nullptr, false, target);
}

void YUVConverter::ToRGB(const Texture& y, const Texture& uv, bool nv12Order, Texture& target) {
    ToRGBConversion(&y, &uv, nullptr, nullptr, nv12Order, target);
}

void YUVConverter::ToRGBA(const Texture& y, const Texture& u, const Texture& v, const Texture& a,
                          Texture& target) {
    ToRGBConversion(&y, &u, &v, &a, false, target);
}

void YUVConverter::ToYUV(const Texture& rgb, Texture& y, Texture& u, Texture& v) {
    ToYUVConversion(&rgb, &y, &u, &v, nullptr, false);
}

void YUVConverter::ToYUVA(const Texture& rgb, Texture& y, Texture& u, Texture& v, Texture& a) {
    ToYUVConversion(&rgb, &y, &u, &v, &a, false);
}

void YUVConverter::ToNV(const Texture& rgb, Texture& y, Texture& uv, bool nv12Order) {
    ToYUVConversion(&rgb, &y, &uv, nullptr, nullptr, nv12Order);
}

void YUVConverter::ToRGBConversion(const Texture* y, const Texture* u, const Texture* v,
                                   const Texture* a, bool nv12Order, Texture& target) {
    storage.FBO().Attach(target);
    const bool nv = v == nullptr;
    const RangeLimits limits = RangeLimits::Make(range, bitness);
    // rgb = M ((codes - bias) / scale) = (M S) codes - (M S) bias.
    const glm::vec3 scale(limits.ymax - limits.ymin, 2 * (limits.cmax - limits.cmid),
                          2 * (limits.cmax - limits.cmid));
    const glm::mat3 toRgb =
        Details::YpPbPrToRgbUniform(matrix) * glm::mat3(glm::vec3(1.0f / scale.x, 0.0f, 0.0f),
                                                        glm::vec3(0.0f, 1.0f / scale.y, 0.0f),
                                                        glm::vec3(0.0f, 0.0f, 1.0f / scale.z));
    GlslConstants constants;
    if (nv) {
        constants.Define("NV");
        if (!nv12Order) {
            constants.Define("NV21");
        }
    }
    if (a != nullptr) {
        constants.Define("ALPHA");
    }
    constants.Int("dataShift", dataShift)
        .IVec2("chromaShift", SubsamplingShift(*y, *u))
        .Vec3("low", glm::vec3(limits.ymin, limits.cmin, limits.cmin))
        .Vec3("high", glm::vec3(limits.ymax, limits.cmax, limits.cmax))
        .Mat3("codesToRgb", toRgb)
        .Vec3("rgbOffset", -(toRgb * glm::vec3(limits.ymin, limits.cmid, limits.cmid)))
        .Float("bitnessMaxValue", MaxValue(bitness));
    ShaderProgram& program =
        storage.MakeShader(constants.Sources("YpCbCr2RGB", kYpCbCr2Rgb, __FILE__));
    program.Use();
    y->Use(0);
    program.Uniform("y_tex", 0);
    u->Use(1);
    if (nv) {
        program.Uniform("uv_tex", 1);
    } else {
        v->Use(2);
        program.Uniform("u_tex", 1);
        program.Uniform("v_tex", 2);
    }
    if (a != nullptr) {
        a->Use(3);
        program.Uniform("a_tex", 3);
    }
    glActiveTexture(GL_TEXTURE0);
    storage.Quad().Activate();
    storage.Quad().Draw(program);
}

void YUVConverter::ToYUVConversion(const Texture* rgb, Texture* y, Texture* u, Texture* v,
                                   Texture* a, bool nv12Order) {
    const RangeLimits limits = RangeLimits::Make(range, bitness);
    storage.Quad().Activate();
    auto pass = [&](Texture& plane, int output) {
        GlslConstants constants;
        if (a == nullptr) {
            constants.Define("PREMULTIPLY");
        }
        constants.Define("OUTPUT", output)
            .Int("dataShift", dataShift)
            .IVec2("blockShift", SubsamplingShift(*rgb, plane))
            .Mat3("conversionMatrix", Details::RgbToYpPbPrUniform(matrix))
            .Vec3("scale", glm::vec3(limits.ymax - limits.ymin, 2 * (limits.cmax - limits.cmid),
                                     2 * (limits.cmax - limits.cmid)))
            .Vec3("bias", glm::vec3(limits.ymin, limits.cmid, limits.cmid))
            .IVec3("low", glm::ivec3(limits.ymin, limits.cmin, limits.cmin))
            .IVec3("high", glm::ivec3(limits.ymax, limits.cmax, limits.cmax))
            .Float("bitnessMaxValue", MaxValue(bitness));
        ShaderProgram& program =
            storage.MakeShader(constants.Sources("RGB2YpCbCr", kRgb2YpCbCr, __FILE__));
        program.Use();
        storage.FBO().Attach(plane);
        rgb->Use(0);
        program.Uniform("tex", 0);
        storage.Quad().Draw(program);
    };
    pass(*y, 0);
    pass(*u, v == nullptr ? (nv12Order ? 4 : 5) : 1);
    if (v != nullptr) {
        pass(*v, 2);
    }
    if (a != nullptr) {
        pass(*a, 3);
    }
}

bool YUVConverter::IsValidOneComponentTexture(const Texture* texture) {
    return HasFormat(texture, GL_RED_INTEGER, {GL_R8UI, GL_R16UI});
}

bool YUVConverter::IsValidTwoComponentTexture(const Texture* texture) {
    return HasFormat(texture, GL_RG_INTEGER, {GL_RG8UI, GL_RG16UI});
}

bool YUVConverter::IsValidRGBTexture(const Texture* texture) {
    // Frames uploaded from swapped 8-bit orders keep them in storage (GL_BGRA
    // transfers, unsized GL_RGBA): they sample as RGBA all the same.
    return HasFormat(texture, GL_RGB, {GL_RGB8, GL_RGB16, GL_RGBA8, GL_RGBA16}) ||
           HasFormat(texture, GL_RGBA, {GL_RGB8, GL_RGB16, GL_RGBA8, GL_RGBA16, GL_RGBA}) ||
           HasFormat(texture, GL_BGRA, {GL_RGBA});
}

YUVTextures::~YUVTextures() { FreeTextures(); }

YUVTextures::YUVTextures(YUVTextures&& other) noexcept { *this = std::move(other); }

YUVTextures& YUVTextures::operator=(YUVTextures&& other) noexcept {
    if (this != &other) {
        FreeTextures();
        planes = std::move(other.planes);
        description = other.description;
        frameInfo = other.frameInfo;
        matrix = other.matrix;
    }
    return *this;
}

void YUVTextures::FreeTextures() {
    for (auto& plane : planes) {
        TexturePool::GetInstance().PutTex(std::move(plane));
    }
}

void YUVTextures::AllocateTextures(const Conf::FrameInfo& newFrameInfo, Conf::YCbCrMatrix newMatrix,
                                   const PixFmtDescription* newDescription, int format,
                                   int internalFormat, int type) {
    if (newDescription == nullptr || !newDescription->IsPlanarYUV()) {
        KAVRIN_THROW_HOST("AllocateTextures", Exception,
                          std::string("Unsupported pixel format: ") +
                              (newDescription ? newDescription->GetName() : "none"));
    }
    FreeTextures();
    const int planeCount = newDescription->HasAlpha() ? 4 : 3;
    for (int plane = 0; plane < planeCount; ++plane) {
        const Texture::Params params{newDescription->GetPlanWidth(newFrameInfo.width, plane),
                                     newDescription->GetPlanHeight(newFrameInfo.height, plane),
                                     static_cast<GLenum>(format), internalFormat,
                                     static_cast<GLenum>(type)};
        planes[static_cast<std::size_t>(plane)] = TexturePool::GetInstance().GetTex(params);
    }
    description = newDescription;
    matrix = newMatrix;
    frameInfo = newFrameInfo;
}

void YUVTextures::AllocateAsIntegerTextures(const Conf::FrameInfo& newFrameInfo,
                                            Conf::YCbCrMatrix newMatrix,
                                            const PixFmtDescription* newDescription) {
    const bool wide = newDescription != nullptr && newDescription->depth > 8;
    const Details::TextureFormat format = Details::IntegerPlaneFormat(1, wide);
    AllocateTextures(newFrameInfo, newMatrix, newDescription, static_cast<int>(format.format),
                     format.internalFormat, static_cast<int>(format.type));
    for (const auto& plane : planes) {
        if (plane) {
            plane->Tweak(GL_CLAMP_TO_EDGE, GL_NEAREST);
        }
    }
}

void YUVTextures::AllocateAsNormalizedTextures(const Conf::FrameInfo& newFrameInfo,
                                               Conf::YCbCrMatrix newMatrix,
                                               const PixFmtDescription* newDescription) {
    const bool wide = newDescription != nullptr && newDescription->depth > 8;
    AllocateTextures(newFrameInfo, newMatrix, newDescription, GL_RED, wide ? GL_R16 : GL_R8,
                     wide ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE);
}

bool YUVTextures::IsInteger() const {
    if (!planes[0]) {
        KAVRIN_THROW_HOST("IsInteger", Exception, "YUV textures not allocated");
    }
    return planes[0]->GetTexParams().format == GL_RED_INTEGER;
}

namespace {

void DrawPlanes(const std::array<std::unique_ptr<Texture>, 4>& from,
                const std::array<Texture*, 4>& to, ShaderProgram& program,
                const ShaderStorage& storage, const PixFmtDescription& description) {
    for (std::size_t plane = 0; plane < from.size(); ++plane) {
        if (!from[plane] || to[plane] == nullptr) {
            continue;
        }
        storage.FBO().Attach(*to[plane]);
        program.Use();
        program.Uniform("maxValue", MaxValue(description.depth));
        program.Uniform("dataShift", static_cast<int>(description.shift));
        program.Uniform("srcTex", 0);
        from[plane]->Use(0);
        storage.Quad().Activate();
        storage.Quad().Draw(program);
    }
}

}  // namespace

YUVTextures YUVTextures::ToNormalized(const ShaderStorage& storage) const {
    if (!IsInteger()) {
        KAVRIN_THROW_HOST("ToNormalized", Exception, "YUV textures has normalized format");
    }
    YUVTextures result;
    result.AllocateAsNormalizedTextures(frameInfo, matrix, description);
    DrawPlanes(planes, {result.YTexture(), result.UTexture(), result.VTexture(), result.ATexture()},
               storage.MakeShader(integerToNormalizedShader), storage, *description);
    return result;
}

YUVTextures YUVTextures::ToInteger(const ShaderStorage& storage) const {
    if (IsInteger()) {
        KAVRIN_THROW_HOST("ToInteger", Exception, "YUV textures has integer format");
    }
    YUVTextures result;
    result.AllocateAsIntegerTextures(frameInfo, matrix, description);
    DrawPlanes(planes, {result.YTexture(), result.UTexture(), result.VTexture(), result.ATexture()},
               storage.MakeShader(normalizedToIntegerShader), storage, *description);
    return result;
}

// BT.709 helpers.

}  // namespace Kavrin::Ogl
