#include <GL/glew.h>

#include "FrameConverter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <glm/glm.hpp>

#include "Kavrin/Conf/ColorSpaceTransform.h"
#include "Kavrin/Core/Exception.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/ColorConversionInfo.h"

#include "ColorSpaceConverter.h"
#include "Frame.h"
#include "GlslConstants.h"
#include "Mesh.h"
#include "Private/FormatTable.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "ShaderStorage.h"
#include "Texture.h"
#include "YUVColorConverter.h"

namespace Kavrin::Ogl {
namespace {

// Components in the order the shaders carry them: Y' or R', Cb or G', Cr or B', A.
constexpr int kComponents = 4;
constexpr unsigned kAllLanes = (1u << kComponents) - 1;
constexpr int kAlpha = 3;

// Where each component of a pixel format lives: plane and channel, plane -1
// when absent (alpha of formats without it).
struct Layout {
    std::array<int, kComponents> plane{-1, -1, -1, -1};
    std::array<int, kComponents> channel{0, 0, 0, 0};
    std::array<int, kComponents> planeChannels{0, 0, 0, 0};  // channels of each plane
    int planes = 0;
    bool yuv = false;

    bool Has(int component) const { return plane[static_cast<std::size_t>(component)] >= 0; }
};

Layout LayoutOf(const PixFmtDescription& description) {
    const Details::FormatEntry& entry = *Details::FindFormat(description.pixFmt);
    Layout layout;
    layout.planes = description.planes;
    if (entry.layout == Details::PlaneLayout::PackedRGB) {
        for (int channel = 0; channel < entry.ChannelCount(); ++channel) {
            const auto component =
                static_cast<std::size_t>(entry.channels[static_cast<std::size_t>(channel)]);
            layout.plane[component] = 0;
            layout.channel[component] = channel;
        }
        layout.planeChannels[0] = entry.ChannelCount();
        return layout;
    }
    layout.yuv = true;
    if (entry.layout == Details::PlaneLayout::SemiPlanar) {
        layout.plane = {0, 1, 1, -1};
        layout.channel = {0, entry.channels[0] == 1 ? 0 : 1, entry.channels[0] == 1 ? 1 : 0, 0};
        layout.planeChannels = {1, 2, 0, 0};
        return layout;
    }
    for (int component = 0; component < kComponents; ++component) {
        if (component < description.planes) {
            layout.plane[static_cast<std::size_t>(component)] = component;
            layout.planeChannels[static_cast<std::size_t>(component)] = 1;
        }
    }
    return layout;
}

// Components a plane holds, in channel order.
std::vector<int> PlaneComponents(const Layout& layout, int plane) {
    std::vector<int> components(
        static_cast<std::size_t>(layout.planeChannels[static_cast<std::size_t>(plane)]), -1);
    for (int component = 0; component < kComponents; ++component) {
        if (layout.plane[static_cast<std::size_t>(component)] == plane) {
            components[static_cast<std::size_t>(
                layout.channel[static_cast<std::size_t>(component)])] = component;
        }
    }
    return components;
}

bool IsChromaPlane(const Layout& layout, int plane) {
    return layout.yuv && (layout.plane[1] == plane || layout.plane[2] == plane);
}

// Integer plane textures: samples keep their exact values. Three channels are
// stored in four, which every driver can render into.
Texture::Params PlaneParams(const PixFmtDescription& description, const Layout& layout, int plane,
                            const Conf::FrameInfo& info) {
    const Details::TextureFormat format = Details::IntegerPlaneFormat(
        layout.planeChannels[static_cast<std::size_t>(plane)], description.depth > 8);
    return {description.GetPlanWidth(info.width, plane),
            description.GetPlanHeight(info.height, plane), format.format, format.internalFormat,
            format.type};
}

// Code values of one component kind at one depth and range, in the integer
// forms zimg uses: code = offset + value * scale, value in [0, 1] for Y', R', G',
// B' and alpha, [-0.5, 0.5] for Pb and Pr. Full-range chroma is scaled by 2^b - 1.
struct Quantisation {
    int offset = 0;
    int scale = 1;
};

enum class Kind { Luma, Chroma, Alpha };

Quantisation Quantise(Kind kind, PixelColorRange range, int depth) {
    const int shift = depth - 8;
    const int maximum = (1 << depth) - 1;
    switch (kind) {
        case Kind::Alpha:
            return {0, maximum};
        case Kind::Chroma:
            return {1 << (depth - 1), range == PixelColorRange::Full ? maximum : 224 << shift};
        case Kind::Luma:
            break;
    }
    return range == PixelColorRange::Full ? Quantisation{0, maximum}
                                          : Quantisation{16 << shift, 219 << shift};
}

Kind KindOf(const Layout& layout, int component) {
    if (component == kAlpha) {
        return Kind::Alpha;
    }
    return layout.yuv && component > 0 ? Kind::Chroma : Kind::Luma;
}

// One side of a conversion, resolved.
struct Side {
    const PixFmtDescription* description = nullptr;
    Layout layout;
    PixelColorRange range = PixelColorRange::Full;
    Conf::YCbCrMatrix matrix = Conf::YCbCrMatrix::RGB;
    int depth = 8;  // of the samples
    int shift = 0;  // of the samples inside their containers

