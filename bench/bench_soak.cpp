// Soak: upload -> convert -> download round trips of whole frames in rotating
// formats and colour spaces, printing every 1000 frames what must stay flat
// after warm-up: live GL objects, the texture pool's area and resident memory.
// Usage: bench_soak [frames (10000)] [WxH (1920x1080)]
// Exits with 1 when GL objects or the pool keep growing after the first block.
#include <GL/glew.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <QGuiApplication>

#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/ColorConversionInfo.h"
#include "Kavrin/Proc/DataVideoCPU.h"

#include "BenchSupport.h"
#include "ColorSpaceConverter.h"
#include "Frame.h"
#include "GlObjectCounter.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Ogl;
using Bench::RunOnGL;
using Counter = Details::GlObjectCounter;

struct Case {
    PixFmt format;
    Conf::ColorSpace source;
    Conf::ColorSpace target;       // equal to source: no colour conversion
    PixFmt output = PixFmt::None;  // None: the source's format
};

// bt709, BT.2020 PQ and HLG, in code points like FFmpeg's.
constexpr Conf::ColorSpace kBt709{1, 1, 1};
constexpr Conf::ColorSpace kPq{9, 16, 9};
constexpr Conf::ColorSpace kHlg{9, 18, 9};

const std::vector<Case> kCases = {
    {PixFmt::YUV420P, kBt709, kBt709},  {PixFmt::YUV420P10LE, kPq, kBt709},
    {PixFmt::NV12, kBt709, kBt709},     {PixFmt::P010LE, kHlg, kBt709},
    {PixFmt::RGBA, kBt709, kBt709},     {PixFmt::YUV444P12LE, kBt709, kPq},
    {PixFmt::YUVA422P, kBt709, kBt709}, {PixFmt::BGRA, kBt709, kBt709, PixFmt::RGBA},
    {PixFmt::YUV422P10LE, kHlg, kHlg},  {PixFmt::RGB48LE, kPq, kHlg},
};

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long LiveGlObjects() {
    long live = 0;
    for (std::size_t kind = 0; kind < Counter::KindCount; ++kind) {
        live += Counter::Live(static_cast<Counter::Kind>(kind));
    }
    return live;
}

}  // namespace

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 10000;
    int width = 1920;
    int height = 1080;
    if (argc > 2 && std::sscanf(argv[2], "%dx%d", &width, &height) != 2) {
        std::fprintf(stderr, "usage: bench_soak [frames] [WxH]\n");
        return 2;
    }
    if (frames < 1000 || width <= 0 || height <= 0) {
        std::fprintf(stderr, "bench_soak: at least 1000 frames of a positive size\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    if (!Bench::StartLibrary(argv[0])) {
        return 1;
    }

    // One source and one destination per case, filled once: the soak is about
    // the library's own allocations.
    std::vector<boost::intrusive_ptr<Proc::DataVideoCPU>> sources;
    std::vector<boost::intrusive_ptr<Proc::DataVideoCPU>> destinations;
    for (const Case& entry : kCases) {
        const Conf::FrameInfo info{width, height, 1, 1};
        sources.push_back(Proc::DataVideoCPU::Create(entry.format, info, entry.source));
        sources.back()->Fill({200, 120, 40, 255});
        destinations.push_back(Proc::DataVideoCPU::Create(
            entry.output == PixFmt::None ? entry.format : entry.output, info, entry.target));
    }
    boost::intrusive_ptr<Frame> gpu;
    RunOnGL([&](const ShaderStorage&) { gpu = Frame::Create(); });

    std::printf("%d x %d, %zu rotating cases\n", width, height, kCases.size());
    std::printf("%8s %8s %12s %14s %12s\n", "frames", "fps", "GL objects", "pool Mpixels",
                "RSS MiB");
    long firstObjects = -1;
    std::uint64_t firstArea = 0;
    long firstResident = 0;
    long lastResident = 0;
    bool grew = false;
    auto blockStart = std::chrono::steady_clock::now();
    for (long frame = 1; frame <= frames; ++frame) {
        const std::size_t index = static_cast<std::size_t>(frame) % kCases.size();
        const Case& entry = kCases[index];
        RunOnGL([&](const ShaderStorage& storage) {
            gpu->Upload(sources[index], storage);
            if (entry.source == entry.target) {
                gpu->Download(destinations[index], storage);
                return;
            }
            Proc::ColorConversionInfo conversion;
            conversion.source = entry.source;
            conversion.target = entry.target;
            auto mapped = Frame::CreateIntermediate(entry.target, PixFmt::RGBAF16LE,
                                                    sources[index]->GetFrameInfo());
            storage.FBO().Attach(*mapped->GetFirstTexture());
            ConvertColorSpace(gpu, conversion, storage);
            mapped->Download(destinations[index], storage);
        });
        if (frame % 1000 != 0) {
            continue;
        }
        std::uint64_t area = 0;
        RunOnGL([&](const ShaderStorage&) { area = TexturePool::GetInstance().GetTotalArea(); });
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - blockStart).count();
        blockStart = now;
        const long objects = LiveGlObjects();
        const long resident = ResidentKiB();
        lastResident = resident;
        std::printf("%8ld %8.1f %12ld %14.2f %12.1f\n", frame, 1000 / seconds, objects, area / 1e6,
                    resident / 1024.0);
        std::fflush(stdout);
        if (firstObjects < 0) {
            firstObjects = objects;
            firstArea = area;
            firstResident = resident;
        } else if (objects > firstObjects || area > firstArea) {
            grew = true;
        }
    }
    RunOnGL([&](const ShaderStorage&) {
        gpu.reset();
        TexturePool::GetInstance().Clear();
    });
    std::printf("after the first block: GL objects and pool area %s, RSS %+.1f MiB\n",
                grew ? "GREW" : "flat", (lastResident - firstResident) / 1024.0);
    RenderHub::GetInstance().Deinitialize();
    return grew ? 1 : 0;
}
