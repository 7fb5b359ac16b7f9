#include <GL/glew.h>

#include "Convert.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include "Kavrin/Conf/ColorPrimaries.h"
#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/PixFmtDescription.h"

#include "FrameConverter.h"
#include "GLFunctionTask.h"
#include "OutputFile.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "Texture.h"
#include "Y4M.h"

namespace RenderHubTool {

using Kavrin::Ogl::GLWork;
using Kavrin::Ogl::RunOnGL;
namespace {

using namespace Kavrin;
using Kavrin::Ogl::ShaderStorage;

// Exit statuses: a command line the tool cannot follow, a failure while
// converting, and input whose last frame is cut short (the whole ones are kept).
constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;
constexpr int kTruncatedStatus = 3;

// A command line the tool cannot follow: a name, number or combination it does
// not take. Found before any file is touched.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

PixFmt SupportedFormat(const std::string& name) {
    for (PixFmt format : Ogl::GetSupportedPixFmt()) {
        if (name == PixFmtDescription::Find(format)->GetName()) {
            return format;
        }
    }
    throw UsageError("unknown or unsupported pixel format '" + name + "'");
}

// FFmpeg's names of the matrices the converter has luma coefficients for.
Conf::YCbCrMatrix MatrixByName(const std::string& name) {
    static const std::map<std::string, Conf::YCbCrMatrix> names = {
        {"bt709", Conf::YCbCrMatrix::BT709},
        {"fcc", Conf::YCbCrMatrix::FCC},
        {"bt470bg", Conf::YCbCrMatrix::BT470BG},
        {"smpte170m", Conf::YCbCrMatrix::SMPTE170M},
        {"smpte240m", Conf::YCbCrMatrix::SMPTE240M},
        {"bt2020nc", Conf::YCbCrMatrix::BT2020NonConstant},
    };
    const auto found = names.find(name);
    if (found == names.end()) {
        std::string valid;
        for (const auto& [known, matrix] : names) {
            valid += (valid.empty() ? "" : ", ") + known;
        }
        throw UsageError("unknown or unsupported matrix '" + name + "' (valid: " + valid + ")");
    }
    return found->second;
}

// A side's matrix: the one named, else the one its primaries imply.
Conf::YCbCrMatrix MatrixFor(const std::string& name, std::int32_t primaries) {
    if (!name.empty()) {
        return MatrixByName(name);
    }
    return primaries == 9 ? Conf::YCbCrMatrix::BT2020NonConstant : Conf::YCbCrMatrix::BT709;
}

std::int32_t PrimariesByName(const std::string& name) {
    std::string valid;
    for (const Conf::NamedPrimaries& entry : Conf::GetConvertiblePrimaries()) {
        if (name == entry.name) {
            return static_cast<std::int32_t>(entry.primaries);
        }
        valid += (valid.empty() ? "" : ", ") + std::string(entry.name);
    }
    throw UsageError("unknown primaries '" + name + "' (valid: " + valid + ")");
}

std::int32_t TransferByName(const std::string& name) {
    static const std::map<std::string, std::int32_t> names = {
        {"bt709", 1},      {"gamma22", 4},       {"gamma28", 5},    {"smpte170m", 6},
        {"linear", 8},     {"iec61966-2-1", 13}, {"bt2020-10", 14}, {"bt2020-12", 15},
        {"smpte2084", 16}, {"arib-std-b67", 18}};
    const auto found = names.find(name);
    if (found == names.end()) {
        throw UsageError("unknown transfer '" + name + "'");
    }
    return found->second;
}

// A PNG sequence name: literal text around exactly one integer conversion, %d
// or %0Nd; %% is a literal percent. Numbers are formatted here, never by printf,
// so nothing in a name reaches a format string.
class SequencePattern {
public:
    // Nothing for a name without '%' (a single PNG); UsageError for any other
    // use of '%'.
    static std::optional<SequencePattern> Parse(const std::string& name) {
        if (name.find('%') == std::string::npos) {
            return std::nullopt;
        }
        SequencePattern pattern;
        bool converted = false;
        std::string* text = &pattern.prefix;
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (name[i] != '%') {
                *text += name[i];
                continue;
            }
            if (i + 1 < name.size() && name[i + 1] == '%') {
                *text += '%';
                ++i;
                continue;
            }
            std::size_t end = i + 1;
            while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) {
                ++end;
            }
            const std::string digits = name.substr(i + 1, end - i - 1);
            const bool padded = digits.empty() || (digits[0] == '0' && digits.size() <= 3);
            if (converted || end >= name.size() || name[end] != 'd' || !padded) {
                throw UsageError("unusable file pattern '" + name +
                                 "': use one %d or %0Nd for the frame number (%% for a percent "
                                 "sign)");
            }
            pattern.width = digits.empty() ? 0 : std::stoi(digits);
            converted = true;
            text = &pattern.suffix;
            i = end;
        }
        if (!converted) {
            throw UsageError("unusable file pattern '" + name +
                             "': it has no %d or %0Nd for the frame number");
        }
        return pattern;
    }

    std::string Name(long number) const {
        std::string digits = std::to_string(number);
        if (static_cast<int>(digits.size()) < width) {
            digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
        }
        return prefix + digits + suffix;
    }

