#include <GL/glew.h>

#include "Convert.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QImage>

#include "Kavrin/Conf/ColorSpaceTransform.h"
#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/ColorConversionInfo.h"

#include "ColorSpaceConverter.h"
#include "Frame.h"
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
        throw InputError("unknown matrix '" + name + "'");
    }
    return found->second;
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

}  // namespace

int RunConvert(const ConvertOptions& options) {
    try {
        const bool pngIn = IsPngSequence(options.input);
        std::ifstream in;
        if (!pngIn) {
            in.open(options.input, std::ios::binary);
            if (!in) {
                throw InputError("cannot open '" + options.input + "'");
            }
        }
        const auto matrix = static_cast<std::int32_t>(MatrixByName(options.matrix));
        const Conf::ColorSpace colorSpace{PrimariesByName(options.inputPrimaries),
                                          TransferByName(options.inputTransfer), matrix};
        const Conf::ColorSpace targetSpace{
            options.outputPrimaries.empty() ? colorSpace.primaries
                                            : PrimariesByName(options.outputPrimaries),
            options.outputTransfer.empty() ? colorSpace.transfer
                                           : TransferByName(options.outputTransfer),
            matrix};
        const bool convertColour = targetSpace.primaries != colorSpace.primaries ||
                                   targetSpace.transfer != colorSpace.transfer;
        Proc::ColorConversionInfo conversion;
        conversion.source = colorSpace;
        conversion.target = targetSpace;
        conversion.sourcePeakLuminance = options.sourcePeak;
        conversion.targetPeakLuminance = options.targetPeak;
        conversion.referenceWhiteLuminance = options.referenceWhite;
        conversion.hlgDisplayPeakLuminance = options.hlgPeak;
        if (convertColour) {
            Conf::ColorSpaceTransform check(conversion);  // refuses unusable combinations up front
        }

        std::optional<Y4MReader> reader;
        PixFmt inputFormat = PixFmt::None;
        Conf::FrameInfo info;
        Y4MHeader header;
        boost::intrusive_ptr<Proc::DataVideoCPU> firstPng;
        int pngIndex = 1;
        if (pngIn) {
            // Numbering starts at 0 or 1, as image sequences usually do.
            firstPng = ReadPng(FrameName(options.input, 0), colorSpace);
            if (firstPng) {
                pngIndex = 0;
            } else {
                firstPng = ReadPng(FrameName(options.input, 1), colorSpace);
            }
            if (!firstPng) {
                throw InputError("no frame of the sequence '" + options.input + "' exists");
            }
            inputFormat = firstPng->GetPixelFormat();
            info = firstPng->GetFrameInfo();
        } else if (EndsWith(options.input, ".y4m")) {
            reader.emplace(in);
            header = reader->Header();
            if (header.range == PixelColorRange::Full) {
                throw InputError("full-range Y4M input is not supported yet (XCOLORRANGE=FULL)");
            }
            inputFormat = header.pixFmt;
            info = {header.width, header.height, header.aspectNum, header.aspectDen};
        } else {
            if (options.width <= 0 || options.inputPixFmt.empty()) {
                throw InputError("raw input needs --size WxH and --in-pix-fmt NAME");
            }
            inputFormat = SupportedFormat(options.inputPixFmt);
            info = {options.width, options.height, 0, 0};
        }
        const bool pngOut = IsPngSequence(options.output);
        PixFmt outputFormat =
            options.outputPixFmt.empty() ? inputFormat : SupportedFormat(options.outputPixFmt);
        if (pngOut) {
            if (options.outputPixFmt.empty()) {
                outputFormat = PixFmtDescription::Find(inputFormat)->depth > 8 ? PixFmt::RGBA64LE
                                                                               : PixFmt::RGBA;
            } else if (outputFormat != PixFmt::RGBA && outputFormat != PixFmt::RGBA64LE) {
                throw InputError("PNG output takes --pix-fmt rgba or rgba64le");
            }
        }
        const bool y4mOut = EndsWith(options.output, ".y4m");
        if (y4mOut) {
            header.width = info.width;
            header.height = info.height;
            header.pixFmt = outputFormat;
            header.range = PixelColorRange::Limited;
            PixFmtToY4MChroma(outputFormat);  // refuses what Y4M cannot hold, before any work
        }
        if (static_cast<std::uint64_t>(info.width) >
                Ogl::RenderHub::GetInstance().GetMaximumTextureSize() ||
            static_cast<std::uint64_t>(info.height) >
                Ogl::RenderHub::GetInstance().GetMaximumTextureSize()) {
            throw InputError("frame size exceeds the maximum texture size");
        }

        std::optional<PendingFile> pending;
        std::ofstream out;
        std::vector<std::string> written;  // PNG frames, removed again on failure
        struct RemoveOnFailure {
            std::vector<std::string>& files;
            bool done = false;
            ~RemoveOnFailure() {
                for (const auto& file : done ? std::vector<std::string>{} : files) {
                    std::error_code ignored;
                    std::filesystem::remove(file, ignored);
                }
            }
        } cleanup{written};
        if (!pngOut) {
            pending.emplace(options.output);
            out.open(pending->Path(), std::ios::binary | std::ios::trunc);
            if (!out) {
                throw InputError("cannot write '" + options.output + "'");
            }
        }
        std::optional<Y4MWriter> writer;
        if (y4mOut) {
            writer.emplace(out, header);
        }
        const bool progress = isatty(STDERR_FILENO) != 0;
        const auto start = std::chrono::steady_clock::now();
        boost::intrusive_ptr<Frame> gpu;
        RunOnGL([&](const ShaderStorage&) { gpu = Frame::Create(); });
        long frames = 0;
        for (;;) {
            boost::intrusive_ptr<Proc::DataVideoCPU> source;
            if (pngIn) {
                source =
                    frames == 0
                        ? firstPng
                        : ReadPng(FrameName(options.input, pngIndex + static_cast<int>(frames)),
                                  colorSpace);
                if (source &&
                    !(source->GetFrameInfo() == info && source->GetPixelFormat() == inputFormat)) {
                    throw InputError("frame " + std::to_string(frames + 1) +
                                     " of the sequence differs in size or depth");
                }
            } else if (reader) {
                source = reader->ReadFrame(colorSpace);
            } else if (in.peek() != std::char_traits<char>::eof()) {
                source = ReadRawFrame(in, inputFormat, info, colorSpace);
            }
            if (!source) {
                break;
            }
            auto converted = Proc::DataVideoCPU::Create(outputFormat, info, targetSpace);
            RunOnGL([&](const ShaderStorage& storage) {
                gpu->Upload(source, storage);
                if (!convertColour) {
                    gpu->Download(converted, storage);
                    return;
                }
                // Half floats between the curves: 8-bit steps would band PQ and HLG.
                auto mapped = Frame::CreateIntermediate(targetSpace, PixFmt::RGBAF16LE, info);
                storage.FBO().Attach(*mapped->GetFirstTexture());
                Ogl::ConvertColorSpace(gpu, conversion, storage);
                mapped->Download(converted, storage);
            });
            if (pngOut) {
                const std::string name = FrameName(options.output, static_cast<int>(frames) + 1);
                const std::string partial = name + ".renderhub-partial";
                WritePng(*converted, partial);
                std::filesystem::rename(partial, name);
                written.push_back(name);
            } else if (writer) {
                writer->WriteFrame(*converted);
            } else {
                WritePlanes(out, *converted);
            }
            ++frames;
            if (progress) {
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                std::fprintf(stderr, "\r%ld frames, %.1f fps", frames,
                             frames / std::max(seconds, 1e-9));
            }
        }
        RunOnGL([&](const ShaderStorage&) {
            gpu.reset();
            Ogl::TexturePool::GetInstance().Clear();
        });
        if (pending) {
            out.close();
            if (!out) {
                throw InputError("writing '" + options.output + "' failed");
            }
            pending->Commit();
        }
        cleanup.done = true;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (progress) {
            std::fprintf(stderr, "\n");
        }
        std::printf("%ld frames %dx%d %s -> %s in %.2f s (%.1f fps), written to %s\n", frames,
                    info.width, info.height, PixFmtDescription::Find(inputFormat)->GetName(),
                    PixFmtDescription::Find(outputFormat)->GetName(), seconds,
                    frames / std::max(seconds, 1e-9), options.output.c_str());
        return 0;
    } catch (const InputError& error) {
        std::cerr << "renderhub: convert: " << error.what() << "\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "renderhub: convert: " << error.what() << "\n";
        return 2;
    }
}

}  // namespace RenderHubTool
