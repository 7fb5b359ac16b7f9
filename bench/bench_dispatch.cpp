// Task dispatch figures: how fast callers can queue empty tasks from 1, 2 and 4
// threads, how fast the GL thread drains them, and the round trip from
// DispatchTask to WaitUntilExecuted returning (p50, p99).
#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <QGuiApplication>
#include <benchmark/benchmark.h>
#include <glog/logging.h>

#include "BenchSupport.h"
#include "IOglTask.h"
#include "RenderHub.h"

namespace {

using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::RenderHub;

class EmptyTask : public Kavrin::Ogl::IOglTask {
public:
    EmptyTask() : IOglTask(OglCapability::Minimal, "Empty") {}

private:
    void DoExecute(OglCapability, const Kavrin::Ogl::ShaderStorage&) override {}
};

boost::intrusive_ptr<EmptyTask> NewTask() {
    return boost::intrusive_ptr<EmptyTask>(new EmptyTask());
}

// Queueing cost as seen by callers (task creation included); the GL thread
// drains concurrently.
void BM_QueueEmptyTasks(benchmark::State& state) {
    RenderHub& hub = RenderHub::GetInstance();
    boost::intrusive_ptr<EmptyTask> last;
    for (auto _ : state) {
        last = NewTask();
        hub.DoBackgroundTask(last);
    }
    last->WaitUntilExecuted();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueEmptyTasks)->Threads(1)->Threads(2)->Threads(4)->UseRealTime()->MinTime(1.0);

// Queue and execute: batches of 1000 pushed, then the last one waited for.
void BM_QueueAndExecuteBatch(benchmark::State& state) {
    RenderHub& hub = RenderHub::GetInstance();
    constexpr int kBatch = 1000;
    for (auto _ : state) {
        boost::intrusive_ptr<EmptyTask> last;
        for (int i = 0; i < kBatch; ++i) {
            last = NewTask();
            hub.DoBackgroundTask(last);
        }
        last->WaitUntilExecuted();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_QueueAndExecuteBatch)->Threads(1)->Threads(2)->Threads(4)->UseRealTime()->MinTime(1.0);

// One task at a time: DispatchTask to WaitUntilExecuted returning.
void BM_RoundTrip(benchmark::State& state) {
    RenderHub& hub = RenderHub::GetInstance();
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        auto task = NewTask();
        const auto start = std::chrono::steady_clock::now();
        hub.DispatchTask(task);
        task->WaitUntilExecuted();
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(micros.begin(), micros.end());
    auto percentile = [&](double p) {
        return micros[static_cast<std::size_t>(p * (micros.size() - 1))];
    };
    state.counters["p50_us"] = percentile(0.50);
    state.counters["p99_us"] = percentile(0.99);
    state.counters["max_us"] = micros.back();
}
BENCHMARK(BM_RoundTrip)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (!Bench::StartLibrary(argv[0])) {
        return 1;
    }
    std::printf("GL_VERSION: %s\n", RenderHub::GetInstance().GetInformation()->version.c_str());
    std::fflush(stdout);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RenderHub::GetInstance().Deinitialize();
    return 0;
}
