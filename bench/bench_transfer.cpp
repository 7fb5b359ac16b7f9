// Plane transfer throughput: upload and download of 1920x1080 planes through the
// library's transfer paths, next to memcpy of the same bytes on this machine.
#include <GL/glew.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include <QGuiApplication>
#include <benchmark/benchmark.h>
#include <glog/logging.h>

#include "BenchSupport.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

using Bench::RunOnGL;

Texture::Params PlaneParams(int bytesPerSample) {
    return bytesPerSample == 1
               ? Texture::Params{kWidth, kHeight, GL_RED_INTEGER, GL_R8UI, GL_UNSIGNED_BYTE}
               : Texture::Params{kWidth, kHeight, GL_RED_INTEGER, GL_R16UI, GL_UNSIGNED_SHORT};
}

// state.range(0): bytes per sample; state.range(1): 1 for bottom-up rows.
void BM_UploadPlane(benchmark::State& state) {
    const int bytes = static_cast<int>(state.range(0));
    const bool bottomUp = state.range(1) != 0;
    const int stride = kWidth * bytes;
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(stride) * kHeight, 0x42);
    const std::uint8_t* top =
        bottomUp ? memory.data() + static_cast<std::size_t>(stride) * (kHeight - 1) : memory.data();
    const Kavrin::Proc::ConstPlane plane{top, bottomUp ? -stride : stride, kHeight};
    std::unique_ptr<Texture> texture;
    RunOnGL([&](const ShaderStorage& storage) {
        texture =
            std::make_unique<Texture>(PlaneParams(bytes), GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        UploadPlane(plane, *texture, storage);  // warm-up: programs, pool
        glFinish();
    });
    for (auto _ : state) {
        RunOnGL([&](const ShaderStorage& storage) {
            UploadPlane(plane, *texture, storage);
            glFinish();
        });
    }
    RunOnGL([&](const ShaderStorage&) { texture.reset(); });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * stride * kHeight);
}

void BM_DownloadPlane(benchmark::State& state) {
    const int bytes = static_cast<int>(state.range(0));
    const bool bottomUp = state.range(1) != 0;
    const int stride = kWidth * bytes;
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(stride) * kHeight, 0x42);
    std::uint8_t* top =
        bottomUp ? memory.data() + static_cast<std::size_t>(stride) * (kHeight - 1) : memory.data();
    const Kavrin::Proc::Plane plane{top, bottomUp ? -stride : stride, kHeight};
    std::unique_ptr<Texture> texture;
    RunOnGL([&](const ShaderStorage& storage) {
        texture =
            std::make_unique<Texture>(PlaneParams(bytes), GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        DownloadPlane(plane, *texture, storage);
    });
    for (auto _ : state) {
        RunOnGL([&](const ShaderStorage& storage) { DownloadPlane(plane, *texture, storage); });
    }
    RunOnGL([&](const ShaderStorage&) { texture.reset(); });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * stride * kHeight);
}

void BM_Memcpy(benchmark::State& state) {
    const std::size_t bytes =
        static_cast<std::size_t>(kWidth) * kHeight * static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> from(bytes, 1), to(bytes, 2);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

BENCHMARK(BM_UploadPlane)
    ->ArgsProduct({{1, 2}, {0, 1}})
    ->ArgNames({"bytes", "bottomUp"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadPlane)
    ->ArgsProduct({{1, 2}, {0, 1}})
    ->ArgNames({"bytes", "bottomUp"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Arg(1)->Arg(2)->ArgNames({"bytes"})->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (!Bench::StartLibrary(argv[0])) {
        return 1;
    }
    std::printf("planes: %dx%d\n", kWidth, kHeight);
    std::fflush(stdout);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RenderHub::GetInstance().Deinitialize();
    return 0;
}
