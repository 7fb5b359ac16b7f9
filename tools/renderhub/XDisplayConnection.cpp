#include "XDisplayConnection.h"

// Xlib's macros (Bool, Status, None) stay in this file.
#include <X11/Xlib.h>

namespace RenderHubTool {

XDisplayConnection::XDisplayConnection() : display(XOpenDisplay(nullptr)) {}

XDisplayConnection::~XDisplayConnection() {
    if (display != nullptr) {
        XCloseDisplay(display);
    }
}

}  // namespace RenderHubTool