    // The frame numbers of existing files that the pattern names.
    std::vector<long> Existing() const {
        const std::filesystem::path folderPart = std::filesystem::path(prefix).parent_path();
        const std::string filePrefix = std::filesystem::path(prefix + "x").filename().string();
        const std::string stem = filePrefix.substr(0, filePrefix.size() - 1);
        std::vector<long> numbers;
        std::error_code error;
        const std::filesystem::path folder = folderPart.empty() ? "." : folderPart;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            const std::string file = entry.path().filename().string();
            if (file.size() <= stem.size() + suffix.size() || file.rfind(stem, 0) != 0 ||
                !EndsWith(file, suffix)) {
                continue;
            }
            const std::string digits =
                file.substr(stem.size(), file.size() - stem.size() - suffix.size());
            if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) {
                    return std::isdigit(static_cast<unsigned char>(c));
                })) {
                continue;
            }
            const long number = std::stol(digits);
            if (Name(number) == (folderPart.empty() ? file : (folderPart / file).string())) {
                numbers.push_back(number);
            }
        }
        std::sort(numbers.begin(), numbers.end());
        return numbers;
    }

private:
    std::string prefix;
    std::string suffix;
    int width = 0;
};

bool IsDeep(QImage::Format format) {
    return format == QImage::Format_Grayscale16 || format == QImage::Format_RGBX64 ||
           format == QImage::Format_RGBA64 || format == QImage::Format_RGBA64_Premultiplied;
}

