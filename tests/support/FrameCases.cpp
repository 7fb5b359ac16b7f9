#include "FrameCases.h"

#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>

#include "ShaderStorage.h"
#include "TestTasks.h"

namespace Kavrin::Test {

const std::vector<FormatRow>& FormatRows() {
    using P = PixFmt;
    static const std::vector<FormatRow> rows = [] {
        // In the library's order.
        const P formats[] = {
            P::RGBA,         P::BGRA,         P::ARGB,         P::ABGR,         P::RGB24,
            P::BGR24,        P::YUVA420P,     P::YUV420P,      P::YUVA422P,     P::YUV422P,
            P::YUVA444P,     P::YUV444P,      P::YUV440P,      P::YUV411P,      P::YUV410P,
            P::NV12,         P::NV21,         P::RGB48LE,      P::BGR48LE,      P::RGBA64LE,
            P::BGRA64LE,     P::YUV420P10LE,  P::YUV420P12LE,  P::YUV420P16LE,  P::YUV422P10LE,
            P::YUV422P12LE,  P::YUV422P16LE,  P::YUV444P10LE,  P::YUV444P12LE,  P::YUV444P16LE,
            P::YUVA420P10LE, P::YUVA420P16LE, P::YUVA422P10LE, P::YUVA422P12LE, P::YUVA422P16LE,
            P::YUVA444P10LE, P::YUVA444P12LE, P::YUVA444P16LE, P::P010LE,       P::P016LE};
        std::vector<FormatRow> table;
        for (const P format : formats) {
            // RGB(A) of 8 bits, or of 16 for deeper formats, alpha where it was.
            const bool alpha = Describe(format).HasAlpha(), deep = Describe(format).depth > 8;
            table.push_back(
                {format, deep ? (alpha ? P::RGBA64LE : P::RGB48LE) : (alpha ? P::RGBA : P::RGB24)});
        }
        return table;
    }();
    return rows;
}

const PixFmtDescription& Describe(PixFmt pixFmt) { return *PixFmtDescription::Find(pixFmt); }

std::string Name(PixFmt pixFmt) {
    const PixFmtDescription* d = PixFmtDescription::Find(pixFmt);
    return d != nullptr ? d->GetName() : "#" + std::to_string(static_cast<int>(pixFmt));
}

int PlaneWidth(const DataVideoCPU& frame, int plane) {
    return frame.GetDescription().GetPlanWidth(frame.GetFrameInfo().width, plane);
}
int PlaneHeight(const DataVideoCPU& frame, int plane) {
    return frame.GetDescription().GetPlanHeight(frame.GetFrameInfo().height, plane);
}

static int SampleBytes(const DataVideoCPU& frame) {
    return frame.GetDescription().depth > 8 ? 2 : 1;
}

static int Channels(const DataVideoCPU& frame, int plane) {
    return frame.GetDescription().bytesPerPixel[plane] / SampleBytes(frame);
}

// Samples of one or two bytes, the latter little-endian as the formats are.
static std::uint8_t* At(const DataVideoCPU& frame, int plane, int x, int y, int channel) {
    return const_cast<std::uint8_t*>(
               frame.GetPlaneConst(static_cast<unsigned char>(plane)).Row(y)) +
           (x * Channels(frame, plane) + channel) * SampleBytes(frame);
}

int Get(const DataVideoCPU& frame, int plane, int x, int y, int channel) {
    const std::uint8_t* at = At(frame, plane, x, y, channel);
    return SampleBytes(frame) == 1 ? at[0] : at[0] | at[1] << 8;
}

static void Set(DataVideoCPU& frame, int plane, int x, int y, int channel, int value) {
    std::uint8_t* at = At(frame, plane, x, y, channel);
    at[0] = static_cast<std::uint8_t>(value);
    if (SampleBytes(frame) == 2) {
        at[1] = static_cast<std::uint8_t>(value >> 8);
    }
}

Slot SlotOf(PixFmt pixFmt, int component) {
    // Packed RGB in memory order, as FFmpeg names it ("bgr48le": B, G, R).
    if (Describe(pixFmt).IsRGB()) {
        return {0, static_cast<int>(Name(pixFmt).find("rgba"[component]))};
    }
    if (!Describe(pixFmt).IsSemiPlanar() || component == 0 || component == 3) {
        return {component, 0};
    }
    return {1, (component == 1) == (pixFmt != PixFmt::NV21) ? 0 : 1};
}

int Components(PixFmt pixFmt) { return Describe(pixFmt).HasAlpha() ? 4 : 3; }

int GetCode(const DataVideoCPU& frame, int component, int x, int y) {
    const Slot slot = SlotOf(frame.GetPixelFormat(), component);
    return Get(frame, slot.plane, x, y, slot.channel) >> frame.GetDescription().shift;
}

void SetCode(DataVideoCPU& frame, int component, int x, int y, int code) {
    const Slot slot = SlotOf(frame.GetPixelFormat(), component);
    Set(frame, slot.plane, x, y, slot.channel, code << frame.GetDescription().shift);
}

void ForEachSample(const DataVideoCPU& frame,
                   const std::function<void(int, int, int, int)>& visit) {
    for (int plane = 0; plane < frame.GetDescription().planes; ++plane) {
        const int w = PlaneWidth(frame, plane), c = Channels(frame, plane);
        for (int i = 0; i < w * PlaneHeight(frame, plane) * c; ++i) {
            visit(plane, i / c % w, i / c / w, i % c);
        }
    }
}

CpuFrame MakeFrame(PixFmt pixFmt, int width, int height,
                   const std::function<int(int, int, int, int)>& code,
                   const Conf::ColorSpace& space, const Proc::DataVideoCPUOptions& options) {
    CpuFrame frame = Blank(pixFmt, width, height, space, options);
    ForEachSample(*frame, [&](int p, int x, int y, int c) {
        Set(*frame, p, x, y, c, code(p, x, y, c) << Describe(pixFmt).shift);
    });
    return frame;
}

CpuFrame Noise(PixFmt pixFmt, int width, int height, unsigned seed, const Conf::ColorSpace& space,
               const Proc::DataVideoCPUOptions& options) {
    std::mt19937 random(seed);
    const auto values =
        static_cast<unsigned>(1 << (Describe(pixFmt).depth + Describe(pixFmt).shift));
    CpuFrame frame = Blank(pixFmt, width, height, space, options);
    ForEachSample(*frame, [&](int p, int x, int y, int c) {
        Set(*frame, p, x, y, c, static_cast<int>(random() % values));
    });
    return frame;
}

CpuFrame Blank(PixFmt pixFmt, int width, int height, const Conf::ColorSpace& space,
               const Proc::DataVideoCPUOptions& options) {
    return DataVideoCPU::Create(pixFmt, {width, height, 0, 0}, space, options);
}

std::string FirstMiss(const DataVideoCPU& got, const std::function<double(int, int, int)>& want,
                      const std::array<double, 4>& tolerance) {
    const PixFmt pixFmt = got.GetPixelFormat();
    for (int k = 0; k < Components(pixFmt); ++k) {
        const int plane = SlotOf(pixFmt, k).plane;
        for (int y = 0; y < PlaneHeight(got, plane); ++y) {
            for (int x = 0; x < PlaneWidth(got, plane); ++x) {
                const int code = GetCode(got, k, x, y);
                const double wanted = want(k, x, y);
                if (std::abs(code - wanted) > tolerance[static_cast<std::size_t>(k)]) {
                    std::ostringstream text;
                    text << Name(pixFmt) << " component " << k << " at (" << x << ", " << y
                         << "): got " << code << ", want " << wanted;
                    return text.str();
                }
            }
        }
    }
    return "";
}

std::string FirstDifference(const DataVideoCPU& got, const DataVideoCPU& want) {
    std::ostringstream first;
    ForEachSample(got, [&](int p, int x, int y, int c) {
        const int value = Get(got, p, x, y, c), wanted = Get(want, p, x, y, c);
        if (value != wanted && first.tellp() == 0) {
            first << Name(got.GetPixelFormat()) << " plane " << p << " channel " << c << " at ("
                  << x << ", " << y << "): got " << value << ", want " << wanted;
        }
    });
    return first.str();
}

void Convert(const CpuFrame& source, const CpuFrame& target,
             const Ogl::FrameConversionOptions& options) {
    WithStorage([&](const Ogl::ShaderStorage& storage) {
        Ogl::FrameConverter(options).Convert(source, target, storage);
    });
}

}  // namespace Kavrin::Test
