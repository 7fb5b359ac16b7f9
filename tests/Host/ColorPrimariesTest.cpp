#include "Kavrin/Conf/ColorPrimaries.h"

#include <zimg.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"

namespace {

using Kavrin::Conf::ColorPrimaries;
using Kavrin::Conf::GetRGBCrossMatrix;

struct NamedPrimaries {
    const char* name;
    ColorPrimaries primaries;
    zimg_color_primaries_e zimg;
};

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

struct PrimariesPair {
    NamedPrimaries from;
    NamedPrimaries to;
};

std::vector<PrimariesPair> OrderedPairs(const std::vector<NamedPrimaries>& set) {
    std::vector<PrimariesPair> pairs;
    for (const auto& from : set) {
        for (const auto& to : set) {
            if (from.primaries != to.primaries) {
                pairs.push_back({from, to});
            }
        }
    }
    return pairs;
}

std::vector<NamedPrimaries> D65Set() {
    return {std::begin(kD65Primaries), std::end(kD65Primaries)};
}

// Primaries with other white points (C, E, DCI, hence Bradford adaptation) and
// EBU 3213, each paired both ways with every primaries of the D65 set.
std::vector<PrimariesPair> OtherPairs(bool forZimg) {
    std::vector<PrimariesPair> pairs;
    for (const auto& other : kOtherPrimaries) {
        for (const auto& d65 : kD65Primaries) {
            pairs.push_back({other, d65});
            pairs.push_back({d65, other});
            if (forZimg && other.primaries == ColorPrimaries::EBU3213) {
                pairs.pop_back();  // zimg 3.0 has no path into EBU 3213
            }
        }
    }
    return pairs;
}

std::string PairName(const ::testing::TestParamInfo<PrimariesPair>& info) {
    return std::string(info.param.from.name) + "_to_" + info.param.to.name;
}

using Matrix = std::array<std::array<double, 3>, 3>;

// zimg converts three linear float RGB pixels, the unit vectors, from one gamut to
// the other; pixel j of the output is column j of the cross matrix.
Matrix ZimgCrossMatrix(zimg_color_primaries_e from, zimg_color_primaries_e to) {
    zimg_image_format src;
    zimg_image_format dst;
    zimg_image_format_default(&src, ZIMG_API_VERSION);
    src.width = 3;
    src.height = 1;
    src.pixel_type = ZIMG_PIXEL_FLOAT;
    src.color_family = ZIMG_COLOR_RGB;
    src.matrix_coefficients = ZIMG_MATRIX_RGB;
    src.transfer_characteristics = ZIMG_TRANSFER_LINEAR;
    src.color_primaries = from;
    dst = src;
    dst.color_primaries = to;
    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    zimg_filter_graph* graph = zimg_filter_graph_build(&src, &dst, &params);
    if (graph == nullptr) {
        char message[256] = {};
        zimg_get_last_error(message, sizeof(message));
        ADD_FAILURE() << "zimg graph: " << message;
        return {};
    }
    size_t tmpSize = 0;
    EXPECT_EQ(zimg_filter_graph_get_tmp_size(graph, &tmpSize), ZIMG_ERROR_SUCCESS);
    std::vector<std::byte> tmpStorage(tmpSize + 64);
    void* tmp = reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(tmpStorage.data()) + 63) &
                                        ~std::uintptr_t{63});

    alignas(64) float in[3][16] = {};
    alignas(64) float out[3][16] = {};
    for (int c = 0; c < 3; ++c) {
        in[c][c] = 1.0f;  // plane c (R, G, B), pixel c
    }
    zimg_image_buffer_const srcBuffer{};
    zimg_image_buffer dstBuffer{};
    srcBuffer.version = ZIMG_API_VERSION;
    dstBuffer.version = ZIMG_API_VERSION;
    for (int p = 0; p < 3; ++p) {
        srcBuffer.plane[p] = {in[p], static_cast<ptrdiff_t>(sizeof(in[p])), ZIMG_BUFFER_MAX};
        dstBuffer.plane[p] = {out[p], static_cast<ptrdiff_t>(sizeof(out[p])), ZIMG_BUFFER_MAX};
    }
    EXPECT_EQ(zimg_filter_graph_process(graph, &srcBuffer, &dstBuffer, tmp, nullptr, nullptr,
                                        nullptr, nullptr),
              ZIMG_ERROR_SUCCESS);
    zimg_filter_graph_free(graph);

    Matrix m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[i][j] = out[i][j];
        }
    }
    return m;
}

