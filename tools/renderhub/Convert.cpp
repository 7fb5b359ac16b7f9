#include <GL/glew.h>

#include "Convert.h"

#include <unistd.h>

#include <algorithm>
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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QImage>

#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/PixFmtDescription.h"

#include "FrameConverter.h"
#include "Private/UploadDownloadBuffers.h"
#include "Texture.h"
#include "ToolTasks.h"
#include "Y4M.h"

namespace RenderHubTool {
namespace {

using namespace Kavrin;
using Kavrin::Ogl::Frame;
using Kavrin::Ogl::ShaderStorage;

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
    throw InputError("unknown or unsupported pixel format '" + name + "'");
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
        throw InputError("unknown or unsupported matrix '" + name + "' (valid: " + valid + ")");
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
    static const std::map<std::string, std::int32_t> names = {
        {"bt709", 1}, {"bt470bg", 5}, {"smpte170m", 6}, {"bt2020", 9}, {"smpte432", 12}};
    const auto found = names.find(name);
    if (found == names.end()) {
        throw InputError("unknown primaries '" + name + "'");
    }
    return found->second;
}

std::int32_t TransferByName(const std::string& name) {
    static const std::map<std::string, std::int32_t> names = {
        {"bt709", 1},      {"gamma22", 4},       {"gamma28", 5},    {"smpte170m", 6},
        {"linear", 8},     {"iec61966-2-1", 13}, {"bt2020-10", 14}, {"bt2020-12", 15},
        {"smpte2084", 16}, {"arib-std-b67", 18}};
    const auto found = names.find(name);
    if (found == names.end()) {
        throw InputError("unknown transfer '" + name + "'");
    }
    return found->second;
}

bool IsPngSequence(const std::string& path) {
    return EndsWith(path, ".png") && path.find('%') != std::string::npos;
}

// The file name of frame `index` of a printf-style pattern such as "frame%04d.png".
std::string FrameName(const std::string& pattern, int index) {
    char name[4096];
    const int length = std::snprintf(name, sizeof(name), pattern.c_str(), index);
    if (length <= 0 || length >= static_cast<int>(sizeof(name))) {
        throw InputError("unusable file pattern '" + pattern + "'");
    }
    return name;
}

// 8-bit PNGs become RGBA frames, deeper ones RGBA64LE; nothing when the file is missing.
boost::intrusive_ptr<Proc::DataVideoCPU> ReadPng(const std::string& path,
                                                 const Conf::ColorSpace& colorSpace) {
    if (!std::filesystem::exists(path)) {
        return nullptr;
    }
    QImage image(QString::fromStdString(path));
    if (image.isNull()) {
        throw InputError("cannot read the PNG '" + path + "'");
    }
    const bool deep = image.depth() > 32;
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

void WritePng(const Proc::DataVideoCPU& frame, const std::string& path) {
    const bool deep = frame.GetPixelFormat() == PixFmt::RGBA64LE;
    const auto& info = frame.GetFrameInfo();
    QImage image(info.width, info.height, deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
    const auto plane = frame.GetPlaneConst(0);
    for (int row = 0; row < info.height; ++row) {
        std::memcpy(image.scanLine(row), plane.Row(row),
                    static_cast<std::size_t>(frame.GetPlaneWidthBytes(0)));
    }
    if (!image.save(QString::fromStdString(path), "PNG")) {
        throw InputError("cannot write the PNG '" + path + "'");
    }
}

// Removes the partial output unless the conversion completed.
class PendingFile {
public:
    explicit PendingFile(std::string finalPath)
        : finalPath(std::move(finalPath)), tempPath(this->finalPath + ".renderhub-partial") {}
    ~PendingFile() {
        if (!committed) {
            std::error_code ignored;
            std::filesystem::remove(tempPath, ignored);
        }
    }
    const std::string& Path() const { return tempPath; }
    void Commit() {
        std::filesystem::rename(tempPath, finalPath);
        committed = true;
    }

private:
    std::string finalPath;
    std::string tempPath;
    bool committed = false;
};

PixelColorRange RangeByName(const std::string& name) {
    if (name == "tv" || name == "limited" || name == "mpeg") {
        return PixelColorRange::Limited;
    }
    if (name == "pc" || name == "full" || name == "jpeg") {
        return PixelColorRange::Full;
    }
    throw InputError("unknown range '" + name + "' (tv/limited or pc/full)");
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
    // The next frame, or null at the end.
    virtual boost::intrusive_ptr<Proc::DataVideoCPU> Next() = 0;

    PixFmt format = PixFmt::None;
    Conf::FrameInfo info;
    PixelColorRange range = PixelColorRange::Unspecified;
    long total = 0;
};

class Y4MSource : public FrameSource {
public:
    Y4MSource(const std::string& path, const Conf::ColorSpace& colorSpace)
        : in(Open(path)), reader(in), colorSpace(colorSpace) {
        const Y4MHeader& header = reader.Header();
        format = header.pixFmt;
        info = {header.width, header.height, header.aspectNum, header.aspectDen};
        range = header.range;
        // Frames usually carry a bare "FRAME\n".
        const auto headerBytes = static_cast<std::uint64_t>(in.tellg());
        total = static_cast<long>((FileSize(path) - std::min(FileSize(path), headerBytes)) /
                                  (FrameBytes(format, info) + 6));
    }
    boost::intrusive_ptr<Proc::DataVideoCPU> Next() override {
        return reader.ReadFrame(colorSpace);
    }
    const Y4MHeader& Header() const { return reader.Header(); }

    static std::ifstream Open(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            throw InputError("cannot open '" + path + "'");
        }
        return file;
    }

private:
    std::ifstream in;
    Y4MReader reader;
    Conf::ColorSpace colorSpace;
};

class RawSource : public FrameSource {
public:
    RawSource(const std::string& path, PixFmt pixFmt, const Conf::FrameInfo& frameInfo,
              const Conf::ColorSpace& colorSpace)
        : in(Y4MSource::Open(path)), colorSpace(colorSpace) {
        format = pixFmt;
        info = frameInfo;
        total = static_cast<long>(FileSize(path) / FrameBytes(format, info));
    }
    boost::intrusive_ptr<Proc::DataVideoCPU> Next() override {
        if (in.peek() == std::char_traits<char>::eof()) {
            return nullptr;
        }
        return ReadRawFrame(in, format, info, colorSpace);
    }

private:
    std::ifstream in;
    Conf::ColorSpace colorSpace;
};

class PngSource : public FrameSource {
public:
    PngSource(const std::string& pattern, const Conf::ColorSpace& colorSpace)
        : pattern(pattern), colorSpace(colorSpace) {
        // Numbering starts at 0 or 1, as image sequences usually do.
        first = ReadPng(FrameName(pattern, 0), colorSpace);
        if (!first) {
            index = 1;
            first = ReadPng(FrameName(pattern, 1), colorSpace);
        }
        if (!first) {
            throw InputError("no frame of the sequence '" + pattern + "' exists");
        }
        format = first->GetPixelFormat();
        info = first->GetFrameInfo();
        range = PixelColorRange::Full;
        while (std::filesystem::exists(FrameName(pattern, index + static_cast<int>(total)))) {
            ++total;
        }
    }
    boost::intrusive_ptr<Proc::DataVideoCPU> Next() override {
        auto frame = first
                         ? std::move(first)
                         : ReadPng(FrameName(pattern, index + static_cast<int>(read)), colorSpace);
        if (frame && !(frame->GetFrameInfo() == info && frame->GetPixelFormat() == format)) {
            throw InputError("frame " + std::to_string(read + 1) +
                             " of the sequence differs in size or depth");
        }
        read += frame ? 1 : 0;
        return frame;
    }

private:
    std::string pattern;
    Conf::ColorSpace colorSpace;
    boost::intrusive_ptr<Proc::DataVideoCPU> first;
    int index = 0;
    long read = 0;
};

// Where converted frames go; nothing stays behind under the final names unless
// Commit is reached.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void Write(const Proc::DataVideoCPU& frame) = 0;
    virtual void Commit() = 0;
};

// Y4M or raw planes into one file, renamed into place at the end.
class FileSink : public FrameSink {
public:
    FileSink(const std::string& path, const std::optional<Y4MHeader>& header)
        : path(path), pending(path) {
        out.open(pending.Path(), std::ios::binary | std::ios::trunc);
        if (!out) {
            throw InputError("cannot write '" + path + "'");
        }
        if (header) {
            writer.emplace(out, *header);
        }
    }
    void Write(const Proc::DataVideoCPU& frame) override {
        if (writer) {
            writer->WriteFrame(frame);
        } else {
            WritePlanes(out, frame);
        }
    }
    void Commit() override {
        out.close();
        if (!out) {
            throw InputError("writing '" + path + "' failed");
        }
        pending.Commit();
    }

private:
    std::string path;
    PendingFile pending;
    std::ofstream out;
    std::optional<Y4MWriter> writer;
};

// Numbered PNG files from 1 on, each renamed into place when whole; all of
// them removed again unless committed.
class PngSink : public FrameSink {
public:
    explicit PngSink(std::string pattern) : pattern(std::move(pattern)) {}
    ~PngSink() override {
        for (const auto& file : committed ? std::vector<std::string>{} : written) {
            std::error_code ignored;
            std::filesystem::remove(file, ignored);
        }
    }
    void Write(const Proc::DataVideoCPU& frame) override {
        const std::string name = FrameName(pattern, static_cast<int>(written.size()) + 1);
        PendingFile partial(name);
        WritePng(frame, partial.Path());
        partial.Commit();
        written.push_back(name);
    }
    void Commit() override { committed = true; }

private:
    std::string pattern;
    std::vector<std::string> written;
    bool committed = false;
};

// A frame between the GPU and the writer.
struct InFlight {
    GLWork work;
    boost::intrusive_ptr<Proc::DataVideoCPU> output;  // what the GPU writes and is written
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
    explicit Progress(long total) : total(total), enabled(isatty(STDERR_FILENO) != 0) {}
    void Update(long frames, bool last = false) {
        const auto now = std::chrono::steady_clock::now();
        if (!enabled || (!last && now - shown < std::chrono::milliseconds(100))) {
            return;
        }
        shown = now;
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
};

std::unique_ptr<FrameSource> OpenSource(const ConvertOptions& options,
                                        const Conf::ColorSpace& colorSpace) {
    if (IsPngSequence(options.input)) {
        return std::make_unique<PngSource>(options.input, colorSpace);
    }
    if (EndsWith(options.input, ".y4m")) {
        return std::make_unique<Y4MSource>(options.input, colorSpace);
    }
    if (options.width <= 0 || options.height <= 0 || options.inputPixFmt.empty()) {
        throw InputError("raw input needs --size WxH and --in-pix-fmt NAME");
    }
    return std::make_unique<RawSource>(options.input, SupportedFormat(options.inputPixFmt),
                                       Conf::FrameInfo{options.width, options.height, 0, 0},
                                       colorSpace);
}

}  // namespace

int RunConvert(const ConvertOptions& options) {
    try {
        const std::int32_t inputPrimaries = PrimariesByName(options.inputPrimaries);
        const std::int32_t outputPrimaries = options.outputPrimaries.empty()
                                                 ? inputPrimaries
                                                 : PrimariesByName(options.outputPrimaries);
        const Conf::ColorSpace colorSpace{
            inputPrimaries, TransferByName(options.inputTransfer),
            static_cast<std::int32_t>(MatrixFor(options.inputMatrix, inputPrimaries))};
        const Conf::ColorSpace targetSpace{
            outputPrimaries,
            options.outputTransfer.empty() ? colorSpace.transfer
                                           : TransferByName(options.outputTransfer),
            static_cast<std::int32_t>(MatrixFor(options.outputMatrix, outputPrimaries))};
        if (options.inFlight < 1 || options.inFlight > 64) {
            throw InputError("--in-flight takes 1 to 64 frames");
        }

        const std::unique_ptr<FrameSource> source = OpenSource(options, colorSpace);
        const PixFmt inputFormat = source->format;
        const Conf::FrameInfo info = source->info;
        const PixFmtDescription& inputDescription = *PixFmtDescription::Find(inputFormat);
        const bool yuvIn = inputDescription.IsYUV();
        PixelColorRange inputRange = PixelColorRange::Limited;
        if (!options.inputRange.empty()) {
            inputRange = RangeByName(options.inputRange);
        } else if (source->range != PixelColorRange::Unspecified) {
            inputRange = source->range;
        }

        const bool pngOut = IsPngSequence(options.output);
        const bool y4mOut = EndsWith(options.output, ".y4m");
        PixFmt outputFormat =
            options.outputPixFmt.empty() ? inputFormat : SupportedFormat(options.outputPixFmt);
        if (pngOut) {
            if (options.outputPixFmt.empty()) {
                outputFormat = inputDescription.depth > 8 ? PixFmt::RGBA64LE : PixFmt::RGBA;
            } else if (outputFormat != PixFmt::RGBA && outputFormat != PixFmt::RGBA64LE) {
                throw InputError("PNG output takes --pix-fmt rgba or rgba64le");
            }
        }
        const PixFmtDescription& outputDescription = *PixFmtDescription::Find(outputFormat);
        const bool yuvOut = outputDescription.IsYUV();
        const PixelColorRange outputRange = !options.outputRange.empty()
                                                ? RangeByName(options.outputRange)
                                            : yuvIn ? inputRange
                                                    : PixelColorRange::Limited;

        Ogl::FrameConversionOptions conversion;
        conversion.sourceRange = yuvIn ? inputRange : PixelColorRange::Full;
        conversion.targetRange = yuvOut ? outputRange : PixelColorRange::Full;
        conversion.sourcePeakLuminance = options.sourcePeak;
        conversion.targetPeakLuminance = options.targetPeak;
        conversion.referenceWhiteLuminance = options.referenceWhite;
        conversion.hlgDisplayPeakLuminance = options.hlgPeak;
        // Refuses unusable colour spaces before any file is touched.
        auto converter = std::make_unique<Ogl::FrameConverter>(conversion);
        converter->Plan(inputFormat, colorSpace, outputFormat, targetSpace);
        // Every frame's GL work is waited for before the converter goes, on the GL thread.
        Ogl::FrameConverter* const convert = converter.get();

        std::optional<Y4MHeader> header;
        if (y4mOut) {
            header.emplace();
            if (const auto* y4m = dynamic_cast<const Y4MSource*>(source.get())) {
                header = y4m->Header();
            }
            header->width = info.width;
            header->height = info.height;
            header->pixFmt = outputFormat;
            header->range = outputRange;
            PixFmtToY4MChroma(outputFormat);  // refuses what Y4M cannot hold, before any work
        }
        const auto maximumSize = Ogl::RenderHub::GetInstance().GetMaximumTextureSize();
        if (static_cast<std::uint64_t>(info.width) > maximumSize ||
            static_cast<std::uint64_t>(info.height) > maximumSize) {
            throw InputError("frame size " + std::to_string(info.width) + "x" +
                             std::to_string(info.height) + " exceeds the maximum texture size " +
                             std::to_string(maximumSize));
        }

        std::unique_ptr<FrameSink> sink;
        if (pngOut) {
            sink = std::make_unique<PngSink>(options.output);
        } else {
            sink = std::make_unique<FileSink>(options.output, header);
        }

        Progress progress(source->total);
        InFlightQueue queue(static_cast<std::size_t>(options.inFlight));
        std::exception_ptr writeFailure;
        long written = 0;
        std::thread writer([&] {
            bool failed = false;
            while (auto item = queue.Pop()) {
                try {
                    item->work.Wait();
                    if (failed) {
                        continue;  // only let the GL work finish
                    }
                    sink->Write(*item->output);
                    progress.Update(++written);
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
        try {
            while (auto frame = source->Next()) {
                auto output = Proc::DataVideoCPU::Create(outputFormat, info, targetSpace);
                GLWork work([=](const ShaderStorage& storage) {
                    convert->Convert(frame, output, storage);
                });
                if (!queue.Push({std::move(work), output})) {
                    break;
                }
            }
        } catch (...) {
            readFailure = std::current_exception();
        }
        queue.Close();
        writer.join();
        RunOnGL([&](const ShaderStorage&) {
            converter.reset();
            Ogl::TexturePool::GetInstance().Clear();
        });
        progress.Update(written, true);
        if (writeFailure) {
            std::rethrow_exception(writeFailure);
        }
        if (readFailure) {
            std::rethrow_exception(readFailure);
        }
        sink->Commit();

        const double seconds = progress.Seconds();
        std::printf("%ld frames %dx%d %s (%s) -> %s (%s) in %.2f s (%.1f fps), written to %s\n",
                    written, info.width, info.height, inputDescription.GetName(),
                    yuvIn ? RangeName(inputRange) : "rgb", outputDescription.GetName(),
                    yuvOut ? RangeName(outputRange) : "rgb", seconds,
                    written / std::max(seconds, 1e-9), options.output.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "renderhub: convert: " << error.what() << "\n";
        return 2;
    }
}

}  // namespace RenderHubTool