    Quantisation Of(int component) const {
        return Quantise(KindOf(layout, component), range, depth);
    }
    glm::vec4 Offsets() const {
        return {Of(0).offset, Of(1).offset, Of(2).offset, Of(kAlpha).offset};
    }
    glm::vec4 Scales() const { return {Of(0).scale, Of(1).scale, Of(2).scale, Of(kAlpha).scale}; }
};

std::string Name(const PixFmtDescription* description) {
    return description != nullptr ? description->GetName() : "unknown";
}

const PixFmtDescription& Supported(PixFmt format, const char* side) {
    const PixFmtDescription* description = PixFmtDescription::Find(format);
    if (description == nullptr || !IsSupportedPixFmt(format)) {
        KAVRIN_THROW_HOST(
            "Convert", Exception,
            std::string("Unsupported pixel format for ") + side + " frame: " + Name(description));
    }
    return *description;
}

// The matrix a YUV side uses: its own when usable; unspecified ones follow the
// primaries, as players do (BT.2020 NCL for BT.2020, else BT.709).
Conf::YCbCrMatrix MatrixOf(const Conf::ColorSpace& space) {
    const auto matrix = static_cast<Conf::YCbCrMatrix>(space.matrix);
    if (matrix == Conf::YCbCrMatrix::Unspecified || matrix == Conf::YCbCrMatrix::RGB) {
        return space.primaries == 9 ? Conf::YCbCrMatrix::BT2020NonConstant
                                    : Conf::YCbCrMatrix::BT709;
    }
    if (!Conf::IsValidYCbCrMatrix(matrix)) {
        KAVRIN_THROW_HOST("Convert", Exception,
                          "Unsupported YCbCr matrix " + std::to_string(space.matrix) +
                              " (only matrices with luma coefficients convert)");
    }
    return matrix;
}

Side Resolve(const PixFmtDescription& description, PixelColorRange range,
             const Conf::ColorSpace& space) {
    Side side;
    side.description = &description;
    side.layout = LayoutOf(description);
    side.depth = description.depth;
    side.shift = description.shift;
    if (side.layout.yuv) {
        side.range =
            range == PixelColorRange::Full ? PixelColorRange::Full : PixelColorRange::Limited;
        side.matrix = MatrixOf(space);
    } else {
        side.range =
            range == PixelColorRange::Limited ? PixelColorRange::Limited : PixelColorRange::Full;
    }
    return side;
}

Proc::ColorConversionInfo ConversionInfo(const Conf::ColorSpace& source,
                                         const Conf::ColorSpace& target,
                                         const FrameConversionOptions& options) {
    Proc::ColorConversionInfo info;
    info.source = source;
    info.target = target;
    info.sourcePeakLuminance = options.sourcePeakLuminance;
    info.targetPeakLuminance = options.targetPeakLuminance;
    info.referenceWhiteLuminance = options.referenceWhiteLuminance;
    info.hlgDisplayPeakLuminance = options.hlgDisplayPeakLuminance;
    return info;
}

// Whether the RGB colour-space pass changes anything. An unspecified side is
// taken as the other; curves that are one curve (BT.709, BT.601 and BT.2020's)
// need no pass. Throws for codes the converter cannot handle.
bool NeedsColourSpacePass(const Conf::ColorSpace& source, const Conf::ColorSpace& target,
                          const FrameConversionOptions& options) {
    if (options.gamut == FrameConversionOptions::Gamut::Compress &&
        source.primaries != target.primaries && source.primaries != 2 && target.primaries != 2) {
        return true;
    }
    const auto unspecified = [](std::int32_t code) { return code == 2; };
    if (unspecified(source.primaries) || unspecified(target.primaries) ||
        unspecified(source.transfer) || unspecified(target.transfer)) {
        if ((unspecified(source.primaries) || unspecified(target.primaries) ||
             source.primaries == target.primaries) &&
            (unspecified(source.transfer) || unspecified(target.transfer) ||
             source.transfer == target.transfer)) {
            return false;
        }
        // One half differs and is specified on both sides: convert that half only.
        Conf::ColorSpace from = source;
        Conf::ColorSpace to = target;
        if (unspecified(from.primaries) || unspecified(to.primaries)) {
            from.primaries = to.primaries = 1;
        }
        if (unspecified(from.transfer) || unspecified(to.transfer)) {
            from.transfer = to.transfer = 1;
        }
        return NeedsColourSpacePass(from, to, options);
    }
    const Conf::ColorSpaceTransform transform(ConversionInfo(source, target, options));
    if (source.primaries == target.primaries && source.transfer == target.transfer) {
        // The same curve may still go to a lower peak (PQ mastered brighter than
        // the target display), which the tone curve maps.
        return transform.GetToneMapPeaks().first > 0.0f;
    }
    return transform.GetSourcePrimaries() != transform.GetTargetPrimaries() ||
           transform.GetSourceTransfer() != transform.GetTargetTransfer() ||
           transform.GetFlags() != 0 || transform.GetLinearScale() != 1.0f ||
           transform.GetPQTonemapCoefs().first != 0.0f;
}

// With nothing to convert, samples travel as their raw container values, so
// P010 and P016 keep every bit.
bool RawSamples(const Side& source, const Side& target) {
    return source.depth == target.depth && source.shift == target.shift &&
           source.range == target.range;
}

char Lane(int component) { return "xyzw"[component]; }

std::string LayoutKey(const Layout& layout) {
    std::string key;
    for (int component = 0; component < kComponents; ++component) {
        key += std::to_string(layout.plane[static_cast<std::size_t>(component)] + 1);
        key += std::to_string(layout.channel[static_cast<std::size_t>(component)]);
    }
    return key + (layout.yuv ? "y" : "r");
}

// Chroma resampling kernels, on distances in chroma samples: bilinear (tent) or
// bicubic (Catmull-Rom, B = 0, C = 1/2), and how far each reaches.
constexpr std::string_view kKernels =
    R"(// Taps past an edge mirror back into the picture, the edge sample repeated
// (-1 -> 0), as zimg does.
int mirror(int t, int size)
{
    return clamp(t < 0 ? -t - 1 : t >= size ? 2 * size - t - 1 : t, 0, size - 1);
}

ivec2 mirror(ivec2 t, ivec2 size)
{
    return ivec2(mirror(t.x, size.x), mirror(t.y, size.y));
}

#if KERNEL == 1
const int RADIUS = 1;
float kernel(float x)
{
    return max(1.0 - abs(x), 0.0);
}
#else
const int RADIUS = 2;
float kernel(float x)
{
    x = abs(x);
    if (x < 1.0) return (1.5 * x - 2.5) * x * x + 1.0;
    if (x < 2.0) return ((-0.5 * x + 2.5) * x - 4.0) * x + 2.0;
    return 0.0;
}
#endif
)";

// Decoding: the source planes into one float texel per pixel, as code values
// (chroma of pixel (x, y) at (x, y) >> chromaShift), or with COLOUR as unclamped
// R'G'B'A. With DECODE_LIBRARY only decodePixel, for an encoding that reads the
// source planes itself.
constexpr std::string_view kDecodeBody = R"(#ifdef DECODE_FILTER
// Chroma sample i sits at luma position i * 2^shift + sourceChromaSite; pixel p
// reads the kernel-weighted samples around (p - sourceChromaSite) / 2^shift,
// edges mirrored.
float filteredChroma(usampler2D plane, int channel, ivec2 pixel)
{
    ivec2 size = textureSize(plane, 0);
    vec2 at = (vec2(pixel) - sourceChromaSite) / vec2(ivec2(1) << chromaShift);
    ivec2 base = ivec2(floor(at));
    float sum = 0.0;
    float weights = 0.0;
    for (int j = 1 - RADIUS; j <= RADIUS; ++j) {
        float wy = chromaShift.y == 0 ? float(j == 0) : kernel(at.y - float(base.y + j));
        for (int i = 1 - RADIUS; i <= RADIUS; ++i) {
            float w = wy * (chromaShift.x == 0 ? float(i == 0) : kernel(at.x - float(base.x + i)));
            ivec2 texel = mirror(base + ivec2(i, j), size);
            sum += w * float(texelFetch(plane, texel, 0)[channel] >> uint(sourceSampleShift));
            weights += w;
        }
    }
    return sum / weights;
}
#endif

vec4 decodePixel(ivec2 pixel)
{
    vec4 codes = vec4(0.0, 0.0, 0.0, opaque);
    FETCH_COMPONENTS
#ifdef COLOUR
    vec4 value = (codes - offset) / scale;
#ifdef YUV
    value.rgb = toRgb * value.rgb;
#endif
#ifdef COMPOSITE
    value.rgb *= value.a;
#endif
    return value;
#else
    return codes;
#endif
}

#ifndef DECODE_LIBRARY
#ifdef LUMA_OUTPUT
// The target's luma plane too, quantised as the encoding does it.
out vec4 decodedColour;
out uvec4 lumaCode;
#endif

void main()
{
    vec4 colour = decodePixel(ivec2(gl_FragCoord.xy));
#ifdef MAP_COLOUR
    colour = mapColour(colour);
#endif
#ifdef LUMA_OUTPUT
    decodedColour = colour;
    float code = (lumaToYuv * colour.rgb).x * lumaScale + lumaOffset;
#ifdef LUMA_DITHER
    float rounded = floor(code + bayerThreshold(ivec2(gl_FragCoord.xy)));
#else
    float rounded = roundEven(code);
#endif
    lumaCode = uvec4(uint(clamp(rounded, 0.0, lumaMaxCode)) << uint(lumaShift), 0u, 0u, 0u);
#else
    gl_FragColor = colour;
#endif
}
#endif
)";

