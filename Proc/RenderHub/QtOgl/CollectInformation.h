#pragma once

#include <functional>

#include "OglInformation.h"

namespace Kavrin::Ogl::Details {

// The checks that detection runs once a context is current; replaceable so that
// tests can make them fail.
struct DetectionProbes {
    std::function<void()> initFramebufferFunctions;
    std::function<bool()> checkTextureFormats;

    static DetectionProbes Default();
};

// Detects the OpenGL implementation with a temporary context made current on the
// calling thread; leaves `capability` at Unknown when anything fails.
class CollectInformation : public OglInformation {
public:
    explicit CollectInformation(const DetectionProbes& probes = DetectionProbes::Default());
};

// The level detection assigns to the versions GLEW reports.
OglCapability ChooseCapability(bool gl33, bool gl32, bool gl30, bool coreProfile);

// A driver string, or `fallback` when the driver returned null.
std::string DriverString(const unsigned char* text, const char* fallback);

}  // namespace Kavrin::Ogl::Details
