#pragma once

#include <GL/glew.h>

#include <array>
#include <vector>

#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"

namespace Kavrin::Ogl::Details {

// A texture's storage: transfer format, sized internal format and component type.
struct TextureFormat {
    GLenum format = 0;
    GLint internalFormat = 0;
    GLenum type = 0;
};

enum class PlaneLayout { PackedRGB, Planar, SemiPlanar };

// Everything the library decides about one CPU pixel format it can move. Every
// choice of texture format, plane set and channel order is read from here, so
// the upload, download, conversion and listing paths cannot disagree.
struct FormatEntry {
    const PixFmtDescription* description = nullptr;
    PlaneLayout layout = PlaneLayout::Planar;
    // The RGB frame format it uploads into and downloads from: 8-bit RGB24/RGBA
    // up to 8 bits, else RGB48LE/RGBA64LE, with alpha when the format has it.
    PixFmt gpu = PixFmt::None;
    // Component (0 R or Y', 1 G or Cb, 2 B or Cr, 3 A) of each channel of the
    // packed plane, or of the chroma plane for semi-planar formats; -1 past the
    // last channel.
    std::array<int, 4> channels{-1, -1, -1, -1};
    // Client transfer format and type that GL reorders into RGB(A) on upload;
    // 0 when the pixels already are in the texture's order.
    GLenum clientFormat = 0;
    GLenum clientType = 0;
    // The storage of the RGB frame an upload fills: 8-bit swapped orders are
    // stored in their own order (unsized GL_RGBA allocated from their transfer
    // format lets the driver pick it), so that their uploads are plain copies.
    TextureFormat storage;

    PixFmt Format() const { return description->pixFmt; }
    int ChannelCount() const;
};

// The supported formats, in the order GetSupportedPixFmt lists them.
const std::vector<FormatEntry>& FormatTable();
// Null when the library does not move the format.
const FormatEntry* FindFormat(PixFmt pixFmt);

// Storage of the RGB frame formats a Frame can hold; format 0 for others.
TextureFormat FrameTextureFormat(PixFmt pixFmt);
// RGB24, RGBA, RGB48LE or RGBA64LE: the frame formats with integer samples.
bool IsIntegerRgbFrame(PixFmt pixFmt);
// RGB frame format for a depth and alpha (see FormatEntry::gpu).
PixFmt RgbFrameFormat(int depth, bool alpha);
// Integer storage of a plane of `channels` samples (3 is stored in 4, which every
// driver can render into): exact code values, sampled with texelFetch.
TextureFormat IntegerPlaneFormat(int channels, bool wide);

}  // namespace Kavrin::Ogl::Details
