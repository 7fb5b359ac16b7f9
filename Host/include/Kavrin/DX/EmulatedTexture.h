#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "Kavrin/DX/EmulatedKeyedMutex.h"
#include "Kavrin/Win/DXGI.h"
#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::DX {

// The system memory of one emulated texture: one level, one slice, rows packed
// without padding (row pitch = width x bytes per pixel). Direct3D 11 textures,
// Direct3D 12 resources opened from a shared handle and the GL side all reach the
// same object. Thread-safe: every access to the bytes is serialised.
class EmulatedTexture {
public:
    // Throws DirectXException E_INVALIDARG for an empty size or a format without an
    // emulated layout (see BytesPerPixel).
    EmulatedTexture(UINT width, UINT height, DXGI_FORMAT format, LUID adapter, bool keyedMutex);
    ~EmulatedTexture();
    EmulatedTexture(const EmulatedTexture&) = delete;
    EmulatedTexture& operator=(const EmulatedTexture&) = delete;

    // Bytes per pixel of the formats the emulation lays out; 0 for others (planar,
    // block-compressed, unknown).
    static UINT BytesPerPixel(DXGI_FORMAT format) noexcept;

    UINT GetWidth() const noexcept { return width; }
    UINT GetHeight() const noexcept { return height; }
    DXGI_FORMAT GetFormat() const noexcept { return format; }
    UINT GetRowPitch() const noexcept { return rowPitch; }
    std::size_t GetSize() const noexcept { return std::size_t(rowPitch) * height; }
    LUID GetAdapterLuid() const noexcept { return adapter; }
    // Null when the texture was created without a keyed mutex.
    EmulatedKeyedMutex* GetKeyedMutex() noexcept { return keyedMutex.get(); }

    // Copies the whole image out or in; the span must be exactly GetSize() bytes
    // (std::invalid_argument otherwise).
    void Read(std::span<std::byte> destination) const;
    void Write(std::span<const std::byte> source);
    std::vector<std::byte> ReadAll() const;
    // Fills the image from rows laid out `pitch` bytes apart (at least the row pitch).
    void WriteRows(const void* rows, std::size_t pitch);

private:
    const UINT width;
    const UINT height;
    const DXGI_FORMAT format;
    const UINT rowPitch;
    const LUID adapter;
    const std::unique_ptr<EmulatedKeyedMutex> keyedMutex;
    // Guards `bytes`; a leaf lock.
    mutable std::mutex mutex;
    std::vector<std::byte> bytes;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
