#include "Private/FormatTable.h"

#include <algorithm>
#include <bit>
#include <initializer_list>

namespace Kavrin::Ogl::Details {
namespace {

static_assert(std::endian::native == std::endian::little,
              "packed words read the bytes of a little-endian machine");

struct Row {
    PixFmt pixFmt;
    PlaneLayout layout;
    std::array<int, 4> channels;
    GLenum clientFormat;
    bool packedWord;  // 8-bit alpha-first orders, read as one 32-bit word
};

constexpr std::array<int, 4> kNone{-1, -1, -1, -1};
constexpr std::array<int, 4> kRgb{0, 1, 2, -1};
constexpr std::array<int, 4> kBgr{2, 1, 0, -1};
constexpr std::array<int, 4> kRgba{0, 1, 2, 3};
constexpr std::array<int, 4> kBgra{2, 1, 0, 3};
constexpr std::array<int, 4> kCbCr{1, 2, -1, -1};
constexpr std::array<int, 4> kCrCb{2, 1, -1, -1};

constexpr Row Packed(PixFmt pixFmt, std::array<int, 4> channels, GLenum clientFormat = 0,
                     bool packedWord = false) {
    return {pixFmt, PlaneLayout::PackedRGB, channels, clientFormat, packedWord};
}
constexpr Row Planar(PixFmt pixFmt) { return {pixFmt, PlaneLayout::Planar, kNone, 0, false}; }
constexpr Row SemiPlanar(PixFmt pixFmt, std::array<int, 4> chroma) {
    return {pixFmt, PlaneLayout::SemiPlanar, chroma, 0, false};
}

// Bytes A R G B are the word B G R A read from its high byte down, and A B G R
// the word R G B A.
constexpr Row kRows[] = {
    Packed(PixFmt::RGBA, kRgba),
    Packed(PixFmt::BGRA, kBgra, GL_BGRA),
    Packed(PixFmt::ARGB, {3, 0, 1, 2}, GL_BGRA, true),
    Packed(PixFmt::ABGR, {3, 2, 1, 0}, GL_RGBA, true),
    Packed(PixFmt::RGB24, kRgb),
    Packed(PixFmt::BGR24, kBgr, GL_BGR),
    Planar(PixFmt::YUVA420P),
    Planar(PixFmt::YUV420P),
    Planar(PixFmt::YUVA422P),
    Planar(PixFmt::YUV422P),
    Planar(PixFmt::YUVA444P),
    Planar(PixFmt::YUV444P),
    Planar(PixFmt::YUV440P),
    Planar(PixFmt::YUV411P),
    Planar(PixFmt::YUV410P),
    SemiPlanar(PixFmt::NV12, kCbCr),
    SemiPlanar(PixFmt::NV21, kCrCb),
    Packed(PixFmt::RGB48LE, kRgb),
    Packed(PixFmt::BGR48LE, kBgr, GL_BGR),
    Packed(PixFmt::RGBA64LE, kRgba),
    Packed(PixFmt::BGRA64LE, kBgra, GL_BGRA),
    Planar(PixFmt::YUV420P10LE),
    Planar(PixFmt::YUV420P12LE),
    Planar(PixFmt::YUV420P16LE),
    Planar(PixFmt::YUV422P10LE),
    Planar(PixFmt::YUV422P12LE),
    Planar(PixFmt::YUV422P16LE),
    Planar(PixFmt::YUV444P10LE),
    Planar(PixFmt::YUV444P12LE),
    Planar(PixFmt::YUV444P16LE),
    Planar(PixFmt::YUVA420P10LE),
    Planar(PixFmt::YUVA420P16LE),
    Planar(PixFmt::YUVA422P10LE),
    Planar(PixFmt::YUVA422P12LE),
    Planar(PixFmt::YUVA422P16LE),
    Planar(PixFmt::YUVA444P10LE),
    Planar(PixFmt::YUVA444P12LE),
    Planar(PixFmt::YUVA444P16LE),
    SemiPlanar(PixFmt::P010LE, kCbCr),
    SemiPlanar(PixFmt::P016LE, kCbCr),
};

FormatEntry MakeEntry(const Row& row) {
    FormatEntry entry;
    entry.description = PixFmtDescription::Find(row.pixFmt);
    entry.layout = row.layout;
    entry.channels = row.channels;
    const bool wide = entry.description->depth > 8;
    entry.gpu = RgbFrameFormat(entry.description->depth, entry.description->HasAlpha());
    entry.clientFormat = row.clientFormat;
    if (row.clientFormat != 0) {
        entry.clientType = row.packedWord ? GL_UNSIGNED_INT_8_8_8_8
                                          : (wide ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE);
    }
    entry.storage = FrameTextureFormat(entry.gpu);
    if (row.clientFormat != 0 && !wide && entry.description->HasAlpha()) {
        entry.storage = {row.clientFormat, GL_RGBA, entry.clientType};
    }
    return entry;
}

}  // namespace

int FormatEntry::ChannelCount() const {
    return static_cast<int>(
        std::count_if(channels.begin(), channels.end(), [](int c) { return c >= 0; }));
}

const std::vector<FormatEntry>& FormatTable() {
    static const std::vector<FormatEntry> table = [] {
        std::vector<FormatEntry> entries;
        for (const Row& row : kRows) {
            entries.push_back(MakeEntry(row));
        }
        return entries;
    }();
    return table;
}

const FormatEntry* FindFormat(PixFmt pixFmt) {
    const auto& table = FormatTable();
    const auto found = std::find_if(table.begin(), table.end(), [pixFmt](const FormatEntry& e) {
        return e.Format() == pixFmt;
    });
    return found != table.end() ? &*found : nullptr;
}

TextureFormat FrameTextureFormat(PixFmt pixFmt) {
    switch (pixFmt) {
        case PixFmt::RGB24:
            return {GL_RGB, GL_RGB8, GL_UNSIGNED_BYTE};
        case PixFmt::RGBA:
            return {GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE};
        case PixFmt::RGB48LE:
            return {GL_RGB, GL_RGB16, GL_UNSIGNED_SHORT};
        case PixFmt::RGBA64LE:
            return {GL_RGBA, GL_RGBA16, GL_UNSIGNED_SHORT};
        case PixFmt::RGBAF16LE:
            return {GL_RGBA, GL_RGBA16F, GL_HALF_FLOAT};
        case PixFmt::RGBAF32LE:
            return {GL_RGBA, GL_RGBA32F, GL_FLOAT};
        default:
            return {};
    }
}

bool IsIntegerRgbFrame(PixFmt pixFmt) {
    const GLenum type = FrameTextureFormat(pixFmt).type;
    return type == GL_UNSIGNED_BYTE || type == GL_UNSIGNED_SHORT;
}

PixFmt RgbFrameFormat(int depth, bool alpha) {
    if (depth <= 8) {
        return alpha ? PixFmt::RGBA : PixFmt::RGB24;
    }
    return alpha ? PixFmt::RGBA64LE : PixFmt::RGB48LE;
}

TextureFormat IntegerPlaneFormat(int channels, bool wide) {
    static constexpr GLenum kFormats[] = {GL_RED_INTEGER, GL_RG_INTEGER, GL_RGB_INTEGER,
                                          GL_RGBA_INTEGER};
    static constexpr GLint kNarrow[] = {GL_R8UI, GL_RG8UI, GL_RGBA8UI, GL_RGBA8UI};
    static constexpr GLint kWide[] = {GL_R16UI, GL_RG16UI, GL_RGBA16UI, GL_RGBA16UI};
    const auto index = static_cast<std::size_t>(std::clamp(channels, 1, 4) - 1);
    return {kFormats[index], wide ? kWide[index] : kNarrow[index],
            static_cast<GLenum>(wide ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE)};
}

}  // namespace Kavrin::Ogl::Details
