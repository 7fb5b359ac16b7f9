#pragma once

#include <GL/glew.h>

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

// Where downloaded pixels land: Prepare returns what Texture::Download writes to,
// Complete delivers them to the destination. With a row layout (rowBytes of
// pixels every `stride` bytes) only the pixel bytes of each row are delivered, so
// the bytes between rows (padding, or a neighbouring image in a crop) are kept.
// GL thread only.
class DownloadBuffer {
public:
    virtual ~DownloadBuffer() = default;
    virtual void* Prepare(void* destination, std::size_t bytes, std::size_t rowBytes = 0,
                          std::size_t stride = 0) = 0;
    virtual void Complete() = 0;

    // The pixel-pack variant when an RGBA8 read-back through it is exact, else
    // the direct one.
    static std::unique_ptr<DownloadBuffer> Create(OglCapability capability, Surface& surface);
};

// Reads straight into client memory.
class DownloadBufferDisabled : public DownloadBuffer {
public:
    void* Prepare(void* destination, std::size_t bytes, std::size_t rowBytes = 0,
                  std::size_t stride = 0) override;
    void Complete() override;
};

// Reads into a pixel-pack buffer kept across downloads and copies out at Complete.
class DownloadBufferSimple : public DownloadBuffer {
public:
    void* Prepare(void* destination, std::size_t bytes, std::size_t rowBytes = 0,
                  std::size_t stride = 0) override;
    // Throws std::logic_error without a preceding Prepare, or when the buffer
    // cannot be mapped.
    void Complete() override;

private:
    std::uint64_t pendingBytes = 0;
    std::size_t pendingRowBytes = 0;
    std::size_t pendingStride = 0;
    void* pendingDestination = nullptr;
    std::size_t capacity = 0;
    PixelPackBuffer buffer;
};

// Uploads and reads back a 90x90 texture of each format the transfer paths
// need; logs every failing format. Needs a current context.
bool CheckTextureFormatSupporting();

}  // namespace Details

}  // namespace Kavrin::Ogl
