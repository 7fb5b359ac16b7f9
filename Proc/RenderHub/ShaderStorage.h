#pragma once

#include <GL/glew.h>

#include <memory>

#include "OglInformation.h"

namespace Kavrin::Ogl {

// The per-context toolbox handed to every task. Built by the worker once its
// context is current and reset before the context goes. GL thread only.
// Programs, quads, the framebuffer and the transfer buffers join it with the
// shader and resource modules; for now it carries the context's capability.
class ShaderStorage {
public:
    ShaderStorage();
    ~ShaderStorage();
    ShaderStorage(const ShaderStorage&) = delete;
    ShaderStorage& operator=(const ShaderStorage&) = delete;

    void Create(OglCapability capability);
    void Reset();
    bool IsValid() const { return state != nullptr; }
    // Unknown when the storage is not valid.
    OglCapability GetCapability() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace Kavrin::Ogl
