#include "Kavrin/DX/EmulatedTexture.h"

#include <cstring>
#include <stdexcept>

#include "Kavrin/DX/DirectXException.h"

#include "Details/LiveObjects.h"

namespace Kavrin::DX {

UINT EmulatedTexture::BytesPerPixel(DXGI_FORMAT format) noexcept {
    switch (format) {
        case DXGI_FORMAT_R32G32B32A32_TYPELESS:
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
        case DXGI_FORMAT_R32G32B32A32_UINT:
            return 16;
        case DXGI_FORMAT_R16G16B16A16_TYPELESS:
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
        case DXGI_FORMAT_R16G16B16A16_UNORM:
        case DXGI_FORMAT_R16G16B16A16_UINT:
        case DXGI_FORMAT_R32G32_FLOAT:
            return 8;
        case DXGI_FORMAT_R10G10B10A2_TYPELESS:
        case DXGI_FORMAT_R10G10B10A2_UNORM:
        case DXGI_FORMAT_R10G10B10A2_UINT:
        case DXGI_FORMAT_R8G8B8A8_TYPELESS:
        case DXGI_FORMAT_R8G8B8A8_UNORM:
        case DXGI_FORMAT_R8G8B8A8_UNORM_SRGB:
        case DXGI_FORMAT_R8G8B8A8_UINT:
        case DXGI_FORMAT_R16G16_FLOAT:
        case DXGI_FORMAT_R16G16_UNORM:
        case DXGI_FORMAT_R32_FLOAT:
        case DXGI_FORMAT_R32_UINT:
        case DXGI_FORMAT_B8G8R8A8_UNORM:
        case DXGI_FORMAT_B8G8R8X8_UNORM:
        case DXGI_FORMAT_B8G8R8A8_UNORM_SRGB:
            return 4;
        case DXGI_FORMAT_R8G8_UNORM:
        case DXGI_FORMAT_R16_FLOAT:
        case DXGI_FORMAT_R16_UNORM:
            return 2;
        case DXGI_FORMAT_R8_UNORM:
            return 1;
        default:
            return 0;
    }
}

namespace {

UINT CheckedRowPitch(UINT width, UINT height, DXGI_FORMAT format) {
    const UINT bytes = EmulatedTexture::BytesPerPixel(format);
    if (bytes == 0) {
        KAVRIN_THROW_DX("EmulatedTexture", E_INVALIDARG,
                        "DXGI format " + std::to_string(format) +
                            " has no emulated layout; use a packed colour format");
    }
    // Direct3D's own limit for 2D textures.
    if (width == 0 || height == 0 || width > 16384 || height > 16384) {
        KAVRIN_THROW_DX("EmulatedTexture", E_INVALIDARG,
                        "Texture size " + std::to_string(width) + "x" + std::to_string(height) +
                            " is outside 1..16384");
    }
    return width * bytes;
}

}  // namespace

EmulatedTexture::EmulatedTexture(UINT width, UINT height, DXGI_FORMAT format, LUID adapter,
                                 bool keyedMutex)
    : width(width),
      height(height),
      format(format),
      rowPitch(CheckedRowPitch(width, height, format)),
      adapter(adapter),
      keyedMutex(keyedMutex ? std::make_unique<EmulatedKeyedMutex>() : nullptr),
      bytes(std::size_t(rowPitch) * height),
      liveId(Details::RegisterLive("TextureMemory", std::to_string(width) + "x" +
                                                        std::to_string(height) + " format " +
                                                        std::to_string(format))) {}

EmulatedTexture::~EmulatedTexture() { Details::UnregisterLive(liveId); }

void EmulatedTexture::Read(std::span<std::byte> destination) const {
    if (destination.size() != GetSize())
        throw std::invalid_argument("EmulatedTexture::Read: the span must hold GetSize() bytes");
    std::lock_guard lock(mutex);
    std::memcpy(destination.data(), bytes.data(), bytes.size());
}

void EmulatedTexture::Write(std::span<const std::byte> source) {
    if (source.size() != GetSize())
        throw std::invalid_argument("EmulatedTexture::Write: the span must hold GetSize() bytes");
    std::lock_guard lock(mutex);
    std::memcpy(bytes.data(), source.data(), bytes.size());
}

std::vector<std::byte> EmulatedTexture::ReadAll() const {
    std::lock_guard lock(mutex);
    return bytes;
}

void EmulatedTexture::WriteRows(const void* rows, std::size_t pitch) {
    if (pitch < rowPitch)
        throw std::invalid_argument("EmulatedTexture::WriteRows: pitch below the row size");
    const auto* source = static_cast<const std::byte*>(rows);
    std::lock_guard lock(mutex);
    for (UINT row = 0; row < height; ++row)
        std::memcpy(bytes.data() + std::size_t(row) * rowPitch, source + row * pitch, rowPitch);
}

}  // namespace Kavrin::DX
