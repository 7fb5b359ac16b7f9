#include <GL/glew.h>

#include "Resampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <string_view>

#include "Kavrin/Core/Exception.h"

#include "Mesh.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

// Mitchell and Netravali's cubic family (SIGGRAPH 1988), as its two pieces.
double Cubic(double x, double b, double c) {
    x = std::abs(x);
    if (x < 1.0) {
        return ((12.0 - 9.0 * b - 6.0 * c) * x * x * x + (-18.0 + 12.0 * b + 6.0 * c) * x * x +
                (6.0 - 2.0 * b)) /
               6.0;
    }
    if (x < 2.0) {
        return ((-b - 6.0 * c) * x * x * x + (6.0 * b + 30.0 * c) * x * x +
                (-12.0 * b - 48.0 * c) * x + (8.0 * b + 24.0 * c)) /
               6.0;
    }
    return 0.0;
}

double Sinc(double x) {
    if (x == 0.0) {
        return 1.0;
    }
    const double px = std::numbers::pi * x;
    return std::sin(px) / px;
}

// Input index of a tap, mirrored at the edges with the edge sample repeated
// (-1 -> 0, n -> n - 1), and clamped for pictures narrower than the kernel.
int Mirror(int index, int size) {
    if (index < 0) {
        index = -index - 1;
    } else if (index >= size) {
        index = 2 * size - index - 1;
    }
    return std::clamp(index, 0, size - 1);
}

// One axis of the separable filter: AXIS 0 runs along rows (x), 1 along columns.
// Row i of `weights` holds the first input index, then the weights.
constexpr std::string_view kResampleBody = R"(uniform sampler2D src;
uniform sampler2D weights;
#ifdef TAPS
const int taps = TAPS;
#else
uniform int taps;
#endif

#if LIGHT == 5
const float PQ_M1 = 2610.0 / 16384.0;
const float PQ_M2 = 2523.0 / 4096.0 * 128.0;
const float PQ_C1 = 3424.0 / 4096.0;
const float PQ_C2 = 2413.0 / 4096.0 * 32.0;
const float PQ_C3 = 2392.0 / 4096.0 * 32.0;
#elif LIGHT == 6
const float HLG_A = 0.17883277;
const float HLG_B = 0.28466892;
const float HLG_C = 0.55991073;
#endif

float decode(float v)
{
#if LIGHT == 1
    return pow(v, 2.4);
#elif LIGHT == 2
    return v <= 0.04045 ? v / 12.92 : pow((v + 0.055) / 1.055, 2.4);
#elif LIGHT == 3
    return pow(v, 2.2);
#elif LIGHT == 4
    return pow(v, 2.8);
#elif LIGHT == 5
    float p = pow(v, 1.0 / PQ_M2);
    return pow(max(p - PQ_C1, 0.0) / (PQ_C2 - PQ_C3 * p), 1.0 / PQ_M1);
#elif LIGHT == 6
    return v <= 0.5 ? v * v / 3.0 : (exp((v - HLG_C) / HLG_A) + HLG_B) / 12.0;
#else
    return v;
#endif
}

float encode(float l)
{
#if LIGHT == 1
    return pow(l, 1.0 / 2.4);
#elif LIGHT == 2
    return l <= 0.0031308 ? 12.92 * l : 1.055 * pow(l, 1.0 / 2.4) - 0.055;
#elif LIGHT == 3
    return pow(l, 1.0 / 2.2);
#elif LIGHT == 4
    return pow(l, 1.0 / 2.8);
#elif LIGHT == 5
    float p = pow(l, PQ_M1);
    return pow((PQ_C1 + PQ_C2 * p) / (1.0 + PQ_C3 * p), PQ_M2);
#elif LIGHT == 6
    return l <= 1.0 / 12.0 ? sqrt(3.0 * l) : HLG_A * log(12.0 * l - HLG_B) + HLG_C;
#else
    return l;
#endif
}

vec3 signedDecode(vec3 v)
{
    return sign(v) * vec3(decode(abs(v.r)), decode(abs(v.g)), decode(abs(v.b)));
}

vec3 signedEncode(vec3 l)
{
    return sign(l) * vec3(encode(abs(l.r)), encode(abs(l.g)), encode(abs(l.b)));
}

