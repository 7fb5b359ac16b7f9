#include "Y4M.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <map>
#include <ostream>
#include <sstream>
#include <type_traits>
#include <utility>
#include <vector>

#include "Kavrin/Core/MemoryException.h"

namespace RenderHubTool {
namespace {

using namespace Kavrin;

const std::map<std::string, PixFmt>& ChromaTags() {
    static const std::map<std::string, PixFmt> tags = {
        {"420jpeg", PixFmt::YUV420P},    {"420mpeg2", PixFmt::YUV420P},
        {"420paldv", PixFmt::YUV420P},   {"420", PixFmt::YUV420P},
        {"411", PixFmt::YUV411P},        {"422", PixFmt::YUV422P},
        {"444", PixFmt::YUV444P},        {"444alpha", PixFmt::YUVA444P},
        {"420p10", PixFmt::YUV420P10LE}, {"420p12", PixFmt::YUV420P12LE},
        {"420p16", PixFmt::YUV420P16LE}, {"422p10", PixFmt::YUV422P10LE},
        {"422p12", PixFmt::YUV422P12LE}, {"422p16", PixFmt::YUV422P16LE},
        {"444p10", PixFmt::YUV444P10LE}, {"444p12", PixFmt::YUV444P12LE},
        {"444p16", PixFmt::YUV444P16LE},
    };
    return tags;
}

// The frame's rows in file order as runs of bytes, rows that follow each other in
// memory (tight strides, planes back to back) joined into one run: the stream
// moves a large run in one call, past its own buffer, so a frame costs one copy
// and a few system calls instead of two copies and one call per row.
template <typename Byte, typename Frame>
std::vector<std::pair<Byte*, std::size_t>> ByteRuns(Frame& frame) {
    const auto& description = *PixFmtDescription::Find(frame.GetPixelFormat());
    const auto& info = frame.GetFrameInfo();
    std::vector<std::pair<Byte*, std::size_t>> runs;
    for (int plane = 0; plane < description.planes; ++plane) {
        const auto rowBytes =
            static_cast<std::size_t>(description.GetPlanWidth(info.width, plane)) *
            description.bytesPerPixel[plane];
        const auto rows = [&] {
            if constexpr (std::is_const_v<Byte>) {
                return frame.GetPlaneConst(static_cast<unsigned char>(plane));
            } else {
                return frame.GetPlane(static_cast<unsigned char>(plane));
            }
        }();
        for (int row = 0; row < rows.rows; ++row) {
            auto* start = reinterpret_cast<Byte*>(rows.Row(row));
            if (!runs.empty() && runs.back().first + runs.back().second == start) {
                runs.back().second += rowBytes;
            } else {
                runs.emplace_back(start, rowBytes);
            }
        }
    }
    return runs;
}

// A line up to '\n', refusing absurdly long ones.
std::string ReadLine(std::istream& in, const char* what) {
    std::string line;
    char c = 0;
    while (in.get(c)) {
        if (c == '\n') {
            return line;
        }
        if (line.size() >= Y4MReader::MaxLine) {
            throw InputError(std::string(what) + " is longer than " +
                             std::to_string(Y4MReader::MaxLine) + " bytes");
        }
        line += c;
    }
    throw InputError(std::string(what) + " ends before its line break (truncated file)");
}

int ParsePositive(const std::string& text, const char* what) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        throw InputError(std::string("malformed ") + what + " '" + text + "'");
    }
    return std::stoi(text);
}

// "num:den"; 0:0 (unknown) only where zeroAllowed, never a single zero term.
void ParseRatio(const std::string& text, int& num, int& den, const char* what, bool zeroAllowed) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        throw InputError(std::string("malformed ") + what + " '" + text + "'");
    }
    num = ParsePositive(text.substr(0, colon), what);
    den = ParsePositive(text.substr(colon + 1), what);
    if ((num == 0 || den == 0) && !(zeroAllowed && num == 0 && den == 0)) {
        throw InputError(std::string(what) + " '" + text + "' has a zero term");
    }
}

void CheckFrameSize(int width, int height) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (width <= 0 || height <= 0) {
        throw InputError("frame size " + size + " is not positive");
    }
    if (width > MaxFrameDimension || height > MaxFrameDimension) {
        throw InputError("frame size " + size + " exceeds the " +
                         std::to_string(MaxFrameDimension) + " pixel limit");
    }
}

