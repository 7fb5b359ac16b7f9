#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::DX {

// What DXGI tells about one adapter. An immutable value once published.
struct AdapterDescription {
    std::string name;
    LUID luid{};
    // Non-zero for adapters that may carry interop: vendor id in the high 32 bits,
    // device id in the low ones. 0 marks adapters to skip (remote or display-less).
    std::uint64_t qualifier = 0;
    // Lower-case words of the vendor as OpenGL drivers name it ("nvidia", "mesa");
    // empty for vendors nobody knows.
    std::vector<std::string> vendorKeywords;
    UINT vendorId = 0;
    UINT deviceId = 0;
    // A software renderer; listed only when enumeration includes software adapters.
    bool software = false;
    // User-mode driver version: four 16-bit parts, most significant first.
    std::uint64_t driverVersion = 0;

    // The driver version as "a.b.c.d".
    std::string GetDriverVersion() const;
};

}  // namespace Kavrin::DX
