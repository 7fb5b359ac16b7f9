#include "Requantize.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace RenderHubTool {
namespace {

using Kavrin::PixelColorRange;
using Kavrin::PixFmt;
using Kavrin::PixFmtDescription;
using Kavrin::Proc::DataVideoCPU;

enum class Kind { Luma, Chroma, Alpha };

// Where one component's samples lie.
struct Component {
    int plane = 0;
    int offset = 0;  // bytes into the sample group
    int step = 1;    // bytes from one sample group to the next
    int bytes = 1;   // 1 or 2 (little endian)
    int shift = 0;
    int depth = 8;
    Kind kind = Kind::Luma;
};

std::vector<Component> Components(const PixFmtDescription& description) {
    if (!description.IsYUV() || !(description.IsPlanarYUV() || description.IsSemiPlanar())) {
        throw std::invalid_argument(std::string("not a planar YUV format: ") +
                                    description.GetName());
    }
    const int bytes = description.depth > 8 ? 2 : 1;
    const int depth = description.depth;
    const int shift = description.shift;
    if (description.IsSemiPlanar()) {
        const bool swapped = description.pixFmt == PixFmt::NV21;
        return {{0, 0, bytes, bytes, shift, depth, Kind::Luma},
                {1, swapped ? bytes : 0, 2 * bytes, bytes, shift, depth, Kind::Chroma},
                {1, swapped ? 0 : bytes, 2 * bytes, bytes, shift, depth, Kind::Chroma}};
    }
    std::vector<Component> components;
    for (int index = 0; index < description.components; ++index) {
        const Kind kind = index == 0 ? Kind::Luma : index < 3 ? Kind::Chroma : Kind::Alpha;
        components.push_back({index, 0, bytes, bytes, shift, depth, kind});
    }
    return components;
}

std::uint16_t Clamp16(double value, double maximum) {
    return static_cast<std::uint16_t>(std::clamp(std::lround(value), 0L, std::lround(maximum)));
}

// Sample value at `depth` in `range` -> the same signal on the 16-bit limited grid.
std::uint16_t ToWide(unsigned value, int depth, PixelColorRange range, Kind kind) {
    const double maximum = std::ldexp(1.0, depth) - 1.0;
    if (kind == Kind::Alpha) {
        return Clamp16(value * 65535.0 / maximum, 65535.0);
    }
    if (range != PixelColorRange::Full) {
        return static_cast<std::uint16_t>(value << (16 - depth));
    }
    if (kind == Kind::Luma) {
        return Clamp16((16.0 + 219.0 * value / maximum) * 256.0, 65535.0);
    }
    const double chroma = (value - std::ldexp(1.0, depth - 1)) / maximum;
    return Clamp16((128.0 + 224.0 * chroma) * 256.0, 65535.0);
}

// The inverse of ToWide, rounding to `depth`.
std::uint16_t FromWide(unsigned wide, int depth, PixelColorRange range, Kind kind) {
    const double maximum = std::ldexp(1.0, depth) - 1.0;
    if (kind == Kind::Alpha) {
        return Clamp16(wide * maximum / 65535.0, maximum);
    }
    if (range != PixelColorRange::Full) {
        return Clamp16(std::ldexp(static_cast<double>(wide), depth - 16), maximum);
    }
    if (kind == Kind::Luma) {
        return Clamp16((wide / 256.0 - 16.0) / 219.0 * maximum, maximum);
    }
    const double chroma = (wide / 256.0 - 128.0) / 224.0;
    return Clamp16(chroma * maximum + std::ldexp(1.0, depth - 1), maximum);
}

unsigned Load(const std::uint8_t* sample, const Component& component) {
    const unsigned raw =
        component.bytes == 1 ? sample[0] : static_cast<unsigned>(sample[0] | (sample[1] << 8));
    return (raw >> component.shift) & ((1u << component.depth) - 1u);
}

void Store(std::uint8_t* sample, const Component& component, unsigned value) {
    const unsigned raw = value << component.shift;
    sample[0] = static_cast<std::uint8_t>(raw);
    if (component.bytes == 2) {
        sample[1] = static_cast<std::uint8_t>(raw >> 8);
    }
}

// Applies `table` (indexed by the source sample) from component `from` of
// `source` to component `to` of `target`, plane by plane.
void Transfer(const DataVideoCPU& source, const Component& from, DataVideoCPU& target,
              const Component& to, const std::vector<std::uint16_t>& table) {
    const auto& description = source.GetDescription();
    const auto& info = source.GetFrameInfo();
    const int width = description.GetPlanWidth(info.width, from.plane);
    const int height = description.GetPlanHeight(info.height, from.plane);
    const auto input = source.GetPlaneConst(static_cast<unsigned char>(from.plane));
    const auto output = target.GetPlane(static_cast<unsigned char>(to.plane));
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* in = input.Row(row) + from.offset;
        std::uint8_t* out = output.Row(row) + to.offset;
        for (int x = 0; x < width; ++x) {
            Store(out + x * to.step, to, table[Load(in + x * from.step, from)]);
        }
    }
}