// A 16x16 Bayer threshold t in (0, 1): floor(code + t) is code on average, and
// the pattern is the same every frame.
constexpr std::string_view kBayer = R"(float bayerThreshold(ivec2 pixel)
{
    ivec2 cell = pixel & 15;
    int rank = 0;
    for (int bit = 0; bit < 4; ++bit) {
        int x = (cell.x >> bit) & 1;
        int y = (cell.y >> bit) & 1;
        rank += (2 * (x ^ y) + y) << (2 * (3 - bit));
    }
    return (float(rank) + 0.5) / 256.0;
}
)";

// Encoding one target plane from the float texels. A sample of a subsampled
// plane is the mean of every pixel it covers (fewer at the edges of odd sizes).
// Code values are requantised exactly in integers, rounding half to even as
// zimg does; colour is quantised from R'G'B'A; both clamped to the container.
constexpr std::string_view kEncodeBody = R"(#ifdef DIRECT
#define SOURCE(p) decodePixel(p)
#define SOURCE_SIZE textureSize(plane0, 0)
#else
uniform sampler2D src;
#define SOURCE(p) texelFetch(src, p, 0)
#define SOURCE_SIZE textureSize(src, 0)
#endif
out uvec4 fragColor;
#ifdef SECOND_OUTPUT
out uvec4 secondColor;
#endif

// (code - from) * num / den + to, rounded half to even; |code - from| * num
// stays below 2^31 because the fraction is reduced.
float requantize(float code, int from, int num, int den, int to)
{
    int t = (int(code) - from) * num;
    uint a = uint(abs(t));
    uint q = a / uint(den);
    uint twice = 2u * (a - q * uint(den));
    if (twice > uint(den) || (twice == uint(den) && (q & 1u) == 1u)) {
        q += 1u;
    }
    return float((t < 0 ? -int(q) : int(q)) + to);
}

void main()
{
    vec4 sum = vec4(0.0);
    float count = 0.0;
    ivec2 size = SOURCE_SIZE;
    // Every loop below runs a constant number of times, and the filter's weights
    // are constants: the compiler unrolls and folds them (a software rasteriser
    // runs a loop it cannot unroll several times slower).
    ivec2 factor = ivec2(1) << blockShift;
    ivec2 base = ivec2(gl_FragCoord.xy) * factor;
#ifdef CHROMA_FILTER
    // The sample sits at luma position base + chromaSite; the kernel, widened by
    // the block's size, weighs the pixels around it, edges mirrored. Taps where
    // the kernel ends weigh nothing: only those strictly inside.
    vec2 reach = vec2(blockShift.x == 0 ? 0 : RADIUS * factor.x,
                      blockShift.y == 0 ? 0 : RADIUS * factor.y);
    ivec2 inside = ivec2(notEqual(blockShift, ivec2(0)));
    ivec2 low = ivec2(floor(chromaSite - reach)) + inside;
    ivec2 high = ivec2(ceil(chromaSite + reach)) - inside;
    for (int y = low.y; y <= high.y; ++y) {
        float wy = blockShift.y == 0 ? 1.0 : kernel((float(y) - chromaSite.y) / float(factor.y));
        for (int x = low.x; x <= high.x; ++x) {
            float w = wy * (blockShift.x == 0 ? 1.0 : kernel((float(x) - chromaSite.x) / float(factor.x)));
            sum += w * SOURCE(mirror(base + ivec2(x, y), size));
            count += w;
        }
    }
#else
    // (Subsampled planes: the mean of every pixel the sample covers, fewer at the
    // edges of odd sizes.)
    for (int y = 0; y < factor.y; ++y) {
        for (int x = 0; x < factor.x; ++x) {
            ivec2 pixel = base + ivec2(x, y);
            bool inside = all(lessThan(pixel, size));
            sum += mix(vec4(0.0), SOURCE(min(pixel, size - 1)), bvec4(inside));
            count += float(inside);
        }
    }
#endif
    vec4 code;
#ifdef COLOUR
    vec4 value = sum / count;
#ifdef YUV
    value.rgb = toYuv * value.rgb;
#endif
    code = value * scale + offset;
#else
#ifndef INEXACT
    if (factor == ivec2(1) || count == 1.0) {
        code = vec4(requantize(sum.x, inOffset.x, numerator.x, denominator.x, outOffset.x),
                    requantize(sum.y, inOffset.y, numerator.y, denominator.y, outOffset.y),
                    requantize(sum.z, inOffset.z, numerator.z, denominator.z, outOffset.z),
                    requantize(sum.w, inOffset.w, numerator.w, denominator.w, outOffset.w));
    } else
#endif
    {
        code = (sum / count - vec4(inOffset)) * vec4(numerator) / vec4(denominator) + vec4(outOffset);
    }
#endif
#ifdef DITHER
    vec4 rounded = floor(code + bayerThreshold(ivec2(gl_FragCoord.xy)));
#else
    vec4 rounded = roundEven(code);
#endif
    uvec4 samples = uvec4(clamp(rounded, 0.0, maxCode)) << uint(sampleShift);
    fragColor = STORE_CHANNELS;
#ifdef SECOND_OUTPUT
    secondColor = SECOND_CHANNELS;
#endif
}
)";