// 8-bit PNGs become RGBA frames, deeper ones (16-bit grey too) RGBA64LE. The
// size comes from the header, so an oversized picture is refused before it is
// decoded.
boost::intrusive_ptr<Proc::DataVideoCPU> ReadPng(const std::string& path,
                                                 const Conf::ColorSpace& colorSpace,
                                                 std::uint64_t maximumSize) {
    QImageReader reader(QString::fromStdString(path), "png");
    const QSize size = reader.size();
    if (!size.isValid()) {
        throw InputError("cannot read the PNG '" + path +
                         "': " + reader.errorString().toStdString());
    }
    const std::uint64_t limit = std::min<std::uint64_t>(maximumSize, MaxFrameDimension);
    if (static_cast<std::uint64_t>(size.width()) > limit ||
        static_cast<std::uint64_t>(size.height()) > limit) {
        throw InputError("the PNG '" + path + "' is " + std::to_string(size.width()) + "x" +
                         std::to_string(size.height()) + ", more than the largest frame side " +
                         std::to_string(limit));
    }
    const bool deep = IsDeep(reader.imageFormat());
    QImage image = reader.read();
    if (image.isNull()) {
        throw InputError("cannot read the PNG '" + path +
                         "': " + reader.errorString().toStdString());
    }
    image = image.convertToFormat(deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
    auto frame = Proc::DataVideoCPU::Create(deep ? PixFmt::RGBA64LE : PixFmt::RGBA,
                                            {image.width(), image.height(), 0, 0}, colorSpace);
    const auto plane = frame->GetPlane(0);
    for (int row = 0; row < image.height(); ++row) {
        std::memcpy(plane.Row(row), image.constScanLine(row),
                    static_cast<std::size_t>(frame->GetPlaneWidthBytes(0)));
    }
    return frame;
}

std::string EncodePng(const Proc::DataVideoCPU& frame) {
    const bool deep = frame.GetPixelFormat() == PixFmt::RGBA64LE;
    const auto& info = frame.GetFrameInfo();
    QImage image(info.width, info.height, deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
    const auto plane = frame.GetPlaneConst(0);
    for (int row = 0; row < info.height; ++row) {
        std::memcpy(image.scanLine(row), plane.Row(row),
                    static_cast<std::size_t>(frame.GetPlaneWidthBytes(0)));
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
        throw InputError("cannot encode a PNG frame");
    }
    return bytes.toStdString();
}

using ChromaLocation = Ogl::FrameConversionOptions::ChromaLocation;

// One of `names`' values by its name; else a usage error naming the valid ones.
template <class Value>
Value ByName(const std::string& what, const std::string& name,
             const std::vector<std::pair<std::string, Value>>& names) {
    std::string valid;
    for (const auto& [key, value] : names) {
        if (key == name) {
            return value;
        }
        valid += (valid.empty() ? "" : ", ") + key;
    }
    throw UsageError("unknown " + what + " '" + name + "' (valid: " + valid + ")");
}

// FFmpeg's names of the chroma locations.
ChromaLocation ChromaLocationByName(const std::string& name) {
    return ByName<ChromaLocation>("chroma location", name,
                                  {{"left", ChromaLocation::Left},
                                   {"center", ChromaLocation::Center},
                                   {"topleft", ChromaLocation::TopLeft},
                                   {"top", ChromaLocation::Top},
                                   {"bottomleft", ChromaLocation::BottomLeft},
                                   {"bottom", ChromaLocation::Bottom}});
}

Ogl::FrameConversionOptions::ChromaFilter ChromaFilterByName(const std::string& name) {
    using Filter = Ogl::FrameConversionOptions::ChromaFilter;
    return ByName<Filter>("chroma filter", name,
                          {{"nearest", Filter::Nearest},
                           {"bilinear", Filter::Bilinear},
                           {"bicubic", Filter::Bicubic}});
}

// The sample aspect ratio that keeps the picture's shape through a resize, as
// FFmpeg's scale filter sets it; unknown stays unknown.
void KeepDisplayAspect(const Conf::FrameInfo& from, Conf::FrameInfo& to) {
    if (from.aspectNum <= 0 || from.aspectDen <= 0) {
        to.aspectNum = from.aspectNum;
        to.aspectDen = from.aspectDen;
        return;
    }
    std::int64_t num = std::int64_t{from.aspectNum} * from.width * to.height;
    std::int64_t den = std::int64_t{from.aspectDen} * from.height * to.width;
    const std::int64_t divisor = std::gcd(num, den);
    num /= divisor;
    den /= divisor;
    while (num > INT32_MAX || den > INT32_MAX) {
        num = (num + 1) / 2;
        den = (den + 1) / 2;
    }
    to.aspectNum = static_cast<std::int32_t>(num);
    to.aspectDen = static_cast<std::int32_t>(den);
}

// The siting a Y4M 4:2:0 tag states: jpeg centred, paldv top-left, mpeg2 and the
// plain tag left.
ChromaLocation ChromaLocationOfTag(const std::string& tag) {
    if (tag == "420jpeg") {
        return ChromaLocation::Center;
    }
    return tag == "420paldv" ? ChromaLocation::TopLeft : ChromaLocation::Left;
}

// The tag of 8-bit 4:2:0 Y4M that states a siting; empty where none does.
std::string TagOfChromaLocation(ChromaLocation location) {
    switch (location) {
        case ChromaLocation::Center:
            return "420jpeg";
        case ChromaLocation::TopLeft:
            return "420paldv";
        case ChromaLocation::Left:
            return "420mpeg2";
        default:
            return "";
    }
}

PixelColorRange RangeByName(const std::string& name) {
    if (name == "tv" || name == "limited" || name == "mpeg") {
        return PixelColorRange::Limited;
    }
    if (name == "pc" || name == "full" || name == "jpeg") {
        return PixelColorRange::Full;
    }
    throw UsageError("unknown range '" + name + "' (tv/limited or pc/full)");
}

const char* RangeName(PixelColorRange range) {
    return range == PixelColorRange::Full ? "full" : "limited";
}

// Bytes one frame takes in a file: its planes, rows tight.
std::uint64_t FrameBytes(PixFmt format, const Conf::FrameInfo& info) {
    const PixFmtDescription& description = *PixFmtDescription::Find(format);
    std::uint64_t bytes = 0;
    for (int plane = 0; plane < description.planes; ++plane) {
        bytes += static_cast<std::uint64_t>(description.GetPlanWidth(info.width, plane)) *
                 description.bytesPerPixel[plane] *
                 static_cast<std::uint64_t>(description.GetPlanHeight(info.height, plane));
    }
    return bytes;
}

std::uint64_t FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// Where frames come from: the format, size and range of all its frames, and
// how many there are when that can be told in advance (0 when not).
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The next frame, or null at the end; `reuse`, a frame of an earlier Next
    // that is no longer needed, may be filled again instead of a new one.
    virtual boost::intrusive_ptr<Proc::DataVideoCPU> Next(
        boost::intrusive_ptr<Proc::DataVideoCPU> reuse) = 0;

    PixFmt format = PixFmt::None;
    Conf::FrameInfo info;
    PixelColorRange range = PixelColorRange::Unspecified;
    long total = 0;
};

// Serves bytes already read (to recognise a stream) before the rest of it.
class ReplayBuffer : public std::streambuf {
public:
    ReplayBuffer(std::string start, std::streambuf* rest) : start(std::move(start)), rest(rest) {
        setg(this->start.data(), this->start.data(), this->start.data() + this->start.size());
    }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        const std::streamsize count =
            rest->sgetn(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        if (count <= 0) {
            return traits_type::eof();
        }
        setg(chunk.data(), chunk.data(), chunk.data() + count);
        return traits_type::to_int_type(*gptr());
    }

private:
    std::string start;
    std::streambuf* rest;
    std::array<char, 1 << 16> chunk{};
};

// An input file, or standard input for "-" (which cannot seek: readers then
// take frames as they arrive). Its first bytes are read ahead to recognise Y4M.
class InputStream {
public:
    explicit InputStream(const std::string& path) {
        start.resize(10);
        if (path != "-") {
            file.open(path, std::ios::binary);
            if (!file) {
                throw InputError("cannot open '" + path + "': " + std::strerror(errno));
            }
            file.read(start.data(), static_cast<std::streamsize>(start.size()));
            start.resize(static_cast<std::size_t>(file.gcount()));
            file.clear();
            file.seekg(0);
            stream = &file;
            return;
        }
        start.resize(static_cast<std::size_t>(std::cin.rdbuf()->sgetn(start.data(), 10)));
        replay = std::make_unique<ReplayBuffer>(start, std::cin.rdbuf());
        replayed = std::make_unique<std::istream>(replay.get());
        stream = replayed.get();
    }
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    bool StartsLikeY4M() const { return start.rfind("YUV4MPEG2 ", 0) == 0; }
    std::istream& Stream() { return *stream; }

private:
    std::ifstream file;
    std::string start;
    std::unique_ptr<ReplayBuffer> replay;
    std::unique_ptr<std::istream> replayed;
    std::istream* stream = nullptr;
};

class Y4MSource : public FrameSource {
public:
    Y4MSource(std::unique_ptr<InputStream> input, const std::string& path,
              const Conf::ColorSpace& colorSpace)
        : input(std::move(input)), reader(this->input->Stream()), colorSpace(colorSpace) {
        const Y4MHeader& header = reader.Header();
        format = header.pixFmt;
        info = {header.width, header.height, header.aspectNum, header.aspectDen};
        range = header.range;
        if (path != "-") {
            // Frames usually carry a bare "FRAME\n".
            const auto headerBytes = static_cast<std::uint64_t>(this->input->Stream().tellg());
            total = static_cast<long>((FileSize(path) - std::min(FileSize(path), headerBytes)) /
                                      (FrameBytes(format, info) + 6));
        }
    }
    boost::intrusive_ptr<Proc::DataVideoCPU> Next(
        boost::intrusive_ptr<Proc::DataVideoCPU> reuse) override {
        return reader.ReadFrame(colorSpace, std::move(reuse));
    }
    const Y4MHeader& Header() const { return reader.Header(); }

private:
    std::unique_ptr<InputStream> input;
    Y4MReader reader;
    Conf::ColorSpace colorSpace;
};

class RawSource : public FrameSource {
public:
    RawSource(std::unique_ptr<InputStream> input, const std::string& path, PixFmt pixFmt,
              const Conf::FrameInfo& frameInfo, const Conf::ColorSpace& colorSpace)
        : input(std::move(input)), colorSpace(colorSpace) {
        format = pixFmt;
        info = frameInfo;
        total = path == "-" ? 0 : static_cast<long>(FileSize(path) / FrameBytes(format, info));
    }
    boost::intrusive_ptr<Proc::DataVideoCPU> Next(
        boost::intrusive_ptr<Proc::DataVideoCPU> reuse) override {
        std::istream& in = input->Stream();
        if (in.peek() == std::char_traits<char>::eof()) {
            return nullptr;
        }
        return ReadRawFrame(in, format, info, colorSpace, std::move(reuse));
    }

private:
    std::unique_ptr<InputStream> input;
    Conf::ColorSpace colorSpace;
};

// One PNG, or a numbered sequence: from --start-number, or from the lowest
// number of 0 to 4 that exists (as FFmpeg's image2 reader looks), to the last
// one before a missing number; a missing number with later frames is an error.
class PngSource : public FrameSource {
public:
    PngSource(const std::string& name, int startNumber, const Conf::ColorSpace& colorSpace,
              std::uint64_t maximumSize)
        : pattern(SequencePattern::Parse(name)), colorSpace(colorSpace), maximumSize(maximumSize) {
        if (!pattern) {
            first = ReadPng(name, colorSpace, maximumSize);
            total = 1;
        } else {
            const std::vector<long> existing = pattern->Existing();
            const auto has = [&](long number) {
                return std::binary_search(existing.begin(), existing.end(), number);
            };
            next = startNumber;
            if (next < 0) {
                for (long number = 0; number < 5 && next < 0; ++number) {
                    next = has(number) ? number : -1;
                }
            }
            if (next < 0 || !has(next)) {
                throw InputError("no frame of the sequence '" + name + "' exists (looked for " +
                                 (startNumber < 0 ? "numbers 0 to 4; --start-number N sets it"
                                                  : "number " + std::to_string(startNumber)) +
                                 ")");
            }
            while (has(next + total)) {
                ++total;
            }
            const auto later = std::upper_bound(existing.begin(), existing.end(), next + total);
            if (later != existing.end()) {
                throw InputError("frame " + pattern->Name(next + total) + " of the sequence '" +
                                 name + "' is missing (" + pattern->Name(*later) + " comes later)");
            }
            first = ReadPng(pattern->Name(next), colorSpace, maximumSize);
        }
        format = first->GetPixelFormat();
        info = first->GetFrameInfo();
        range = PixelColorRange::Full;
    }
    // Decoded images come in buffers of their own.
    boost::intrusive_ptr<Proc::DataVideoCPU> Next(
        boost::intrusive_ptr<Proc::DataVideoCPU>) override {
        if (read == total) {
            return nullptr;
        }
        auto frame =
            first ? std::move(first) : ReadPng(pattern->Name(next + read), colorSpace, maximumSize);
        if (!(frame->GetFrameInfo() == info && frame->GetPixelFormat() == format)) {
            throw InputError("frame " + pattern->Name(next + read) +
                             " of the sequence differs in size or depth from the first");
        }
        ++read;
        return frame;
    }

private:
    std::optional<SequencePattern> pattern;
    Conf::ColorSpace colorSpace;
    std::uint64_t maximumSize;
    boost::intrusive_ptr<Proc::DataVideoCPU> first;
    long next = 0;
    long read = 0;
};

// Where converted frames go; nothing stays behind under the final names unless
// Commit is reached, and nothing that was there before is lost until then.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void Write(const Proc::DataVideoCPU& frame) = 0;
    virtual void Commit() = 0;
};

