#pragma once

#include <string>
#include <vector>

namespace RenderHubTool {

struct BenchOptions {
    bool json = false;
    // Frame sizes to measure; the default is 1080p and 2160p.
    std::vector<std::pair<int, int>> sizes = {{1920, 1080}, {3840, 2160}};
    double secondsPerCase = 0.5;
};

// Task dispatch rate and latency, frame upload/download/round-trip rates for the
// main formats and the swapped RGB orders, and the conversion call's rates for
// the tool's main conversions (at the first size), as a table or JSON on
// standard output. Needs an initialised
// library and a QGuiApplication; returns the exit status.
int RunBench(const BenchOptions& options);

}  // namespace RenderHubTool
