#include "Kavrin/Proc/DataVideoCPU.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/Core/Exception.h"
#include "Kavrin/Core/MemoryException.h"

namespace Kavrin::Proc {
namespace {

std::string FormatName(PixFmt pixFmt) {
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    return description ? std::string(description->name)
                       : "#" + std::to_string(static_cast<int>(pixFmt));
}

bool IsPackedSubsampled(const PixFmtDescription& description) {
    return description.planes == 1 && description.IsYUV() && description.log2ChromaW > 0;
}

bool IsBigEndian(const PixFmtDescription& description) {
    const std::size_t length = std::strlen(description.name);
    return length > 2 && std::strcmp(description.name + length - 2, "be") == 0;
}

const PixFmtDescription& RequireAllocatable(PixFmt pixFmt) {
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    if (description == nullptr || pixFmt == PixFmt::None) {
        KAVRIN_THROW_HOST("DataVideoCPU::Create", Exception,
                          "pixel format " + FormatName(pixFmt) + " has no description");
    }
    if (description->IsHardware()) {
        KAVRIN_THROW_HOST("DataVideoCPU::Create", Exception,
                          std::string("pixel format ") + description->name +
                              " is a hardware format with no CPU planes");
    }
    for (int plane = 0; plane < description->planes; ++plane) {
        if (description->bytesPerPixel[plane] == 0) {
            KAVRIN_THROW_HOST("DataVideoCPU::Create", Exception,
                              std::string("pixel format ") + description->name +
                                  " has pixels that are not whole bytes");
        }
    }
    return *description;
}

void DeleteBlock(std::uint8_t* block, std::size_t alignment) {
    ::operator delete[](block, std::align_val_t(alignment));
}

std::int64_t RoundUp(std::int64_t value, std::int64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Byte pattern that one plane repeats along each row, and the values that go
// into it, all for one solid colour.
using Pattern = std::vector<std::uint8_t>;

void Append(Pattern& pattern, std::uint32_t value, int bytes, bool bigEndian) {
    for (int i = 0; i < bytes; ++i) {
        const int byte = bigEndian ? bytes - 1 - i : i;
        pattern.push_back(static_cast<std::uint8_t>(value >> (8 * byte)));
    }
}

std::uint32_t MaxValue(int depth) { return (1u << depth) - 1; }

// An 8-bit full-range value scaled to `depth` bits.
std::uint32_t ScaleFull(std::uint8_t value, int depth) {
    return static_cast<std::uint32_t>(
        std::lround(value * static_cast<double>(MaxValue(depth)) / 255.0));
}

struct YCbCr {
    std::uint32_t y;
    std::uint32_t cb;
    std::uint32_t cr;
};

YCbCr ToYCbCr(const Color& color, int depth, bool fullRange) {
    const auto m = Conf::GetRGBToYpPbPrMatrix(Conf::YCbCrMatrix::BT709);
    const double r = color.red / 255.0;
    const double g = color.green / 255.0;
    const double b = color.blue / 255.0;
    const double y = m[0] * r + m[1] * g + m[2] * b;
    const double pb = m[3] * r + m[4] * g + m[5] * b;
    const double pr = m[5] * r + m[6] * g + m[7] * b;
    const double max = MaxValue(depth);
    const auto quantise = [max](double value) {
        return static_cast<std::uint32_t>(
            std::clamp(std::lround(value), 0L, static_cast<long>(max)));
    };
    if (fullRange) {
        const double mid = static_cast<double>(1u << (depth - 1));
        return {quantise(y * max), quantise(mid + pb * max), quantise(mid + pr * max)};
    }
    const double scale = static_cast<double>(1u << (depth - 8));
    return {quantise((16.0 + 219.0 * y) * scale), quantise((128.0 + 224.0 * pb) * scale),
            quantise((128.0 + 224.0 * pr) * scale)};
}

// Packed RGB layouts by channel order ('x' is padding, written opaque).
struct PackedRGB {
    PixFmt pixFmt;
    const char* order;
};
constexpr PackedRGB kPackedRGB[] = {
    {PixFmt::RGBA, "rgba"},     {PixFmt::BGRA, "bgra"},     {PixFmt::ARGB, "argb"},
    {PixFmt::ABGR, "abgr"},     {PixFmt::RGB24, "rgb"},     {PixFmt::BGR24, "bgr"},
    {PixFmt::X0RGB, "xrgb"},    {PixFmt::RGB0, "rgbx"},     {PixFmt::X0BGR, "xbgr"},
    {PixFmt::BGR0, "bgrx"},     {PixFmt::RGB48LE, "rgb"},   {PixFmt::RGB48BE, "rgb"},
    {PixFmt::BGR48LE, "bgr"},   {PixFmt::BGR48BE, "bgr"},   {PixFmt::RGBA64LE, "rgba"},
    {PixFmt::RGBA64BE, "rgba"}, {PixFmt::BGRA64LE, "bgra"}, {PixFmt::BGRA64BE, "bgra"},
};

// Patterns for every plane, or false when the format cannot be filled.
bool BuildPatterns(const PixFmtDescription& d, const Color& color, std::array<Pattern, 4>& out) {
    const bool be = IsBigEndian(d);
    const int depth = d.depth;
    const int bytes = depth > 8 ? 2 : 1;
    if (depth < 8 || depth > 16) {
        return false;
    }
    if (d.IsRGB() && d.planes == 1) {
        for (const auto& packed : kPackedRGB) {
            if (packed.pixFmt != d.pixFmt) {
                continue;
            }
            for (const char* c = packed.order; *c; ++c) {
                const std::uint8_t value = *c == 'r'   ? color.red
                                           : *c == 'g' ? color.green
                                           : *c == 'b' ? color.blue
                                           : *c == 'a' ? color.alpha
                                                       : 255;
                Append(out[0], ScaleFull(value, depth), bytes, be);
            }
            return true;
        }
        return false;
    }
    if (d.IsRGB() && d.planes == d.components && d.log2ChromaW == 0 &&
        std::strncmp(d.name, "gbr", 3) == 0 && std::strchr(d.name, 'f') == nullptr) {
        const std::uint8_t values[4] = {color.green, color.blue, color.red, color.alpha};
        for (int plane = 0; plane < d.planes; ++plane) {
            Append(out[plane], ScaleFull(values[plane], depth), bytes, be);
        }
        return true;
    }
    if (!d.IsRGB() && !d.IsYUV() && d.components == 1 && d.planes == 1 && d.flags == 0 &&
        d.bytesPerPixel[0] == bytes) {
        // Gray: BT.709 luma, full range like the gray formats themselves.
        const YCbCr ycc = ToYCbCr(color, depth, true);
        Append(out[0], ycc.y, bytes, be);
        return true;
    }
    if (!d.IsYUV()) {
        return false;
    }
    const YCbCr ycc = ToYCbCr(color, depth, d.range == PixelColorRange::Full);
    const std::uint32_t shift = d.shift;
    if (d.IsPlanarYUV()) {
        const std::uint32_t values[4] = {ycc.y, ycc.cb, ycc.cr, ScaleFull(color.alpha, depth)};
        for (int plane = 0; plane < d.planes; ++plane) {
            Append(out[plane], values[plane] << shift, bytes, be);
        }
        return true;
    }
    if (d.IsSemiPlanar()) {
        const bool vFirst = d.pixFmt == PixFmt::NV21 || d.pixFmt == PixFmt::NV42;
        Append(out[0], ycc.y << shift, bytes, be);
        Append(out[1], (vFirst ? ycc.cr : ycc.cb) << shift, bytes, be);
        Append(out[1], (vFirst ? ycc.cb : ycc.cr) << shift, bytes, be);
        return true;
    }
    const std::uint32_t y = ycc.y, u = ycc.cb, v = ycc.cr;
    std::uint32_t macropixel[4];
    switch (d.pixFmt) {
        case PixFmt::YUYV422:
            std::copy_n(std::array{y, u, y, v}.begin(), 4, macropixel);
            break;
        case PixFmt::UYVY422:
            std::copy_n(std::array{u, y, v, y}.begin(), 4, macropixel);
            break;
        case PixFmt::YVYU422:
            std::copy_n(std::array{y, v, y, u}.begin(), 4, macropixel);
            break;
        default:
            return false;
    }
    for (std::uint32_t value : macropixel) {
        Append(out[0], value, 1, false);
    }
    return true;
}

}  // namespace

boost::intrusive_ptr<DataVideoCPU> DataVideoCPU::Create(PixFmt pixFmt,
                                                        const Conf::FrameInfo& frameInfo,
                                                        const Conf::ColorSpace& colorSpace,
                                                        const DataVideoCPUOptions& options) {
    const PixFmtDescription& description = RequireAllocatable(pixFmt);
    if (frameInfo.width <= 0 || frameInfo.height <= 0) {
        KAVRIN_THROW_HOST("DataVideoCPU::Create", Exception,
                          "frame size " + std::to_string(frameInfo.width) + "x" +
                              std::to_string(frameInfo.height) + " is not positive");
    }
    if (IsPackedSubsampled(description) && frameInfo.width % 2 != 0) {
        KAVRIN_THROW_HOST("DataVideoCPU::Create", Exception,
                          std::string("pixel format ") + description.name +
                              " needs an even width, got " + std::to_string(frameInfo.width));
    }
    if (options.alignment <= 0 || (options.alignment & (options.alignment - 1)) != 0) {
        KAVRIN_THROW_HOST(
            "DataVideoCPU::Create", Exception,
            "alignment " + std::to_string(options.alignment) + " is not a power of two");
    }
    if (options.rowPadding < 0) {
        KAVRIN_THROW_HOST("DataVideoCPU::Create", Exception,
                          "row padding " + std::to_string(options.rowPadding) + " is negative");
    }

    boost::intrusive_ptr<DataVideoCPU> video(new DataVideoCPU());
    video->description = &description;
    video->frameInfo = frameInfo;
    video->colorSpace = colorSpace;
    video->options = options;

    // Widths below 2^31 and at most 16 bytes a pixel keep every figure in int64.
    std::int64_t strides[4] = {};
    std::int64_t offsets[4] = {};
    std::int64_t total = 0;
    for (int plane = 0; plane < description.planes; ++plane) {
        const std::int64_t rowBytes =
            static_cast<std::int64_t>(description.GetPlanWidth(frameInfo.width, plane)) *
            description.bytesPerPixel[plane];
        strides[plane] = RoundUp(rowBytes + options.rowPadding, options.alignment);
        offsets[plane] = total;
        total = RoundUp(total + strides[plane] * description.GetPlanHeight(frameInfo.height, plane),
                        options.alignment);
    }
    if (strides[0] > std::numeric_limits<int>::max() ||
        total > std::numeric_limits<std::ptrdiff_t>::max() / 2) {
        KAVRIN_THROW_HOST("DataVideoCPU::Create", Core::MemoryException,
                          "frame of " + std::to_string(total) + " bytes is too large");
    }
    std::uint8_t* memory = nullptr;
    try {
        memory = static_cast<std::uint8_t*>(
            ::operator new[](static_cast<std::size_t>(total), std::align_val_t(options.alignment)));
    } catch (const std::bad_alloc&) {
        KAVRIN_THROW_FROM("DataVideoCPU::Create",
                          Core::MemoryException("cannot allocate a video frame",
                                                static_cast<std::uint64_t>(total)));
    }
    std::memset(memory, 0, static_cast<std::size_t>(total));
    const std::size_t alignment = static_cast<std::size_t>(options.alignment);
    video->block = std::shared_ptr<std::uint8_t>(
        memory, [alignment](std::uint8_t* block) { DeleteBlock(block, alignment); });

    for (int plane = 0; plane < description.planes; ++plane) {
        Plane& view = video->planes[plane];
        view.rows = description.GetPlanHeight(frameInfo.height, plane);
        view.data = memory + offsets[plane];
        view.stride = strides[plane];
        if (options.bottomUp) {
            view.data += (view.rows - 1) * strides[plane];
            view.stride = -strides[plane];
        }
    }
    return video;
}

int DataVideoCPU::GetPlaneWidthBytes(int plane) const {
    if (plane < 0 || plane >= description->planes) {
        KAVRIN_THROW_HOST(
            "DataVideoCPU::GetPlaneWidthBytes", Exception,
            "plane " + std::to_string(plane) + " does not exist in " + description->name);
    }
    return description->GetPlanWidth(frameInfo.width, plane) * description->bytesPerPixel[plane];
}

void DataVideoCPU::SetDuration(std::int64_t newDuration) {
    if (newDuration < 0) {
        KAVRIN_THROW_HOST("DataVideoCPU::SetDuration", Exception,
                          "duration " + std::to_string(newDuration) + " is negative");
    }
    duration = newDuration;
}

void DataVideoCPU::CutFromBegin(std::int64_t cut) { CutFromCenter(cut, duration - cut); }

void DataVideoCPU::CutFromCenter(std::int64_t offset, std::int64_t newDuration) {
    if (offset < 0 || newDuration < 0 || offset > duration || newDuration > duration - offset) {
        KAVRIN_THROW_HOST("DataVideoCPU::CutFromCenter", Exception,
                          "cut at " + std::to_string(offset) + " keeping " +
                              std::to_string(newDuration) + " leaves the duration " +
                              std::to_string(duration));
    }
    timeStamp += offset;
    duration = newDuration;
}

void DataVideoCPU::CutFromEnd(std::int64_t cut) { CutFromCenter(0, duration - cut); }

int DataVideoCPU::GetAlignedWidth() const {
    const std::ptrdiff_t stride = planes[0].stride < 0 ? -planes[0].stride : planes[0].stride;
    return static_cast<int>(stride / description->bytesPerPixel[0]);
}

int DataVideoCPU::GetAlignedHeight() const { return planes[0].rows; }

void DataVideoCPU::SetPixelAspect(int num, int den) {
    if (num < 0 || den < 0) {
        KAVRIN_THROW_HOST(
            "DataVideoCPU::SetPixelAspect", Exception,
            "pixel aspect " + std::to_string(num) + "/" + std::to_string(den) + " is negative");
    }
    frameInfo.aspectNum = num;
    frameInfo.aspectDen = den;
}

Plane DataVideoCPU::GetPlane(unsigned char plane) {
    if (plane >= description->planes) {
        KAVRIN_THROW_HOST(
            "DataVideoCPU::GetPlane", Exception,
            "plane " + std::to_string(plane) + " does not exist in " + description->name);
    }
    return planes[plane];
}

ConstPlane DataVideoCPU::GetPlaneConst(unsigned char plane) const {
    if (plane >= description->planes) {
        KAVRIN_THROW_HOST(
            "DataVideoCPU::GetPlaneConst", Exception,
            "plane " + std::to_string(plane) + " does not exist in " + description->name);
    }
    return planes[plane];
}

boost::intrusive_ptr<IDataVideo> DataVideoCPU::GetUnusedCopy() const {
    boost::intrusive_ptr<DataVideoCPU> copy =
        Create(description->pixFmt, frameInfo, colorSpace, options);
    copy->interlaceMode = interlaceMode;
    copy->timeStamp = timeStamp;
    copy->duration = duration;
    copy->extraPlane = extraPlane;
    return copy;
}

boost::intrusive_ptr<IDataVideo> DataVideoCPU::Clone(CloneMode mode) const {
    switch (mode) {
        case CloneMode::Shallow:
        case CloneMode::Reference:
            return boost::intrusive_ptr<IDataVideo>(new DataVideoCPU(*this));
        case CloneMode::Deep: {
            boost::intrusive_ptr<DataVideoCPU> copy =
                boost::static_pointer_cast<DataVideoCPU>(GetUnusedCopy());
            for (int plane = 0; plane < description->planes; ++plane) {
                const std::size_t rowBytes = static_cast<std::size_t>(GetPlaneWidthBytes(plane));
                for (int row = 0; row < planes[plane].rows; ++row) {
                    std::memcpy(copy->planes[plane].Row(row), planes[plane].Row(row), rowBytes);
                }
            }
            return copy;
        }
    }
    KAVRIN_THROW_HOST("DataVideoCPU::Clone", Exception,
                      "unknown clone mode " + std::to_string(static_cast<int>(mode)));
}

boost::intrusive_ptr<IDataVideo> DataVideoCPU::Subframe(int x, int y, int width, int height) const {
    const auto describe = [&] {
        return std::to_string(width) + "x" + std::to_string(height) + " at " + std::to_string(x) +
               "," + std::to_string(y);
    };
    if (x < 0 || y < 0 || width <= 0 || height <= 0 || width > frameInfo.width - x ||
        height > frameInfo.height - y) {
        KAVRIN_THROW_HOST("DataVideoCPU::Subframe", Exception,
                          "subframe " + describe() + " leaves the " +
                              std::to_string(frameInfo.width) + "x" +
                              std::to_string(frameInfo.height) + " frame");
    }
    const int stepX = description->IsYUV() ? 1 << description->log2ChromaW : 1;
    const int stepY = description->IsYUV() ? 1 << description->log2ChromaH : 1;
    if (x % stepX != 0 || y % stepY != 0 ||
        (IsPackedSubsampled(*description) && width % stepX != 0)) {
        KAVRIN_THROW_HOST(
            "DataVideoCPU::Subframe", Exception,
            "subframe " + describe() + " splits chroma samples of " + description->name);
    }
    boost::intrusive_ptr<DataVideoCPU> view(new DataVideoCPU(*this));
    view->frameInfo.width = width;
    view->frameInfo.height = height;
    for (int plane = 0; plane < description->planes; ++plane) {
        // x and y are multiples of the subsampling here, so the shifts are exact.
        const bool chroma =
            description->IsYUV() && description->planes > 1 && (plane == 1 || plane == 2);
        const int px = chroma ? x >> description->log2ChromaW : x;
        const int py = chroma ? y >> description->log2ChromaH : y;
        Plane& target = view->planes[plane];
        target.data = planes[plane].Row(py) +
                      static_cast<std::ptrdiff_t>(px) * description->bytesPerPixel[plane];
        target.rows = description->GetPlanHeight(height, plane);
    }
    return view;
}

void DataVideoCPU::PicturePad(unsigned top, unsigned bottom, unsigned left, unsigned right,
                              const Color& color) {
    const auto height = static_cast<unsigned>(frameInfo.height);
    const auto width = static_cast<unsigned>(frameInfo.width);
    if (top + bottom >= height || left + right >= width) {
        Fill(color);
        return;
    }
    // Each border is a view of the picture; views must start on a chroma sample.
    const int h = frameInfo.height;
    const int w = frameInfo.width;
    const int t = static_cast<int>(top), b = static_cast<int>(bottom);
    const int l = static_cast<int>(left), r = static_cast<int>(right);
    auto fill = [&](int x, int y, int cw, int ch) {
        if (cw > 0 && ch > 0) {
            boost::static_pointer_cast<DataVideoCPU>(Subframe(x, y, cw, ch))->Fill(color);
        }
    };
    fill(0, 0, w, t);
    fill(0, h - b, w, b);
    fill(0, t, l, h - t - b);
    fill(w - r, t, r, h - t - b);
}

void DataVideoCPU::Fill(const Color& color) {
    std::array<Pattern, 4> patterns;
    if (!BuildPatterns(*description, color, patterns)) {
        KAVRIN_THROW_HOST("DataVideoCPU::Fill", Exception,
                          std::string("cannot fill pixel format ") + description->name);
    }
    for (int plane = 0; plane < description->planes; ++plane) {
        const Pattern& pattern = patterns[plane];
        const std::size_t rowBytes = static_cast<std::size_t>(GetPlaneWidthBytes(plane));
        for (int row = 0; row < planes[plane].rows; ++row) {
            std::uint8_t* target = planes[plane].Row(row);
            for (std::size_t offset = 0; offset + pattern.size() <= rowBytes;
                 offset += pattern.size()) {
                std::memcpy(target + offset, pattern.data(), pattern.size());
            }
        }
    }
}

}  // namespace Kavrin::Proc
