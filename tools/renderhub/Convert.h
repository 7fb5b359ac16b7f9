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
    // Colour spaces (FFmpeg names); the output's default to the input's, so no
    // colour conversion happens unless asked for.
    std::string inputPrimaries = "bt709";
    std::string inputTransfer = "bt709";
    std::string outputPrimaries;
    std::string outputTransfer;
    float sourcePeak = 1000.0f;     // cd/m², PQ sources
    float targetPeak = 1000.0f;     // cd/m², PQ targets
    float referenceWhite = 203.0f;  // cd/m², HDR reference white
    float hlgPeak = 1000.0f;        // cd/m², HLG display
};

// Converts Y4M or raw planar video between the supported pixel formats on the GPU.
// Input the tool cannot take ends with a message and status 2; the output file
// only appears, complete, on success. Needs an initialised library.
int RunConvert(const ConvertOptions& options);

}  // namespace RenderHubTool