std::string Defines(bool colour, bool yuv, bool composite, bool dither = false) {
    std::string text;
    text += colour ? "#define COLOUR 1\n" : "";
    text += dither ? "#define DITHER 1\n" : "";
    text += yuv ? "#define YUV 1\n" : "";
    text += composite ? "#define COMPOSITE 1\n" : "";
    return text;
}

void Replace(std::string& text, std::string_view what, const std::string& with) {
    text.replace(text.find(what), what.size(), with);
}

// A decoding program's text after its constants: defines, kernels, plane
// samplers and body; only the components in `lanes` (bit c: component c) are
// fetched, the others keep their defaults (a luma plane's program then holds no
// chroma filter for the compiler to find unused).
std::string DecodeText(const Layout& layout, bool colour, bool composite, int filter,
                       unsigned lanes = kAllLanes) {
    std::string body(kDecodeBody);
    std::string samplers;
    for (int plane = 0; plane < layout.planes; ++plane) {
        samplers += "uniform usampler2D plane" + std::to_string(plane) + ";\n";
    }
    std::string lines;
    for (int component = 0; component < kComponents; ++component) {
        const int plane = layout.plane[static_cast<std::size_t>(component)];
        if (plane < 0 || (lanes & (1u << component)) == 0) {
            continue;
        }
        const bool chroma = layout.yuv && (component == 1 || component == 2);
        const int channel = layout.channel[static_cast<std::size_t>(component)];
        if (chroma && filter > 0) {
            lines += std::string("codes.") + Lane(component) + " = filteredChroma(plane" +
                     std::to_string(plane) + ", " + std::to_string(channel) + ", pixel);\n    ";
            continue;
        }
        lines += std::string("codes.") + Lane(component) + " = float(texelFetch(plane" +
                 std::to_string(plane) + (chroma ? ", pixel >> chromaShift" : ", pixel") + ", 0)." +
                 Lane(channel) + " >> uint(sourceSampleShift));\n    ";
    }
    Replace(body, "FETCH_COMPONENTS", lines);
    const std::string kernels = filter > 0
                                    ? "#define KERNEL " + std::to_string(filter) +
                                          "\n#define DECODE_FILTER 1\n" + std::string(kKernels)
                                    : "";
    return Defines(colour, layout.yuv, composite) + kernels + samplers + body;
}

std::string DecodeKey(const Layout& layout, bool colour, bool composite, int filter,
                      unsigned lanes = kAllLanes) {
    return LayoutKey(layout) + (colour ? ".c" : ".s") + (composite ? "p" : "") +
           (filter > 0 ? "f" + std::to_string(filter) : "") +
           (lanes != kAllLanes ? "l" + std::to_string(lanes) : "");
}

// A decoding that writes the target's luma plane as well: that plane's
// constants (lumaToYuv, lumaScale, lumaOffset, lumaMaxCode, lumaShift).
struct LumaOutput {
    const GlslConstants* values = nullptr;
    bool dither = false;
};

// The source generator and cache name of a decoding program; `values` are the
// conversion's constants (see GlslConstants); with `mapping`, the decoded colour
// goes through it.
ShaderSources<VShader::Id, ShaderGenerator> DecodeSources(
    const Layout& layout, bool colour, bool composite, int filter, const GlslConstants& values,
    const ColorMappingFunction* mapping = nullptr, const LumaOutput& luma = {}) {
    const std::string constants = values.Text();
    const std::string lumaConstants = luma.values != nullptr ? luma.values->Text() : "";
    std::string name =
        "FrameConverter.decode." + DecodeKey(layout, colour, composite, filter) + "\n" + constants;
    if (mapping != nullptr) {
        name += "\n" + mapping->name;
    }
    if (luma.values != nullptr) {
        name += "\nluma:" + lumaConstants + (luma.dither ? "dithered" : "");
    }
    // The text only when the program is built, not for every frame that finds it
    // cached; `mapping` outlives the MakeShader call these sources are made for.
    return {std::move(name), VShader::Id::XYUV,
            [=, dither = luma.dither, withLuma = luma.values != nullptr] {
                std::string text = constants;
                if (mapping != nullptr) {
                    text += "#define MAP_COLOUR 1\n" + mapping->text + "\n";
                }
                if (withLuma) {
                    text += "#define LUMA_OUTPUT 1\n" + lumaConstants;
                    if (dither) {
                        text += "#define LUMA_DITHER 1\n" + std::string(kBayer);
                    }
                }
                return text + DecodeText(layout, colour, composite, filter);
            },
            __FILE__};
}

// Whether the plane's samples come out of the Y'CbCr matrix (not an alpha plane).
bool UsesMatrix(const Layout& layout, int plane) {
    const std::vector<int> components = PlaneComponents(layout, plane);
    return layout.yuv && std::any_of(components.begin(), components.end(),
                                     [](int component) { return component != kAlpha; });
}

// What varies between encoding programs besides the target layout.
struct EncodeVariant {
    bool colour = false;
    bool dither = false;
    bool inexact = false;  // the data between the passes is not whole codes
    int filter = 0;        // chroma kernel of this plane; 0: the box mean

    std::string Key() const {
        return std::string(colour ? ".c" : ".s") + (dither ? "d" : "") + (inexact ? "i" : "") +
               (filter > 0 ? "f" + std::to_string(filter) : "");
    }
};

// With a direct decode, the program decodes the source pixels it reads itself
// (DecodeText's decodePixel, of the components in `lanes`) instead of reading a
// decoded texture.
struct DirectDecode {
    bool on = false;
    Layout layout;
    int filter = 0;
    unsigned lanes = kAllLanes;

    std::string Key() const { return DecodeKey(layout, false, false, filter, lanes); }
    std::string Text() const { return DecodeText(layout, false, false, filter, lanes); }
};

// The samples a plane's texel holds, in channel order.
std::string StoredChannels(const Layout& layout, int plane) {
    const std::vector<int> components = PlaneComponents(layout, plane);
    std::string store = "uvec4(samples.";
    for (int component : components) {
        store += Lane(component);
    }
    for (std::size_t pad = components.size(); pad < 4; ++pad) {
        store += ", 0u";
    }
    return store + ")";
}

