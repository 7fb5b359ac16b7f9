#include "Kavrin/Conf/ColorUtils.h"

#include <string>

#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"

namespace {

using Kavrin::Conf::YCbCrMatrix;

struct MatrixRow {
    const char* name;
    YCbCrMatrix matrix;
    double kr;
    double kb;
};

// Kr/Kb straight from the standards; everything else is derived here in double.
const MatrixRow kMatrices[] = {
    {"BT709", YCbCrMatrix::BT709, 0.2126, 0.0722},
    {"FCC", YCbCrMatrix::FCC, 0.30, 0.11},
    {"BT470BG", YCbCrMatrix::BT470BG, 0.299, 0.114},
    {"SMPTE170M", YCbCrMatrix::SMPTE170M, 0.299, 0.114},
    {"SMPTE240M", YCbCrMatrix::SMPTE240M, 0.212, 0.087},
    {"BT2020", YCbCrMatrix::BT2020NonConstant, 0.2627, 0.0593},
};

// Kr/Kb as the standards give them, Kg = 1 - Kr - Kb; encode with d0..d7, decode with
// c0..c4: white, black, primaries and an arbitrary colour hit the closed forms and come back.
TEST(ColorUtilsTest, CoefficientsAndMatricesFollowKrKb) {
    for (const MatrixRow& row : kMatrices) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(Kavrin::Conf::IsValidYCbCrMatrix(row.matrix));
        const auto k = Kavrin::Conf::GetYCbCrCoefficients(row.matrix);
        EXPECT_FLOAT_EQ(k[0], row.kr);
        EXPECT_FLOAT_EQ(k[1], 1.0 - row.kr - row.kb);
        EXPECT_FLOAT_EQ(k[2], row.kb);
        const auto c = Kavrin::Conf::GetYpPbPrToRGBMatrix(row.matrix);
        const auto d = Kavrin::Conf::GetRGBToYpPbPrMatrix(row.matrix);
        const double colours[][3] = {{1, 1, 1}, {0, 0, 0}, {1, 0, 0},
                                     {0, 1, 0}, {0, 0, 1}, {0.2, 0.7, 0.4}};
        for (const auto& rgb : colours) {
            const double y = d[0] * rgb[0] + d[1] * rgb[1] + d[2] * rgb[2];
            const double pb = d[3] * rgb[0] + d[4] * rgb[1] + d[5] * rgb[2];
            const double pr = d[5] * rgb[0] + d[6] * rgb[1] + d[7] * rgb[2];
            EXPECT_NEAR(y, row.kr * rgb[0] + (1 - row.kr - row.kb) * rgb[1] + row.kb * rgb[2],
                        1e-6);
            EXPECT_NEAR(pb, (rgb[2] - y) / (2 * (1 - row.kb)), 1e-6);
            EXPECT_NEAR(pr, (rgb[0] - y) / (2 * (1 - row.kr)), 1e-6);
            EXPECT_NEAR(c[0] * y + c[1] * pr, rgb[0], 1e-6);
            EXPECT_NEAR(c[0] * y + c[3] * pb + c[2] * pr, rgb[1], 1e-6);
            EXPECT_NEAR(c[0] * y + c[4] * pb, rgb[2], 1e-6);
        }
        // Pure blue reaches Pb = +0.5, pure red Pr = +0.5.
        EXPECT_NEAR(d[5], 0.5, 1e-7);
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
