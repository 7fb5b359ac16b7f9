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

class ColorUtilsTest : public ::testing::TestWithParam<MatrixRow> {};

TEST_P(ColorUtilsTest, CoefficientsAreTheStandardsValues) {
    const auto& row = GetParam();
    EXPECT_TRUE(Kavrin::Conf::IsValidYCbCrMatrix(row.matrix));
    const auto k = Kavrin::Conf::GetYCbCrCoefficients(row.matrix);
    EXPECT_FLOAT_EQ(k[0], row.kr);
    EXPECT_FLOAT_EQ(k[1], 1.0 - row.kr - row.kb);
    EXPECT_FLOAT_EQ(k[2], row.kb);
}

// Encode with d0..d7, decode with c0..c4: white, black, primaries and an
// arbitrary colour come back; Pb/Pr of the primaries hit their closed forms.
TEST_P(ColorUtilsTest, MatricesAreInversesAndHitClosedForms) {
    const auto& row = GetParam();
    const auto c = Kavrin::Conf::GetYpPbPrToRGBMatrix(row.matrix);
    const auto d = Kavrin::Conf::GetRGBToYpPbPrMatrix(row.matrix);
    const double colours[][3] = {{1, 1, 1}, {0, 0, 0}, {1, 0, 0},
                                 {0, 1, 0}, {0, 0, 1}, {0.2, 0.7, 0.4}};
    for (const auto& rgb : colours) {
        const double y = d[0] * rgb[0] + d[1] * rgb[1] + d[2] * rgb[2];
        const double pb = d[3] * rgb[0] + d[4] * rgb[1] + d[5] * rgb[2];
        const double pr = d[5] * rgb[0] + d[6] * rgb[1] + d[7] * rgb[2];
        EXPECT_NEAR(y, row.kr * rgb[0] + (1 - row.kr - row.kb) * rgb[1] + row.kb * rgb[2], 1e-6);
        EXPECT_NEAR(pb, (rgb[2] - y) / (2 * (1 - row.kb)), 1e-6);
        EXPECT_NEAR(pr, (rgb[0] - y) / (2 * (1 - row.kr)), 1e-6);
        const double r = c[0] * y + c[1] * pr;
        const double g = c[0] * y + c[3] * pb + c[2] * pr;
        const double b = c[0] * y + c[4] * pb;
        EXPECT_NEAR(r, rgb[0], 1e-6) << row.name;
        EXPECT_NEAR(g, rgb[1], 1e-6) << row.name;
        EXPECT_NEAR(b, rgb[2], 1e-6) << row.name;
    }
    // Pure blue reaches Pb = +0.5, pure red Pr = +0.5.
    EXPECT_NEAR(d[3] * 0 + d[4] * 0 + d[5] * 1, 0.5, 1e-7);
    EXPECT_NEAR(d[5] * 1 + d[6] * 0 + d[7] * 0, 0.5, 1e-7);
}

INSTANTIATE_TEST_SUITE_P(Standards, ColorUtilsTest, ::testing::ValuesIn(kMatrices),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ColorUtilsInvalidTest, UnknownMatricesAreInvalidAndThrow) {
    for (int value : {0, 2, 3, 8, 10, 11, 12, 13, 14, 15, -1}) {
        const auto matrix = static_cast<YCbCrMatrix>(value);
        EXPECT_FALSE(Kavrin::Conf::IsValidYCbCrMatrix(matrix)) << value;
        EXPECT_THROW(Kavrin::Conf::GetYCbCrCoefficients(matrix), Kavrin::Exception) << value;
        EXPECT_THROW(Kavrin::Conf::GetYpPbPrToRGBMatrix(matrix), Kavrin::Exception) << value;
        EXPECT_THROW(Kavrin::Conf::GetRGBToYpPbPrMatrix(matrix), Kavrin::Exception) << value;
    }
}

TEST(ColorUtilsInvalidTest, Bt709DecodeCoefficients) {
    // The widely published BT.709 values: 1.5748, -0.4681, -0.1873, 1.8556.
    const auto c = Kavrin::Conf::GetYpPbPrToRGBMatrix(YCbCrMatrix::BT709);
    EXPECT_FLOAT_EQ(c[0], 1.0f);
    EXPECT_NEAR(c[1], 1.5748, 1e-4);
    EXPECT_NEAR(c[2], -0.4681, 1e-4);
    EXPECT_NEAR(c[3], -0.1873, 1e-4);
    EXPECT_NEAR(c[4], 1.8556, 1e-4);
}

}  // namespace