void main()
{
    ivec2 pixel = ivec2(gl_FragCoord.xy);
    int row = pixel[AXIS];
    int first = int(texelFetch(weights, ivec2(0, row), 0).r);
    int last = textureSize(src, 0)[AXIS] - 1;
    vec4 sum = vec4(0.0);
    for (int k = 0; k < taps; ++k) {
        ivec2 at = pixel;
        at[AXIS] = min(first + k, last);
        vec4 texel = texelFetch(src, at, 0);
#if LIGHT != 0 && AXIS == 0
        texel.rgb = signedDecode(texel.rgb);
#endif
        sum += texelFetch(weights, ivec2(k + 1, row), 0).r * texel;
    }
#if LIGHT != 0 && AXIS == 1
    sum.rgb = signedEncode(sum.rgb);
#endif
    gl_FragColor = sum;
}
)";

// Kernels up to this many taps get a program each with the count as a constant,
// whose loop the compiler unrolls (a software rasteriser runs a loop it cannot
// unroll much slower); wider ones, from large reductions, share one that loops.
constexpr int kUnrolledTaps = 16;

ShaderSources<VShader::Id, ShaderGenerator> AxisSources(int axis, ResampleLight light, int taps) {
    const int lightId = static_cast<int>(light);
    const std::string unrolled =
        taps <= kUnrolledTaps ? "#define TAPS " + std::to_string(taps) + "\n" : "";
    return {"Resampler." + std::to_string(axis) + "." + std::to_string(lightId) + "." +
                (unrolled.empty() ? "n" : std::to_string(taps)),
            VShader::Id::XYUV,
            [axis, lightId, unrolled] {
                return "#define AXIS " + std::to_string(axis) + "\n#define LIGHT " +
                       std::to_string(lightId) + "\n" + unrolled + std::string(kResampleBody);
            },
            __FILE__};
}

// Draws one axis of `source` into the attached target through `filter`.
void DrawAxis(int axis, const Texture& source, const Details::AxisFilter& filter,
              ResampleLight light, PooledTextures& leases, const ShaderStorage& storage) {
    const auto outputs = static_cast<std::int32_t>(filter.first.size());
    std::vector<float> table(static_cast<std::size_t>(outputs) *
                             static_cast<std::size_t>(filter.taps + 1));
    for (std::int32_t i = 0; i < outputs; ++i) {
        const auto row = static_cast<std::size_t>(i) * static_cast<std::size_t>(filter.taps + 1);
        table[row] = static_cast<float>(filter.first[static_cast<std::size_t>(i)]);
        std::copy_n(filter.weights.begin() + static_cast<std::ptrdiff_t>(i) * filter.taps,
                    filter.taps, table.begin() + static_cast<std::ptrdiff_t>(row) + 1);
    }
    GLint maximum = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maximum);
    if (filter.taps + 1 > maximum) {
        // Only shrinking by thousands reaches it: the kernel widens with the ratio.
        KAVRIN_THROW_HOST("Resample", Exception,
                          "Cannot resize by this much in one step: the kernel needs " +
                              std::to_string(filter.taps) + " taps, more than the " +
                              std::to_string(maximum) + " a texture row holds");
    }
    Texture& weights = leases.Take({filter.taps + 1, outputs, GL_RED, GL_R32F, GL_FLOAT});
    weights.Tweak(GL_CLAMP_TO_EDGE, GL_NEAREST);
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    weights.Update(0, table.data());

    // Light decoded in the first pass stays linear until the second encodes it.
    ShaderProgram& program = storage.MakeShader(AxisSources(axis, light, filter.taps));
    program.Use();
    source.Use(0);
    weights.Use(1);
    program.Uniform("src", 0);
    program.Uniform("weights", 1);
    if (filter.taps > kUnrolledTaps) {
        program.Uniform("taps", filter.taps);
    }
    storage.Quad().Activate();
    storage.Quad().Draw(program);
}

}  // namespace

