#include <GL/glew.h>

#include "Demo.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>

#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"

#include "FrameConverter.h"
#include "GLFunctionTask.h"
#include "IOglTask.h"
#include "OutputFile.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace RenderHubTool {

using Kavrin::Ogl::GLWork;
using Kavrin::Ogl::RunOnGL;
namespace {

using namespace Kavrin;
using Kavrin::Ogl::ShaderStorage;
using Kavrin::Proc::DataVideoCPU;
using Clock = std::chrono::steady_clock;
using CpuFrame = boost::intrusive_ptr<DataVideoCPU>;

const Conf::ColorSpace kBt709{1, 1, 1};

// The clip: colour bars on top, a full-range grey gradient in the middle, a
// moving diagonal pattern at the bottom; alpha ramps from left to right.
CpuFrame MakeClipFrame(int width, int height, int index) {
    CpuFrame frame = DataVideoCPU::Create(PixFmt::RGBA, {width, height, 0, 0}, kBt709);
    const auto plane = frame->GetPlane(0);
    static const std::uint8_t bars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191},
                                            {0, 191, 0},     {191, 0, 191}, {191, 0, 0},
                                            {0, 0, 191},     {16, 16, 16}};
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = plane.data + static_cast<std::ptrdiff_t>(y) * plane.stride;
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = row + 4 * x;
            if (y < height / 3) {
                const auto* bar = bars[std::min(7, x * 8 / width)];
                pixel[0] = bar[0];
                pixel[1] = bar[1];
                pixel[2] = bar[2];
            } else if (y < 2 * height / 3) {
                const auto grey = static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1));
                pixel[0] = pixel[1] = pixel[2] = grey;
            } else {
                const double phase = (x + y + index * 8) * 0.15;
                pixel[0] = static_cast<std::uint8_t>(128 + 100 * std::sin(phase));
                pixel[1] = static_cast<std::uint8_t>(128 + 100 * std::sin(phase * 0.7 + 2));
                pixel[2] = static_cast<std::uint8_t>(128 + 100 * std::sin(phase * 1.3 + 4));
            }
            pixel[3] = static_cast<std::uint8_t>(64 + x * 191 / std::max(1, width - 1));
        }
    }
    return frame;
}

// Largest difference between two frames of one format, in that format's code values.
int LargestError(const CpuFrame& a, const CpuFrame& b) {
    const auto& description = *PixFmtDescription::Find(a->GetPixelFormat());
    const bool wide = description.depth > 8;
    int largest = 0;
    for (int plane = 0; plane < description.planes; ++plane) {
        const auto pa = a->GetPlaneConst(static_cast<unsigned char>(plane));
        const auto pb = b->GetPlaneConst(static_cast<unsigned char>(plane));
        const int rowBytes = a->GetPlaneWidthBytes(plane);
        for (int y = 0; y < pa.rows; ++y) {
            const std::uint8_t* ra = pa.data + static_cast<std::ptrdiff_t>(y) * pa.stride;
            const std::uint8_t* rb = pb.data + static_cast<std::ptrdiff_t>(y) * pb.stride;
            if (wide) {
                for (int i = 0; i + 1 < rowBytes; i += 2) {
                    const int va = (ra[i] | ra[i + 1] << 8) >> description.shift;
                    const int vb = (rb[i] | rb[i + 1] << 8) >> description.shift;
                    largest = std::max(largest, std::abs(va - vb));
                }
            } else {
                for (int i = 0; i < rowBytes; ++i) {
                    largest = std::max(largest, std::abs(ra[i] - rb[i]));
                }
            }
        }
    }
    return largest;
}

