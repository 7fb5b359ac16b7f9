#include "Kavrin/Conf/ColorSpaceTransform.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"

#include "ColourReference.h"

namespace {

using Kavrin::Conf::ColorSpaceTransform;
using Kavrin::Proc::ColorConversionInfo;

// FFmpeg AVColorTransferCharacteristic codes used below.
constexpr int kBT709 = 1;
constexpr int kGamma22 = 4;
constexpr int kGamma28 = 5;
constexpr int kSMPTE170M = 6;
constexpr int kLinear = 8;
constexpr int kSRGB = 13;
constexpr int kBT2020_10 = 14;
constexpr int kBT2020_12 = 15;
constexpr int kPQ = 16;
constexpr int kHLG = 18;

ColorConversionInfo MakeInfo(int sourceTransfer, int targetTransfer) {
    ColorConversionInfo info;
    info.source = {9, sourceTransfer, 0};
    info.target = {1, targetTransfer, 0};
    return info;
}

// --- Reference formulas, straight from the standards -------------------------

using namespace Kavrin::Test::Ref;

double PQEncode(double cdm2) { return PqInverseEotf(cdm2 / 100.0); }

// The converter's grey-level pipeline in double: decode by identifier (display light
// 1.0 = 100 cd/m² for PQ/HLG), tone curve, inverse OOTF, scale, forward OOTF, encode.
double RunPipeline(const ColorSpaceTransform& t, double signal) {
    const double hlgPeak = t.GetHLGDisplayPeakLuminance();
    const double gamma = t.GetHLGOOTFGamma();
    double v = 0.0;
    switch (t.GetSourceTransfer()) {
        case ColorSpaceTransform::BT709:
            v = Bt709InverseOetf(signal);
            break;
        case ColorSpaceTransform::Gamma22:
            v = std::pow(signal, 2.2);
            break;
        case ColorSpaceTransform::Gamma28:
            v = std::pow(signal, 2.8);
            break;
        case ColorSpaceTransform::Linear:
            v = signal;
            break;
        case ColorSpaceTransform::SRGB:
            v = SrgbEotf(signal);
            break;
        case ColorSpaceTransform::ST2084: {
            v = PqEotf(signal);
            const auto [a, b] = t.GetPQTonemapCoefs();
            if (a > 0.0f) {
                v *= (1.0 + a * v) / (1.0 + b * v);
            }
            break;
        }
        case ColorSpaceTransform::HLG:
            v = hlgPeak * std::pow(HlgInverseOetf(signal), gamma) / 100.0;
            break;
        default:
            ADD_FAILURE() << "unexpected source identifier";
            return 0.0;
    }
    if (t.GetFlags() & ColorSpaceTransform::InverseOOTF) {
        v = SdrSceneOfDisplay(v);
    }
    v *= t.GetLinearScale();
    if (t.GetFlags() & ColorSpaceTransform::ForwardOOTF) {
        v = SdrDisplayOfScene(v);
    }
    switch (t.GetTargetTransfer()) {
        case ColorSpaceTransform::BT709:
            return Bt709Oetf(v);
        case ColorSpaceTransform::Gamma22:
            return std::pow(v, 1.0 / 2.2);
        case ColorSpaceTransform::Gamma28:
            return std::pow(v, 1.0 / 2.8);
        case ColorSpaceTransform::Linear:
            return v;
        case ColorSpaceTransform::SRGB:
            return SrgbInverseEotf(v);
        case ColorSpaceTransform::ST2084:
            return PQEncode(v * 100.0);
        case ColorSpaceTransform::HLG:
            return HlgOetf(std::pow(v * 100.0 / hlgPeak, 1.0 / gamma));
        default:
            ADD_FAILURE() << "unexpected target identifier";
            return 0.0;
    }
}

// --- Code-to-identifier table -------------------------------------------------

struct TransferRow {
    const char* name;
    int code;
    int identifier;
};

const TransferRow kTransfers[] = {
    {"BT709", kBT709, 1},
    {"SMPTE170M", kSMPTE170M, 1},
    {"BT2020_10", kBT2020_10, 1},
    {"BT2020_12", kBT2020_12, 1},
    {"Gamma22", kGamma22, 4},
    {"Gamma28", kGamma28, 5},
    {"Linear", kLinear, 6},
    {"SRGB", kSRGB, 7},
    {"PQ", kPQ, 8},
    {"HLG", kHLG, 10},
};

class ColorSpaceTransformTransferTest : public ::testing::TestWithParam<TransferRow> {};

TEST_P(ColorSpaceTransformTransferTest, MapsCodeToConverterIdentifier) {
    const auto& row = GetParam();
    const ColorSpaceTransform asSource(MakeInfo(row.code, kBT709));
    const ColorSpaceTransform asTarget(MakeInfo(kBT709, row.code));
    EXPECT_EQ(asSource.GetSourceTransfer(), row.identifier);
    EXPECT_EQ(asTarget.GetTargetTransfer(), row.identifier);
}

INSTANTIATE_TEST_SUITE_P(ColorSpaceCodes, ColorSpaceTransformTransferTest,
                         ::testing::ValuesIn(kTransfers),
                         [](const auto& info) { return std::string(info.param.name); });

// --- OOTF flags -----------------------------------------------------------------

struct FlagsRow {
    const char* name;
    int source;
    int target;
    int flags;
};

const FlagsRow kFlags[] = {
    {"SDR_to_SDR", kBT709, kBT2020_10, 0},
    {"PQ_to_SDR", kPQ, kBT709, ColorSpaceTransform::InverseOOTF},
    {"HLG_to_SDR", kHLG, kBT709, ColorSpaceTransform::InverseOOTF},
    {"SDR_to_PQ", kBT709, kPQ, ColorSpaceTransform::ForwardOOTF},
    {"SDR_to_HLG", kSMPTE170M, kHLG, ColorSpaceTransform::ForwardOOTF},
    {"PQ_to_HLG", kPQ, kHLG, 0},
    {"PQ_to_SRGB", kPQ, kSRGB, 0},
    {"SRGB_to_PQ", kSRGB, kPQ, 0},
    {"SRGB_to_SDR", kSRGB, kBT709, ColorSpaceTransform::InverseOOTF},
    {"SDR_to_Gamma22", kBT709, kGamma22, ColorSpaceTransform::ForwardOOTF},
    {"Linear_to_PQ", kLinear, kPQ, ColorSpaceTransform::ForwardOOTF},
    {"PQ_to_Linear", kPQ, kLinear, ColorSpaceTransform::InverseOOTF},
    {"Linear_to_SDR", kLinear, kBT709, 0},
};

class ColorSpaceTransformFlagsTest : public ::testing::TestWithParam<FlagsRow> {};

TEST_P(ColorSpaceTransformFlagsTest, ChoosesOOTF) {
    const auto& row = GetParam();
    EXPECT_EQ(ColorSpaceTransform(MakeInfo(row.source, row.target)).GetFlags(), row.flags);
}

INSTANTIATE_TEST_SUITE_P(ColorSpacePairs, ColorSpaceTransformFlagsTest, ::testing::ValuesIn(kFlags),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Linear scale ----------------------------------------------------------------

struct ScaleRow {
    const char* name;
    int source;
    int target;
    float referenceWhite;
    double expected;
};

// S: scene light of HDR reference white 203 cd/m² relative to SDR white.
const double kS203 = SdrSceneOfDisplay(2.03);

const ScaleRow kScales[] = {
    {"SDR_to_SDR", kBT709, kBT2020_12, 203.0f, 1.0},
    {"PQ_to_SRGB", kPQ, kSRGB, 203.0f, 100.0 / 203.0},
    {"SRGB_to_PQ", kSRGB, kPQ, 203.0f, 203.0 / 100.0},
    {"HLG_to_Gamma22", kHLG, kGamma22, 203.0f, 100.0 / 203.0},
    {"PQ_to_SDR", kPQ, kBT709, 203.0f, 1.0 / kS203},
    {"SDR_to_PQ", kBT709, kPQ, 203.0f, kS203},
    {"HLG_to_SDR", kHLG, kBT709, 203.0f, 1.0 / kS203},
    {"PQ_to_Linear", kPQ, kLinear, 203.0f, 1.0 / kS203},
    {"PQ_to_HLG", kPQ, kHLG, 203.0f, 1.0},
    {"HLG_to_PQ", kHLG, kPQ, 203.0f, 1.0},
    {"PQ_to_SRGB_White100", kPQ, kSRGB, 100.0f, 1.0},
    {"PQ_to_SDR_White100", kPQ, kBT709, 100.0f, 1.0},
};

class ColorSpaceTransformScaleTest : public ::testing::TestWithParam<ScaleRow> {};

TEST_P(ColorSpaceTransformScaleTest, MapsReferenceWhite) {
    const auto& row = GetParam();
    auto info = MakeInfo(row.source, row.target);
    info.referenceWhiteLuminance = row.referenceWhite;
    EXPECT_NEAR(ColorSpaceTransform(info).GetLinearScale(), row.expected, 1e-6 * row.expected)
        << "float";
}

INSTANTIATE_TEST_SUITE_P(ColorSpacePairs, ColorSpaceTransformScaleTest,
                         ::testing::ValuesIn(kScales),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Whole pipeline: signal levels the standards tie together ------------------

struct LevelRow {
    const char* name;
    int source;
    int target;
    float sourcePeak;
    double input;
    double expected;
    double tolerance;
};

// HLG 75% on a 1000 cd/m² display (BT.2100 table 5 OOTF, gamma 1.2).
const double kHlg75Luminance = 1000.0 * std::pow(HlgInverseOetf(0.75), 1.2);

const LevelRow kLevels[] = {
    // BT.2408: HDR reference white 203 cd/m² is SDR 100%.
    {"PQWhite_to_SDR", kPQ, kBT709, 203.0f, PQEncode(203.0), 1.0, 1e-5},
    {"PQWhite_to_SRGB", kPQ, kSRGB, 203.0f, PQEncode(203.0), 1.0, 1e-5},
    {"PQWhite_to_Linear", kPQ, kLinear, 203.0f, PQEncode(203.0), 1.0, 1e-5},
    {"SDRWhite_to_PQ", kBT709, kPQ, 1000.0f, 1.0, PQEncode(203.0), 1e-5},
    {"SRGBWhite_to_PQ", kSRGB, kPQ, 1000.0f, 1.0, PQEncode(203.0), 1e-5},
    {"LinearWhite_to_PQ", kLinear, kPQ, 1000.0f, 1.0, PQEncode(203.0), 1e-5},
    {"SDRWhite_to_HLG203", kBT709, kHLG, 1000.0f, 1.0, HlgOetf(std::pow(0.203, 1.0 / 1.2)), 1e-5},
    {"HLG75_to_PQ", kHLG, kPQ, 1000.0f, 0.75, PQEncode(kHlg75Luminance), 1e-5},
    // HLG 75% is 203 cd/m² only to three digits (BT.2408 table 1).
    {"HLG75_to_SDR", kHLG, kBT709, 1000.0f, 0.75, 1.0, 1e-3},
    // Tone mapping lands the mastering peak on the target's ceiling.
    {"PQPeak1000_to_SDR", kPQ, kBT709, 1000.0f, PQEncode(1000.0), 1.0, 1e-5},
    {"PQPeak4000_to_SRGB", kPQ, kSRGB, 4000.0f, PQEncode(4000.0), 1.0, 1e-5},
    {"PQPeak4000_to_PQ1000", kPQ, kPQ, 4000.0f, PQEncode(4000.0), PQEncode(1000.0), 1e-5},
    {"PQPeak4000_to_HLG", kPQ, kHLG, 4000.0f, PQEncode(4000.0), 1.0, 1e-5},
    // Display-light matching between SDR transfers: BT.1886 light of a BT.709 signal.
    {"SDRMid_to_SRGB", kBT709, kSRGB, 1000.0f, 0.5, SrgbInverseEotf(std::pow(0.5, 2.4)), 1e-5},
    {"SRGBMid_to_Gamma22", kSRGB, kGamma22, 1000.0f, 0.5, std::pow(SrgbEotf(0.5), 1 / 2.2), 1e-5},
    {"SDRMid_to_SDR", kSMPTE170M, kBT2020_10, 1000.0f, 0.5, 0.5, 1e-6},
};

class ColorSpaceTransformLevelTest : public ::testing::TestWithParam<LevelRow> {};

TEST_P(ColorSpaceTransformLevelTest, ConverterPipelineHitsLevel) {
    const auto& row = GetParam();
    auto info = MakeInfo(row.source, row.target);
    info.sourcePeakLuminance = row.sourcePeak;
    EXPECT_NEAR(RunPipeline(ColorSpaceTransform(info), row.input), row.expected, row.tolerance)
        << "float";
}

INSTANTIATE_TEST_SUITE_P(ColorSpaceLevels, ColorSpaceTransformLevelTest,
                         ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return std::string(info.param.name); });

// --- PQ tone curve ------------------------------------------------------------------

struct ToneRow {
    const char* name;
    int target;
    float sourcePeak;
    float targetPeak;
    float hlgPeak;
    double ceiling;  // cd/m² the source peak must land on; 0 = no tone mapping
};

const ToneRow kTones[] = {
    {"ToSDR", kBT709, 1000.0f, 1000.0f, 1000.0f, 203.0},
    {"ToSRGB_Peak10000", kSRGB, 10000.0f, 1000.0f, 1000.0f, 203.0},
    {"ToPQ_4000to1000", kPQ, 4000.0f, 1000.0f, 1000.0f, 1000.0},
    {"ToPQ_1000to600", kPQ, 1000.0f, 600.0f, 1000.0f, 600.0},
    {"ToHLG_2000to1000", kHLG, 2000.0f, 4000.0f, 1000.0f, 1000.0},
    {"ToPQ_Fits", kPQ, 1000.0f, 1000.0f, 1000.0f, 0.0},
    {"ToPQ_Below", kPQ, 600.0f, 1000.0f, 1000.0f, 0.0},
    {"ToSDR_Fits", kBT709, 203.0f, 1000.0f, 1000.0f, 0.0},
    {"ToHLG_Fits", kHLG, 1000.0f, 1000.0f, 1000.0f, 0.0},
    {"ToLinear", kLinear, 4000.0f, 1000.0f, 1000.0f, 0.0},
};

class ColorSpaceTransformToneTest : public ::testing::TestWithParam<ToneRow> {};

TEST_P(ColorSpaceTransformToneTest, CurveKeepsBlackAndHitsPeak) {
    const auto& row = GetParam();
    auto info = MakeInfo(kPQ, row.target);
    info.sourcePeakLuminance = row.sourcePeak;
    info.targetPeakLuminance = row.targetPeak;
    info.hlgDisplayPeakLuminance = row.hlgPeak;
    const auto [a, b] = ColorSpaceTransform(info).GetPQTonemapCoefs();
    if (row.ceiling == 0.0) {
        EXPECT_EQ(a, 0.0f);
        EXPECT_EQ(b, 0.0f);
        return;
    }
    ASSERT_GT(a, 0.0f);  // the converter only tone maps when A > 0
    const double da = a;
    const double db = b;
    auto f = [&](double m) { return m * (1.0 + da * m) / (1.0 + db * m); };
    const double h = 1e-7;
    EXPECT_NEAR(f(h) / h, 1.0, 1e-5) << "difference";
    const double peak = row.sourcePeak / 100.0;
    EXPECT_NEAR(f(peak), row.ceiling / 100.0, 1e-5 * row.ceiling) << "float";
    double previous = 0.0;
    for (int i = 1; i <= 1000; ++i) {
        const double value = f(peak * i / 1000.0);
        ASSERT_GT(value, previous) << "monotonic at " << i;
        previous = value;
    }
}

INSTANTIATE_TEST_SUITE_P(ColorSpacePeaks, ColorSpaceTransformToneTest, ::testing::ValuesIn(kTones),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ColorSpaceTransformToneTest, NonPQSourcesAreNotToneMapped) {
    for (int source : {kHLG, kBT709, kSRGB, kLinear}) {
        auto info = MakeInfo(source, kBT709);
        info.sourcePeakLuminance = 10000.0f;
        const auto [a, b] = ColorSpaceTransform(info).GetPQTonemapCoefs();
        EXPECT_EQ(a, 0.0f) << source;
        EXPECT_EQ(b, 0.0f) << source;
    }
}

// --- HLG display -----------------------------------------------------------------

struct HlgRow {
    const char* name;
    float peak;
    double gamma;
};

// ITU-R BT.2100-2 table 5: 1.2 at 1000 cd/m², 1.2 + 0.42 log10(Lw / 1000) otherwise.
const HlgRow kHlg[] = {
    {"Peak1000", 1000.0f, 1.2},
    {"Peak2000", 2000.0f, 1.2 + 0.42 * std::log10(2.0)},
    {"Peak400", 400.0f, 1.2 + 0.42 * std::log10(0.4)},
    {"Peak4000", 4000.0f, 1.2 + 0.42 * std::log10(4.0)},
};

class ColorSpaceTransformHlgTest : public ::testing::TestWithParam<HlgRow> {};

TEST_P(ColorSpaceTransformHlgTest, PeakAndSystemGamma) {
    const auto& row = GetParam();
    auto info = MakeInfo(kHLG, kBT709);
    info.hlgDisplayPeakLuminance = row.peak;
    const ColorSpaceTransform t(info);
    EXPECT_EQ(t.GetHLGDisplayPeakLuminance(), row.peak);
    EXPECT_NEAR(t.GetHLGOOTFGamma(), row.gamma, 1e-6) << "float";
}

INSTANTIATE_TEST_SUITE_P(ColorSpaceDisplays, ColorSpaceTransformHlgTest, ::testing::ValuesIn(kHlg),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Primaries and defaults ---------------------------------------------------------

TEST(ColorSpaceTransformTest, PrimariesPassThrough) {
    for (int source : {1, 5, 6, 9, 12}) {
        for (int target : {1, 5, 6, 9, 12}) {
            ColorConversionInfo info;
            info.source = {source, kPQ, 0};
            info.target = {target, kBT709, 0};
            const ColorSpaceTransform t(info);
            EXPECT_EQ(t.GetSourcePrimaries(), source);
            EXPECT_EQ(t.GetTargetPrimaries(), target);
        }
    }
}

TEST(ColorSpaceTransformTest, DefaultLuminances) {
    const ColorConversionInfo info;
    EXPECT_EQ(info.sourcePeakLuminance, 1000.0f);
    EXPECT_EQ(info.targetPeakLuminance, 1000.0f);
    EXPECT_EQ(info.referenceWhiteLuminance, 203.0f);
    EXPECT_EQ(info.hlgDisplayPeakLuminance, 1000.0f);
    // Unset colour spaces are unspecified and rejected.
    EXPECT_THROW(ColorSpaceTransform{info}, Kavrin::Exception);
}

// --- Rejected input ------------------------------------------------------------------

struct BadRow {
    const char* name;
    int primaries;
    int transfer;
    const char* words;
};

const BadRow kBad[] = {
    {"TransferUnspecified", 1, 2, "transfer 2 is unspecified"},
    {"TransferReserved0", 1, 0, "transfer 0 is not supported"},
    {"TransferReserved3", 1, 3, "transfer 3 is not supported"},
    {"TransferSMPTE240M", 1, 7, "transfer 7 is not supported"},
    {"TransferLog", 1, 9, "transfer 9 is not supported"},
    {"TransferIEC61966_2_4", 1, 11, "transfer 11 is not supported"},
    {"TransferBT1361", 1, 12, "transfer 12 is not supported"},
    {"TransferSMPTE428", 1, 17, "transfer 17 is not supported"},
    {"TransferNegative", 1, -1, "transfer -1 is not supported"},
    {"PrimariesUnspecified", 2, 1, "primaries 2 is unspecified"},
    {"PrimariesReserved0", 0, 1, "primaries 0 is not supported"},
    {"PrimariesBT470M", 4, 1, "primaries 4 is not supported"},
    {"PrimariesSMPTE240M", 7, 1, "primaries 7 is not supported"},
    {"PrimariesFilm", 8, 1, "primaries 8 is not supported"},
    {"PrimariesSMPTE431", 11, 1, "primaries 11 is not supported"},
    {"PrimariesEBU3213", 22, 1, "primaries 22 is not supported"},
};

class ColorSpaceTransformBadCodeTest : public ::testing::TestWithParam<BadRow> {};

std::string DescriptionOf(const ColorConversionInfo& info) {
    try {
        ColorSpaceTransform{info};
    } catch (const Kavrin::Exception& e) {
        return e.GetDescription();
    }
    return "no exception";
}

TEST_P(ColorSpaceTransformBadCodeTest, ThrowsOnEitherSide) {
    const auto& row = GetParam();
    ColorConversionInfo info = MakeInfo(kBT709, kBT709);
    info.source = {row.primaries, row.transfer, 0};
    EXPECT_NE(DescriptionOf(info).find(std::string("source ") + row.words), std::string::npos)
        << DescriptionOf(info);
    info = MakeInfo(kBT709, kBT709);
    info.target = {row.primaries, row.transfer, 0};
    EXPECT_NE(DescriptionOf(info).find(std::string("target ") + row.words), std::string::npos)
        << DescriptionOf(info);
}

INSTANTIATE_TEST_SUITE_P(ColorSpaceCodes, ColorSpaceTransformBadCodeTest, ::testing::ValuesIn(kBad),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadLuminanceRow {
    const char* name;
    float ColorConversionInfo::*field;
    float value;
};

const BadLuminanceRow kBadLuminances[] = {
    {"SourcePeakZero", &ColorConversionInfo::sourcePeakLuminance, 0.0f},
    {"TargetPeakNegative", &ColorConversionInfo::targetPeakLuminance, -100.0f},
    {"ReferenceWhiteNaN", &ColorConversionInfo::referenceWhiteLuminance,
     std::numeric_limits<float>::quiet_NaN()},
    {"HlgPeakInfinite", &ColorConversionInfo::hlgDisplayPeakLuminance,
     std::numeric_limits<float>::infinity()},
};

class ColorSpaceTransformBadLuminanceTest : public ::testing::TestWithParam<BadLuminanceRow> {};

TEST_P(ColorSpaceTransformBadLuminanceTest, Throws) {
    const auto& row = GetParam();
    ColorConversionInfo info = MakeInfo(kPQ, kBT709);
    info.*row.field = row.value;
    EXPECT_THROW(ColorSpaceTransform{info}, Kavrin::Exception);
}

INSTANTIATE_TEST_SUITE_P(ColorSpaceLuminances, ColorSpaceTransformBadLuminanceTest,
                         ::testing::ValuesIn(kBadLuminances),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