// The program that encodes `plane`, and with `secondPlane` (another plane of the
// same size and constants) that one too, into a second output.
ShaderSources<VShader::Id, ShaderGenerator> EncodeSources(const Layout& layout, int plane,
                                                          const EncodeVariant& variant,
                                                          const GlslConstants& values,
                                                          const DirectDecode& direct = {},
                                                          int secondPlane = -1) {
    const std::string store = StoredChannels(layout, plane);
    const std::string second = secondPlane >= 0 ? StoredChannels(layout, secondPlane) : "";
    std::string name = "FrameConverter.encode." + LayoutKey(layout) + "." + std::to_string(plane) +
                       (secondPlane >= 0 ? "+" + std::to_string(secondPlane) : "") + variant.Key() +
                       (direct.on ? ".from." + direct.Key() : "") + "\n" + values.Text();
    return {name, VShader::Id::XYUV,
            [store, second, variant, yuv = UsesMatrix(layout, plane) && !direct.on,
             constants = values.Text(), direct] {
                std::string body(kEncodeBody);
                Replace(body, "STORE_CHANNELS", store);
                std::string defines = Defines(variant.colour, yuv, false, variant.dither);
                if (!second.empty()) {
                    Replace(body, "SECOND_CHANNELS", second);
                    defines += "#define SECOND_OUTPUT 1\n";
                }
                if (variant.inexact || variant.dither) {
                    defines += "#define INEXACT 1\n";
                }
                if (variant.dither) {
                    defines += kBayer;
                }
                if (variant.filter > 0) {
                    defines += "#define KERNEL " + std::to_string(variant.filter) +
                               "\n#define CHROMA_FILTER 1\n" + std::string(kKernels);
                }
                if (direct.on) {
                    defines =
                        "#define DECODE_LIBRARY 1\n#define DIRECT 1\n" + direct.Text() + defines;
                }
                return constants + defines + body;
            },
            __FILE__};
}

// Cb and Cr in planes of their own (same size, same constants).
bool HasPlanarChroma(const Layout& layout) {
    return layout.yuv && layout.plane[1] == 1 && layout.plane[2] == 2 &&
           layout.planeChannels[1] == 1 && layout.planeChannels[2] == 1;
}

// Attaches `first` as the framebuffer's first colour output and `second`, where
// given, as its second for one draw; the second goes again with this object,
// also on exceptions, since every other pass draws into one.
class SecondOutput {
public:
    SecondOutput(Surface& surface, Texture& first, Texture* second) : second(second) {
        surface.Attach(first);
        if (second != nullptr) {
            Details::GetFramebufferFunctions().FramebufferTexture2D(
                GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, second->GetTexId(), 0);
            const GLenum both[] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
            glDrawBuffers(2, both);
        }
    }
    ~SecondOutput() {
        if (second != nullptr) {
            const GLenum one = GL_COLOR_ATTACHMENT0;
            glDrawBuffers(1, &one);
            Details::GetFramebufferFunctions().FramebufferTexture2D(
                GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, 0, 0);
        }
    }
    SecondOutput(const SecondOutput&) = delete;
    SecondOutput& operator=(const SecondOutput&) = delete;

    bool Both() const { return second != nullptr; }

private:
    Texture* second;
};

// Where the program's output `first` is, 0 or 1, when it and `second` take
// the first two locations; else -1.
int FirstOutputAt(const ShaderProgram& program, const char* first, const char* second) {
    const GLint a = glGetFragDataLocation(program.GetName(), first);
    const GLint b = glGetFragDataLocation(program.GetName(), second);
    return (a == 0 && b == 1) || (a == 1 && b == 0) ? a : -1;
}

// With `secondPlane`, the program `both()` makes, whose outputs `first` and
// `second` draw into `firstPlane` and `secondPlane`, where the linker puts them
// first (either way round); else the program `one()` makes, drawing into
// `firstPlane` alone. `output` holds the attachments for the draw.
template <class Both, class One>
ShaderProgram& OutputProgram(const ShaderStorage& storage, const Both& both, const One& one,
                             const char* first, const char* second, Texture& firstPlane,
                             Texture* secondPlane, std::optional<SecondOutput>& output) {
    if (secondPlane != nullptr) {
        ShaderProgram& program = storage.MakeShader(both());
        const int firstAt = FirstOutputAt(program, first, second);
        if (firstAt == 0) {
            output.emplace(storage.FBO(), firstPlane, secondPlane);
            return program;
        }
        if (firstAt == 1) {
            output.emplace(storage.FBO(), *secondPlane, &firstPlane);
            return program;
        }
    }
    output.emplace(storage.FBO(), firstPlane, nullptr);
    return storage.MakeShader(one());
}

void RequireGLThread() {
    if (!IsOpenGLThread()) {
        KAVRIN_THROW_HOST("Convert", Exception, "This is not OpenGL thread.");
    }
}

// Sizes GL cannot hold are refused before any texture is touched.
void CheckTextureSize(const Conf::FrameInfo& info) {
    const std::uint64_t maximum = RenderHub::GetInstance().GetMaximumTextureSize();
    if (static_cast<std::uint64_t>(info.width) > maximum ||
        static_cast<std::uint64_t>(info.height) > maximum) {
        KAVRIN_THROW_HOST("Convert", Exception,
                          "Frame size " + std::to_string(info.width) + "x" +
                              std::to_string(info.height) + " exceeds the maximum texture size " +
                              std::to_string(maximum));
    }
}

glm::ivec2 ChromaShift(const PixFmtDescription& description) {
    return {description.log2ChromaW, description.log2ChromaH};
}

using ChromaLocation = FrameConversionOptions::ChromaLocation;

// Where chroma sample 0 sits, in luma pixels, for a subsampling of 2^shift
// (ITU-T H.273 chroma locations; unspecified is MPEG-2's left).
glm::vec2 ChromaSite(ChromaLocation location, glm::ivec2 shift) {
    const glm::vec2 span = glm::vec2((1 << shift.x) - 1, (1 << shift.y) - 1);
    const bool centredAcross = location == ChromaLocation::Center ||
                               location == ChromaLocation::Top ||
                               location == ChromaLocation::Bottom;
    float down = span.y / 2.0f;
    if (location == ChromaLocation::TopLeft || location == ChromaLocation::Top) {
        down = 0.0f;
    } else if (location == ChromaLocation::BottomLeft || location == ChromaLocation::Bottom) {
        down = span.y;
    }
    return {centredAcross ? span.x / 2.0f : 0.0f, down};
}

// The light a resize weighs samples in: the source transfer's (H.273 codes), or
// the samples as they are.
ResampleLight ScaleLight(const Conf::ColorSpace& space, bool linear) {
    if (!linear) {
        return ResampleLight::AsIs;
    }
    switch (space.transfer) {
        case 4:
            return ResampleLight::Gamma22;
        case 5:
            return ResampleLight::Gamma28;
        case 8:
            return ResampleLight::AsIs;
        case 13:
            return ResampleLight::SRGB;
        case 16:
            return ResampleLight::PQ;
        case 18:
            return ResampleLight::HLG;
        default:
            return ResampleLight::Gamma24;
    }
}

