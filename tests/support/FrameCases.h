#pragma once
// Host frames for the frame tests: the supported formats, sample access by
// plane or by component, and frames filled from a function.
#include <GL/glew.h>

#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"

#include "FrameConverter.h"

namespace Kavrin::Test {

using CpuFrame = boost::intrusive_ptr<Proc::DataVideoCPU>;
using Proc::DataVideoCPU;
inline const Conf::ColorSpace kBT709{1, 1, 1};

const PixFmtDescription& Describe(PixFmt pixFmt);
std::string Name(PixFmt pixFmt);

// Every format the frames take, in the library's order, with what an upload
// keeps on the GPU.
struct FormatRow {
    PixFmt pixFmt;
    PixFmt gpu;
};
const std::vector<FormatRow>& FormatRows();
inline void PrintTo(const FormatRow& row, std::ostream* os) { *os << Name(row.pixFmt); }

int PlaneWidth(const DataVideoCPU& frame, int plane);
int PlaneHeight(const DataVideoCPU& frame, int plane);
// The stored container value (shift included).
int Get(const DataVideoCPU& frame, int plane, int x, int y, int channel = 0);

// Component k (R, G, B, A or Y, Cb, Cr, A) of a supported format: its plane
// and channel.
struct Slot {
    int plane, channel;
};
Slot SlotOf(PixFmt pixFmt, int component);
int Components(PixFmt pixFmt);
// Code of component k at sample (x, y) of its grid, the data shift removed.
int GetCode(const DataVideoCPU& frame, int component, int x, int y);
void SetCode(DataVideoCPU& frame, int component, int x, int y, int code);

// visit(plane, x, y, channel) for every stored sample, row by row.
void ForEachSample(const DataVideoCPU& frame, const std::function<void(int, int, int, int)>& visit);
// A frame whose every stored sample is code(plane, x, y, channel) << shift.
CpuFrame MakeFrame(PixFmt pixFmt, int width, int height,
                   const std::function<int(int, int, int, int)>& code,
                   const Conf::ColorSpace& space = kBT709,
                   const Proc::DataVideoCPUOptions& options = {});
// Every code of the format's depth uniformly at random, and junk in the bits
// below the data.
CpuFrame Noise(PixFmt pixFmt, int width, int height, unsigned seed,
               const Conf::ColorSpace& space = kBT709,
               const Proc::DataVideoCPUOptions& options = {});
CpuFrame Blank(PixFmt pixFmt, int width, int height, const Conf::ColorSpace& space = kBT709,
               const Proc::DataVideoCPUOptions& options = {});

// First differing stored sample, bits below the data included, or "".
std::string FirstDifference(const DataVideoCPU& got, const DataVideoCPU& want);
// First component code further than tolerance[k] from want(k, x, y), or "".
std::string FirstMiss(const DataVideoCPU& got, const std::function<double(int, int, int)>& want,
                      const std::array<double, 4>& tolerance);

// One FrameConverter conversion on the GL thread.
void Convert(const CpuFrame& source, const CpuFrame& target,
             const Ogl::FrameConversionOptions& options = {});

}  // namespace Kavrin::Test
