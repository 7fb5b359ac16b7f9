#pragma once

#include "Kavrin/Conf/ColorSpace.h"

namespace Kavrin::Proc {

// What a colour-space conversion of an RGB(A) frame needs: the two colour spaces
// (only primaries and transfer matter; RGB frames carry no YCbCr matrix) and the
// luminances, in cd/m², that relate HDR and SDR light. A plain value: thread-safe
// as any value.
struct ColorConversionInfo {
    Conf::ColorSpace source;
    Conf::ColorSpace target;
    // Peak of the display a PQ source was mastered on (SMPTE ST 2086 maximum
    // luminance); 1000 is the common grading display of ITU-R BT.2408.
    float sourcePeakLuminance = 1000.0f;
    // Peak of the display a PQ target is meant for; 1000 as above, so PQ to PQ is
    // not tone mapped by default. SDR targets use referenceWhiteLuminance instead,
    // HLG targets hlgDisplayPeakLuminance.
    float targetPeakLuminance = 1000.0f;
    // HDR reference (graphics) white, which SDR 100% white maps to: ITU-R BT.2408
    // table 1 (203 cd/m², PQ 58%, HLG 75%) and its display-light SDR mapping.
    float referenceWhiteLuminance = 203.0f;
    // Nominal peak L_W of the HLG display, for HLG sources and targets alike:
    // ITU-R BT.2100-2 table 5 (reference 1000).
    float hlgDisplayPeakLuminance = 1000.0f;
};

}  // namespace Kavrin::Proc