ColorMapping MappingOf(const FrameConversionOptions& options) {
    ColorMapping mapping;
    mapping.toneCurve = options.toneCurve;
    mapping.toneMapHLG = true;
    mapping.compressGamut = options.gamut == FrameConversionOptions::Gamut::Compress;
    return mapping;
}

// Where a resize centres the kernels of target chroma sample k on the source
// chroma plane: its luma position k * 2^to + toSite, scaled by the luma ratio
// (pixel centres at index + 0.5), then in source chroma samples.
ResampleAxis ChromaAxis(int sourceLuma, int targetLuma, int fromShift, int toShift, float fromSite,
                        float toSite) {
    const double ratio = static_cast<double>(sourceLuma) / targetLuma;
    const double from = 1 << fromShift;
    return {(1 << toShift) * ratio / from, ((toSite + 0.5) * ratio - 0.5 - fromSite) / from + 0.5};
}

void DrawQuad(const ShaderStorage& storage, ShaderProgram& program) {
    storage.Quad().Activate();
    storage.Quad().Draw(program);
}

// How one conversion runs, decided once from its frames and options.
struct Route {
    Side source;
    Side target;
    Conf::FrameInfo info;
    Conf::FrameInfo targetInfo;
    bool resize = false;
    bool planar = false;  // each plane's code values resized on its own grid
    bool colour = false;  // float R'G'B' between the passes
    bool raw = false;     // container values travel untouched
    bool dither = false;
    bool composite = false;
    glm::ivec2 sourceShift{0};
    glm::ivec2 targetShift{0};
    glm::vec2 sourceSite{0.0f};
    glm::vec2 targetSite{0.0f};
    int decodeFilter = 0;
    int encodeFilter = 0;
    bool planarChroma = false;
    bool direct = false;  // encoded straight from the source planes
    bool copy = false;    // the same format, samples and grid: nothing to draw
};

Route Decide(const FrameConversionOptions& options, FrameConverter::Path samePath,
             const Proc::IDataVideo& sourceFrame, const Proc::IDataVideo& targetFrame) {
    Route r;
    r.info = sourceFrame.GetFrameInfo();
    r.targetInfo = targetFrame.GetFrameInfo();
    r.resize = r.info.width != r.targetInfo.width || r.info.height != r.targetInfo.height;
    // A resize without a colour change resizes the code values of each plane on
    // its own grid, as zimg does; with one, or in linear light, the float R'G'B'.
    r.planar = r.resize && samePath == FrameConverter::Path::Integer && !options.scaleInLinearLight;
    r.colour = (r.resize && !r.planar) || samePath == FrameConverter::Path::Colour;
    r.source = Resolve(*PixFmtDescription::Find(sourceFrame.GetPixelFormat()), options.sourceRange,
                       sourceFrame.GetColorSpace());
    r.target = Resolve(*PixFmtDescription::Find(targetFrame.GetPixelFormat()), options.targetRange,
                       targetFrame.GetColorSpace());
    r.raw = !r.colour && !r.resize && RawSamples(r.source, r.target);
    // Only where the target has fewer bits than the data: float colour, resized
    // samples, or a depth decrease.
    r.dither = options.dither == FrameConversionOptions::Dither::Ordered &&
               (r.colour || r.resize || r.target.depth < r.source.depth);
    r.composite = r.colour && options.alpha == FrameConversionOptions::Alpha::CompositeOnBlack &&
                  r.source.layout.Has(kAlpha) && !r.target.layout.Has(kAlpha);
    // Chroma kernels only where the chroma grid changes (layout or siting): the
    // same grid keeps its samples.
    r.sourceShift = r.source.layout.yuv ? ChromaShift(*r.source.description) : glm::ivec2(0);
    r.targetShift = r.target.layout.yuv ? ChromaShift(*r.target.description) : glm::ivec2(0);
    r.sourceSite = ChromaSite(options.sourceChromaLocation, r.sourceShift);
    r.targetSite = ChromaSite(options.targetChromaLocation, r.targetShift);
    const bool sameGrid = !r.resize && r.source.layout.yuv && r.target.layout.yuv &&
                          r.sourceShift == r.targetShift && r.sourceSite == r.targetSite;
    const int filter = sameGrid ? 0 : static_cast<int>(options.chromaFilter);
    r.decodeFilter = !r.planar && r.sourceShift != glm::ivec2(0) ? filter : 0;
    r.encodeFilter = !r.planar && r.targetShift != glm::ivec2(0) ? filter : 0;
    r.planarChroma = r.planar && r.source.layout.yuv;
    // Code values that go straight from pixel to pixel need no decoded texture:
    // the encoding reads the source planes itself, filtering the source's chroma
    // where its grid changes (each pixel's once: Cb and Cr are one program).
    // Not where the target's chroma is filtered too: every tap would filter again.
    r.direct = !r.colour && !r.resize && r.encodeFilter == 0;
    r.copy = r.direct && r.raw && r.source.description == r.target.description;
    return r;
}

// The decoding's constants, with chroma of pixel p at p >> shift.
void DecodeValues(const Route& r, GlslConstants& values, glm::ivec2 shift) {
    const Side& source = r.source;
    values.IVec2("chromaShift", source.layout.yuv ? shift : glm::ivec2(0))
        .Int("sourceSampleShift", r.raw ? 0 : source.shift)
        .Float("opaque",
               static_cast<float>(((1 << source.depth) - 1) << (r.raw ? source.shift : 0)));
    if (r.decodeFilter > 0) {
        values.Vec2("sourceChromaSite", r.sourceSite);
    }
    if (r.colour) {
        values.Vec4("offset", source.Offsets()).Vec4("scale", source.Scales());
        if (source.layout.yuv) {
            values.Mat3("toRgb", Details::YpPbPrToRgbUniform(source.matrix));
        }
    }
}

void UseSourcePlanes(const Route& r, const PooledTextures& planes, ShaderProgram& program) {
    for (int plane = 0; plane < r.source.layout.planes; ++plane) {
        // A direct encoding may not read every plane.
        const std::string name = "plane" + std::to_string(plane);
        if (program.UniformExists(name)) {
            planes[static_cast<std::size_t>(plane)].Use(plane);
            program.Uniform(name.c_str(), plane);
        }
    }
}

