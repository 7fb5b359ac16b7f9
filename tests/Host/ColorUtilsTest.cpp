#include "Kavrin/Conf/ColorUtils.h"

#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"

#include "ColourReference.h"

namespace {

using Kavrin::Conf::YCbCrMatrix;
namespace Ref = Kavrin::Test::Ref;

// Kr, Kg, Kb and the matrices against the standards' Kr/Kb: encode with d0..d7 and
// decode with c0..c4 white, black, primaries and an arbitrary colour.
TEST(ColorUtilsTest, CoefficientsAndMatricesFollowKrKb) {
    for (YCbCrMatrix matrix :
         {YCbCrMatrix::BT709, YCbCrMatrix::FCC, YCbCrMatrix::BT470BG, YCbCrMatrix::SMPTE170M,
          YCbCrMatrix::SMPTE240M, YCbCrMatrix::BT2020NonConstant}) {
        SCOPED_TRACE(static_cast<int>(matrix));
        const Ref::Luma luma = Ref::LumaOf(matrix);
        EXPECT_TRUE(Kavrin::Conf::IsValidYCbCrMatrix(matrix));
        const auto k = Kavrin::Conf::GetYCbCrCoefficients(matrix);
        EXPECT_FLOAT_EQ(k[0], luma.kr);
        EXPECT_FLOAT_EQ(k[1], luma.Kg());
        EXPECT_FLOAT_EQ(k[2], luma.kb);
        const auto c = Kavrin::Conf::GetYpPbPrToRGBMatrix(matrix);
        const auto d = Kavrin::Conf::GetRGBToYpPbPrMatrix(matrix);
        for (const glm::dvec3 rgb :
             {glm::dvec3(1), glm::dvec3(0), glm::dvec3(1, 0, 0), glm::dvec3(0, 1, 0),
              glm::dvec3(0, 0, 1), glm::dvec3(0.2, 0.7, 0.4)}) {
            const glm::dvec3 expected = Ref::RgbToYpPbPr(luma, rgb);
            const double y = d[0] * rgb.r + d[1] * rgb.g + d[2] * rgb.b;
            const double pb = d[3] * rgb.r + d[4] * rgb.g + d[5] * rgb.b;
            const double pr = d[5] * rgb.r + d[6] * rgb.g + d[7] * rgb.b;
            EXPECT_NEAR(y, expected.x, 1e-6);
            EXPECT_NEAR(pb, expected.y, 1e-6);
            EXPECT_NEAR(pr, expected.z, 1e-6);
            EXPECT_NEAR(c[0] * y + c[1] * pr, rgb.r, 1e-6);
            EXPECT_NEAR(c[0] * y + c[3] * pb + c[2] * pr, rgb.g, 1e-6);
            EXPECT_NEAR(c[0] * y + c[4] * pb, rgb.b, 1e-6);
        }
        EXPECT_NEAR(d[5], 0.5, 1e-7);  // Pb of blue and Pr of red
    }
    for (int value : {0, 2, 3, 8, 10, 11, 12, 13, 14, 15, -1}) {
        const auto matrix = static_cast<YCbCrMatrix>(value);
        EXPECT_FALSE(Kavrin::Conf::IsValidYCbCrMatrix(matrix)) << value;
        EXPECT_THROW(Kavrin::Conf::GetYCbCrCoefficients(matrix), Kavrin::Exception) << value;
        EXPECT_THROW(Kavrin::Conf::GetYpPbPrToRGBMatrix(matrix), Kavrin::Exception) << value;
        EXPECT_THROW(Kavrin::Conf::GetRGBToYpPbPrMatrix(matrix), Kavrin::Exception) << value;
    }
}

}  // namespace