// Y4M or raw planes into one file (or standard output).
class FileSink : public FrameSink {
public:
    FileSink(const std::string& path, const std::optional<Y4MHeader>& header) : output(path) {
        if (header) {
            writer.emplace(output.Stream(), *header);
        }
    }
    void Write(const Proc::DataVideoCPU& frame) override {
        if (writer) {
            writer->WriteFrame(frame);
        } else {
            WritePlanes(output.Stream(), frame);
        }
        if (!output.Stream()) {
            throw InputError("writing '" + output.Name() + "' failed: " + std::strerror(errno));
        }
    }
    void Commit() override { output.Commit(); }

private:
    OutputFile output;
    std::optional<Y4MWriter> writer;
};

// One PNG, or numbered PNGs from 1 on; every one is written whole under a
// temporary name and all are put in place together at Commit.
class PngSink : public FrameSink {
public:
    explicit PngSink(const std::string& name) : name(name), pattern(SequencePattern::Parse(name)) {}
    void Write(const Proc::DataVideoCPU& frame) override {
        if (!pattern && !frames.empty()) {
            throw UsageError(
                "a single PNG holds one frame: name the output with a pattern such "
                "as out%04d.png");
        }
        const std::string bytes = EncodePng(frame);
        frames.push_back(std::make_unique<OutputFile>(
            pattern ? pattern->Name(static_cast<long>(frames.size()) + 1) : name));
        frames.back()->Stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        frames.back()->Close();
    }
    void Commit() override {
        for (auto& frame : frames) {
            frame->Commit();
        }
    }

private:
    std::string name;
    std::optional<SequencePattern> pattern;
    std::vector<std::unique_ptr<OutputFile>> frames;
};

