#include "Kavrin/Conf/ColorSpaceTransform.h"

#include <cmath>
#include <string>

#include "Kavrin/Conf/ColorPrimaries.h"
#include "Kavrin/Core/Exception.h"

namespace Kavrin::Conf {
namespace {

constexpr const char* kFunction = "ColorSpaceTransform";

enum class Light { Scene, Display };
enum class Range { SDR, HDR, Linear };

struct TransferInfo {
    ColorSpaceTransform::Transfer id;
    Light light;
    Range range;
    bool isPQ = false;
    bool isHLG = false;
};

[[noreturn]] void ThrowBadCode(const char* what, const char* side, std::int32_t code) {
    const std::string text = std::string(side) + " " + what + " " + std::to_string(code) +
                             (code == 2 ? " is unspecified" : " is not supported");
    KAVRIN_THROW_HOST(kFunction, Exception, text);
}

// ITU-T H.273 table 3 codes (see the header for the grouping).
TransferInfo MapTransfer(std::int32_t code, const char* side) {
    using T = ColorSpaceTransform;
    switch (code) {
        case 1:
        case 6:
        case 14:
        case 15:
            return {T::BT709, Light::Scene, Range::SDR};
        case 4:
            return {T::Gamma22, Light::Display, Range::SDR};
        case 5:
            return {T::Gamma28, Light::Display, Range::SDR};
        case 8:
            return {T::Linear, Light::Scene, Range::Linear};
        case 13:
            return {T::SRGB, Light::Display, Range::SDR};
        case 16:
            return {T::ST2084, Light::Display, Range::HDR, true, false};
        case 18:
            return {T::HLG, Light::Display, Range::HDR, false, true};
        default:
            ThrowBadCode("transfer", side, code);
    }
}

std::int32_t CheckPrimaries(std::int32_t code, const char* side) {
    if (FindConvertiblePrimaries(code) == nullptr) {
        ThrowBadCode("primaries", side, code);
    }
    return code;
}

double CheckLuminance(float value, const char* name) {
    if (!std::isfinite(value) || value <= 0.0f) {
        KAVRIN_THROW_HOST(
            kFunction, Exception,
            std::string(name) + " must be finite and positive, got " + std::to_string(value));
    }
    return value;
}

// Inverse BT.709 OETF (ITU-R BT.709-6 table 1 item 1.2).
double InverseBT709OETF(double v) {
    return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
}

// Scene light of SDR-relative display light d: inverse BT.1886 EOTF (gamma 2.4,
// ITU-R BT.1886 annex 1 with black 0), then the inverse BT.709 OETF.
double DisplayToScene(double d) { return InverseBT709OETF(std::pow(d, 1.0 / 2.4)); }

}  // namespace

ColorSpaceTransform::ColorSpaceTransform(const Proc::ColorConversionInfo& info) {
    const TransferInfo source = MapTransfer(info.source.transfer, "source");
    const TransferInfo target = MapTransfer(info.target.transfer, "target");
    sourcePrimaries = CheckPrimaries(info.source.primaries, "source");
    targetPrimaries = CheckPrimaries(info.target.primaries, "target");
    sourceTransfer = source.id;
    targetTransfer = target.id;

    const double sourcePeak = CheckLuminance(info.sourcePeakLuminance, "sourcePeakLuminance");
    const double targetPeak = CheckLuminance(info.targetPeakLuminance, "targetPeakLuminance");
    const double referenceWhite =
        CheckLuminance(info.referenceWhiteLuminance, "referenceWhiteLuminance");
    const double hlgPeak = CheckLuminance(info.hlgDisplayPeakLuminance, "hlgDisplayPeakLuminance");

    hlgDisplayPeak = static_cast<float>(hlgPeak);
    hlgOOTFGamma = static_cast<float>(1.2 + 0.42 * std::log10(hlgPeak / 1000.0));

    if (source.light == Light::Display && target.light == Light::Scene) {
        flags = InverseOOTF;
    } else if (source.light == Light::Scene && target.light == Light::Display) {
        flags = ForwardOOTF;
    }

    // Reference white of each side in the domain the scale acts in.
    const bool sceneDomain = flags != 0 || source.light == Light::Scene;
    const double hdrWhiteDisplay = referenceWhite / 100.0;
    const double hdrWhite = sceneDomain ? DisplayToScene(hdrWhiteDisplay) : hdrWhiteDisplay;
    const double sourceWhite = source.range == Range::HDR ? hdrWhite : 1.0;
    const double targetWhite = target.range == Range::HDR ? hdrWhite : 1.0;
    linearScale = static_cast<float>(targetWhite / sourceWhite);

    if ((source.isPQ || source.isHLG) && target.range != Range::Linear) {
        const double peak = source.isPQ ? sourcePeak : hlgPeak;
        const double toneTarget = target.isPQ    ? targetPeak
                                  : target.isHLG ? hlgPeak
                                                 : referenceWhite;
        if (peak > toneTarget) {
            const double s = peak / 100.0;
            const double t = toneTarget / 100.0;
            toneSourcePeak = static_cast<float>(s);
            toneTargetPeak = static_cast<float>(t);
            if (source.isPQ) {
                pqTonemapA = static_cast<float>(t / (s * s));
                pqTonemapB = static_cast<float>(1.0 / t);
            }
        }
    }
}

}  // namespace Kavrin::Conf
