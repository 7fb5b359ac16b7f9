#pragma once

#include <GL/glew.h>

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

namespace Kavrin::Ogl {

class Surface;

// Owns one GL_TEXTURE_2D (one mip level) and the parameters of its storage.
// Move-free and copy-free: ownership travels in std::unique_ptr. GL thread only.
class Texture {
public:
    struct Params {
        std::int32_t width = 0;
        std::int32_t height = 0;
        GLenum format = GL_RGB;                 // pixel-transfer format
        std::int32_t internalFormat = GL_RGB8;  // sized storage format
        GLenum type = GL_UNSIGNED_BYTE;

        friend bool operator==(const Params&, const Params&) = default;
    };

    Texture() = default;
    Texture(const Params& params, int wrap, int filter, const void* data);
    ~Texture();
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    // (Re)specifies the storage; `data` may be null (storage only).
    void Allocate(const Params& params, const void* data);
    // Replaces the whole image; rowLength in pixels, 0 = tightly packed.
    void Update(unsigned int rowLength, const void* const data);
    // The same from client pixels of another transfer format and type of the same
    // size (GL_BGRA for an RGBA texture, say): GL reorders them on the way.
    void Update(unsigned int rowLength, const void* const data, GLenum format, GLenum type);
    // Reads the whole image into client memory or the bound pixel-pack buffer.
    void Download(unsigned int rowLength, void* const data, Surface& surface);
    // The same into client pixels of another transfer format and type.
    void Download(unsigned int rowLength, void* const data, Surface& surface, GLenum format,
                  GLenum type);
    // Binds for sampling on `unit`, or on the active unit when it is negative.
    void Use(int unit) const;
    void Tweak(int wrap, int filter) const;

    // Throw Kavrin::Exception for types/formats outside the transfer paths.
    unsigned char BytesPerComponent() const;
    unsigned char ComponentsPerPixel() const;
    bool IsIntegerTexture() const;

    // Forgets the GL name without deleting it: for a texture whose context is gone.
    void Abandon();
    // False once the context that made the name has been replaced: the name
    // may then belong to another texture of the current context.
    bool IsOfCurrentContext() const;
    // Called on the GL thread when a worker context starts: textures made
    // before are abandoned instead of deleted or recycled.
    static void BeginContext();

    unsigned int GetTexId() const { return name; }
    const Params& GetTexParams() const { return params; }
    std::int64_t GetLastUsed() const { return lastUsed; }

private:
    friend class TexturePool;

    GLuint name = 0;
    Params params;
    std::int64_t lastUsed = 0;  // steady-clock ns when it last entered the pool
    std::uint64_t context = 0;  // BeginContext count when the name was made
};

// A framebuffer with a depth renderbuffer, rendering into an attached texture.
// GL thread only.
class Surface {
public:
    // Throws std::logic_error when GL hands out no names.
    Surface();
    ~Surface();
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    // Binds, sets the viewport to the texture and attaches it. Throws
    // std::logic_error while a depth buffer is attached.
    void Attach(Texture& texture);
    void AttachDepth();
    void DetachDepth();
    void Bind() const;

    GLuint GetFramebuffer() const { return framebuffer; }
    Texture* GetAttached() const { return attached; }
    bool IsDepthAttached() const { return depthAttached; }

private:
    void Release();

    bool depthAttached = false;
    GLuint framebuffer = 0;
    GLuint renderbuffer = 0;
    Texture* attached = nullptr;
};

// Process-wide recycler of textures by exact Params, most recently returned
// first, within a pixel-area budget and an idle-time limit. GL thread only;
// the worker serialises its periodic Purge with its own lock.
class TexturePool {
public:
    static constexpr std::uint64_t AreaLimit = 104857600;     // 100 Mi pixels
    static constexpr std::int64_t IdleLimitNs = 30000000001;  // more than 30 s

    static TexturePool& GetInstance();

    // A texture with exactly these Params, reused or new; never null.
    std::unique_ptr<Texture> GetTex(const Texture::Params& params);
    // Takes the texture back; null is ignored, a texture of an earlier context
    // is abandoned. Never evicts.
    void PutTex(std::unique_ptr<Texture>&& texture);
    // Frees textures idle for longer than the limit, oldest first.
    void Purge();
    // Frees every pooled texture.
    void Clear();

    std::uint64_t GetTotalArea() const { return totalArea; }
    std::size_t GetCount() const { return count; }
    // Purge and Clear calls so far (diagnostics).
    unsigned GetPurgeCount() const { return purgeCount; }
    unsigned GetClearCount() const { return clearCount; }

private:
    TexturePool() = default;
    ~TexturePool();
    void DecreaseArea(const std::unique_ptr<Texture>& texture);
    void EvictOldest();

    std::uint64_t totalArea = 0;
    std::list<std::unique_ptr<Texture>> textures;
    std::size_t count = 0;
    unsigned purgeCount = 0;
    unsigned clearCount = 0;
};

// Pool textures taken for one operation, handed back to the pool when it ends,
// on every path. GL thread only.
class PooledTextures {
public:
    PooledTextures() = default;
    ~PooledTextures();
    PooledTextures(const PooledTextures&) = delete;
    PooledTextures& operator=(const PooledTextures&) = delete;

    Texture& Take(const Texture::Params& params);
    Texture& operator[](std::size_t index) const { return *textures.at(index); }
    std::size_t Count() const { return textures.size(); }

private:
    std::vector<std::unique_ptr<Texture>> textures;
};

namespace Details {

// The framebuffer entry points: core when GLEW has them, else the EXT ones.
struct FramebufferFunctions {
    PFNGLGENFRAMEBUFFERSPROC GenFramebuffers = nullptr;
    PFNGLBINDFRAMEBUFFERPROC BindFramebuffer = nullptr;
    PFNGLDELETEFRAMEBUFFERSPROC DeleteFramebuffers = nullptr;
    PFNGLFRAMEBUFFERTEXTURE2DPROC FramebufferTexture2D = nullptr;
    PFNGLGENRENDERBUFFERSPROC GenRenderbuffers = nullptr;
    PFNGLBINDRENDERBUFFERPROC BindRenderbuffer = nullptr;
    PFNGLDELETERENDERBUFFERSPROC DeleteRenderbuffers = nullptr;
    PFNGLFRAMEBUFFERRENDERBUFFERPROC FramebufferRenderbuffer = nullptr;
    PFNGLRENDERBUFFERSTORAGEPROC RenderbufferStorage = nullptr;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC CheckFramebufferStatus = nullptr;
};
const FramebufferFunctions& GetFramebufferFunctions();

// Fills the table once per process, after GLEW is initialised. Called by detection.
void InitFramebufferFunctions();

}  // namespace Details

}  // namespace Kavrin::Ogl
