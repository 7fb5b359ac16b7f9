#pragma once

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"

namespace RenderHubTool {

// The library reads YUV samples as limited range, and 8-bit ones through 8-bit
// RGB. The tool meets other ranges and keeps precision by moving YUV frames
// to and from the planar 16-bit limited-range format of the same layout ("wide"
// frames) on the CPU. Full range follows BT.2100: luma E·(2^n−1), chroma
// P·(2^n−1) + 2^(n−1); alpha is always full range.

// YUVA420P16LE, YUV422P16LE, ... for a YUV format of that chroma layout (semi-
// planar ones map to 4:2:0); PixFmt::None when there is none (4:4:0, 4:1:1,
// 4:1:0) or the format is not YUV.
Kavrin::PixFmt WideFormat(Kavrin::PixFmt pixFmt);

// A wide copy of `source`, whose samples are in `range`. Exact for limited
// range (a shift); full-range samples are rounded on the 16-bit grid.
boost::intrusive_ptr<Kavrin::Proc::DataVideoCPU> Widen(const Kavrin::Proc::DataVideoCPU& source,
                                                       Kavrin::PixelColorRange range);

// Writes the wide frame `wide` into `target` (same size, a format whose
// WideFormat is wide's), with samples in `range`, rounding to the target depth.
void Narrow(const Kavrin::Proc::DataVideoCPU& wide, Kavrin::Proc::DataVideoCPU& target,
            Kavrin::PixelColorRange range);

}  // namespace RenderHubTool
