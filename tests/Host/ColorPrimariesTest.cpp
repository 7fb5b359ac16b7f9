#include "Kavrin/Conf/ColorPrimaries.h"

#include <zimg.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/Core/Exception.h"

#include "ColourReference.h"

namespace {

using Kavrin::Conf::ColorPrimaries;
using Kavrin::Conf::GetRGBCrossMatrix;
using Kavrin::Conf::YCbCrMatrix;
namespace Ref = Kavrin::Test::Ref;

struct NamedPrimaries {
    const char* name;
    ColorPrimaries primaries;
    zimg_color_primaries_e zimg;
};

// Each D65 primaries is paired both ways with every other primaries, D65 or not; the
// others have other white points (C, E, DCI, hence Bradford adaptation) or are EBU 3213.
const NamedPrimaries kD65Primaries[] = {
    {"BT709", ColorPrimaries::BT709, ZIMG_PRIMARIES_BT709},
    {"BT2020", ColorPrimaries::BT2020, ZIMG_PRIMARIES_BT2020},
    {"BT470BG", ColorPrimaries::BT470BG, ZIMG_PRIMARIES_BT470_BG},
    {"SMPTE170M", ColorPrimaries::SMPTE170M, ZIMG_PRIMARIES_ST170_M},
    {"SMPTE432", ColorPrimaries::SMPTE432, ZIMG_PRIMARIES_ST432_1},
};
const NamedPrimaries kOtherPrimaries[] = {
    {"BT470M", ColorPrimaries::BT470M, ZIMG_PRIMARIES_BT470_M},
    {"Film", ColorPrimaries::Film, ZIMG_PRIMARIES_FILM},
    {"SMPTE428", ColorPrimaries::SMPTE428, ZIMG_PRIMARIES_ST428},
    {"SMPTE431", ColorPrimaries::SMPTE431, ZIMG_PRIMARIES_ST431_2},
    {"EBU3213", ColorPrimaries::EBU3213, ZIMG_PRIMARIES_EBU3213_E},
};

// zimg converts three linear float RGB pixels, the unit vectors, from one gamut to
// the other; pixel j of the output is column j of the cross matrix: out[i][j].
struct Matrix {
    alignas(64) float out[3][16] = {};
};
Matrix ZimgCrossMatrix(zimg_color_primaries_e from, zimg_color_primaries_e to) {
    zimg_image_format src;
    zimg_image_format_default(&src, ZIMG_API_VERSION);
    src.width = 3;
    src.height = 1;
    src.pixel_type = ZIMG_PIXEL_FLOAT;
    src.color_family = ZIMG_COLOR_RGB;
    src.matrix_coefficients = ZIMG_MATRIX_RGB;
    src.transfer_characteristics = ZIMG_TRANSFER_LINEAR;
    src.color_primaries = from;
    zimg_image_format dst = src;
    dst.color_primaries = to;
    Matrix m;
    zimg_filter_graph* graph = zimg_filter_graph_build(&src, &dst, nullptr);
    size_t tmpSize = 0;
    if (graph == nullptr || zimg_filter_graph_get_tmp_size(graph, &tmpSize) != 0) {
        ADD_FAILURE() << "zimg graph";
        return m;
    }
    alignas(64) float in[3][16] = {{1.0f}, {0.0f, 1.0f}, {0.0f, 0.0f, 1.0f}};  // plane c, pixel c
    zimg_image_buffer_const srcBuffer{ZIMG_API_VERSION, {}};
    zimg_image_buffer dstBuffer{ZIMG_API_VERSION, {}};
    for (int p = 0; p < 3; ++p) {
        srcBuffer.plane[p] = {in[p], static_cast<ptrdiff_t>(sizeof(in[p])), ZIMG_BUFFER_MAX};
        dstBuffer.plane[p] = {m.out[p], static_cast<ptrdiff_t>(sizeof(m.out[p])), ZIMG_BUFFER_MAX};
    }
    std::vector<std::byte> tmp(tmpSize + 64);
    void* aligned = tmp.data() + (64 - reinterpret_cast<std::uintptr_t>(tmp.data()) % 64);
    EXPECT_EQ(zimg_filter_graph_process(graph, &srcBuffer, &dstBuffer, aligned, nullptr, nullptr,
                                        nullptr, nullptr),
              ZIMG_ERROR_SUCCESS);
    zimg_filter_graph_free(graph);
    return m;
}

// Every cross matrix matches zimg's gamut conversion, inverts its way back and
// keeps white; equal primaries give the identity.
TEST(ColorPrimariesTest, CrossMatricesMatchZimgInvertAndKeepWhite) {
    std::vector<std::pair<NamedPrimaries, NamedPrimaries>> pairs;
    for (const auto& d65 : kD65Primaries) {
        for (const auto& other : kD65Primaries) {
            pairs.emplace_back(d65, other);
        }
        for (const auto& other : kOtherPrimaries) {
            pairs.emplace_back(d65, other);
            pairs.emplace_back(other, d65);
        }
    }
    for (const auto& [from, to] : pairs) {
        SCOPED_TRACE(std::string(from.name) + " to " + to.name);
        const auto m = GetRGBCrossMatrix(from.primaries, to.primaries);
        const auto back = GetRGBCrossMatrix(to.primaries, from.primaries);
        // zimg 3.0 has no path into EBU 3213.
        const bool zimg = to.primaries != ColorPrimaries::EBU3213;
        const Matrix reference = zimg ? ZimgCrossMatrix(from.zimg, to.zimg) : Matrix{};
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(static_cast<double>(m[i][0]) + m[i][1] + m[i][2], 1.0, 1e-5) << "white";
            for (int j = 0; j < 3; ++j) {
                if (from.primaries == to.primaries) {
                    EXPECT_EQ(m[i][j], i == j ? 1.0f : 0.0f);
                } else if (zimg) {
                    EXPECT_NEAR(m[i][j], reference.out[i][j], 1e-4) << "[" << i << "][" << j << "]";
                }
                double product = 0.0;
                for (int k = 0; k < 3; ++k) {
                    product += static_cast<double>(back[i][k]) * m[k][j];
                }
                EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-5) << "[" << i << "][" << j << "]";
            }
        }
    }
}

