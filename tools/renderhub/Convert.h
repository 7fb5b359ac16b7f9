#pragma once

#include <string>

namespace RenderHubTool {

struct ConvertOptions {
    std::string input;
    std::string output;
    std::string outputPixFmt;  // FFmpeg name; empty: the input's format
    std::string inputPixFmt;   // raw input only
    int width = 0;             // raw input only
    int height = 0;
    std::string matrix = "bt709";
};

// Converts Y4M or raw planar video between the supported pixel formats on the GPU.
// Input the tool cannot take ends with a message and status 2; the output file
// only appears, complete, on success. Needs an initialised library.
int RunConvert(const ConvertOptions& options);

}  // namespace RenderHubTool
