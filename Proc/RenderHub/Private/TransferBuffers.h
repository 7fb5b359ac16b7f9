#pragma once

#include <GL/glew.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "GLBuffer.h"
#include "OglInformation.h"

namespace Kavrin::Ogl {

class Surface;

namespace Details {

// Where uploaded pixels come from: Prepare returns what Texture::Update reads
// (client memory or an offset into a bound buffer). GL thread only.
class UploadBuffer {
public:
    virtual ~UploadBuffer() = default;
    virtual const void* Prepare(const void* source, std::size_t bytes) = 0;
    virtual void Complete(const void* prepared, std::size_t bytes) = 0;

    static std::unique_ptr<UploadBuffer> Create(OglCapability capability);
};

// Uploads straight from client memory.
class UploadBufferDisabled : public UploadBuffer {
public:
    const void* Prepare(const void* source, std::size_t bytes) override;
    void Complete(const void* prepared, std::size_t bytes) override;
};

// Output byte j of each four-byte pixel is input byte from[j]: how a read in a
// texture's stored order is reordered on its way to the destination.
struct ByteShuffle {
    std::array<std::uint8_t, 4> from{0, 1, 2, 3};

    bool IsIdentity() const { return from == std::array<std::uint8_t, 4>{0, 1, 2, 3}; }
};

// Copies `bytes` (whole four-byte pixels when `shuffle` moves bytes) from
// `source` to `destination`, which may be the same memory, reordering each pixel.
void CopyPixels(std::uint8_t* destination, const std::uint8_t* source, std::size_t bytes,
                const ByteShuffle& shuffle);

// A download's destination and layout, from its Prepare to its Complete.
struct PendingDownload {
    std::uint8_t* destination = nullptr;
    std::size_t bytes = 0;
    std::size_t rowBytes = 0;
    std::size_t stride = 0;
    ByteShuffle shuffle;

    // Copies the pixels of each row from `source`, laid out as the destination.
    void Deliver(const std::uint8_t* source) const;
};

// Where downloaded pixels land: Prepare returns what Texture::Download writes to,
// Complete delivers them to the destination. With a row layout (rowBytes of
// pixels every `stride` bytes) only the pixel bytes of each row are delivered, so
// the bytes between rows (padding, or a neighbouring image in a crop) are kept;
// `shuffle` reorders the pixels on delivery. GL thread only.
class DownloadBuffer {
public:
    virtual ~DownloadBuffer() = default;
    virtual void* Prepare(void* destination, std::size_t bytes, std::size_t rowBytes = 0,
                          std::size_t stride = 0, ByteShuffle shuffle = {}) = 0;
    virtual void Complete() = 0;

    // The pixel-pack variant when an RGBA8 read-back through it is exact, else
    // the direct one. Software rasterizers always get the direct one: their
    // textures are client memory already, the read is synchronous either way,
    // and through a pack buffer it takes Mesa three times as long (a 1080p RGBA
    // read on llvmpipe).
    static std::unique_ptr<DownloadBuffer> Create(OglCapability capability, Surface& surface);
};

// Reads straight into client memory (and reorders it there).
class DownloadBufferDisabled : public DownloadBuffer {
public:
    void* Prepare(void* destination, std::size_t bytes, std::size_t rowBytes = 0,
                  std::size_t stride = 0, ByteShuffle shuffle = {}) override;
    void Complete() override;

private:
    PendingDownload pending;
};

// Reads into a pixel-pack buffer kept across downloads and copies out at Complete.
class DownloadBufferSimple : public DownloadBuffer {
public:
    void* Prepare(void* destination, std::size_t bytes, std::size_t rowBytes = 0,
                  std::size_t stride = 0, ByteShuffle shuffle = {}) override;
    // Throws std::logic_error without a preceding Prepare, or when the buffer
    // cannot be mapped.
    void Complete() override;

private:
    PendingDownload pending;
    std::size_t capacity = 0;
    PixelPackBuffer buffer;
};

// Whether GL_RENDERER names a rasterizer that runs on the CPU (null: no).
bool IsSoftwareRenderer(const GLubyte* renderer);

// Uploads and reads back a 90x90 texture of each format the transfer paths
// need; logs every failing format. Needs a current context.
bool CheckTextureFormatSupporting();

}  // namespace Details

}  // namespace Kavrin::Ogl
