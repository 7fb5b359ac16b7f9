#pragma once

#include <cstdint>
#include <utility>

#include "Kavrin/Proc/ColorConversionInfo.h"

namespace Kavrin::Conf {

// The parameters of one RGB colour-space conversion, derived once from a
// Proc::ColorConversionInfo: transfer identifiers of the converter, OOTF flags,
// the linear scale, PQ tone-map coefficients and the HLG display parameters.
// Immutable after construction; thread-safe.
//
// Transfers (FFmpeg AVColorTransferCharacteristic code -> converter identifier):
//   1, 6, 14, 15 -> BT709 (1): inverse BT.709 OETF, scene light (ITU-T H.273 table 3:
//                   these codes are the BT.709/BT.601/BT.2020 OETF);
//   4 -> Gamma22 (4), 5 -> Gamma28 (5): display light, the assumed display gammas of
//                   ITU-R BT.470-6;
//   8 -> Linear (6): scene light, 1.0 = SDR diffuse white;
//   13 -> SRGB (7): display light, IEC 61966-2-1 EOTF;
//   16 -> ST2084 (8): display light, SMPTE ST 2084 EOTF;
//   18 -> HLG (10): display light, ITU-R BT.2100-2 table 5 EOTF (HLG OOTF with
//                   L_W = hlgDisplayPeakLuminance), so HLG 75% meets 203 cd/m² as PQ does.
// Every other code, unspecified (2) included, throws Kavrin::Exception: guessing a
// transfer would silently mis-render, and the caller knows the frame better.
//
// Units of linear light: display light 1.0 = 100 cd/m² for PQ and HLG (PQ 10000
// cd/m² = 100) and 1.0 = peak white for SDR displays; scene light 1.0 = SDR white.
//
// OOTF: the SDR reference OOTF (BT.709 OETF followed by the BT.1886 EOTF, gamma 2.4;
// the G709/G1886 pair of the PQ reference OOTF, ITU-R BT.2100-2 table 4)
// moves between scene and display light. A display-light source into a scene-light
// target gets InverseOOTF; a scene-light source into a display-light target gets
// ForwardOOTF; otherwise no flag. The picture thus keeps its appearance on each
// side's reference display.
//
// Linear scale: maps the source's reference white to the target's in the domain the
// scale acts in (scene light when an OOTF flag is set or both sides are scene light,
// display light otherwise). HDR reference white is referenceWhiteLuminance (203
// cd/m², ITU-R BT.2408 table 1); SDR white is 1.0. So PQ/HLG to sRGB scales by
// 100/203, sRGB to PQ by 203/100, PQ/HLG to BT.709 by 1/S and back by S with
// S = InverseBT709OETF((203/100)^(1/2.4)), and SDR to SDR or HDR to HDR by 1.
//
// PQ tone mapping (PQ sources only; display light m in units of 100 cd/m²):
// f(m) = m (1 + A m) / (1 + B m) on the largest channel, with the extended Reinhard
// coefficients A = T / S², B = 1 / T for source peak S and target peak T (both /100):
// f(0) = 0, f'(0) = 1, f(S) = T, strictly increasing. T is targetPeakLuminance for PQ
// targets, hlgDisplayPeakLuminance for HLG targets, referenceWhiteLuminance for
// other SDR targets (SDR 100% is HDR reference white); linear targets have no peak.
// A = B = 0 (no tone mapping) when S <= T or there is no peak.
//
// Primaries: 1, 5, 6, 9 and 12 (those the converter has cross matrices for) pass
// through; unspecified (2) and any other code throw Kavrin::Exception.
// Luminances must be finite and positive, otherwise Kavrin::Exception.
class ColorSpaceTransform {
public:
    // Converter transfer identifiers.
    enum Transfer : std::int32_t {
        BT709 = 1,
        BT709A = 2,
        BT1886 = 3,
        Gamma22 = 4,
        Gamma28 = 5,
        Linear = 6,
        SRGB = 7,
        ST2084 = 8,
        ST2084Scene = 9,
        HLG = 10,
        HLGScene = 11,
    };
    // Converter flag bits.
    static constexpr std::int32_t InverseOOTF = 1;
    static constexpr std::int32_t ForwardOOTF = 2;

    explicit ColorSpaceTransform(const Proc::ColorConversionInfo& info);

    std::int32_t GetSourcePrimaries() const { return sourcePrimaries; }
    std::int32_t GetTargetPrimaries() const { return targetPrimaries; }
    std::int32_t GetSourceTransfer() const { return sourceTransfer; }
    std::int32_t GetTargetTransfer() const { return targetTransfer; }
    std::int32_t GetFlags() const { return flags; }
    float GetLinearScale() const { return linearScale; }
    // A, B of the PQ tone curve; both 0 when there is no tone mapping.
    std::pair<float, float> GetPQTonemapCoefs() const { return {pqTonemapA, pqTonemapB}; }
    // Source peak S and tone target T (both /100, as above) of a PQ or HLG source
    // going to a lower peak; an HLG source's S is L_W. Both 0 otherwise. For
    // converters with other tone curves than the PQ one above.
    std::pair<float, float> GetToneMapPeaks() const { return {toneSourcePeak, toneTargetPeak}; }
    // L_W in cd/m².
    float GetHLGDisplayPeakLuminance() const { return hlgDisplayPeak; }
    // ITU-R BT.2100-2 table 5 (system gamma note): 1.2 at L_W = 1000 cd/m², otherwise
    // 1.2 + 0.42 log10(L_W / 1000), used for every L_W.
    float GetHLGOOTFGamma() const { return hlgOOTFGamma; }

private:
    std::int32_t sourcePrimaries;
    std::int32_t targetPrimaries;
    std::int32_t sourceTransfer;
    std::int32_t targetTransfer;
    std::int32_t flags = 0;
    float linearScale = 1.0f;
    float pqTonemapA = 0.0f;
    float pqTonemapB = 0.0f;
    float toneSourcePeak = 0.0f;
    float toneTargetPeak = 0.0f;
    float hlgDisplayPeak;
    float hlgOOTFGamma;
};

}  // namespace Kavrin::Conf
