// GPU frame throughput: frames per second of upload, download and round trip of
// host frames in common formats at 1080p and 2160p, next to a raw GL floor that
// moves the same bytes with glTexSubImage2D + one draw + glGetTexImage.
#include <GL/glew.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QGuiApplication>
#include <glog/logging.h>

#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"

#include "BenchSupport.h"
#include "Frame.h"
#include "Mesh.h"
#include "RenderHub.h"
#include "ShaderProgram.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Ogl;
using Clock = std::chrono::steady_clock;

using Bench::RunOnGL;

// Repeats `step` on the GL thread for at least `budget` (and 3 times), after one
// warm-up; returns frames per second.
double Measure(const std::function<void(const ShaderStorage&)>& step, double budgetSeconds) {
    double fps = 0;
    RunOnGL([&](const ShaderStorage& storage) {
        step(storage);
        glFinish();
        const auto start = Clock::now();
        int frames = 0;
        double elapsed = 0;
        while (frames < 3 || elapsed < budgetSeconds) {
            step(storage);
            glFinish();
            ++frames;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        }
        fps = frames / elapsed;
    });
    return fps;
}

std::size_t FrameBytes(const PixFmtDescription& description, int width, int height) {
    std::size_t bytes = 0;
    for (int plane = 0; plane < description.planes; ++plane) {
        bytes += static_cast<std::size_t>(description.GetPlanWidth(width, plane)) *
                 description.GetPlanHeight(height, plane) * description.bytesPerPixel[plane];
    }
    return bytes;
}

// The same bytes as one RGBA8 texture: upload, one draw into it, read back.
double RawFloor(std::size_t bytes, int width, double budgetSeconds) {
    const int height = static_cast<int>((bytes / 4 + width - 1) / width);
    std::vector<unsigned char> host(static_cast<std::size_t>(width) * height * 4, 0x55);
    std::unique_ptr<Texture> texture;
    std::unique_ptr<Texture> target;
    RunOnGL([&](const ShaderStorage&) {
        texture = std::make_unique<Texture>(
            Texture::Params{width, height, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
            GL_NEAREST, nullptr);
        target = std::make_unique<Texture>(
            Texture::Params{width, height, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
            GL_NEAREST, nullptr);
    });
    const double fps = Measure(
        [&](const ShaderStorage& storage) {
            texture->Update(0, host.data());
            storage.FBO().Attach(*target);
            ShaderProgram& program = storage.UseShader(PixelFormatShader::RGBA);
            texture->Use(0);
            storage.Quad().Activate();
            storage.Quad().Draw(program);
            target->Download(0, host.data(), storage.FBO());
        },
        budgetSeconds);
    RunOnGL([&](const ShaderStorage&) {
        texture.reset();
        target.reset();
    });
    return fps;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    double budget = 1.0;
    if (argc > 1) {
        budget = std::stod(argv[1]);
    }
    if (!Bench::StartLibrary(argv[0])) {
        return 1;
    }
    RenderHub& hub = RenderHub::GetInstance();
    std::printf("%-12s %-10s %10s %10s %10s %10s %8s\n", "format", "size", "upload", "download",
                "roundtrip", "raw floor", "ratio");
    const PixFmt formats[] = {PixFmt::YUV420P, PixFmt::YUV420P10LE, PixFmt::NV12,
                              PixFmt::P010LE,  PixFmt::RGBA,        PixFmt::BGRA};
    const std::pair<int, int> sizes[] = {{1920, 1080}, {3840, 2160}};
    for (const auto& [width, height] : sizes) {
        for (PixFmt format : formats) {
            const PixFmtDescription& description = *PixFmtDescription::Find(format);
            const Conf::FrameInfo info{width, height, 0, 0};
            const Conf::ColorSpace bt709{1, 1, 1};
            boost::intrusive_ptr<Proc::DataVideoCPU> filled =
                Proc::DataVideoCPU::Create(format, info, bt709);
            filled->Fill({40, 120, 200, 255});
            boost::intrusive_ptr<Proc::IDataVideo> source = filled;
            boost::intrusive_ptr<Proc::IDataVideo> destination =
                Proc::DataVideoCPU::Create(format, info, bt709);
            boost::intrusive_ptr<Frame> frame;
            RunOnGL([&](const ShaderStorage&) { frame = Frame::Create(); });
            const double upload =
                Measure([&](const ShaderStorage& s) { frame->Upload(source, s); }, budget);
            // Downloads of the BGR family are not offered: time them into RGBA.
            if (format == PixFmt::BGRA) {
                destination = Proc::DataVideoCPU::Create(PixFmt::RGBA, info, bt709);
            }
            const double download =
                Measure([&](const ShaderStorage& s) { frame->Download(destination, s); }, budget);
            const double roundTrip = Measure(
                [&](const ShaderStorage& s) {
                    frame->Upload(source, s);
                    frame->Download(destination, s);
                },
                budget);
            const double floor = RawFloor(FrameBytes(description, width, height), width, budget);
            RunOnGL([&](const ShaderStorage&) {
                frame.reset();
                TexturePool::GetInstance().Clear();
            });
            std::printf("%-12s %4dx%-5d %10.1f %10.1f %10.1f %10.1f %8.2f\n", description.GetName(),
                        width, height, upload, download, roundTrip, floor, roundTrip / floor);
            std::fflush(stdout);
        }
    }
    hub.Deinitialize();
    return 0;
}
