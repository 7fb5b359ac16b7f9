#pragma once

#include <GL/glew.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "Kavrin/Core/RefCount.h"

namespace Kavrin::Ogl {

class Mesh;
class ShaderStorage;

// A viewport for rendering into an interop texture; each field goes to
// glViewport truncated to its 32-bit parameter.
struct GLViewport {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// The OpenGL side shared by every Direct3D interop surface: one 2D texture of a
// fixed size that can be rendered into or drawn. Subclasses create the GL
// texture bound to Direct3D memory, delete it in their Destroy, and wrap
// BindFrameBuffer and Draw in their synchronisation. Reference counts change on
// any thread; the last release of a texture created on the GL thread destroys
// it there (queued as "InteropTextureDeleter" when it happens elsewhere).
//
// A destructor that finds the texture still set means a subclass forgot to
// delete it: that is logged at ERROR and aborts debug builds; release builds go
// on and leak the name.
class InteropTexture : public IRefCountable {
public:
    static const unsigned int s_target;  // GL_TEXTURE_2D

    ~InteropTexture() override;
    InteropTexture(const InteropTexture&) = delete;
    InteropTexture& operator=(const InteropTexture&) = delete;

    unsigned AddRef() const override;
    unsigned GetRefCount() const override;
    unsigned Release() const override;

    // Renders `draw` into the texture through a temporary framebuffer with the
    // given viewport (the whole texture when empty); the previous framebuffer
    // binding is restored, also when `draw` throws. GL thread.
    virtual void BindFrameBuffer(const std::function<void()>& draw,
                                 const std::optional<GLViewport>& viewport) const;
    // Draws the texture with `mesh` and the plain RGBA program. GL thread.
    virtual void Draw(const Mesh& mesh, const ShaderStorage& storage) const;
    // Draws the texture on a quad centred in the viewport; {1, 1} covers it.
    // Goes through the virtual Draw, so a subclass's synchronisation applies.
    void Draw(const ShaderStorage& storage, const std::array<float, 2>& scale) const;

    std::size_t GetWidth() const { return width; }
    std::size_t GetHeight() const { return height; }
    GLuint GetTexture() const { return texture; }

protected:
    InteropTexture(std::size_t width, std::size_t height);

    GLuint texture = 0;

private:
    RefCountImpl refCount;
    std::uint64_t width;
    std::uint64_t height;
    bool createdOnGlThread;
};

}  // namespace Kavrin::Ogl
