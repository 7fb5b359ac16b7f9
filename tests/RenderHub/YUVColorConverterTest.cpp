#include "YUVColorConverter.h"

#include <gtest/gtest.h>

namespace {

using namespace Kavrin::Ogl;

constexpr double kKr = 0.2126;
constexpr double kKb = 0.0722;
constexpr double kKg = 1.0 - kKr - kKb;

void ExpectNear(const glm::vec3& got, double x, double y, double z, double tolerance) {
    EXPECT_NEAR(got.x, x, tolerance);
    EXPECT_NEAR(got.y, y, tolerance);
    EXPECT_NEAR(got.z, z, tolerance);
}

TEST(BT709HelpersTest, DecodeMatchesTheClosedForm) {
    const double y = 0.6, pb = -0.2, pr = 0.3;
    const glm::vec3 rgb = BT709YpPbPrToRgb({y, pb, pr});
    // R = Y + 2(1-Kr)Pr, B = Y + 2(1-Kb)Pb, G from Y = Kr R + Kg G + Kb B.
    const double r = y + 2 * (1 - kKr) * pr;
    const double b = y + 2 * (1 - kKb) * pb;
    const double g = (y - kKr * r - kKb * b) / kKg;
    ExpectNear(rgb, r, g, b, 1e-6);                                        // float
    ExpectNear(BT709YpCbCrToRgb({y, pb + 0.5, pr + 0.5}), r, g, b, 1e-6);  // float
}

TEST(BT709HelpersTest, EncodeOfWhiteBlackAndPrimaries) {
    ExpectNear(RgbToBT709YpCbCr({1, 1, 1}), 1.0, 0.5, 0.5, 1e-6);                     // float
    ExpectNear(RgbToBT709YpCbCr({0, 0, 0}), 0.0, 0.5, 0.5, 1e-6);                     // float
    ExpectNear(RgbToBT709YpPbPr({1, 0, 0}), kKr, -kKr / (2 * (1 - kKb)), 0.5, 1e-6);  // float
    ExpectNear(RgbToBT709YpPbPr({0, 0, 1}), kKb, 0.5, -kKb / (2 * (1 - kKr)), 1e-6);  // float
    ExpectNear(YpPbPrBias(), 0.0, 0.5, 0.5, 0.0);
}

TEST(BT709HelpersTest, RoundTripAndInverseMatrix) {
    for (const glm::vec3 c : {glm::vec3(0.1f, 0.5f, 0.9f), glm::vec3(1, 0, 1), glm::vec3(0.25f)}) {
        const glm::vec3 back = BT709YpCbCrToRgb(RgbToBT709YpCbCr(c));
        ExpectNear(back, c.x, c.y, c.z, 1e-6);  // float
    }
    const glm::mat3 identity = BT709YpPbPrToRgbMatrix() * RgbToBT709YpPbPrMatrix();
    for (int col = 0; col < 3; ++col) {
        for (int row = 0; row < 3; ++row) {
            EXPECT_NEAR(identity[col][row], col == row ? 1.0 : 0.0, 1e-6);  // float
        }
    }
}

}  // namespace
