#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Kavrin::Ogl {

// Capability level of the OpenGL implementation; larger is more capable and tasks
// compare levels numerically.
enum class OglCapability : std::int32_t {
    Unknown = 0,
    Minimal = 1,  // never detected: the level every task of the library requires
    Compatibility30 = 2,
    Compatibility32 = 3,
    Core32 = 4,
    Core33 = 5,
};

// What detection found out about the OpenGL implementation. Immutable once
// detected; shared between threads through std::shared_ptr.
struct OglInformation {
    OglCapability capability = OglCapability::Unknown;
    std::uint64_t majorVersion = 0;
    std::uint64_t minorVersion = 0;
    std::uint64_t maxTextureSize = 0;
    std::string version;
    std::string renderer;
    std::string vendor;

    // Display name of `capability` ("3.2 Compatibility Profile", ...).
    std::string CapabilityName() const;
    // "major.minor", e.g. "4.5".
    std::string VersionText() const;
    // Whether `renderer` rasterizes on the CPU (llvmpipe, softpipe): its GL work
    // then runs on the same cores as the caller's own threads.
    bool IsSoftwareRenderer() const;
};

// The process-wide detected information; the first call probes OpenGL on the
// calling thread with a temporary context. Thread-safe.
const std::shared_ptr<OglInformation>& GetCollectedInformation();

}  // namespace Kavrin::Ogl
