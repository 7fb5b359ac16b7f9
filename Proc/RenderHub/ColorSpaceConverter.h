#pragma once

#include <GL/glew.h>

#include <cstdint>
#include <string>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Proc/ColorConversionInfo.h"

namespace Kavrin::Ogl {

class Frame;
class ShaderStorage;

// Draws the frame's texture into the bound framebuffer and viewport, converted
// from the source to the target colour space of `info` in one pass: decode the
// source transfer (with PQ tone mapping or the HLG OOTF), optionally undo or apply
// the SDR reference OOTF, change primaries, scale the linear light, encode the
// target transfer. Unknown transfers or primaries paint the picture red (source
// transfer), green (primaries) or blue (target transfer). GL thread only.
void ConvertColorSpace(const boost::intrusive_ptr<Frame>& frame,
                       const Proc::ColorConversionInfo& info, const ShaderStorage& storage);

// What a conversion may do beyond the pass above, where an HDR source goes to a
// lower peak or the target gamut is narrower. The defaults are the pass above.
struct ColorMapping {
    // On the largest channel of display light, from the source peak to the tone
    // target (Conf::ColorSpaceTransform::GetToneMapPeaks): the extended Reinhard
    // curve (PQ sources only, unless toneMapHLG), the EETF of ITU-R BT.2390-10
    // section 5.4 in PQ signal (black 0 on both sides), or a clip of each channel.
    enum class ToneCurve : std::int32_t { Reinhard = 0, BT2390 = 1, Clip = 2 };
    ToneCurve toneCurve = ToneCurve::Reinhard;
    bool toneMapHLG = false;
    // Colours outside the target gamut: clipped per channel when encoding, or
    // compressed into it along lines of constant luminance and hue (toward the
    // grey of their own luminance), the outer part of the target gamut making
    // room for the part of the source gamut outside it; colours nearer grey than
    // kGamutKnee of the way to the boundary stay as they are.
    bool compressGamut = false;
    static constexpr float kGamutKnee = 0.9f;

    bool IsDefault() const {
        return toneCurve == ToneCurve::Reinhard && !toneMapHLG && !compressGamut;
    }
};

void ConvertColorSpace(const boost::intrusive_ptr<Frame>& frame,
                       const Proc::ColorConversionInfo& info, const ColorMapping& mapping,
                       const ShaderStorage& storage);

// The conversion of ConvertColorSpace with `mapping` as one GLSL function,
// `vec4 mapColour(vec4 color)`, this conversion's values baked in, for programs
// that convert colour on their way instead of in a pass of their own. `name`
// tells one conversion's text from another's (for program cache names).
struct ColorMappingFunction {
    std::string name;
    std::string text;
};
ColorMappingFunction MakeColorMappingFunction(const Proc::ColorConversionInfo& info,
                                              const ColorMapping& mapping);

// The converter's pixel shader body: transfer library, identifiers, primaries
// functions from the host's cross matrices, and the main body; with a mapping
// other than the default, its tone curve and gamut compression too.
std::string ColorSpaceConverterSource();
std::string ColorMappingSource(const ColorMapping& mapping);

}  // namespace Kavrin::Ogl