// PSNR of the colour channels of two RGBA frames (alpha apart: colour stays
// straight in every format).
double Psnr(const CpuFrame& a, const CpuFrame& b) {
    const auto pa = a->GetPlaneConst(0);
    const auto pb = b->GetPlaneConst(0);
    double squared = 0;
    std::size_t count = 0;
    for (int y = 0; y < pa.rows; ++y) {
        const std::uint8_t* ra = pa.data + static_cast<std::ptrdiff_t>(y) * pa.stride;
        const std::uint8_t* rb = pb.data + static_cast<std::ptrdiff_t>(y) * pb.stride;
        for (int x = 0; x < a->GetFrameInfo().width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double d = static_cast<double>(ra[4 * x + c]) - rb[4 * x + c];
                squared += d * d;
                ++count;
            }
        }
    }
    const double mse = squared / static_cast<double>(count);
    return mse == 0 ? INFINITY : 10.0 * std::log10(255.0 * 255.0 / mse);
}

QImage ToImage(const CpuFrame& rgba) {
    const auto& info = rgba->GetFrameInfo();
    QImage image(info.width, info.height, QImage::Format_RGBA8888);
    const auto plane = rgba->GetPlaneConst(0);
    for (int y = 0; y < info.height; ++y) {
        std::memcpy(image.scanLine(y), plane.data + static_cast<std::ptrdiff_t>(y) * plane.stride,
                    static_cast<std::size_t>(info.width) * 4);
    }
    return image;
}

struct Tile {
    std::string label;
    QImage image;
};

void WriteContactSheet(const std::vector<Tile>& tiles, const std::string& path) {
    constexpr int kColumns = 7;
    constexpr int kTileWidth = 192;
    constexpr int kTileHeight = 108;
    constexpr int kLabel = 18;
    const int rows = static_cast<int>((tiles.size() + kColumns - 1) / kColumns);
    QImage sheet(kColumns * kTileWidth, rows * (kTileHeight + kLabel), QImage::Format_RGB32);
    sheet.fill(QColor(32, 32, 32));
    QPainter painter(&sheet);
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const int x = static_cast<int>(i % kColumns) * kTileWidth;
        const int y = static_cast<int>(i / kColumns) * (kTileHeight + kLabel);
        // A checkerboard under the tile shows the alpha ramp.
        for (int cy = 0; cy < kTileHeight; cy += 12) {
            for (int cx = 0; cx < kTileWidth - 4; cx += 12) {
                const bool dark = ((cx + cy) / 12) % 2 == 0;
                painter.fillRect(x + 2 + cx, y + cy, 12, 12,
                                 dark ? QColor(90, 90, 90) : QColor(150, 150, 150));
            }
        }
        painter.drawImage(QRect(x + 2, y, kTileWidth - 4, kTileHeight), tiles[i].image);
        painter.setPen(QColor(230, 230, 230));
        painter.drawText(QRect(x, y + kTileHeight, kTileWidth, kLabel), Qt::AlignCenter,
                         QString::fromStdString(tiles[i].label));
    }
    painter.end();
    // Encoded in memory and put in place whole: a failed write keeps the old sheet.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!sheet.save(&buffer, "PNG")) {
        throw std::runtime_error("cannot encode the contact sheet");
    }
    WriteWholeFile(path,
                   std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

}  // namespace