// A frame between the GPU and the writer.
struct InFlight {
    GLWork work;
    boost::intrusive_ptr<Proc::DataVideoCPU> input;   // what the GPU reads
    boost::intrusive_ptr<Proc::DataVideoCPU> output;  // what the GPU writes and is written
};

// Frames converted (inputs) or written (outputs) and free again: taking one spares
// the allocation, its zeroing and its page faults, which on a busy machine cost
// the GPU's threads.
class SpareFrames {
public:
    boost::intrusive_ptr<Proc::DataVideoCPU> Take() {
        std::lock_guard lock(mutex);
        if (frames.empty()) {
            return nullptr;
        }
        auto frame = std::move(frames.back());
        frames.pop_back();
        return frame;
    }
    void Put(boost::intrusive_ptr<Proc::DataVideoCPU>&& frame) {
        std::lock_guard lock(mutex);
        frames.push_back(std::move(frame));
    }

private:
    std::mutex mutex;
    std::vector<boost::intrusive_ptr<Proc::DataVideoCPU>> frames;
};

// A bounded first-in first-out queue between the reading and the writing thread.
class InFlightQueue {
public:
    explicit InFlightQueue(std::size_t capacity) : capacity(capacity) {}

    // False when the queue was closed (the writer gave up); the item is dropped
    // only after its GL work has finished.
    bool Push(InFlight&& item) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return items.size() < capacity || closed; });
        if (closed) {
            lock.unlock();
            item.work.Wait();
            return false;
        }
        items.push_back(std::move(item));
        changed.notify_all();
        return true;
    }
    std::optional<InFlight> Pop() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !items.empty() || closed; });
        if (items.empty()) {
            return std::nullopt;
        }
        InFlight item = std::move(items.front());
        items.pop_front();
        changed.notify_all();
        return item;
    }
    void Close() {
        std::lock_guard lock(mutex);
        closed = true;
        changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<InFlight> items;
    std::size_t capacity;
    bool closed = false;
};

// "\r120/300 frames, 48.1 fps, ETA 4 s" on a terminal, at most ten times a second.
class Progress {
public:
    Progress(long total, bool quiet)
        : total(total), enabled(!quiet && isatty(STDERR_FILENO) != 0) {}
    void Update(long frames, bool last = false) {
        const auto now = std::chrono::steady_clock::now();
        if (!enabled || (!last && now - shown < std::chrono::milliseconds(100))) {
            return;
        }
        if (last && frames == shownFrames) {
            std::fprintf(stderr, "\n");  // the line already says it all
            return;
        }
        shown = now;
        shownFrames = frames;
        const double seconds = std::chrono::duration<double>(now - start).count();
        const double fps = frames / std::max(seconds, 1e-9);
        if (total > frames) {
            std::fprintf(stderr, "\r%ld/%ld frames, %.1f fps, ETA %.0f s   ", frames, total, fps,
                         (total - frames) / std::max(fps, 1e-9));
        } else {
            std::fprintf(stderr, "\r%ld frames, %.1f fps            ", frames, fps);
        }
        if (last) {
            std::fprintf(stderr, "\n");
        }
    }
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

private:
    long total;
    bool enabled;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point shown;
    long shownFrames = -1;
};

enum class Container { Y4M, Raw, Png };

// A container by name (-f), or by the file's extension; standard input and
// output ("-") carry Y4M unless raw is asked for.
Container ContainerOf(const std::string& forced, const std::string& path, bool input,
                      bool rawOptions) {
    if (!forced.empty()) {
        if (forced == "y4m" || forced == "yuv4mpegpipe") {
            return Container::Y4M;
        }
        if (forced == "raw" || forced == "rawvideo") {
            return Container::Raw;
        }
        if (forced == "png") {
            return Container::Png;
        }
        throw UsageError("unknown container '" + forced + "' (valid: y4m, raw, png)");
    }
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (path == "-") {
        return input && rawOptions ? Container::Raw : Container::Y4M;
    }
    if (extension == ".y4m") {
        return Container::Y4M;
    }
    if (extension == ".png") {
        return Container::Png;
    }
    static const char* const kRaw[] = {".yuv",  ".raw",  ".rgb",  ".rgba", ".bgr",
                                       ".bgra", ".nv12", ".nv21", ".bin"};
    if (std::find(std::begin(kRaw), std::end(kRaw), extension) != std::end(kRaw) ||
        (input && rawOptions)) {
        return Container::Raw;
    }
    throw UsageError(std::string("cannot tell the ") + (input ? "input" : "output") +
                     " container of '" + path +
                     "' (.y4m, .png, raw .yuv/.rgb/.raw/..., or -f y4m|raw|png)");
}

