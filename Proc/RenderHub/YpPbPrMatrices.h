#pragma once

#include <glm/glm.hpp>

#include "Kavrin/Conf/ColorUtils.h"

namespace Kavrin::Ogl {

// BT.709 in normalised units: Y' in [0, 1]; Pb, Pr in [-0.5, 0.5]; Cb, Cr the
// same centred on 0.5. Pure maths, any thread.

// M with R'G'B' = (Y', Pb, Pr) * M (row vector times matrix, as glm's v * M).
const glm::mat3& BT709YpPbPrToRgbMatrix();
// The inverse of BT709YpPbPrToRgbMatrix().
const glm::mat3& RgbToBT709YpPbPrMatrix();
// (0, 0.5, 0.5): from Y'PbPr to Y'CbCr.
glm::vec3 YpPbPrBias();

glm::vec3 BT709YpPbPrToRgb(const glm::vec3& ypbpr);
glm::vec3 BT709YpCbCrToRgb(const glm::vec3& ycbcr);
glm::vec3 RgbToBT709YpPbPr(const glm::vec3& rgb);
glm::vec3 RgbToBT709YpCbCr(const glm::vec3& rgb);

namespace Details {
// The host matrices as GLSL mat3 uniforms, so that conversionMatrix * v gives the
// documented sums.
glm::mat3 YpPbPrToRgbUniform(Conf::YCbCrMatrix matrix);
glm::mat3 RgbToYpPbPrUniform(Conf::YCbCrMatrix matrix);
}  // namespace Details

}  // namespace Kavrin::Ogl
