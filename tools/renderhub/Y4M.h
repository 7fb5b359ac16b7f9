#pragma once

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"

namespace RenderHubTool {

// Input the tool cannot take: the message names the cause.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Input that ends inside a frame: the frames before it are whole.
class TruncatedFrame : public InputError {
public:
    using InputError::InputError;
};

// The largest frame side the readers take: GPUs' usual maximum texture size.
// With at most 16 bytes a pixel it also keeps every byte count in 64 bits.
inline constexpr int MaxFrameDimension = 16384;

// The stream header of a YUV4MPEG2 file, as FFmpeg writes it.
struct Y4MHeader {
    int width = 0;
    int height = 0;
    int rateNum = 25;
    int rateDen = 1;
    char interlace = 'p';
    int aspectNum = 0;
    int aspectDen = 0;
    Kavrin::PixFmt pixFmt = Kavrin::PixFmt::YUV420P;
    Kavrin::PixelColorRange range = Kavrin::PixelColorRange::Unspecified;
    // The "C" tag as read ("420mpeg2", "420paldv", ...): written back as it came
    // while it names pixFmt, since it also says where the chroma samples sit.
    std::string chromaTag;
};

// The planar formats a Y4M "C" tag names (FFmpeg's tags); throws InputError for
// others. PixFmtToY4MChroma is the inverse and throws for formats Y4M cannot hold.
Kavrin::PixFmt Y4MChromaToPixFmt(const std::string& tag);
std::string PixFmtToY4MChroma(Kavrin::PixFmt pixFmt);

// Reads YUV4MPEG2 from a stream: the header at construction, then one frame per
// ReadFrame. Every malformed or truncated input is an InputError.
class Y4MReader {
public:
    static constexpr std::size_t MaxLine = 4096;
    static constexpr int MaxDimension = MaxFrameDimension;

    explicit Y4MReader(std::istream& in);
    const Y4MHeader& Header() const { return header; }
    // The next frame, or null at the end of the stream; read into `reuse` when
    // it is a frame of the stream's format, size and `colorSpace` (see ReadRawFrame).
    boost::intrusive_ptr<Kavrin::Proc::DataVideoCPU> ReadFrame(
        const Kavrin::Conf::ColorSpace& colorSpace,
        boost::intrusive_ptr<Kavrin::Proc::DataVideoCPU> reuse = nullptr);

private:
    std::istream& in;
    Y4MHeader header;
    long frames = 0;
};

// Writes YUV4MPEG2: the header at construction, then WriteFrame per frame.
class Y4MWriter {
public:
    Y4MWriter(std::ostream& out, const Y4MHeader& header);
    void WriteFrame(const Kavrin::Proc::IDataVideo& frame);

private:
    std::ostream& out;
};

// Raw planar frames: the planes of each frame one after the other, rows tight.
// ReadRawFrame throws InputError for a size that is not positive or exceeds
// MaxFrameDimension, a format without byte-sized CPU planes, a frame that does
// not fit in memory and a truncated frame. A frame is allocated only once the
// stream is known to hold it: seekable streams are measured, unseekable ones
// (pipes) are read into a growing buffer first when the frame is large.
// `reuse`, a frame no longer needed of the same format, size and colour space,
// is filled instead of a new one (sparing its allocation and page faults).
boost::intrusive_ptr<Kavrin::Proc::DataVideoCPU> ReadRawFrame(
    std::istream& in, Kavrin::PixFmt pixFmt, const Kavrin::Conf::FrameInfo& info,
    const Kavrin::Conf::ColorSpace& colorSpace,
    boost::intrusive_ptr<Kavrin::Proc::DataVideoCPU> reuse = nullptr);
void WritePlanes(std::ostream& out, const Kavrin::Proc::IDataVideo& frame);

}  // namespace RenderHubTool