// Decodes into `into`, with `mapping` on the way; with `lumaPlane`, writes the
// target's luma plane too where the linker puts the two outputs first, and
// says whether it did.
bool Decode(const Route& r, const PooledTextures& planes, Texture& into, glm::ivec2 shift,
            const ShaderStorage& storage, const ColorMappingFunction* mapping = nullptr,
            Texture* lumaPlane = nullptr, const LumaOutput& luma = {}) {
    GlslConstants values;
    DecodeValues(r, values, shift);
    const auto sources = [&](const LumaOutput& output) {
        return DecodeSources(r.source.layout, r.colour, r.composite, r.decodeFilter, values,
                             mapping, output);
    };
    std::optional<SecondOutput> output;
    ShaderProgram& program = OutputProgram(
        storage, [&] { return sources(luma); }, [&] { return sources({}); }, "decodedColour",
        "lumaCode", into, lumaPlane, output);
    program.Use();
    UseSourcePlanes(r, planes, program);
    DrawQuad(storage, program);
    return output->Both();
}

// The constants of a luma plane written by the decoding (see kDecodeBody), as
// the encoding's for that plane.
GlslConstants LumaValues(const Route& r) {
    GlslConstants values;
    values.Mat3("lumaToYuv", Details::RgbToYpPbPrUniform(r.target.matrix))
        .Float("lumaScale", r.target.Scales().x)
        .Float("lumaOffset", r.target.Offsets().x)
        .Float("lumaMaxCode", static_cast<float>((1 << r.target.depth) - 1))
        .Int("lumaShift", r.target.shift);
    return values;
}

// A planar resize's chroma: decoded one texel per chroma sample, then resized
// on its own grid into a texture of `leases`, which it returns.
Texture& ResizeChroma(const Route& r, const FrameConversionOptions& options,
                      const PooledTextures& planes, PooledTextures& leases,
                      const ShaderStorage& storage) {
    const auto floatTexture = [&](int width, int height) -> Texture& {
        return leases.Take({width, height, GL_RGBA, GL_RGBA32F, static_cast<GLenum>(GL_FLOAT)});
    };
    const PixFmtDescription& from = *r.source.description;
    const PixFmtDescription& to = *r.target.description;
    Texture& samples =
        floatTexture(from.GetPlanWidth(r.info.width, 1), from.GetPlanHeight(r.info.height, 1));
    Decode(r, planes, samples, glm::ivec2(0), storage);
    Texture& resized = floatTexture(to.GetPlanWidth(r.targetInfo.width, 1),
                                    to.GetPlanHeight(r.targetInfo.height, 1));
    Resample(samples, resized, options.scaleFilter, ResampleLight::AsIs, storage,
             ChromaAxis(r.info.width, r.targetInfo.width, r.sourceShift.x, r.targetShift.x,
                        r.sourceSite.x, r.targetSite.x),
             ChromaAxis(r.info.height, r.targetInfo.height, r.sourceShift.y, r.targetShift.y,
                        r.sourceSite.y, r.targetSite.y));
    return resized;
}

// The encoding's constants for one target plane.
GlslConstants EncodeValues(const Route& r, int plane, const EncodeVariant& variant) {
    const Side& source = r.source;
    const Side& target = r.target;
    const bool chromaPlane = IsChromaPlane(target.layout, plane);
    GlslConstants values;
    values.IVec2("blockShift", chromaPlane && !r.planar ? r.targetShift : glm::ivec2(0))
        .Int("sampleShift", r.raw ? 0 : target.shift);
    if (variant.filter > 0) {
        values.Vec2("chromaSite", r.targetSite);
    }
    // Raw samples keep whatever their containers hold.
    const int containerDepth = !r.raw ? target.depth : target.depth > 8 ? 16 : 8;
    values.Float("maxCode", static_cast<float>((1 << containerDepth) - 1));
    if (r.colour) {
        values.Vec4("offset", target.Offsets()).Vec4("scale", target.Scales());
        if (UsesMatrix(target.layout, plane)) {
            values.Mat3("toYuv", Details::RgbToYpPbPrUniform(target.matrix));
        }
        return values;
    }
    glm::ivec4 inOffset(0), numerator(1), denominator(1), outOffset(0);
    for (int component = 0; component < kComponents && !r.raw; ++component) {
        // A missing source alpha arrives as the opaque code, full range.
        const Quantisation from = source.Of(component);
        const Quantisation to = target.Of(component);
        const int divisor = std::gcd(to.scale, from.scale);
        inOffset[component] = from.offset;
        numerator[component] = to.scale / divisor;
        denominator[component] = from.scale / divisor;
        outOffset[component] = to.offset;
    }
    values.IVec4("inOffset", inOffset)
        .IVec4("numerator", numerator)
        .IVec4("denominator", denominator)
        .IVec4("outOffset", outOffset);
    return values;
}

}  // namespace

struct FrameConverter::MappingFunction {
    Conf::ColorSpace source;
    Conf::ColorSpace target;
    ColorMappingFunction function;
};

FrameConverter::FrameConverter(const FrameConversionOptions& options) : options(options) {}

FrameConverter::~FrameConverter() = default;

FrameConverter::Path FrameConverter::Plan(PixFmt sourceFormat, const Conf::ColorSpace& sourceSpace,
                                          PixFmt targetFormat,
                                          const Conf::ColorSpace& targetSpace) const {
    const Side source =
        Resolve(Supported(sourceFormat, "source"), options.sourceRange, sourceSpace);
    const Side target =
        Resolve(Supported(targetFormat, "target"), options.targetRange, targetSpace);
    const bool sameMatrix = source.layout.yuv == target.layout.yuv &&
                            (!source.layout.yuv || source.matrix == target.matrix);
    const bool composite = options.alpha == FrameConversionOptions::Alpha::CompositeOnBlack &&
                           source.layout.Has(kAlpha) && !target.layout.Has(kAlpha);
    if (sameMatrix && !composite && !NeedsColourSpacePass(sourceSpace, targetSpace, options)) {
        return Path::Integer;
    }
    return Path::Colour;
}

