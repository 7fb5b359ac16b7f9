#pragma once

struct _XDisplay;

namespace RenderHubTool {

// A connection of our own to the X display that DISPLAY names, made before Qt
// opens its one: a display nobody serves is then reported as such, and holding
// the connection until Qt has connected keeps a server started without -noreset
// from resetting (and refusing Qt) in between. Main thread only.
class XDisplayConnection {
public:
    XDisplayConnection();
    ~XDisplayConnection();
    XDisplayConnection(const XDisplayConnection&) = delete;
    XDisplayConnection& operator=(const XDisplayConnection&) = delete;

    bool IsOpen() const { return display != nullptr; }

private:
    _XDisplay* display = nullptr;
};

}  // namespace RenderHubTool
