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
    // YUV matrices (FFmpeg names); empty: bt2020nc for BT.2020 primaries, else bt709.
    std::string inputMatrix;
    std::string outputMatrix;
    // YUV sample ranges (tv/limited, pc/full); empty: a Y4M input's own, else
    // limited, and the output follows the input.
    std::string inputRange;
    std::string outputRange;
    int inFlight = 4;  // frames between reading and writing
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
    // Containers ("y4m", "raw", "png"); empty: from the file name ("-" is standard
    // input or output: Y4M, or raw when raw options are given).
    std::string inputContainer;
    std::string outputContainer;
    int startNumber = -1;         // first frame of a PNG input sequence; -1: the lowest of 0 to 4
    bool quiet = false;           // no progress line and no summary
    std::string dither = "none";  // "none" or "ordered"
    // Chroma where its grid changes: "nearest", "bilinear" or "bicubic"; and where
    // chroma samples sit (FFmpeg's names), by default the Y4M tag's or left, and
    // the output's the input's.
    std::string chromaFilter = "bilinear";
    std::string inputChromaLocation;
    std::string outputChromaLocation;
    // Output size (0: the input's), resize kernel ("bilinear", "bicubic",
    // "mitchell", "lanczos3") and light ("gamma": the samples as they are, or
    // "linear").
    int scaleWidth = 0;
    int scaleHeight = 0;
    std::string scaleFilter = "bicubic";
    std::string scaleLight = "gamma";
    // HDR to a lower peak: "bt2390", "reinhard" or "clip"; a narrower gamut:
    // "clip" or "compress".
    std::string toneCurve = "bt2390";
    std::string gamut = "clip";
};

// Converts Y4M, PNG sequences or raw planar video between the supported pixel
// formats and colour spaces on the GPU, with several frames in flight so that
// reading, GPU work and writing overlap. Input the tool cannot take ends with a
// message and status 2; the output only appears, complete, on success. Needs an
// initialised library.
int RunConvert(const ConvertOptions& options);

}  // namespace RenderHubTool