std::unique_ptr<FrameSource> OpenSource(const ConvertOptions& options,
                                        const Conf::ColorSpace& colorSpace,
                                        std::uint64_t maximumSize) {
    const bool rawOptions = !options.inputPixFmt.empty();
    const Container container =
        ContainerOf(options.inputContainer, options.input, true, rawOptions);
    if (container != Container::Raw && options.width > 0) {
        throw UsageError("--size is the size of raw input; --scale WxH resizes");
    }
    if (container == Container::Png) {
        return std::make_unique<PngSource>(options.input, options.startNumber, colorSpace,
                                           maximumSize);
    }
    if (container == Container::Raw &&
        (options.width <= 0 || options.height <= 0 || options.inputPixFmt.empty())) {
        throw UsageError("raw input needs --size WxH and --in-pix-fmt NAME");
    }

    const PixFmt rawFormat = rawOptions ? SupportedFormat(options.inputPixFmt) : PixFmt::None;
    auto input = std::make_unique<InputStream>(options.input);
    if (container == Container::Y4M ||
        (options.input == "-" && options.inputContainer.empty() && input->StartsLikeY4M())) {
        return std::make_unique<Y4MSource>(std::move(input), options.input, colorSpace);
    }
    return std::make_unique<RawSource>(std::move(input), options.input, rawFormat,
                                       Conf::FrameInfo{options.width, options.height, 0, 0},
                                       colorSpace);
}

// Everything the command line says, checked before any file is touched.
struct Settings {
    Conf::ColorSpace sourceSpace;
    Conf::ColorSpace targetSpace;
    Ogl::FrameConversionOptions conversion;  // ranges and sitings come with the input
    std::optional<ChromaLocation> inputSiting;
    std::optional<ChromaLocation> outputSiting;
    Container outputContainer = Container::Y4M;
    PixelColorRange requestedRange = PixelColorRange::Unspecified;
};

Settings ReadSettings(const ConvertOptions& options) {
    Settings settings;
    const std::int32_t inputPrimaries = PrimariesByName(options.inputPrimaries);
    const std::int32_t outputPrimaries =
        options.outputPrimaries.empty() ? inputPrimaries : PrimariesByName(options.outputPrimaries);
    settings.sourceSpace = {
        inputPrimaries, TransferByName(options.inputTransfer),
        static_cast<std::int32_t>(MatrixFor(options.inputMatrix, inputPrimaries))};
    settings.targetSpace = {
        outputPrimaries,
        options.outputTransfer.empty() ? settings.sourceSpace.transfer
                                       : TransferByName(options.outputTransfer),
        static_cast<std::int32_t>(MatrixFor(options.outputMatrix, outputPrimaries))};
    if (options.inFlight < 1 || options.inFlight > 64) {
        throw UsageError("--in-flight takes 1 to 64 frames");
    }
    using Conversion = Ogl::FrameConversionOptions;
    Conversion& conversion = settings.conversion;
    conversion.dither = ByName<Conversion::Dither>(
        "dither", options.dither,
        {{"none", Conversion::Dither::None}, {"ordered", Conversion::Dither::Ordered}});
    conversion.chromaFilter = ChromaFilterByName(options.chromaFilter);
    conversion.scaleFilter =
        ByName<Conversion::ScaleFilter>("scale filter", options.scaleFilter,
                                        {{"bilinear", Conversion::ScaleFilter::Bilinear},
                                         {"bicubic", Conversion::ScaleFilter::Bicubic},
                                         {"mitchell", Conversion::ScaleFilter::Mitchell},
                                         {"lanczos3", Conversion::ScaleFilter::Lanczos3}});
    conversion.scaleInLinearLight =
        ByName<bool>("scale light", options.scaleLight, {{"gamma", false}, {"linear", true}});
    conversion.toneCurve =
        ByName<Conversion::ToneCurve>("tone curve", options.toneCurve,
                                      {{"bt2390", Conversion::ToneCurve::BT2390},
                                       {"reinhard", Conversion::ToneCurve::Reinhard},
                                       {"clip", Conversion::ToneCurve::Clip}});
    conversion.gamut = ByName<Conversion::Gamut>(
        "gamut mapping", options.gamut,
        {{"clip", Conversion::Gamut::Clip}, {"compress", Conversion::Gamut::Compress}});
    conversion.sourcePeakLuminance = options.sourcePeak;
    conversion.targetPeakLuminance = options.targetPeak;
    conversion.referenceWhiteLuminance = options.referenceWhite;
    conversion.hlgDisplayPeakLuminance = options.hlgPeak;
    if (!options.inputChromaLocation.empty()) {
        settings.inputSiting = ChromaLocationByName(options.inputChromaLocation);
    }
    if (!options.outputChromaLocation.empty()) {
        settings.outputSiting = ChromaLocationByName(options.outputChromaLocation);
    }
    settings.outputContainer = ContainerOf(options.outputContainer, options.output, false, false);
    if (settings.outputContainer == Container::Png) {
        SequencePattern::Parse(options.output);  // refuses a bad pattern before any work
    }
    if (!options.inputRange.empty()) {
        RangeByName(options.inputRange);
    }
    if (!options.outputRange.empty()) {
        settings.requestedRange = RangeByName(options.outputRange);
    }
    if (!options.outputPixFmt.empty()) {
        SupportedFormat(options.outputPixFmt);
    }
    return settings;
}