int RunDemo(const DemoOptions& options) {
    RemovePartialFilesOnSignals();
    const Conf::FrameInfo info{options.width, options.height, 0, 0};
    std::vector<CpuFrame> clip;
    for (int i = 0; i < options.frames; ++i) {
        clip.push_back(MakeClipFrame(options.width, options.height, i));
    }
    std::printf("RenderHub demo: %d frames of %dx%d through %zu pixel formats on %s\n\n",
                options.frames, options.width, options.height, Ogl::GetSupportedPixFmt().size(),
                Ogl::RenderHub::GetInstance().GetRenderer().c_str());
    std::printf("%-14s %12s %10s %10s\n", "format", "max error", "PSNR dB", "fps");

    std::vector<Tile> tiles;
    // Kept across frames and formats: it reuses its textures.
    auto converter = std::make_shared<Ogl::FrameConverter>();
    for (PixFmt format : Ogl::GetSupportedPixFmt()) {
        const auto& description = *PixFmtDescription::Find(format);
        int largest = 0;
        double worstPsnr = INFINITY;
        double seconds = 0;
        CpuFrame firstBack;
        for (const CpuFrame& original : clip) {
            // Encoded from the clip, decoded to 16-bit RGBA and encoded again: what
            // the format keeps of the picture, and whether a second pass keeps it.
            CpuFrame encoded = DataVideoCPU::Create(format, info, kBt709);
            CpuFrame decoded = DataVideoCPU::Create(PixFmt::RGBA64LE, info, kBt709);
            CpuFrame back = DataVideoCPU::Create(format, info, kBt709);
            CpuFrame rgba = DataVideoCPU::Create(PixFmt::RGBA, info, kBt709);
            RunOnGL([&](const ShaderStorage& storage) {
                converter->Convert(original, encoded, storage);
            });
            const auto roundTrip = [&](const ShaderStorage& storage) {
                converter->Convert(encoded, decoded, storage);
                converter->Convert(decoded, back, storage);
            };
            if (!firstBack) {
                RunOnGL(roundTrip);  // compiles the format's programs outside the timing
            }
            const auto start = Clock::now();
            RunOnGL(roundTrip);
            seconds += std::chrono::duration<double>(Clock::now() - start).count();
            RunOnGL(
                [&](const ShaderStorage& storage) { converter->Convert(encoded, rgba, storage); });
            largest = std::max(largest, LargestError(encoded, back));
            worstPsnr = std::min(worstPsnr, Psnr(original, rgba));
            if (!firstBack) {
                firstBack = rgba;
            }
        }
        std::printf("%-14s %12d %10.2f %10.1f\n", description.GetName(), largest, worstPsnr,
                    options.frames / seconds);
        std::fflush(stdout);
        tiles.push_back({description.GetName(), ToImage(firstBack)});
    }

    // The first frame read as BT.2020 PQ (mastered to 4000 cd/m²) and as HLG, and
    // shown on a BT.709 SDR display through each tone curve.
    struct Hdr {
        const char* label;
        std::int32_t transfer;
        Ogl::FrameConversionOptions::ToneCurve curve;
    };
    using Curve = Ogl::FrameConversionOptions::ToneCurve;
    for (const Hdr& hdr :
         {Hdr{"PQ, BT.2390 EETF", 16, Curve::BT2390}, Hdr{"PQ, Reinhard", 16, Curve::Reinhard},
          Hdr{"PQ, clip", 16, Curve::Clip}, Hdr{"HLG, BT.2390 EETF", 18, Curve::BT2390},
          Hdr{"HLG, clip", 18, Curve::Clip}}) {
        CpuFrame source = DataVideoCPU::Create(PixFmt::RGBA, info, {9, hdr.transfer, 9});
        for (int y = 0; y < info.height; ++y) {
            std::memcpy(source->GetPlane(0).Row(y), clip.front()->GetPlaneConst(0).Row(y),
                        static_cast<std::size_t>(source->GetPlaneWidthBytes(0)));
        }
        Ogl::FrameConversionOptions mapping;
        mapping.sourcePeakLuminance = 4000.0f;
        mapping.toneCurve = hdr.curve;
        CpuFrame sdr = DataVideoCPU::Create(PixFmt::RGBA, info, kBt709);
        RunOnGL([&](const ShaderStorage& storage) {
            Ogl::FrameConverter(mapping).Convert(source, sdr, storage);
        });
        tiles.push_back({hdr.label, ToImage(sdr)});
    }
    RunOnGL([&](const ShaderStorage&) {
        converter.reset();
        Ogl::TexturePool::GetInstance().Clear();
    });

    WriteContactSheet(tiles, options.output);
    std::printf("\nContact sheet written to %s\n",
                std::filesystem::absolute(options.output).c_str());
    return 0;
}

}  // namespace RenderHubTool
