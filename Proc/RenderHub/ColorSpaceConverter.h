#pragma once

#include <GL/glew.h>

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
void ConvertColorSpace(const boost::intrusive_ptr<Frame>& frame, const Proc::ColorConversionInfo& info,
                       const ShaderStorage& storage);

// The converter's pixel shader body: transfer library, identifiers, primaries
// functions from the host's cross matrices, and the main body.
std::string ColorSpaceConverterSource();

}  // namespace Kavrin::Ogl
