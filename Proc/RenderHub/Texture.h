#pragma once

#include <GL/glew.h>

namespace Kavrin::Ogl {

// Process-wide recycler of textures. The worker purges it periodically and clears
// it before its context goes. GL thread only.
// Textures and their pooling arrive with the texture module; until then the pool
// holds nothing and both operations have nothing to release.
class TexturePool {
public:
    static TexturePool& GetInstance();

    // Deletes textures that stayed unused for too long.
    void Purge();
    // Deletes every pooled texture.
    void Clear();

    // Number of Purge and Clear calls so far (diagnostics).
    unsigned GetPurgeCount() const { return purgeCount; }
    unsigned GetClearCount() const { return clearCount; }

private:
    TexturePool() = default;
    unsigned purgeCount = 0;
    unsigned clearCount = 0;
};

namespace Details {

// Fills the framebuffer entry-point table (core or EXT) once per process, with
// a context current. Called by detection.
void InitFramebufferFunctions();

}  // namespace Details

}  // namespace Kavrin::Ogl
