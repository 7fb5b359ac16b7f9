#include "YpPbPrMatrices.h"

namespace Kavrin::Ogl {

namespace Details {

glm::mat3 YpPbPrToRgbUniform(Conf::YCbCrMatrix matrix) {
    const auto c = Conf::GetYpPbPrToRGBMatrix(matrix);
    // Columns of (Y, Pb, Pr): rows R = (c0, 0, c1), G = (c0, c3, c2), B = (c0, c4, 0).
    return glm::mat3(c[0], c[0], c[0], 0.0f, c[3], c[4], c[1], c[2], 0.0f);
}

glm::mat3 RgbToYpPbPrUniform(Conf::YCbCrMatrix matrix) {
    const auto d = Conf::GetRGBToYpPbPrMatrix(matrix);
    // Columns of (R, G, B): rows Y = (d0, d1, d2), Pb = (d3, d4, d5), Pr = (d5, d6, d7).
    return glm::mat3(d[0], d[3], d[5], d[1], d[4], d[6], d[2], d[5], d[7]);
}

}  // namespace Details

const glm::mat3& BT709YpPbPrToRgbMatrix() {
    static const glm::mat3 matrix = [] {
        const auto c = Conf::GetYpPbPrToRGBMatrix(Conf::YCbCrMatrix::BT709);
        // Columns: R = c0 Y + c1 Pr, G = c0 Y + c3 Pb + c2 Pr, B = c0 Y + c4 Pb.
        return glm::mat3(c[0], 0.0f, c[1], c[0], c[3], c[2], c[0], c[4], 0.0f);
    }();
    return matrix;
}

const glm::mat3& RgbToBT709YpPbPrMatrix() {
    static const glm::mat3 inverse = glm::inverse(BT709YpPbPrToRgbMatrix());
    return inverse;
}

glm::vec3 YpPbPrBias() { return glm::vec3(0.0f, 0.5f, 0.5f); }

glm::vec3 BT709YpPbPrToRgb(const glm::vec3& ypbpr) { return ypbpr * BT709YpPbPrToRgbMatrix(); }

glm::vec3 BT709YpCbCrToRgb(const glm::vec3& ycbcr) {
    return (ycbcr - YpPbPrBias()) * BT709YpPbPrToRgbMatrix();
}

glm::vec3 RgbToBT709YpPbPr(const glm::vec3& rgb) { return rgb * RgbToBT709YpPbPrMatrix(); }

glm::vec3 RgbToBT709YpCbCr(const glm::vec3& rgb) {
    return rgb * RgbToBT709YpPbPrMatrix() + YpPbPrBias();
}

}  // namespace Kavrin::Ogl