namespace Details {

int KernelRadius(ResampleKernel kernel) {
    switch (kernel) {
        case ResampleKernel::Bilinear:
            return 1;
        case ResampleKernel::Lanczos3:
            return 3;
        case ResampleKernel::Bicubic:
        case ResampleKernel::Mitchell:
            break;
    }
    return 2;
}

double KernelWeight(ResampleKernel kernel, double x) {
    switch (kernel) {
        case ResampleKernel::Bilinear:
            return std::max(1.0 - std::abs(x), 0.0);
        case ResampleKernel::Bicubic:
            return Cubic(x, 0.0, 0.5);
        case ResampleKernel::Mitchell:
            return Cubic(x, 1.0 / 3.0, 1.0 / 3.0);
        case ResampleKernel::Lanczos3:
            return std::abs(x) < 3.0 ? Sinc(x) * Sinc(x / 3.0) : 0.0;
    }
    return 0.0;
}

AxisFilter ComputeAxisFilter(ResampleKernel kernel, int sourceSize, int targetSize,
                             ResampleAxis axis) {
    if (sourceSize <= 0 || targetSize <= 0) {
        KAVRIN_THROW_HOST("Resample", Exception,
                          "Cannot resample " + std::to_string(sourceSize) + " samples into " +
                              std::to_string(targetSize));
    }
    if (axis.step <= 0.0) {
        axis.step = static_cast<double>(sourceSize) / targetSize;
        axis.start = axis.step / 2.0;
    }
    // Shrinking widens the kernel by the step: its cut-off follows the output.
    const double step = std::min(1.0 / axis.step, 1.0);
    const double support = KernelRadius(kernel) / step;

    std::vector<std::vector<double>> rows(static_cast<std::size_t>(targetSize));
    AxisFilter filter;
    filter.first.resize(static_cast<std::size_t>(targetSize));
    for (int i = 0; i < targetSize; ++i) {
        const double centre = i * axis.step + axis.start;
        const int low = static_cast<int>(std::ceil(centre - 0.5 - support));
        const int high = static_cast<int>(std::floor(centre - 0.5 + support));
        double total = 0.0;
        for (int j = low; j <= high; ++j) {
            total += KernelWeight(kernel, (j + 0.5 - centre) * step);
        }
        int first = sourceSize;
        int last = -1;
        for (int j = low; j <= high; ++j) {
            if (KernelWeight(kernel, (j + 0.5 - centre) * step) != 0.0) {
                first = std::min(first, Mirror(j, sourceSize));
                last = std::max(last, Mirror(j, sourceSize));
            }
        }
        std::vector<double>& row = rows[static_cast<std::size_t>(i)];
        row.assign(static_cast<std::size_t>(last - first + 1), 0.0);
        for (int j = low; j <= high; ++j) {
            const double weight = KernelWeight(kernel, (j + 0.5 - centre) * step);
            if (weight != 0.0) {
                row[static_cast<std::size_t>(Mirror(j, sourceSize) - first)] += weight / total;
            }
        }
        filter.first[static_cast<std::size_t>(i)] = first;
        filter.taps = std::max(filter.taps, static_cast<int>(row.size()));
    }
    filter.weights.assign(
        static_cast<std::size_t>(targetSize) * static_cast<std::size_t>(filter.taps), 0.0f);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) {
            filter.weights[i * static_cast<std::size_t>(filter.taps) + j] =
                static_cast<float>(rows[i][j]);
        }
    }
    return filter;
}

}  // namespace Details

void Resample(const Texture& source, Texture& target, ResampleKernel kernel, ResampleLight light,
              const ShaderStorage& storage, ResampleAxis x, ResampleAxis y) {
    const Texture::Params& from = source.GetTexParams();
    const Texture::Params& to = target.GetTexParams();
    PooledTextures leases;
    Texture& columns =
        leases.Take({to.width, from.height, GL_RGBA, GL_RGBA32F, static_cast<GLenum>(GL_FLOAT)});
    storage.FBO().Attach(columns);
    DrawAxis(0, source, Details::ComputeAxisFilter(kernel, from.width, to.width, x), light, leases,
             storage);
    storage.FBO().Attach(target);
    DrawAxis(1, columns, Details::ComputeAxisFilter(kernel, from.height, to.height, y), light,
             leases, storage);
}

}  // namespace Kavrin::Ogl
