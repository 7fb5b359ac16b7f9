#pragma once

namespace Kavrin::DX {

// Compiled HLSL for Direct3D. The emulation compiles nothing; it only answers
// whether a compiler (d3dcompiler_47) would be there.
class D3ShaderBytecode {
public:
    // Thread-safe.
    static bool IsCompilerLoaded();
};

}  // namespace Kavrin::DX