// Kr, Kg, Kb and the matrices against the standards' Kr/Kb: encode with d0..d7 and
// decode with c0..c4 white, black, primaries and an arbitrary colour.
TEST(ColourMatricesTest, LumaFollowsKrKbAndUnknownCodesThrow) {
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
            const glm::dvec3 e = Ref::RgbToYpPbPr(luma, rgb);
            const glm::dvec3 got(d[0] * rgb.r + d[1] * rgb.g + d[2] * rgb.b,
                                 d[3] * rgb.r + d[4] * rgb.g + d[5] * rgb.b,
                                 d[5] * rgb.r + d[6] * rgb.g + d[7] * rgb.b);
            const glm::dvec3 back(c[0] * e.x + c[1] * e.z, c[0] * e.x + c[3] * e.y + c[2] * e.z,
                                  c[0] * e.x + c[4] * e.y);
            for (int i = 0; i < 3; ++i) {
                EXPECT_NEAR(got[i], e[i], 1e-6) << "encode " << i;
                EXPECT_NEAR(back[i], rgb[i], 1e-6) << "decode " << i;
            }
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
    for (int value : {0, 2, 3, 13, 21, 23, -1}) {
        const auto primaries = static_cast<ColorPrimaries>(value);
        EXPECT_FALSE(Kavrin::Conf::IsKnownColorPrimaries(primaries)) << value;
        EXPECT_THROW(GetRGBCrossMatrix(primaries, ColorPrimaries::BT709), Kavrin::Exception);
        EXPECT_THROW(GetRGBCrossMatrix(ColorPrimaries::BT709, primaries), Kavrin::Exception);
    }
    for (const auto& p : kOtherPrimaries) {
        EXPECT_TRUE(Kavrin::Conf::IsKnownColorPrimaries(p.primaries)) << p.name;
    }
}

}  // namespace