// The description of a format whose planes the raw reader can fill.
const PixFmtDescription& RequireRawFormat(PixFmt pixFmt) {
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    bool usable = description != nullptr && pixFmt != PixFmt::None && !description->IsHardware();
    for (int plane = 0; usable && plane < description->planes; ++plane) {
        usable = description->bytesPerPixel[plane] > 0;
    }
    if (!usable) {
        throw InputError("pixel format " +
                         (description ? description->GetName()
                                      : "#" + std::to_string(static_cast<int>(pixFmt))) +
                         " cannot be read as raw planes");
    }
    return *description;
}

// Tight bytes of one frame; sides within MaxFrameDimension keep it far from overflow.
std::int64_t FrameBytes(const PixFmtDescription& description, int width, int height) {
    std::int64_t bytes = 0;
    for (int plane = 0; plane < description.planes; ++plane) {
        bytes += static_cast<std::int64_t>(description.GetPlanWidth(width, plane)) *
                 description.bytesPerPixel[plane] * description.GetPlanHeight(height, plane);
    }
    return bytes;
}

// Bytes between the read position and the end, or -1 where the stream cannot
// seek (pipes). Goes through the buffer so the stream's state stays untouched.
std::int64_t BytesLeft(std::istream& in) {
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr || !in.good()) {
        return -1;
    }
    const std::streampos here = buffer->pubseekoff(0, std::ios::cur, std::ios::in);
    if (here == std::streampos(-1)) {
        return -1;
    }
    const std::streampos end = buffer->pubseekoff(0, std::ios::end, std::ios::in);
    buffer->pubseekpos(here, std::ios::in);
    if (end == std::streampos(-1) || end < here) {
        return -1;
    }
    return static_cast<std::int64_t>(end - here);
}

std::string Truncated(std::int64_t needed, std::int64_t left) {
    return "the frame is truncated: it needs " + std::to_string(needed) + " bytes, " +
           std::to_string(left) + " are left";
}

// Unseekable input may promise any frame size up to the limit; frames larger
// than this are collected in a buffer that grows with the data that arrives,
// so a lying header costs memory in proportion to the bytes actually sent.
constexpr std::int64_t DirectReadBytes = 1 << 20;

std::string ReadStaged(std::istream& in, std::int64_t bytes) {
    std::string staged;
    std::size_t have = 0;
    while (static_cast<std::int64_t>(have) < bytes) {
        staged.resize(static_cast<std::size_t>(
            std::min<std::int64_t>(bytes, std::max<std::int64_t>(2 * have, DirectReadBytes))));
        in.read(staged.data() + have, static_cast<std::streamsize>(staged.size() - have));
        have += static_cast<std::size_t>(in.gcount());
        if (have < staged.size()) {
            throw TruncatedFrame(Truncated(bytes, static_cast<std::int64_t>(have)));
        }
    }
    return staged;
}

}  // namespace

PixFmt Y4MChromaToPixFmt(const std::string& tag) {
    const auto found = ChromaTags().find(tag);
    if (found == ChromaTags().end()) {
        throw InputError("unsupported Y4M colour tag 'C" + tag + "'");
    }
    return found->second;
}

std::string PixFmtToY4MChroma(PixFmt pixFmt) {
    if (pixFmt == PixFmt::YUV420P) {
        return "420jpeg";
    }
    for (const auto& [tag, format] : ChromaTags()) {
        if (format == pixFmt && tag != "420mpeg2" && tag != "420paldv" && tag != "420") {
            return tag;
        }
    }
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    throw InputError(std::string("Y4M cannot hold pixel format ") +
                     (description ? description->GetName() : "unknown"));
}

Y4MReader::Y4MReader(std::istream& stream) : in(stream) {
    const std::string line = ReadLine(in, "the Y4M header");
    std::istringstream fields(line);
    std::string magic;
    fields >> magic;
    if (magic != "YUV4MPEG2") {
        throw InputError("not a Y4M file (no YUV4MPEG2 signature)");
    }
    std::string field;
    bool width = false, height = false;
    while (fields >> field) {
        const std::string value = field.substr(1);
        switch (field[0]) {
            case 'W':
                header.width = ParsePositive(value, "width");
                width = true;
                break;
            case 'H':
                header.height = ParsePositive(value, "height");
                height = true;
                break;
            case 'F':
                ParseRatio(value, header.rateNum, header.rateDen, "frame rate", false);
                break;
            case 'A':
                ParseRatio(value, header.aspectNum, header.aspectDen, "pixel aspect", true);
                break;
            case 'I':
                if (value != "p") {
                    throw InputError("unsupported Y4M interlacing 'I" + value +
                                     "' (only progressive)");
                }
                header.interlace = 'p';
                break;
            case 'C':
                header.pixFmt = Y4MChromaToPixFmt(value);
                header.chromaTag = value;
                break;
            case 'X':
                if (value == "COLORRANGE=FULL") {
                    header.range = PixelColorRange::Full;
                } else if (value == "COLORRANGE=LIMITED") {
                    header.range = PixelColorRange::Limited;
                }
                // Other extensions (XYSCSS=...) only restate the C tag.
                break;
            default:
                throw InputError("unsupported Y4M tag '" + field + "'");
        }
    }
    if (!width || !height) {
        throw InputError("the Y4M header has no width or no height");
    }
    CheckFrameSize(header.width, header.height);
}