// One conversion, planned from the settings and the opened input.
struct Plan {
    std::unique_ptr<FrameSource> source;
    PixFmt inputFormat = PixFmt::None;
    PixFmt outputFormat = PixFmt::None;
    Conf::FrameInfo info;
    Conf::FrameInfo outputInfo;
    PixelColorRange inputRange = PixelColorRange::Limited;
    PixelColorRange outputRange = PixelColorRange::Limited;
    Conf::ColorSpace targetSpace;
    std::unique_ptr<Ogl::FrameConverter> converter;
    std::unique_ptr<FrameSink> sink;
};

Plan PlanConversion(const ConvertOptions& options, Settings settings) {
    Plan plan;
    const auto maximumSize = Ogl::RenderHub::GetInstance().GetMaximumTextureSize();
    plan.source = OpenSource(options, settings.sourceSpace, maximumSize);
    plan.inputFormat = plan.source->format;
    plan.info = plan.source->info;
    plan.outputInfo = plan.info;
    if (options.scaleWidth > 0 && options.scaleHeight > 0) {
        plan.outputInfo.width = options.scaleWidth;
        plan.outputInfo.height = options.scaleHeight;
        KeepDisplayAspect(plan.info, plan.outputInfo);
    }
    const PixFmtDescription& inputDescription = *PixFmtDescription::Find(plan.inputFormat);
    const bool yuvIn = inputDescription.IsYUV();
    if (!options.inputRange.empty()) {
        plan.inputRange = RangeByName(options.inputRange);
    } else if (plan.source->range != PixelColorRange::Unspecified) {
        plan.inputRange = plan.source->range;
    }
    plan.outputFormat =
        options.outputPixFmt.empty() ? plan.inputFormat : SupportedFormat(options.outputPixFmt);
    if (settings.outputContainer == Container::Png) {
        if (options.outputPixFmt.empty()) {
            plan.outputFormat = inputDescription.depth > 8 ? PixFmt::RGBA64LE : PixFmt::RGBA;
        } else if (plan.outputFormat != PixFmt::RGBA && plan.outputFormat != PixFmt::RGBA64LE) {
            throw UsageError("PNG output takes --pix-fmt rgba or rgba64le");
        }
    }
    const bool yuvOut = PixFmtDescription::Find(plan.outputFormat)->IsYUV();
    plan.outputRange = settings.requestedRange != PixelColorRange::Unspecified
                           ? settings.requestedRange
                       : yuvIn ? plan.inputRange
                               : PixelColorRange::Limited;
    plan.targetSpace = settings.targetSpace;

    Ogl::FrameConversionOptions& conversion = settings.conversion;
    conversion.sourceRange = yuvIn ? plan.inputRange : PixelColorRange::Full;
    conversion.targetRange = yuvOut ? plan.outputRange : PixelColorRange::Full;
    const auto* y4mSource = dynamic_cast<const Y4MSource*>(plan.source.get());
    const ChromaLocation inputSiting =
        settings.inputSiting.value_or(y4mSource != nullptr && plan.inputFormat == PixFmt::YUV420P
                                          ? ChromaLocationOfTag(y4mSource->Header().chromaTag)
                                          : ChromaLocation::Left);
    conversion.sourceChromaLocation = inputSiting;
    conversion.targetChromaLocation = settings.outputSiting.value_or(inputSiting);
    // Refuses unusable colour spaces before any file is touched.
    plan.converter = std::make_unique<Ogl::FrameConverter>(conversion);
    try {
        plan.converter->Plan(plan.inputFormat, settings.sourceSpace, plan.outputFormat,
                             settings.targetSpace);
    } catch (const std::exception& error) {
        throw UsageError(error.what());
    }

    std::optional<Y4MHeader> header;
    if (settings.outputContainer == Container::Y4M) {
        header = y4mSource != nullptr ? y4mSource->Header() : Y4MHeader{};
        header->width = plan.outputInfo.width;
        header->height = plan.outputInfo.height;
        header->aspectNum = plan.outputInfo.aspectNum;
        header->aspectDen = plan.outputInfo.aspectDen;
        header->pixFmt = plan.outputFormat;
        header->range = plan.outputRange;
        // The input's own tag while it still tells the truth, else the siting's.
        const std::string& tag = header->chromaTag;
        const bool sitingTag =
            tag == "420jpeg" || tag == "420mpeg2" || tag == "420paldv" || tag == "420";
        if (plan.outputFormat == PixFmt::YUV420P &&
            (!sitingTag || ChromaLocationOfTag(tag) != conversion.targetChromaLocation)) {
            header->chromaTag = TagOfChromaLocation(conversion.targetChromaLocation);
        }
        try {
            PixFmtToY4MChroma(plan.outputFormat);  // refuses what Y4M cannot hold, before any work
        } catch (const InputError& error) {
            throw UsageError(error.what());
        }
    }
    for (const Conf::FrameInfo& size : {plan.info, plan.outputInfo}) {
        if (static_cast<std::uint64_t>(size.width) > maximumSize ||
            static_cast<std::uint64_t>(size.height) > maximumSize) {
            throw InputError("frame size " + std::to_string(size.width) + "x" +
                             std::to_string(size.height) + " exceeds the maximum texture size " +
                             std::to_string(maximumSize));
        }
    }
    if (settings.outputContainer == Container::Png) {
        plan.sink = std::make_unique<PngSink>(options.output);
    } else {
        plan.sink = std::make_unique<FileSink>(options.output, header);
    }
    return plan;
}

// Lowers the calling thread's priority (Linux keeps a nice value per thread).
void GiveWayToOtherThreads(int steps) {
    const auto thread = static_cast<id_t>(gettid());
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, thread);
    if (errno == 0) {
        setpriority(PRIO_PROCESS, thread, std::min(nice + steps, 19));
    }
}

