// Raw planar frames: the first byte picks the pixel format, the next four the
// width and height (little-endian 16-bit, so zero and oversized ones occur), and
// the rest is frame data, read frame by frame as the tool does.
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "FuzzStreams.h"
#include "Y4M.h"

using namespace RenderHubFuzz;
using Kavrin::PixFmt;
using RenderHubTool::InputError;

namespace {

constexpr PixFmt kFormats[] = {
    PixFmt::YUV420P,     PixFmt::YUV422P,     PixFmt::YUV444P,     PixFmt::YUV411P,
    PixFmt::YUVA444P,    PixFmt::YUV420P10LE, PixFmt::YUV422P10LE, PixFmt::YUV444P10LE,
    PixFmt::YUV420P12LE, PixFmt::YUV444P16LE, PixFmt::YUVA420P,    PixFmt::NV12,
    PixFmt::P010LE,      PixFmt::GRAY8,       PixFmt::GRAY16LE,    PixFmt::GBRP,
};

Outcome ReadAll(std::istream& in, PixFmt pixFmt, const Kavrin::Conf::FrameInfo& info) {
    Outcome outcome;
    try {
        while (in.peek() != std::char_traits<char>::eof()) {
            outcome.frames.push_back(Planes(*RenderHubTool::ReadRawFrame(in, pixFmt, info, {})));
        }
    } catch (const InputError& error) {
        CheckMessage(error);
        outcome.failed = true;
        outcome.error = error.what();
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) {
        return 0;
    }
    const PixFmt pixFmt = kFormats[data[0] % std::size(kFormats)];
    const Kavrin::Conf::FrameInfo info{data[1] | data[2] << 8, data[3] | data[4] << 8, 0, 0};
    const std::string frames(reinterpret_cast<const char*>(data) + 5, size - 5);

    std::istringstream seekable(frames);
    const Outcome fromFile = ReadAll(seekable, pixFmt, info);
    PipeBuffer buffer(data + 5, size - 5);
    std::istream pipe(&buffer);
    CheckSame(fromFile, ReadAll(pipe, pixFmt, info));

    // Frames read whole hold exactly the bytes they were read from.
    std::string joined;
    for (const std::string& planes : fromFile.frames) {
        joined += planes;
    }
    if (frames.compare(0, joined.size(), joined) != 0 ||
        (!fromFile.failed && joined.size() != frames.size())) {
        std::fprintf(stderr, "raw frames do not hold the bytes read\n");
        std::abort();
    }
    return 0;
}