boost::intrusive_ptr<Proc::DataVideoCPU> Y4MReader::ReadFrame(
    const Conf::ColorSpace& colorSpace, boost::intrusive_ptr<Proc::DataVideoCPU> reuse) {
    if (in.peek() == std::char_traits<char>::eof()) {
        return nullptr;
    }
    const std::string line = ReadLine(in, "a Y4M frame header");
    // Frame parameters may follow after a space; the reader needs none of them.
    if (line.rfind("FRAME", 0) != 0 || (line.size() > 5 && line[5] != ' ')) {
        throw InputError("frame " + std::to_string(frames + 1) + " does not start with FRAME");
    }
    ++frames;
    return ReadRawFrame(in, header.pixFmt,
                        {header.width, header.height, header.aspectNum, header.aspectDen},
                        colorSpace, std::move(reuse));
}

boost::intrusive_ptr<Proc::DataVideoCPU> ReadRawFrame(
    std::istream& in, PixFmt pixFmt, const Conf::FrameInfo& info,
    const Conf::ColorSpace& colorSpace, boost::intrusive_ptr<Proc::DataVideoCPU> reuse) {
    const PixFmtDescription& description = RequireRawFormat(pixFmt);
    CheckFrameSize(info.width, info.height);
    const std::int64_t bytes = FrameBytes(description, info.width, info.height);
    const std::int64_t left = BytesLeft(in);
    if (left >= 0 && left < bytes) {
        throw TruncatedFrame(Truncated(bytes, left));
    }
    std::string staged;
    if (left < 0 && bytes > DirectReadBytes) {
        staged = ReadStaged(in, bytes);
    }

    boost::intrusive_ptr<Proc::DataVideoCPU> frame;
    if (reuse && reuse->GetPixelFormat() == pixFmt && reuse->GetFrameInfo() == info &&
        reuse->GetColorSpace() == colorSpace) {
        frame = std::move(reuse);
    }
    try {
        if (!frame) {
            frame = Proc::DataVideoCPU::Create(
                pixFmt, {info.width, info.height, info.aspectNum, info.aspectDen}, colorSpace);
        }
    } catch (const Core::MemoryException&) {
        throw InputError("a " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                         " " + description.GetName() + " frame (" + std::to_string(bytes) +
                         " bytes) does not fit in memory");
    }
    const char* next = staged.data();
    std::int64_t done = 0;
    for (const auto& [destination, runBytes] : ByteRuns<char>(*frame)) {
        if (!staged.empty()) {
            std::memcpy(destination, next, runBytes);
            next += runBytes;
            continue;
        }
        in.read(destination, static_cast<std::streamsize>(runBytes));
        done += in.gcount();
        if (in.gcount() != static_cast<std::streamsize>(runBytes)) {
            throw TruncatedFrame(Truncated(bytes, done));
        }
    }
    return frame;
}

Y4MWriter::Y4MWriter(std::ostream& stream, const Y4MHeader& header) : out(stream) {
    out << "YUV4MPEG2 W" << header.width << " H" << header.height << " F" << header.rateNum << ':'
        << header.rateDen << " I" << header.interlace << " A" << header.aspectNum << ':'
        << header.aspectDen << " C"
        << (!header.chromaTag.empty() && Y4MChromaToPixFmt(header.chromaTag) == header.pixFmt
                ? header.chromaTag
                : PixFmtToY4MChroma(header.pixFmt));
    if (header.range == PixelColorRange::Full) {
        out << " XCOLORRANGE=FULL";
    } else if (header.range == PixelColorRange::Limited) {
        out << " XCOLORRANGE=LIMITED";
    }
    out << '\n';
}

void Y4MWriter::WriteFrame(const Proc::IDataVideo& frame) {
    out << "FRAME\n";
    WritePlanes(out, frame);
}

void WritePlanes(std::ostream& out, const Proc::IDataVideo& frame) {
    for (const auto& [source, runBytes] : ByteRuns<const char>(frame)) {
        out.write(source, static_cast<std::streamsize>(runBytes));
    }
}

}  // namespace RenderHubTool