void FrameConverter::Convert(const boost::intrusive_ptr<Proc::IDataVideo>& sourceFrame,
                             const boost::intrusive_ptr<Proc::IDataVideo>& targetFrame,
                             const ShaderStorage& storage) {
    RequireGLThread();
    if (!sourceFrame || !targetFrame) {
        KAVRIN_THROW_HOST("Convert", Exception,
                          sourceFrame ? "Target frame is null" : "Source frame is null");
    }
    const Conf::ColorSpace& sourceSpace = sourceFrame->GetColorSpace();
    const Conf::ColorSpace& targetSpace = targetFrame->GetColorSpace();
    const Route r = Decide(options,
                           Plan(sourceFrame->GetPixelFormat(), sourceSpace,
                                targetFrame->GetPixelFormat(), targetSpace),
                           *sourceFrame, *targetFrame);

    // Refuses sizes GL cannot hold before any texture is touched.
    if (r.resize) {
        if (!resized) {
            resized = Frame::Create();
        }
        resized->Allocate(sourceSpace, PixFmt::RGBAF32LE,
                          {r.targetInfo.width, r.targetInfo.height, 0, 0});
    }
    if (r.direct) {
        CheckTextureSize(r.info);
    } else {
        if (!decoded) {
            decoded = Frame::Create();
        }
        decoded->Allocate(sourceSpace, PixFmt::RGBAF32LE, {r.info.width, r.info.height, 0, 0});
    }

    PooledTextures sourcePlanes;
    for (int plane = 0; plane < r.source.layout.planes; ++plane) {
        Texture& texture =
            sourcePlanes.Take(PlaneParams(*r.source.description, r.source.layout, plane, r.info));
        texture.Tweak(GL_CLAMP_TO_EDGE, GL_NEAREST);
        UploadPlane(sourceFrame->GetPlaneConst(static_cast<unsigned char>(plane)), texture,
                    storage);
    }
    if (r.copy) {
        // The samples come back as they went in, read from the planes they went into.
        for (int plane = 0; plane < r.target.layout.planes; ++plane) {
            DownloadPlane(targetFrame->GetPlane(static_cast<unsigned char>(plane)),
                          sourcePlanes[static_cast<std::size_t>(plane)], storage);
        }
        return;
    }
    // Without a resize between them, the decoding maps the colour on its way: a
    // float frame less written and read again, the dearest part of a pass on
    // a software rasteriser.
    const bool mapping = r.colour && NeedsColourSpacePass(sourceSpace, targetSpace, options);
    const ColorMappingFunction* decodeMapping = nullptr;
    if (mapping && !r.resize) {
        // Built once for a stream of frames in the same colour spaces.
        if (!mappingFunction || mappingFunction->source != sourceSpace ||
            mappingFunction->target != targetSpace) {
            mappingFunction = std::make_unique<MappingFunction>(MappingFunction{
                sourceSpace, targetSpace,
                MakeColorMappingFunction(ConversionInfo(sourceSpace, targetSpace, options),
                                         MappingOf(options))});
        }
        decodeMapping = &mappingFunction->function;
    }
    PooledTextures targetPlanes;
    for (int plane = 0; plane < r.target.layout.planes; ++plane) {
        targetPlanes.Take(PlaneParams(*r.target.description, r.target.layout, plane, r.targetInfo));
    }
    // A Y'CbCr target's luma plane comes out of the decoding where nothing is
    // resized: a pass over every pixel less.
    bool lumaDecoded = false;
    if (!r.direct) {
        const bool lumaInDecode = r.colour && !r.resize && r.target.layout.yuv &&
                                  r.target.layout.plane[0] == 0 &&
                                  r.target.layout.planeChannels[0] == 1;
        const GlslConstants lumaValues = lumaInDecode ? LumaValues(r) : GlslConstants{};
        lumaDecoded = Decode(r, sourcePlanes, *decoded->GetFirstTexture(), r.sourceShift, storage,
                             decodeMapping, lumaInDecode ? &targetPlanes[0] : nullptr,
                             {&lumaValues, r.dither});
    }
    PooledTextures chromaLeases;
    Texture* resizedChroma =
        r.planarChroma ? &ResizeChroma(r, options, sourcePlanes, chromaLeases, storage) : nullptr;

    boost::intrusive_ptr<Frame> encodeFrom = decoded;
    if (r.resize) {
        Resample(*decoded->GetFirstTexture(), *resized->GetFirstTexture(), options.scaleFilter,
                 ScaleLight(sourceSpace, options.scaleInLinearLight), storage);
        encodeFrom = resized;
    }
    if (mapping && !decodeMapping) {
        if (!mapped) {
            mapped = Frame::Create();
        }
        mapped->Allocate(targetSpace, PixFmt::RGBAF32LE,
                         {r.targetInfo.width, r.targetInfo.height, 0, 0});
        storage.FBO().Attach(*mapped->GetFirstTexture());
        ConvertColorSpace(encodeFrom, ConversionInfo(sourceSpace, targetSpace, options),
                          MappingOf(options), storage);
        encodeFrom = mapped;
    }

    for (int plane = lumaDecoded ? 1 : 0; plane < r.target.layout.planes; ++plane) {
        const bool chromaPlane = IsChromaPlane(r.target.layout, plane);
        EncodeVariant variant;
        variant.colour = r.colour;
        variant.dither = r.dither;
        variant.filter = chromaPlane ? r.encodeFilter : 0;
        variant.inexact = r.resize || (chromaPlane && (r.decodeFilter > 0 || r.encodeFilter > 0));
        GlslConstants values = EncodeValues(r, plane, variant);
        if (r.direct) {
            DecodeValues(r, values, r.sourceShift);
        }
        // A direct encoding decodes only the components of the planes it writes.
        const auto directDecode = [&](int secondPlane) -> DirectDecode {
            if (!r.direct) {
                return {};
            }
            unsigned lanes = 0;
            for (int written : {plane, secondPlane}) {
                if (written < 0) {
                    continue;
                }
                for (int component : PlaneComponents(r.target.layout, written)) {
                    if (component >= 0) {
                        lanes |= 1u << component;
                    }
                }
            }
            return {true, r.source.layout, r.decodeFilter, lanes};
        };
        // Planar chroma: both planes from one program, a pass and the reads of
        // the samples they share saved, where the linker puts its two outputs
        // first; else one program each.
        const bool chromaPair = plane == 1 && HasPlanarChroma(r.target.layout);
        std::optional<SecondOutput> output;
        ShaderProgram& program = OutputProgram(
            storage,
            [&] {
                return EncodeSources(r.target.layout, plane, variant, values, directDecode(2), 2);
            },
            [&] {
                return EncodeSources(r.target.layout, plane, variant, values, directDecode(-1));
            },
            "fragColor", "secondColor", targetPlanes[static_cast<std::size_t>(plane)],
            chromaPair ? &targetPlanes[2] : nullptr, output);
        program.Use();
        if (r.direct) {
            UseSourcePlanes(r, sourcePlanes, program);
        } else {
            (chromaPlane && resizedChroma != nullptr ? *resizedChroma
                                                     : *encodeFrom->GetFirstTexture())
                .Use(0);
            program.Uniform("src", 0);
        }
        DrawQuad(storage, program);
        plane += output->Both() ? 1 : 0;
    }
    for (int plane = 0; plane < r.target.layout.planes; ++plane) {
        DownloadPlane(targetFrame->GetPlane(static_cast<unsigned char>(plane)),
                      targetPlanes[static_cast<std::size_t>(plane)], storage);
    }
}

}  // namespace Kavrin::Ogl
