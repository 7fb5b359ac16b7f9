// The host's colour configuration: primaries cross matrices against zimg, luma
// coefficients and Y'PbPr matrices, and the colour-space transform's parameters.
#include <zimg.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Conf/ColorPrimaries.h"
#include "Kavrin/Conf/ColorSpaceTransform.h"
#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/Core/Exception.h"

#include "ColourReference.h"
#include "YpPbPrMatrices.h"

namespace {

using namespace Kavrin::Conf;
using Kavrin::Proc::ColorConversionInfo;
using namespace Kavrin::Test::Ref;

using NamedPrimaries = std::pair<ColorPrimaries, zimg_color_primaries_e>;

// Each D65 primaries is paired both ways with every other primaries, D65 or not; the
// others have other white points (C, E, DCI, hence Bradford adaptation) or are EBU 3213.
const NamedPrimaries kD65Primaries[] = {{ColorPrimaries::BT709, ZIMG_PRIMARIES_BT709},
                                        {ColorPrimaries::BT2020, ZIMG_PRIMARIES_BT2020},
                                        {ColorPrimaries::BT470BG, ZIMG_PRIMARIES_BT470_BG},
                                        {ColorPrimaries::SMPTE170M, ZIMG_PRIMARIES_ST170_M},
                                        {ColorPrimaries::SMPTE432, ZIMG_PRIMARIES_ST432_1}};
const NamedPrimaries kOtherPrimaries[] = {{ColorPrimaries::BT470M, ZIMG_PRIMARIES_BT470_M},
                                          {ColorPrimaries::Film, ZIMG_PRIMARIES_FILM},
                                          {ColorPrimaries::SMPTE428, ZIMG_PRIMARIES_ST428},
                                          {ColorPrimaries::SMPTE431, ZIMG_PRIMARIES_ST431_2},
                                          {ColorPrimaries::EBU3213, ZIMG_PRIMARIES_EBU3213_E}};

// zimg converts three linear float RGB pixels, the unit vectors, from one gamut to
// the other; pixel j of the output is column j of the cross matrix: out[i][j].
struct Matrix {
    alignas(64) float out[3][16] = {};
};
void ZimgCrossMatrix(zimg_color_primaries_e from, zimg_color_primaries_e to, Matrix& m) {
    zimg_image_format src, dst;
    zimg_image_format_default(&src, ZIMG_API_VERSION);
    std::tie(src.width, src.height, src.pixel_type, src.color_family, src.matrix_coefficients,
             src.transfer_characteristics, src.color_primaries) =
        std::tuple(3u, 1u, ZIMG_PIXEL_FLOAT, ZIMG_COLOR_RGB, ZIMG_MATRIX_RGB, ZIMG_TRANSFER_LINEAR,
                   from);
    dst = src;
    dst.color_primaries = to;
    alignas(64) float in[3][16] = {{1.0f}, {0.0f, 1.0f}, {0.0f, 0.0f, 1.0f}};  // plane c, pixel c
    zimg_image_buffer_const srcBuffer{ZIMG_API_VERSION, {}};
    zimg_image_buffer dstBuffer{ZIMG_API_VERSION, {}};
    for (int p = 0; p < 3; ++p) {
        srcBuffer.plane[p] = {in[p], static_cast<ptrdiff_t>(sizeof(in[p])), ZIMG_BUFFER_MAX};
        dstBuffer.plane[p] = {m.out[p], static_cast<ptrdiff_t>(sizeof(m.out[p])), ZIMG_BUFFER_MAX};
    }
    zimg_filter_graph* graph = zimg_filter_graph_build(&src, &dst, nullptr);
    size_t tmpSize = 0;
    ASSERT_NE(graph, nullptr);
    zimg_filter_graph_get_tmp_size(graph, &tmpSize);
    alignas(64) static std::byte tmp[1 << 16];
    ASSERT_LE(tmpSize, sizeof(tmp));
    EXPECT_EQ(zimg_filter_graph_process(graph, &srcBuffer, &dstBuffer, tmp, nullptr, nullptr,
                                        nullptr, nullptr),
              ZIMG_ERROR_SUCCESS);
    zimg_filter_graph_free(graph);
}

// Every cross matrix matches zimg's gamut conversion, inverts its way back and
// keeps white; equal primaries give the identity. Unknown codes throw.
TEST(ColourMatricesTest, CrossAndLumaMatricesMatchReferencesAndUnknownCodesThrow) {
    std::vector<std::pair<NamedPrimaries, NamedPrimaries>> pairs;
    for (const auto& d65 : kD65Primaries) {
        for (const auto& other : kD65Primaries)
            pairs.emplace_back(d65, other);
        for (const auto& other : kOtherPrimaries) {
            pairs.emplace_back(d65, other);
            pairs.emplace_back(other, d65);
        }
    }
    for (const auto& [from, to] : pairs) {
        SCOPED_TRACE(::testing::Message() << int(from.first) << " to " << int(to.first));
        const auto m = GetRGBCrossMatrix(from.first, to.first);
        const auto back = GetRGBCrossMatrix(to.first, from.first);
        // zimg 3.0 has no path into EBU 3213.
        const bool zimg = to.first != ColorPrimaries::EBU3213;
        Matrix reference;
        if (zimg)
            ZimgCrossMatrix(from.second, to.second, reference);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(static_cast<double>(m[i][0]) + m[i][1] + m[i][2], 1.0, 1e-5) << "white";
            for (int j = 0; j < 3; ++j) {
                if (from.first == to.first) {
                    EXPECT_EQ(m[i][j], i == j ? 1.0f : 0.0f);
                } else if (zimg) {
                    EXPECT_NEAR(m[i][j], reference.out[i][j], 1e-4) << "[" << i << "][" << j << "]";
                }
                double product = 0.0;
                for (int k = 0; k < 3; ++k)
                    product += static_cast<double>(back[i][k]) * m[k][j];
                EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-5) << "[" << i << "][" << j << "]";
            }
        }
    }
    // Kr, Kg, Kb and the matrices against the standards' Kr/Kb: encode with d0..d7 and
    // decode with c0..c4 white, black, primaries and an arbitrary colour.
    for (YCbCrMatrix matrix :
         {YCbCrMatrix::BT709, YCbCrMatrix::FCC, YCbCrMatrix::BT470BG, YCbCrMatrix::SMPTE170M,
          YCbCrMatrix::SMPTE240M, YCbCrMatrix::BT2020NonConstant}) {
        SCOPED_TRACE(static_cast<int>(matrix));
        const Luma luma = LumaOf(matrix);
        EXPECT_TRUE(IsValidYCbCrMatrix(matrix));
        const auto k = GetYCbCrCoefficients(matrix);
        EXPECT_FLOAT_EQ(k[0], luma.kr);
        EXPECT_FLOAT_EQ(k[1], luma.Kg());
        EXPECT_FLOAT_EQ(k[2], luma.kb);
        const auto c = GetYpPbPrToRGBMatrix(matrix);
        const auto d = GetRGBToYpPbPrMatrix(matrix);
        for (const glm::dvec3 rgb :
             {glm::dvec3(1), glm::dvec3(0), glm::dvec3(1, 0, 0), glm::dvec3(0, 1, 0),
              glm::dvec3(0, 0, 1), glm::dvec3(0.2, 0.7, 0.4)}) {
            const glm::dvec3 e = RgbToYpPbPr(luma, rgb);
            const glm::dvec3 got(d[0] * rgb.r + d[1] * rgb.g + d[2] * rgb.b,
                                 d[3] * rgb.r + d[4] * rgb.g + d[5] * rgb.b,
                                 d[5] * rgb.r + d[6] * rgb.g + d[7] * rgb.b);
            const glm::dvec3 back(c[0] * e.x + c[1] * e.z, c[0] * e.x + c[3] * e.y + c[2] * e.z,
                                  c[0] * e.x + c[4] * e.y);
            for (int i = 0; i < 3; ++i) {
                EXPECT_NEAR(got[i], e[i], 1e-6) << "encode " << i;
                EXPECT_NEAR(back[i], rgb[i], 1e-6) << "decode " << i;
            }
            if (matrix == YCbCrMatrix::BT709) {  // the renderer's BT.709 helpers, in float
                const glm::dvec3 bias(0.0, 0.5, 0.5);
                const std::pair<glm::vec3, glm::dvec3> helpers[] = {
                    {Kavrin::Ogl::RgbToBT709YpPbPr(rgb), e},
                    {Kavrin::Ogl::RgbToBT709YpCbCr(rgb), e + bias},
                    {Kavrin::Ogl::BT709YpPbPrToRgb(e), rgb},
                    {Kavrin::Ogl::BT709YpCbCrToRgb(e + bias), rgb}};
                for (int h = 0; h < 4; ++h)
                    for (int i = 0; i < 3; ++i)
                        EXPECT_NEAR(helpers[h].first[i], helpers[h].second[i], 1e-6) << h << i;
            }
        }
        EXPECT_NEAR(d[5], 0.5, 1e-7);  // Pb of blue and Pr of red
    }
    for (int value : {0, 2, 3, 8, 10, 11, 12, 13, 14, 15, -1}) {
        const auto matrix = static_cast<YCbCrMatrix>(value);
        EXPECT_FALSE(IsValidYCbCrMatrix(matrix)) << value;
        EXPECT_THROW(GetYCbCrCoefficients(matrix), Kavrin::Exception) << value;
        EXPECT_THROW(GetYpPbPrToRGBMatrix(matrix), Kavrin::Exception) << value;
        EXPECT_THROW(GetRGBToYpPbPrMatrix(matrix), Kavrin::Exception) << value;
    }
    for (int value : {0, 2, 3, 13, 21, 23, -1}) {
        const auto primaries = static_cast<ColorPrimaries>(value);
        EXPECT_FALSE(IsKnownColorPrimaries(primaries)) << value;
        EXPECT_THROW(GetRGBCrossMatrix(primaries, ColorPrimaries::BT709), Kavrin::Exception);
        EXPECT_THROW(GetRGBCrossMatrix(ColorPrimaries::BT709, primaries), Kavrin::Exception);
    }
    for (const auto& p : kOtherPrimaries)
        EXPECT_TRUE(IsKnownColorPrimaries(p.first)) << int(p.first);
}