class ColorPrimariesZimgTest : public ::testing::TestWithParam<PrimariesPair> {};

TEST_P(ColorPrimariesZimgTest, MatchesZimgGamutConversion) {
    const auto& pair = GetParam();
    const auto ours = GetRGBCrossMatrix(pair.from.primaries, pair.to.primaries);
    const Matrix reference = ZimgCrossMatrix(pair.from.zimg, pair.to.zimg);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(ours[i][j], reference[i][j], 1e-4) << "float"
                                                           << " [" << i << "][" << j << "]";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ColorPrimariesD65, ColorPrimariesZimgTest,
                         ::testing::ValuesIn(OrderedPairs(D65Set())), PairName);
INSTANTIATE_TEST_SUITE_P(ColorPrimariesOther, ColorPrimariesZimgTest,
                         ::testing::ValuesIn(OtherPairs(true)), PairName);

class ColorPrimariesPairTest : public ::testing::TestWithParam<PrimariesPair> {};

TEST_P(ColorPrimariesPairTest, RoundTripIsIdentity) {
    const auto& pair = GetParam();
    const auto forward = GetRGBCrossMatrix(pair.from.primaries, pair.to.primaries);
    const auto back = GetRGBCrossMatrix(pair.to.primaries, pair.from.primaries);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double product = 0.0;
            for (int k = 0; k < 3; ++k) {
                product += static_cast<double>(back[i][k]) * forward[k][j];
            }
            EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-5) << "float [" << i << "][" << j << "]";
        }
    }
}

TEST_P(ColorPrimariesPairTest, WhiteStaysWhite) {
    const auto& pair = GetParam();
    const auto m = GetRGBCrossMatrix(pair.from.primaries, pair.to.primaries);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(static_cast<double>(m[i][0]) + m[i][1] + m[i][2], 1.0, 1e-5)
            << "float row " << i;
    }
}

std::vector<PrimariesPair> AllPairs() {
    auto pairs = OrderedPairs(D65Set());
    const auto mixed = OtherPairs(false);
    pairs.insert(pairs.end(), mixed.begin(), mixed.end());
    return pairs;
}

INSTANTIATE_TEST_SUITE_P(ColorPrimariesAll, ColorPrimariesPairTest, ::testing::ValuesIn(AllPairs()),
                         PairName);

// ITU-R BT.2087-0 equation (4): BT.709 to BT.2020 in linear light, published to
// four decimals.
TEST(ColorPrimariesTest, BT709ToBT2020MatchesBT2087) {
    const double published[3][3] = {
        {0.6274, 0.3293, 0.0433}, {0.0691, 0.9195, 0.0114}, {0.0164, 0.0880, 0.8956}};
    const auto m = GetRGBCrossMatrix(ColorPrimaries::BT709, ColorPrimaries::BT2020);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(m[i][j], published[i][j], 1e-4) << "rounding [" << i << "][" << j << "]";
        }
    }
}

TEST(ColorPrimariesTest, SamePrimariesGiveIdentity) {
    for (const auto& p : kD65Primaries) {
        const auto m = GetRGBCrossMatrix(p.primaries, p.primaries);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_EQ(m[i][j], i == j ? 1.0f : 0.0f) << p.name;
            }
        }
    }
}

TEST(ColorPrimariesTest, UnknownPrimariesThrow) {
    for (int value : {0, 2, 3, 13, 21, 23, -1}) {
        const auto primaries = static_cast<ColorPrimaries>(value);
        EXPECT_FALSE(Kavrin::Conf::IsKnownColorPrimaries(primaries)) << value;
        EXPECT_THROW(GetRGBCrossMatrix(primaries, ColorPrimaries::BT709), Kavrin::Exception)
            << value;
        EXPECT_THROW(GetRGBCrossMatrix(ColorPrimaries::BT709, primaries), Kavrin::Exception)
            << value;
    }
    for (const auto& p : kOtherPrimaries) {
        EXPECT_TRUE(Kavrin::Conf::IsKnownColorPrimaries(p.primaries)) << p.name;
    }
}

}  // namespace
