#pragma once

#include <string>

namespace RenderHubTool {

struct DemoOptions {
    int width = 640;
    int height = 360;
    int frames = 6;
    std::string output = "renderhub-demo.png";
};

// Sends a generated clip through every supported pixel format and a PQ to SDR
// conversion on the GPU, prints one row per format and writes a contact sheet.
// Returns the process exit status. Needs an initialised library and a
// QGuiApplication.
int RunDemo(const DemoOptions& options);

}  // namespace RenderHubTool