// FFmpeg AVColorTransferCharacteristic codes used below.
enum Code : int { kBT709 = 1, kGamma22 = 4, kGamma28, kSMPTE170M, kLinear = 8, kSRGB = 13 };
enum HdrCode : int { kBT2020_10 = 14, kBT2020_12, kPQ, kHLG = 18 };

ColorConversionInfo MakeInfo(int sourceTransfer, int targetTransfer) {
    return {{9, sourceTransfer, 0}, {1, targetTransfer, 0}};
}

double PQEncode(double cdm2) { return PqInverseEotf(cdm2 / 100.0); }

// Whole pipeline: signal levels the standards tie together. Every transfer code
// on each side, each OOTF choice and each linear scale shows in some row.
TEST(ColorSpaceTransformTest, LevelsToneCurveHlgGammaPrimariesAndRefusals) {
    struct Level {
        const char* name;
        int source, target;
        float sourcePeak, referenceWhite;  // 0: the default
        double input, expected, tolerance;
    };
    // HLG 75% on a 1000 cd/m² display (BT.2100 table 5 OOTF, gamma 1.2).
    const double hlg75 = 1000.0 * std::pow(HlgInverseOetf(0.75), 1.2);
    const double mid = 0.5;
    // clang-format off
    const Level levels[] = {
        // BT.2408: HDR reference white 203 cd/m² is SDR 100%.
        {"PQWhite_to_SDR", kPQ, kBT709, 203, 0, PQEncode(203.0), 1.0, 1e-5},
        {"PQWhite_to_SRGB", kPQ, kSRGB, 203, 0, PQEncode(203.0), 1.0, 1e-5},
        {"PQWhite_to_Linear", kPQ, kLinear, 203, 0, PQEncode(203.0), 1.0, 1e-5},
        {"PQWhite_to_HLG", kPQ, kHLG, 1000, 0, PQEncode(203.0), HlgOetf(std::pow(0.203, 1 / 1.2)), 1e-5},
        {"SDRWhite_to_PQ", kBT709, kPQ, 1000, 0, 1.0, PQEncode(203.0), 1e-5},
        {"SRGBWhite_to_PQ", kSRGB, kPQ, 1000, 0, 1.0, PQEncode(203.0), 1e-5},
        {"LinearWhite_to_PQ", kLinear, kPQ, 1000, 0, 1.0, PQEncode(203.0), 1e-5},
        {"SDRWhite_to_HLG203", kSMPTE170M, kHLG, 1000, 0, 1.0, HlgOetf(std::pow(0.203, 1 / 1.2)), 1e-5},
        {"HLG75_to_PQ", kHLG, kPQ, 1000, 0, 0.75, PQEncode(hlg75), 1e-5},
        {"HLG75_to_Gamma22", kHLG, kGamma22, 1000, 0, 0.75, std::pow(hlg75 / 203.0, 1 / 2.2), 1e-5},
        // HLG 75% is 203 cd/m² only to three digits (BT.2408 table 1).
        {"HLG75_to_SDR", kHLG, kBT709, 1000, 0, 0.75, 1.0, 1e-3},
        // Reference white of 100 cd/m²: HDR 100 is SDR 100%.
        {"PQ100_to_SRGB_White100", kPQ, kSRGB, 100, 100, PQEncode(100.0), 1.0, 1e-5},
        {"PQ100_to_SDR_White100", kPQ, kBT709, 100, 100, PQEncode(100.0), 1.0, 1e-5},
        // Tone mapping lands the mastering peak (default 1000) on the target's ceiling.
        {"PQPeak1000_to_SDR", kPQ, kBT709, 0, 0, PQEncode(1000.0), 1.0, 1e-5},
        {"PQPeak4000_to_SRGB", kPQ, kSRGB, 4000, 0, PQEncode(4000.0), 1.0, 1e-5},
        {"PQPeak4000_to_PQ1000", kPQ, kPQ, 4000, 0, PQEncode(4000.0), PQEncode(1000.0), 1e-5},
        {"PQPeak4000_to_HLG", kPQ, kHLG, 4000, 0, PQEncode(4000.0), 1.0, 1e-5},
        // Display-light matching between SDR transfers: BT.1886 light of a BT.709 signal.
        {"SDRMid_to_SRGB", kBT709, kSRGB, 1000, 0, mid, SrgbInverseEotf(std::pow(mid, 2.4)), 1e-5},
        {"SRGBMid_to_Gamma22", kSRGB, kGamma22, 1000, 0, mid, std::pow(SrgbEotf(mid), 1 / 2.2), 1e-5},
        {"SRGBMid_to_SDR", kSRGB, kBT709, 1000, 0, mid, std::pow(SrgbEotf(mid), 1 / 2.4), 1e-5},
        {"Gamma22Mid_to_Gamma28", kGamma22, kGamma28, 1000, 0, mid, std::pow(mid, 2.2 / 2.8), 1e-5},
        {"Gamma28Mid_to_SDR", kGamma28, kSMPTE170M, 1000, 0, mid, std::pow(mid, 2.8 / 2.4), 1e-5},
        {"SDRMid_to_Gamma28", kBT2020_12, kGamma28, 1000, 0, mid, std::pow(mid, 2.4 / 2.8), 1e-5},
        {"SDRMid_to_SDR", kSMPTE170M, kBT2020_10, 1000, 0, mid, mid, 1e-6},
        {"SDRMid_to_SDR12", kBT2020_10, kBT2020_12, 1000, 0, mid, mid, 1e-6},
        {"LinearMid_to_SDR", kLinear, kBT709, 1000, 0, mid, Bt709Oetf(mid), 1e-6},
    };
    // clang-format on
    for (const Level& row : levels) {
        auto info = MakeInfo(row.source, row.target);
        info.sourcePeakLuminance = row.sourcePeak > 0 ? row.sourcePeak : info.sourcePeakLuminance;
        if (row.referenceWhite > 0)
            info.referenceWhiteLuminance = row.referenceWhite;
        EXPECT_NEAR(Pipeline(glm::dvec3(row.input), ColorSpaceTransform(info)).g, row.expected,
                    row.tolerance)
            << row.name;
    }

    // The tone target T (cd/m²) of a PQ or HLG source above it, 0 for none; the PQ
    // curve lands the source peak on it, keeps black and rises; an HLG source's
    // peak is L_W (1000 by default).
    struct Row {
        int source, target;
        float sourcePeak, targetPeak;
        double ceiling;
    };
    const Row rows[] = {
        {kPQ, kBT709, 1000, 1000, 203},   {kPQ, kSRGB, 10000, 1000, 203},
        {kPQ, kPQ, 4000, 1000, 1000},     {kPQ, kPQ, 1000, 600, 600},
        {kPQ, kHLG, 2000, 4000, 1000},    {kPQ, kPQ, 1000, 1000, 0},
        {kPQ, kPQ, 600, 1000, 0},         {kPQ, kBT709, 203, 1000, 0},
        {kPQ, kHLG, 1000, 1000, 0},       {kPQ, kLinear, 4000, 1000, 0},
        {kHLG, kBT709, 10000, 1000, 203}, {kHLG, kPQ, 4000, 600, 600},
        {kHLG, kPQ, 4000, 1000, 0},       {kHLG, kHLG, 4000, 100, 0},
        {kHLG, kLinear, 4000, 100, 0},    {kBT709, kBT709, 10000, 1000, 0},
        {kSRGB, kPQ, 10000, 100, 0},      {kLinear, kBT709, 10000, 1000, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.source << " to " << row.target << " peak "
                                        << row.sourcePeak << " on " << row.targetPeak);
        auto info = MakeInfo(row.source, row.target);
        info.sourcePeakLuminance = row.sourcePeak;
        info.targetPeakLuminance = row.targetPeak;
        const ColorSpaceTransform t(info);
        const double peak = (row.source == kHLG ? 1000.0 : row.sourcePeak) / 100.0;
        const auto [s, target] = t.GetToneMapPeaks();
        EXPECT_NEAR(s, row.ceiling > 0 ? peak : 0.0, 1e-6 * peak);
        EXPECT_NEAR(target, row.ceiling / 100.0, 1e-6 * row.ceiling);
        const auto [a, b] = t.GetPQTonemapCoefs();
        if (row.ceiling == 0.0 || row.source != kPQ) {
            EXPECT_EQ(std::pair(a, b), std::pair(0.0f, 0.0f));
            continue;
        }
        ASSERT_GT(a, 0.0f);  // the converter only tone maps when A > 0
        auto f = [&, da = double(a), db = double(b)](double m) {
            return m * (1.0 + da * m) / (1.0 + db * m);
        };
        EXPECT_NEAR(f(1e-7) / 1e-7, 1.0, 1e-5) << "slope at black";
        EXPECT_NEAR(f(peak), row.ceiling / 100.0, 1e-5 * row.ceiling);
        double previous = 0.0;
        for (int i = 1; i <= 1000; ++i) {
            const double value = f(peak * i / 1000.0);
            ASSERT_GT(value, previous) << "monotonic at " << i;
            previous = value;
        }
    }
    // The HLG display peak with its BT.2100-2 table 5 system gamma (1.2 at 1000 cd/m²,
    // 1.2 + 0.42 log10(Lw / 1000) otherwise), and the primaries, pass through.
    for (float peak : {1000.0f, 2000.0f, 400.0f, 4000.0f}) {
        auto info = MakeInfo(kHLG, kBT709);
        info.hlgDisplayPeakLuminance = peak;
        const ColorSpaceTransform t(info);
        EXPECT_EQ(t.GetHLGDisplayPeakLuminance(), peak);
        EXPECT_NEAR(t.GetHLGOOTFGamma(), 1.2 + 0.42 * std::log10(peak / 1000.0), 1e-6) << peak;
    }
    for (int source : {1, 5, 6, 9, 12}) {
        for (int target : {1, 5, 6, 9, 12}) {
            const ColorSpaceTransform t({{source, kPQ, 0}, {target, kBT709, 0}});
            EXPECT_EQ(std::pair(t.GetSourcePrimaries(), t.GetTargetPrimaries()),
                      std::pair(source, target));
        }
    }
    // Callers match the refusals' texts: each code, either side, word for word.
    std::vector<std::tuple<int, int, std::string>> refusals = {
        {1, 2, "transfer 2 is unspecified"}, {2, 1, "primaries 2 is unspecified"}};
    for (int code : {0, 3, 7, 9, 11, 12, 17, -1})
        refusals.emplace_back(1, code, "transfer " + std::to_string(code) + " is not supported");
    for (int code : {0, 4, 7, 8, 11, 22})
        refusals.emplace_back(code, 1, "primaries " + std::to_string(code) + " is not supported");
    for (const auto& [primaries, transfer, words] : refusals) {
        for (const char* side : {"source", "target"}) {
            ColorConversionInfo info = MakeInfo(kBT709, kBT709);
            (side[0] == 's' ? info.source : info.target) = {primaries, transfer, 0};
            try {
                ColorSpaceTransform{info};
                ADD_FAILURE() << "no exception for " << side << " " << words;
            } catch (const Kavrin::Exception& e) {
                EXPECT_EQ(e.GetDescription(), side + (" " + words));
            }
        }
    }
    for (float ColorConversionInfo::*field :
         {&ColorConversionInfo::sourcePeakLuminance, &ColorConversionInfo::targetPeakLuminance,
          &ColorConversionInfo::referenceWhiteLuminance,
          &ColorConversionInfo::hlgDisplayPeakLuminance}) {
        for (float bad : {0.0f, -100.0f, std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity()}) {
            ColorConversionInfo info = MakeInfo(kPQ, kBT709);
            info.*field = bad;
            EXPECT_THROW(ColorSpaceTransform{info}, Kavrin::Exception) << bad;
        }
    }
}

}  // namespace
