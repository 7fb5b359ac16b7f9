#include <GL/glew.h>

#include "Convert.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>

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
        std::ifstream in(options.input, std::ios::binary);
        if (!in) {
            throw InputError("cannot open '" + options.input + "'");
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
        if (EndsWith(options.input, ".y4m")) {
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
        const PixFmt outputFormat =
            options.outputPixFmt.empty() ? inputFormat : SupportedFormat(options.outputPixFmt);
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

        PendingFile pending(options.output);
        std::ofstream out(pending.Path(), std::ios::binary | std::ios::trunc);
        if (!out) {
            throw InputError("cannot write '" + options.output + "'");
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
            if (reader) {
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
            if (writer) {
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
        out.close();
        if (!out) {
            throw InputError("writing '" + options.output + "' failed");
        }
        pending.Commit();
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
