#pragma once

#include <cstdint>

#include "Kavrin/PixFmt.h"

namespace Kavrin {

// Quantisation range of the samples, numbered like FFmpeg's AVColorRange.
enum class PixelColorRange : std::int32_t { Unspecified = 0, Limited = 1, Full = 2 };

enum PixFmtFlags : std::uint32_t {
    PixFmtFlagRGB = 4,    // R'G'B' components (packed, planar GBR, Bayer, float)
    PixFmtFlagAlpha = 8,  // carries alpha (PAL8: in its palette)
    PixFmtFlagYUV = 16,   // Y'CbCr, planar, semi-planar or packed
};

// Immutable facts about one pixel format; the descriptions live in a static
// table, so pointers returned by Find stay valid for the process's lifetime.
// Thread-safe.
//
// depth and shift are those of the first component (luma, or red) exactly as
// FFmpeg describes them; shift is the data shift inside the component's
// container (P010LE: 6). range is the range the format implies when nothing
// else says: Full for RGB, gray, YA, PAL8, XYZ and YUVJ formats, Limited for
// other YUV formats, Unspecified for None and hardware formats. bytesPerPixel
// is 0 for planes whose pixels are not a whole number of bytes (MONOW, RGB4,
// UYYVYY411); packed 4:2:2 formats count 2 (or 4) bytes per pixel, i.e. half a
// macropixel. Hardware formats (VAAPI, CUDA, D3D11, ...) have no planes and no
// components.
struct PixFmtDescription {
    PixFmt pixFmt;
    std::uint32_t flags;
    std::uint8_t planes;
    std::uint8_t components;
    std::uint8_t depth;
    std::uint8_t shift;
    PixelColorRange range;
    std::uint8_t log2ChromaW;
    std::uint8_t log2ChromaH;
    std::uint8_t bytesPerPixel[4];
    const char* name;

    // The description of every format of PixFmt, None included; nullptr for
    // values outside the enum.
    static const PixFmtDescription* Find(PixFmt pixFmt);

    const char* GetName() const { return name; }

    // Width (height) of a plane in samples: the chroma planes (1 and 2 of
    // planar YUV, 1 of semi-planar, where a sample is a Cb/Cr pair) are
    // subsampled and rounded up; luma, alpha and RGB planes are full size.
    int GetPlanWidth(int width, int plane) const;
    int GetPlanHeight(int height, int plane) const;

    // One plane per component: YUV420P, YUVA444P16LE, ...
    bool IsPlanarYUV() const;
    // Luma plane plus one interleaved chroma plane: NV12, NV21, P010LE, ...
    bool IsSemiPlanar() const;
    bool HasAlpha() const { return (flags & PixFmtFlagAlpha) != 0; }
    bool IsRGB() const { return (flags & PixFmtFlagRGB) != 0; }
    bool IsYUV() const { return (flags & PixFmtFlagYUV) != 0; }
    // A handle to memory of some hardware API; nothing a CPU can address.
    bool IsHardware() const { return planes == 0 && pixFmt != PixFmt::None; }
};

}  // namespace Kavrin