struct PipelineResult {
    long written = 0;
    std::string truncation;  // why the last input frame was cut short, if it was
};

// Reads, converts on the GL thread and writes at the same time, `inFlight`
// frames between reading and writing; the first failure stops it, after the GL
// work under way has finished. The converter goes with the last of it.
PipelineResult RunPipeline(Plan& plan, const ConvertOptions& options, Progress& progress) {
    PipelineResult result;
    InFlightQueue queue(static_cast<std::size_t>(options.inFlight));
    SpareFrames spare;
    SpareFrames spareInputs;
    std::exception_ptr writeFailure;
    // A software rasterizer draws on the cores the writer copies on. With equal
    // priorities the scheduler let both rasterizer threads queue on one core for
    // a time slice or more while the other sat idle after a write; a lower
    // priority writer runs in the gaps instead (about 6 % faster at 1080p 4:4:4
    // 10-bit to a RAM disk) and still gets a core whenever the GL thread waits.
    const bool sharedCores = Ogl::RenderHub::GetInstance().GetInformation()->IsSoftwareRenderer();
    std::thread writer([&] {
        if (sharedCores) {
            GiveWayToOtherThreads(10);
        }
        bool failed = false;
        while (auto item = queue.Pop()) {
            try {
                item->work.Wait();
                spareInputs.Put(std::move(item->input));
                if (failed) {
                    continue;  // only let the GL work finish
                }
                plan.sink->Write(*item->output);
                progress.Update(++result.written);
                spare.Put(std::move(item->output));
            } catch (...) {
                if (!failed) {
                    writeFailure = std::current_exception();
                    failed = true;
                    queue.Close();
                }
            }
        }
    });
    std::exception_ptr readFailure;
    Ogl::FrameConverter* const convert = plan.converter.get();
    try {
        while (auto frame = plan.source->Next(spareInputs.Take())) {
            auto output = spare.Take();
            if (!output) {
                output = Proc::DataVideoCPU::Create(plan.outputFormat, plan.outputInfo,
                                                    plan.targetSpace);
            }
            GLWork work(
                [=](const ShaderStorage& storage) { convert->Convert(frame, output, storage); });
            if (!queue.Push({std::move(work), frame, output})) {
                break;
            }
        }
    } catch (const TruncatedFrame& error) {
        // The frames before it are whole: they are converted and kept.
        result.truncation = error.what();
    } catch (...) {
        readFailure = std::current_exception();
    }
    queue.Close();
    writer.join();
    // Every frame's GL work has been waited for: the converter goes on the GL thread.
    RunOnGL([&](const ShaderStorage&) {
        plan.converter.reset();
        Ogl::TexturePool::GetInstance().Clear();
    });
    progress.Update(result.written, true);
    if (writeFailure) {
        std::rethrow_exception(writeFailure);
    }
    if (readFailure) {
        std::rethrow_exception(readFailure);
    }
    return result;
}

}  // namespace

int RunConvert(const ConvertOptions& options) {
    // A stop by SIGINT or SIGTERM takes the temporary files with it.
    RemovePartialFilesOnSignals();
    try {
        Plan plan = PlanConversion(options, ReadSettings(options));
        Progress progress(plan.source->total, options.quiet);
        const PipelineResult result = RunPipeline(plan, options, progress);
        if (result.written == 0 && !result.truncation.empty()) {
            throw TruncatedFrame(result.truncation);
        }
        plan.sink->Commit();

        if (!options.quiet) {
            // Standard output may carry the video itself.
            const double seconds = progress.Seconds();
            const bool yuvIn = PixFmtDescription::Find(plan.inputFormat)->IsYUV();
            const bool yuvOut = PixFmtDescription::Find(plan.outputFormat)->IsYUV();
            const bool resized = plan.outputInfo.width != plan.info.width ||
                                 plan.outputInfo.height != plan.info.height;
            const std::string outputSize = resized
                                               ? std::to_string(plan.outputInfo.width) + "x" +
                                                     std::to_string(plan.outputInfo.height) + " "
                                               : "";
            std::fprintf(options.output == "-" ? stderr : stdout,
                         "%ld frames %dx%d %s (%s) -> %s%s (%s) in %.2f s (%.1f fps), written to "
                         "%s\n",
                         result.written, plan.info.width, plan.info.height,
                         PixFmtDescription::Find(plan.inputFormat)->GetName(),
                         yuvIn ? RangeName(plan.inputRange) : "rgb", outputSize.c_str(),
                         PixFmtDescription::Find(plan.outputFormat)->GetName(),
                         yuvOut ? RangeName(plan.outputRange) : "rgb", seconds,
                         result.written / std::max(seconds, 1e-9), options.output.c_str());
        }
        if (!result.truncation.empty()) {
            std::cerr << "renderhub: convert: the last input frame was truncated ("
                      << result.truncation << "); the " << result.written
                      << " whole frames before it were written\n";
            return kTruncatedStatus;
        }
        return 0;
    } catch (const UsageError& error) {
        std::cerr << "renderhub: convert: " << error.what() << "\n";
        return kUsageStatus;
    } catch (const TruncatedFrame& error) {
        std::cerr << "renderhub: convert: " << error.what() << "; no whole frame to write\n";
        return kTruncatedStatus;
    } catch (const std::exception& error) {
        std::cerr << "renderhub: convert: " << error.what() << "\n";
        return kFailureStatus;
    }
}

}  // namespace RenderHubTool
