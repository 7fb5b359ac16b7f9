#pragma once

#include <GL/glew.h>

#include <cstdint>
#include <vector>

namespace Kavrin::Ogl {

class ShaderStorage;
class Texture;

// Separable resampling kernels: bilinear (tent), bicubic (Catmull-Rom, B = 0,
// C = 1/2), Mitchell-Netravali (B = C = 1/3) and Lanczos with 3 lobes.
enum class ResampleKernel : std::int32_t { Bilinear = 1, Bicubic = 2, Mitchell = 3, Lanczos3 = 4 };

// Whether the kernels weigh the samples as they are or in linear light: each
// tap decoded by the transfer's EOTF (the inverse OETF for HLG), the sum encoded
// again. Signs are kept, so overshoot survives the round trip.
enum class ResampleLight : std::int32_t {
    AsIs = 0,
    Gamma24 = 1,  // BT.709, BT.601, BT.2020 (BT.1886 display)
    SRGB = 2,
    Gamma22 = 3,
    Gamma28 = 4,
    PQ = 5,
    HLG = 6,
};

// Where one axis's output samples sit on the input: output sample i's kernel is
// centred at i * step + start, input sample j covering [j, j + 1). The default
// (step 0) spans both axes over the same extent: step = input / output size,
// start = step / 2. Subsampled chroma uses its own, to keep its siting.
struct ResampleAxis {
    double step = 0.0;
    double start = 0.0;
};

// Resampled size and `source`'s float texels into `target` (RGBA32F, any size)
// in two passes, columns then rows, through a pooled intermediate. Kernels are
// centred as `x` and `y` say and widened by the step when shrinking, so nothing
// aliases; weights are normalised, and taps past an edge mirror back into the
// picture (the last sample repeated), as zimg does. Alpha is resampled as it
// is. GL thread only; draws with `storage`'s quad and framebuffer.
void Resample(const Texture& source, Texture& target, ResampleKernel kernel, ResampleLight light,
              const ShaderStorage& storage, ResampleAxis x = {}, ResampleAxis y = {});

namespace Details {

// The kernel's value at distance x (in its own units), and how far it reaches.
double KernelWeight(ResampleKernel kernel, double x);
int KernelRadius(ResampleKernel kernel);

// One axis's filter: for output sample i, taps weights of the consecutive input
// samples from first[i] on (edges folded in, rows padded with zeros).
struct AxisFilter {
    int taps = 0;
    std::vector<int> first;
    std::vector<float> weights;  // row i at [i * taps]
};
AxisFilter ComputeAxisFilter(ResampleKernel kernel, int sourceSize, int targetSize,
                             ResampleAxis axis = {});

}  // namespace Details

}  // namespace Kavrin::Ogl