void CheckPair(const DataVideoCPU& narrow, const DataVideoCPU& wide) {
    if (WideFormat(narrow.GetPixelFormat()) != wide.GetPixelFormat() ||
        !(narrow.GetFrameInfo().width == wide.GetFrameInfo().width &&
          narrow.GetFrameInfo().height == wide.GetFrameInfo().height)) {
        throw std::invalid_argument(std::string("no wide form of ") +
                                    narrow.GetDescription().GetName() + " as " +
                                    wide.GetDescription().GetName());
    }
}

}  // namespace

PixFmt WideFormat(PixFmt pixFmt) {
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    if (description == nullptr || !description->IsYUV() ||
        !(description->IsPlanarYUV() || description->IsSemiPlanar())) {
        return PixFmt::None;
    }
    const bool alpha = description->HasAlpha();
    switch (description->log2ChromaW * 2 + description->log2ChromaH) {
        case 3:  // 4:2:0
            return alpha ? PixFmt::YUVA420P16LE : PixFmt::YUV420P16LE;
        case 2:  // 4:2:2
            return alpha ? PixFmt::YUVA422P16LE : PixFmt::YUV422P16LE;
        case 0:
            return alpha ? PixFmt::YUVA444P16LE : PixFmt::YUV444P16LE;
        default:
            return PixFmt::None;
    }
}

boost::intrusive_ptr<DataVideoCPU> Widen(const DataVideoCPU& source, PixelColorRange range) {
    auto wide = DataVideoCPU::Create(WideFormat(source.GetPixelFormat()), source.GetFrameInfo(),
                                     source.GetColorSpace());
    CheckPair(source, *wide);
    const auto from = Components(source.GetDescription());
    const auto to = Components(wide->GetDescription());
    for (std::size_t index = 0; index < from.size(); ++index) {
        std::vector<std::uint16_t> table(std::size_t{1} << from[index].depth);
        for (std::size_t value = 0; value < table.size(); ++value) {
            table[value] =
                ToWide(static_cast<unsigned>(value), from[index].depth, range, from[index].kind);
        }
        Transfer(source, from[index], *wide, to[index], table);
    }
    wide->SetTimeStamp(source.GetTimeStamp());
    return wide;
}

void Narrow(const DataVideoCPU& wide, DataVideoCPU& target, PixelColorRange range) {
    CheckPair(target, wide);
    const auto from = Components(wide.GetDescription());
    const auto to = Components(target.GetDescription());
    std::vector<std::uint16_t> table(65536);
    for (std::size_t index = 0; index < to.size(); ++index) {
        for (std::size_t value = 0; value < table.size(); ++value) {
            table[value] =
                FromWide(static_cast<unsigned>(value), to[index].depth, range, to[index].kind);
        }
        Transfer(wide, from[index], target, to[index], table);
    }
}

}  // namespace RenderHubTool
