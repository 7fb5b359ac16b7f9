#include "Kavrin/DX/D3ShaderBytecode.h"

#include "Kavrin/DX/Emulation.h"

namespace Kavrin::DX {

bool D3ShaderBytecode::IsCompilerLoaded() { return Emulation::IsCompilerLoaded(); }

}  // namespace Kavrin::DX
