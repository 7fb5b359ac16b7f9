#include <GL/glew.h>

#include "Bench.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"

#include "Frame.h"
#include "FrameConverter.h"
#include "GLFunctionTask.h"
#include "RenderHub.h"
#include "Texture.h"

namespace RenderHubTool {

using Kavrin::Ogl::GLWork;
using Kavrin::Ogl::RunOnGL;
namespace {

using namespace Kavrin;
using Kavrin::Ogl::Frame;
using Kavrin::Ogl::ShaderStorage;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct DispatchFigures {
    double tasksPerSecond = 0;
    double p50Microseconds = 0;
    double p99Microseconds = 0;
};

DispatchFigures MeasureDispatch(double seconds) {
    auto& hub = Ogl::RenderHub::GetInstance();
    DispatchFigures figures;
    // Throughput: batches of empty tasks, the last one waited for.
    int tasks = 0;
    const auto start = Clock::now();
    while (Since(start) < seconds) {
        boost::intrusive_ptr<Ogl::FunctionTask> last;
        for (int i = 0; i < 1000; ++i) {
            last.reset(new Ogl::FunctionTask([](Ogl::OglCapability, const ShaderStorage&) {}));
            hub.DoBackgroundTask(last);
        }
        last->WaitUntilExecuted();
        tasks += 1000;
    }
    figures.tasksPerSecond = tasks / Since(start);
    // Latency: one task at a time.
    std::vector<double> micros;
    const auto latencyStart = Clock::now();
    while (Since(latencyStart) < seconds) {
        boost::intrusive_ptr<Ogl::FunctionTask> task(
            new Ogl::FunctionTask([](Ogl::OglCapability, const ShaderStorage&) {}));
        const auto sent = Clock::now();
        hub.DispatchTask(task);
        task->WaitUntilExecuted();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    std::sort(micros.begin(), micros.end());
    figures.p50Microseconds = micros[micros.size() / 2];
    figures.p99Microseconds =
        micros[static_cast<std::size_t>(0.99 * static_cast<double>(micros.size() - 1))];
    return figures;
}

// Frames per second of `step` on the GL thread: one warm-up, then at least three
// runs and at least `seconds`.
double MeasureFrames(const std::function<void(const ShaderStorage&)>& step, double seconds) {
    double fps = 0;
    RunOnGL([&](const ShaderStorage& storage) {
        step(storage);
        glFinish();
        const auto start = Clock::now();
        int frames = 0;
        while (frames < 3 || Since(start) < seconds) {
            step(storage);
            glFinish();
            ++frames;
        }
        fps = frames / Since(start);
    });
    return fps;
}

struct FrameFigures {
    std::string format;
    int width;
    int height;
    double upload;
    double download;
    double roundTrip;
};

// The few characters JSON strings cannot hold as they are.
std::string JsonText(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

}  // namespace

int RunBench(const BenchOptions& options) {
    auto& hub = Ogl::RenderHub::GetInstance();
    const DispatchFigures dispatch = MeasureDispatch(options.secondsPerCase);
    std::vector<FrameFigures> frames;
    const PixFmt formats[] = {PixFmt::YUV420P, PixFmt::YUV420P10LE, PixFmt::NV12, PixFmt::P010LE,
                              PixFmt::RGBA,    PixFmt::BGRA,        PixFmt::ARGB, PixFmt::ABGR,
                              PixFmt::RGB24,   PixFmt::BGR24};
    if (!options.json) {
        std::printf("RenderHub bench on %s\n\n", hub.GetRenderer().c_str());
        std::printf("task dispatch: %.0f tasks/s, round trip p50 %.1f us, p99 %.1f us\n\n",
                    dispatch.tasksPerSecond, dispatch.p50Microseconds, dispatch.p99Microseconds);
        std::printf("%-14s %-10s %10s %10s %10s   (frames per second)\n", "format", "size",
                    "upload", "download", "roundtrip");
    }
    for (const auto& [width, height] : options.sizes) {
        for (PixFmt format : formats) {
            const Conf::FrameInfo info{width, height, 0, 0};
            const Conf::ColorSpace bt709{1, 1, 1};
            auto filled = Proc::DataVideoCPU::Create(format, info, bt709);
            filled->Fill({40, 120, 200, 255});
            boost::intrusive_ptr<Proc::IDataVideo> source = filled;
            // The swapped orders are read back in RGB order, the one frames write.
            const bool alpha =
                format == PixFmt::BGRA || format == PixFmt::ARGB || format == PixFmt::ABGR;
            const PixFmt readBack = alpha                     ? PixFmt::RGBA
                                    : format == PixFmt::BGR24 ? PixFmt::RGB24
                                                              : format;
            boost::intrusive_ptr<Proc::IDataVideo> destination =
                Proc::DataVideoCPU::Create(readBack, info, bt709);
            boost::intrusive_ptr<Frame> frame;
            RunOnGL([&](const ShaderStorage&) { frame = Frame::Create(); });
            FrameFigures figures{
                PixFmtDescription::Find(format)->GetName(), width, height, 0, 0, 0};
            figures.upload = MeasureFrames(
                [&](const ShaderStorage& s) { frame->Upload(source, s); }, options.secondsPerCase);
            figures.download =
                MeasureFrames([&](const ShaderStorage& s) { frame->Download(destination, s); },
                              options.secondsPerCase);
            figures.roundTrip = MeasureFrames(
                [&](const ShaderStorage& s) {
                    frame->Upload(source, s);
                    frame->Download(destination, s);
                },
                options.secondsPerCase);
            RunOnGL([&](const ShaderStorage&) {
                frame.reset();
                Ogl::TexturePool::GetInstance().Clear();
            });
            if (!options.json) {
                std::printf("%-14s %4dx%-5d %10.1f %10.1f %10.1f\n", figures.format.c_str(), width,
                            height, figures.upload, figures.download, figures.roundTrip);
                std::fflush(stdout);
            }
            frames.push_back(figures);
        }
    }
    // The conversion call, CPU frame to CPU frame, as renderhub convert uses it.
    struct Conversion {
        const char* name;
        PixFmt from;
        Conf::ColorSpace fromSpace;
        PixFmt to;
        Conf::ColorSpace toSpace;
        double fps = 0;
    };
    std::vector<Conversion> conversions = {
        {"yuv420p->yuv420p", PixFmt::YUV420P, {1, 1, 1}, PixFmt::YUV420P, {1, 1, 1}},
        {"yuv420p->yuv444p10le", PixFmt::YUV420P, {1, 1, 1}, PixFmt::YUV444P10LE, {1, 1, 1}},
        {"pq2020->sdr709", PixFmt::YUV420P10LE, {9, 16, 9}, PixFmt::YUV420P, {1, 1, 1}},
    };
    if (!options.json) {
        std::printf("\n%-24s %-10s %10s   (the conversion call, CPU to CPU; frames per second)\n",
                    "conversion", "size", "fps");
    }
    const auto [width, height] = options.sizes.front();
    for (Conversion& conversion : conversions) {
        const Conf::FrameInfo info{width, height, 0, 0};
        auto source = Proc::DataVideoCPU::Create(conversion.from, info, conversion.fromSpace);
        source->Fill({40, 120, 200, 255});
        auto target = Proc::DataVideoCPU::Create(conversion.to, info, conversion.toSpace);
        // The tool's defaults: bilinear chroma where its grid changes.
        Ogl::FrameConversionOptions settings;
        settings.chromaFilter = Ogl::FrameConversionOptions::ChromaFilter::Bilinear;
        std::unique_ptr<Ogl::FrameConverter> converter;
        RunOnGL([&](const ShaderStorage&) {
            converter = std::make_unique<Ogl::FrameConverter>(settings);
        });
        conversion.fps =
            MeasureFrames([&](const ShaderStorage& s) { converter->Convert(source, target, s); },
                          options.secondsPerCase);
        RunOnGL([&](const ShaderStorage&) {
            converter.reset();
            Ogl::TexturePool::GetInstance().Clear();
        });
        if (!options.json) {
            std::printf("%-24s %4dx%-5d %10.1f\n", conversion.name, width, height, conversion.fps);
            std::fflush(stdout);
        }
    }
    if (options.json) {
        std::printf("{\n  \"renderer\": \"%s\",\n", JsonText(hub.GetRenderer()).c_str());
        std::printf(
            "  \"dispatch\": {\"tasksPerSecond\": %.0f, \"p50Microseconds\": %.2f, "
            "\"p99Microseconds\": %.2f},\n",
            dispatch.tasksPerSecond, dispatch.p50Microseconds, dispatch.p99Microseconds);
        std::printf("  \"frames\": [\n");
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const auto& f = frames[i];
            std::printf(
                "    {\"format\": \"%s\", \"width\": %d, \"height\": %d, \"uploadFps\": %.2f, "
                "\"downloadFps\": %.2f, \"roundTripFps\": %.2f}%s\n",
                f.format.c_str(), f.width, f.height, f.upload, f.download, f.roundTrip,
                i + 1 < frames.size() ? "," : "");
        }
        std::printf("  ],\n  \"conversions\": [\n");
        for (std::size_t i = 0; i < conversions.size(); ++i) {
            std::printf(
                "    {\"conversion\": \"%s\", \"width\": %d, \"height\": %d, "
                "\"fps\": %.2f}%s\n",
                conversions[i].name, width, height, conversions[i].fps,
                i + 1 < conversions.size() ? "," : "");
        }
        std::printf("  ]\n}\n");
    }
    return 0;
}

}  // namespace RenderHubTool
