#include "YUVColorConverter.h"

#include <gtest/gtest.h>

#include "ColourReference.h"

namespace {

using namespace Kavrin::Ogl;
namespace Ref = Kavrin::Test::Ref;

const Ref::Luma k709 = Ref::LumaOf(Ref::YCbCrMatrix::BT709);
const double kKr = k709.kr;
const double kKb = k709.kb;

void ExpectNear(const glm::vec3& got, double x, double y, double z, double tolerance) {
    EXPECT_NEAR(got.x, x, tolerance);
    EXPECT_NEAR(got.y, y, tolerance);
    EXPECT_NEAR(got.z, z, tolerance);
}

TEST(BT709HelpersTest, DecodeMatchesTheClosedForm) {
    const double y = 0.6, pb = -0.2, pr = 0.3;
    const glm::vec3 rgb = BT709YpPbPrToRgb({y, pb, pr});
    const glm::dvec3 want = Ref::YpPbPrToRgb(k709, y, pb, pr);
    ExpectNear(rgb, want.r, want.g, want.b, 1e-6);                                        // float
    ExpectNear(BT709YpCbCrToRgb({y, pb + 0.5, pr + 0.5}), want.r, want.g, want.b, 1e-6);  // float
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
