// GPU frames: transfers of every host format, conversions and lifetime.
#include <GL/glew.h>

#include "Frame.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

#include "ColourReference.h"
#include "GlObjectCounter.h"
#include "Oracles.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace Kavrin {
// gtest's parameter printer: the format's name.
static void PrintTo(PixFmt pixFmt, std::ostream* os) {
    *os << PixFmtDescription::Find(pixFmt)->GetName();
}
}  // namespace Kavrin

namespace {

using namespace Kavrin;
using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Proc::DataVideoCPU;
using Kavrin::Proc::DataVideoCPUOptions;
using CpuFrame = boost::intrusive_ptr<DataVideoCPU>;
using GpuFrame = boost::intrusive_ptr<Frame>;

constexpr int kWidth = 32;
constexpr int kHeight = 16;
const Conf::ColorSpace kBT709{1, 1, 1};

using Kavrin::Test::WithStorage;
using FrameGLTest = Kavrin::Test::GLTest<>;
namespace Ref = Kavrin::Test::Ref;
using Conf::YCbCrMatrix;

std::string FormatName(PixFmt pixFmt) { return PixFmtDescription::Find(pixFmt)->GetName(); }

// ---------------------------------------------------------------------------
// Host-side model of a frame: code values per component, unshifted.

// Memory order of the packed RGB formats; empty for YUV.
std::string RgbOrder(PixFmt pixFmt) {
    switch (pixFmt) {
        case PixFmt::RGBA:
        case PixFmt::RGBA64LE:
            return "RGBA";
        case PixFmt::BGRA:
        case PixFmt::BGRA64LE:
            return "BGRA";
        case PixFmt::ARGB:
            return "ARGB";
        case PixFmt::ABGR:
            return "ABGR";
        case PixFmt::RGB24:
        case PixFmt::RGB48LE:
            return "RGB";
        case PixFmt::BGR24:
        case PixFmt::BGR48LE:
            return "BGR";
        default:
            return "";
    }
}

struct Format {
    const PixFmtDescription* d = nullptr;
    bool rgb = false;
    bool alpha = false;
    bool semi = false;
    int depth = 8;
    int shift = 0;
    int bytes = 1;  // per sample
    int cw = kWidth;
    int ch = kHeight;
    std::string order;

    int Components() const { return alpha ? 4 : 3; }
    int Max() const { return (1 << depth) - 1; }
    int Width(int k) const { return !rgb && (k == 1 || k == 2) ? cw : kWidth; }
    int Height(int k) const { return !rgb && (k == 1 || k == 2) ? ch : kHeight; }
};

Format Describe(PixFmt pixFmt) {
    Format f;
    f.d = PixFmtDescription::Find(pixFmt);
    f.rgb = f.d->IsRGB();
    f.alpha = f.d->HasAlpha();
    f.semi = f.d->IsYUV() && f.d->planes != f.d->components;
    f.depth = f.d->depth;
    f.shift = f.d->shift;
    f.bytes = f.depth > 8 ? 2 : 1;
    f.cw = f.d->GetPlanWidth(kWidth, 1);
    f.ch = f.d->GetPlanHeight(kHeight, 1);
    f.order = RgbOrder(pixFmt);
    return f;
}

// RGB format of the same depth and alpha: what the GPU keeps and what RGB
// destinations of swapped families are compared through.
PixFmt SameDepthRgb(const Format& f) {
    if (f.depth <= 8) {
        return f.alpha ? PixFmt::RGBA : PixFmt::RGB24;
    }
    return f.alpha ? PixFmt::RGBA64LE : PixFmt::RGB48LE;
}

PixFmt ExpectedGpuFormat(const Format& f) { return SameDepthRgb(f); }

struct Location {
    unsigned char plane;
    int pixelBytes;
    int offset;
};

Location Locate(const Format& f, int k) {
    if (f.rgb) {
        const int pixelBytes = static_cast<int>(f.order.size()) * f.bytes;
        return {0, pixelBytes, static_cast<int>(f.order.find("RGBA"[k])) * f.bytes};
    }
    if (!f.semi) {
        return {static_cast<unsigned char>(k), f.bytes, 0};
    }
    if (k == 0) {
        return {0, f.bytes, 0};
    }
    const bool vFirst = f.d->pixFmt == PixFmt::NV21;
    const int slot = (k == 1) != vFirst ? 0 : 1;
    return {1, 2 * f.bytes, slot * f.bytes};
}

struct Image {
    std::array<std::vector<int>, 4> c;  // R,G,B,A or Y,U,V,A
};

Image Blank(const Format& f) {
    Image image;
    for (int k = 0; k < f.Components(); ++k) {
        image.c[k].assign(static_cast<std::size_t>(f.Width(k) * f.Height(k)), 0);
    }
    return image;
}

void Store(DataVideoCPU& frame, const Format& f, const Image& image) {
    for (int k = 0; k < f.Components(); ++k) {
        const Location at = Locate(f, k);
        const Proc::Plane plane = frame.GetPlane(at.plane);
        for (int y = 0; y < f.Height(k); ++y) {
            for (int x = 0; x < f.Width(k); ++x) {
                const unsigned value = static_cast<unsigned>(image.c[k][y * f.Width(k) + x])
                                       << f.shift;
                std::uint8_t* p = plane.data + y * plane.stride + x * at.pixelBytes + at.offset;
                p[0] = static_cast<std::uint8_t>(value & 0xFF);
                if (f.bytes == 2) {
                    p[1] = static_cast<std::uint8_t>(value >> 8);
                }
            }
        }
    }
}

// Samples whose bits below the data shift are set count in `stray`.
Image Load(const DataVideoCPU& frame, const Format& f, int* stray = nullptr) {
    Image image = Blank(f);
    for (int k = 0; k < f.Components(); ++k) {
        const Location at = Locate(f, k);
        const Proc::ConstPlane plane = frame.GetPlaneConst(at.plane);
        for (int y = 0; y < f.Height(k); ++y) {
            for (int x = 0; x < f.Width(k); ++x) {
                const std::uint8_t* p =
                    plane.data + y * plane.stride + x * at.pixelBytes + at.offset;
                const unsigned raw = f.bytes == 2 ? p[0] | (p[1] << 8) : p[0];
                if (stray != nullptr && (raw & ((1u << f.shift) - 1)) != 0) {
                    ++*stray;
                }
                image.c[k][y * f.Width(k) + x] = static_cast<int>(raw >> f.shift);
            }
        }
    }
    return image;
}

CpuFrame MakeCpu(PixFmt pixFmt, const DataVideoCPUOptions& options = {},
                 const Conf::ColorSpace& cs = kBT709, int width = kWidth, int height = kHeight) {
    return DataVideoCPU::Create(pixFmt, Conf::FrameInfo{width, height, 0, 0}, cs, options);
}

// ---------------------------------------------------------------------------
// Expected values from the double-precision reference.

Ref::Limits LimitsOf(const Format& f) { return Ref::LimitsOf(f.d->range, f.depth); }

using Rgba = std::array<double, 4>;

// Straight colour of pixel (x, y) of a host image, clamped to the unit cube.
Rgba Decode(const Format& f, const Image& image, int matrix, int x, int y) {
    Rgba out{};
    if (f.rgb) {
        for (int k = 0; k < 4; ++k) {
            out[k] = k < f.Components() ? image.c[k][y * kWidth + x] / static_cast<double>(f.Max())
                                        : 1.0;
        }
        return out;
    }
    const int ci = (y >> f.d->log2ChromaH) * f.cw + (x >> f.d->log2ChromaW);
    const glm::dvec3 rgb =
        Ref::DecodeSamples(static_cast<YCbCrMatrix>(matrix), f.d->range, f.depth, 0,
                           image.c[0][y * kWidth + x], image.c[1][ci], image.c[2][ci]);
    for (int k = 0; k < 3; ++k) {
        out[k] = std::clamp(rgb[k], 0.0, 1.0);
    }
    out[3] = f.alpha ? image.c[3][y * kWidth + x] / static_cast<double>(f.Max()) : 1.0;
    return out;
}

int Quantise(double v, int bits) {
    return static_cast<int>(std::floor(std::clamp(v, 0.0, 1.0) * ((1 << bits) - 1) + 0.5));
}

// Per chroma block a colour inside [0.1, 0.9]^3, per pixel a luma step of at
// most 0.08: every sample decodes inside the RGB cube.
Image InGamutYuv(const Format& f, int matrix, std::mt19937& rng) {
    const Ref::Limits l = LimitsOf(f);
    const Ref::Luma m = Ref::LumaOf(static_cast<YCbCrMatrix>(matrix));
    std::uniform_real_distribution<double> colour(0.1, 0.9);
    std::uniform_real_distribution<double> step(-0.08, 0.08);
    std::uniform_int_distribution<int> alpha(0, f.Max());
    Image image = Blank(f);
    std::vector<double> blockLuma(static_cast<std::size_t>(f.cw * f.ch));
    for (int i = 0; i < f.cw * f.ch; ++i) {
        const double r = colour(rng), g = colour(rng), b = colour(rng);
        const glm::dvec3 e = Ref::RgbToYpPbPr(m, {r, g, b});
        blockLuma[i] = e.x;
        image.c[1][i] = static_cast<int>(std::floor(e.y * l.ChromaSpan() + l.cmid + 0.5));
        image.c[2][i] = static_cast<int>(std::floor(e.z * l.ChromaSpan() + l.cmid + 0.5));
    }
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int ci = (y >> f.d->log2ChromaH) * f.cw + (x >> f.d->log2ChromaW);
            const double yp = blockLuma[ci] + step(rng);
            image.c[0][y * kWidth + x] =
                static_cast<int>(std::floor(yp * (l.ymax - l.ymin) + l.ymin + 0.5));
            if (f.alpha) {
                image.c[3][y * kWidth + x] = alpha(rng);
            }
        }
    }
    return image;
}

// Samples uniform over [lo(k), hi(k)] per component.
Image RandomImage(const Format& f, std::mt19937& rng, bool legalOnly) {
    const Ref::Limits l = f.rgb ? Ref::Limits{} : LimitsOf(f);
    Image image = Blank(f);
    for (int k = 0; k < f.Components(); ++k) {
        int lo = 0, hi = f.Max();
        if (legalOnly && !f.rgb && k < 3) {
            lo = static_cast<int>(k == 0 ? l.ymin : l.cmin);
            hi = static_cast<int>(k == 0 ? l.ymax : l.cmax);
        }
        std::uniform_int_distribution<int> dist(lo, hi);
        for (int& v : image.c[k]) {
            v = dist(rng);
        }
    }
    return image;
}

struct Errors {
    std::array<int, 4> max{};
    std::array<long, 4> over{};  // samples past the tolerance
};

Errors Compare(const Format& f, const Image& got, const Image& wanted,
               const std::array<int, 4>& tolerance) {
    Errors e;
    for (int k = 0; k < f.Components(); ++k) {
        for (std::size_t i = 0; i < wanted.c[k].size(); ++i) {
            const int d = std::abs(got.c[k][i] - wanted.c[k][i]);
            e.max[k] = std::max(e.max[k], d);
            e.over[k] += d > tolerance[k] ? 1 : 0;
        }
    }
    return e;
}

// First sample past the tolerance, for failure messages.
std::string FirstMiss(const Format& f, const Image& got, const Image& wanted,
                      const std::array<int, 4>& tolerance) {
    for (int k = 0; k < f.Components(); ++k) {
        for (std::size_t i = 0; i < wanted.c[k].size(); ++i) {
            if (std::abs(got.c[k][i] - wanted.c[k][i]) > tolerance[k]) {
                const int w = f.Width(k);
                std::ostringstream s;
                s << "component " << k << " at (" << static_cast<int>(i) % w << ","
                  << static_cast<int>(i) / w << "): got " << got.c[k][i] << ", wanted "
                  << wanted.c[k][i];
                return s.str();
            }
        }
    }
    return "none";
}

std::string ErrorText(const Format& f, const Errors& e) {
    std::ostringstream s;
    for (int k = 0; k < f.Components(); ++k) {
        s << (k ? " " : "") << (f.rgb ? "RGBA"[k] : "YUVA"[k]) << "=" << e.max[k];
    }
    return s.str();
}

// Round-trip bound per component: the RGB texture's quantisation moves each
// channel by half a step, which Y'CbCr spans scale; one more code for rounding
// and filtering on the GPU.
std::array<int, 4> RoundTripTolerance(const Format& f) {
    const Ref::Limits l = LimitsOf(f);
    const int gpuDepth = PixFmtDescription::Find(ExpectedGpuFormat(f))->depth;
    const double step = 0.5 / ((1 << gpuDepth) - 1);
    const int yTol = 1 + static_cast<int>(std::floor(step * (l.ymax - l.ymin) + 0.5));
    const int cTol = 1 + static_cast<int>(std::floor(step * l.ChromaSpan() + 0.5));
    return {yTol, cTol, cTol, 1};
}

// ---------------------------------------------------------------------------

enum class Layout { TopDown, BottomUp, Padded };

DataVideoCPUOptions OptionsFor(Layout layout) {
    switch (layout) {
        case Layout::BottomUp:
            return {32, 0, true};
        case Layout::Padded:
            // 48 bytes keep every stride a whole number of pixels.
            return {16, 48, false};
        default:
            return {};
    }
}

const char* LayoutName(Layout layout) {
    return layout == Layout::BottomUp ? "BottomUp"
           : layout == Layout::Padded ? "Padded"
                                      : "TopDown";
}

void PrintTo(Layout layout, std::ostream* os) { *os << LayoutName(layout); }

constexpr std::uint8_t kGuard = 0xA5;

void FillPadding(DataVideoCPU& frame) {
    for (int p = 0; p < frame.GetDescription().planes; ++p) {
        const Proc::Plane plane = frame.GetPlane(static_cast<unsigned char>(p));
        const std::size_t stride = static_cast<std::size_t>(std::abs(plane.stride));
        const std::size_t rowBytes = static_cast<std::size_t>(frame.GetPlaneWidthBytes(p));
        for (int r = 0; r < plane.rows; ++r) {
            std::memset(plane.data + r * plane.stride + rowBytes, kGuard, stride - rowBytes);
        }
    }
}

int CountTouchedPadding(const DataVideoCPU& frame) {
    int touched = 0;
    for (int p = 0; p < frame.GetDescription().planes; ++p) {
        const Proc::ConstPlane plane = frame.GetPlaneConst(static_cast<unsigned char>(p));
        const std::size_t stride = static_cast<std::size_t>(std::abs(plane.stride));
        const std::size_t rowBytes = static_cast<std::size_t>(frame.GetPlaneWidthBytes(p));
        for (int r = 0; r < plane.rows; ++r) {
            const std::uint8_t* row = plane.data + r * plane.stride;
            touched += static_cast<int>(std::count_if(row + rowBytes, row + stride,
                                                      [](std::uint8_t b) { return b != kGuard; }));
        }
    }
    return touched;
}

// RGB images of the swapped families arrive in logical RGBA order already, so
// the same image stored in the plain RGB format is the wanted result.
using RoundTripParam = std::tuple<PixFmt, Layout>;

using FrameRoundTrip = Kavrin::Test::GLTestWithParam<RoundTripParam>;

TEST_P(FrameRoundTrip, KeepsSamples) {
    const auto [pixFmt, layout] = GetParam();
    const Format f = Describe(pixFmt);
    const DataVideoCPUOptions options = OptionsFor(layout);
    std::mt19937 rng(static_cast<unsigned>(pixFmt) * 7919u + static_cast<unsigned>(layout));

    const Image content = f.rgb ? RandomImage(f, rng, false) : InGamutYuv(f, 1, rng);
    const Image noise = RandomImage(f, rng, false);
    const PixFmt destinationFormat = f.rgb ? SameDepthRgb(f) : pixFmt;
    const Format fd = Describe(destinationFormat);

    CpuFrame source = MakeCpu(pixFmt, options);
    Store(*source, f, content);
    CpuFrame noisy = MakeCpu(pixFmt, options);
    Store(*noisy, f, noise);
    CpuFrame destination = MakeCpu(destinationFormat, options);
    CpuFrame noisyBack = MakeCpu(destinationFormat, options);
    FillPadding(*destination);

    PixFmt gpuFormat = PixFmt::None;
    WithStorage([&](const ShaderStorage& storage) {
        GpuFrame frame = Frame::Create();
        frame->Upload(source, storage);
        gpuFormat = frame->GetPixelFormat();
        frame->Download(destination, storage);
        if (!f.rgb) {
            frame->Upload(noisy, storage);
            frame->Download(noisyBack, storage);
        }
    });

    EXPECT_EQ(gpuFormat, ExpectedGpuFormat(f)) << FormatName(gpuFormat);
    EXPECT_EQ(gpuFormat, Frame::CPUPixFmtToGPUPixFmt(pixFmt)) << "the frame and its lookup disagree";
    int stray = 0;
    const Image back = Load(*destination, fd, &stray);
    EXPECT_EQ(stray, 0) << "samples with bits below the data shift";
    if (layout == Layout::Padded) {
        EXPECT_EQ(CountTouchedPadding(*destination), 0) << "row padding overwritten";
    }

    // RGB: bit-exact.  YUV: quantisation of the RGB texture.
    const std::array<int, 4> tolerance =
        f.rgb ? std::array<int, 4>{0, 0, 0, 0} : RoundTripTolerance(f);
    const Errors e = Compare(f, back, content, tolerance);
    for (int k = 0; k < f.Components(); ++k) {
        EXPECT_EQ(e.over[k], 0) << "component " << k << " exceeds " << tolerance[k]
                                << "; first: " << FirstMiss(f, back, content, tolerance);
    }
    std::ostringstream line;
    line << "[ accuracy ] " << std::left << std::setw(14) << f.d->GetName() << std::setw(9)
         << LayoutName(layout) << " in-gamut max |err| " << ErrorText(f, e) << " (tolerance Y/R "
         << tolerance[0] << ")";
    if (!f.rgb) {
        // Out-of-cube samples clamp on the way: informative only.
        const Errors n =
            Compare(f, Load(*noisyBack, fd), noise, {1 << 16, 1 << 16, 1 << 16, 1 << 16});
        line << "; random samples max |err| " << ErrorText(f, n);
    }
    std::cout << line.str() << std::endl;
    RecordProperty("max_error", ErrorText(f, e));
}

std::string RoundTripName(const ::testing::TestParamInfo<RoundTripParam>& info) {
    return std::string(FormatName(std::get<0>(info.param))) + "_" +
           LayoutName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FrameRoundTrip,
                         ::testing::Combine(::testing::ValuesIn(GetSupportedPixFmt()),
                                            ::testing::Values(Layout::TopDown, Layout::BottomUp,
                                                              Layout::Padded)),
                         RoundTripName);

// ---------------------------------------------------------------------------
// Every format into every RGB destination against the double-precision model.

const std::array<int, 6> kMatrices = {1, 4, 5, 6, 7, 9};
const std::array<PixFmt, 4> kRgbDestinations = {PixFmt::RGB24, PixFmt::RGBA, PixFmt::RGB48LE,
                                                PixFmt::RGBA64LE};

// Wanted destination image: source decoded, clamped, quantised to the GPU
// texture, composited on black where alpha goes, requantised.
Image ReferenceRgb(const Format& f, const Image& source, int matrix, const Format& fd) {
    const Format gpu = Describe(ExpectedGpuFormat(f));
    const double gmax = gpu.Max();
    Image out = Blank(fd);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const Rgba c = Decode(f, source, matrix, x, y);
            std::array<double, 4> t{};
            for (int k = 0; k < 4; ++k) {
                t[k] = k < 3 || gpu.alpha ? Quantise(c[k], gpu.depth) / gmax : 1.0;
            }
            for (int k = 0; k < fd.Components(); ++k) {
                const double v = k < 3 && !fd.alpha ? t[k] * t[3] : t[k];
                out.c[k][y * kWidth + x] = Quantise(v, fd.depth);
            }
        }
    }
    return out;
}

using FrameToRgb = Kavrin::Test::GLTestWithParam<PixFmt>;

TEST_P(FrameToRgb, MatchesReference) {
    const PixFmt pixFmt = GetParam();
    const Format f = Describe(pixFmt);
    const auto& all = GetSupportedPixFmt();
    const auto index =
        static_cast<std::size_t>(std::find(all.begin(), all.end(), pixFmt) - all.begin());
    const int matrix = kMatrices[index % kMatrices.size()];
    std::mt19937 rng(static_cast<unsigned>(index) + 101u);
    // Legal codes only: the matrix alone leaves the cube, which the clamp covers.
    const Image content = RandomImage(f, rng, true);
    CpuFrame source = MakeCpu(pixFmt, {}, Conf::ColorSpace{1, 1, matrix});
    Store(*source, f, content);
    std::array<CpuFrame, 4> destinations;
    for (std::size_t i = 0; i < destinations.size(); ++i) {
        destinations[i] = MakeCpu(kRgbDestinations[i], {}, Conf::ColorSpace{1, 1, matrix});
    }

    WithStorage([&](const ShaderStorage& storage) {
        GpuFrame frame = Frame::Create();
        frame->Upload(source, storage);
        for (auto& destination : destinations) {
            frame->Download(destination, storage);
        }
    });

    const int gpuDepth = PixFmtDescription::Find(ExpectedGpuFormat(f))->depth;
    std::ostringstream line;
    line << "[ to-rgb   ] " << std::left << std::setw(14) << f.d->GetName() << " matrix " << matrix
         << ":";
    for (std::size_t i = 0; i < destinations.size(); ++i) {
        const Format fd = Describe(kRgbDestinations[i]);
        const Image wanted = ReferenceRgb(f, content, matrix, fd);
        const Image got = Load(*destinations[i], fd);
        // One code of the coarser of texture and destination.
        const int tol = fd.Max() / ((1 << std::min(gpuDepth, fd.depth)) - 1);
        const std::array<int, 4> tolerance{tol, tol, tol, tol};
        const Errors e = Compare(fd, got, wanted, tolerance);
        for (int k = 0; k < fd.Components(); ++k) {
            EXPECT_EQ(e.over[k], 0)
                << "into " << fd.d->GetName() << ", component " << k << " exceeds " << tol
                << "; first: " << FirstMiss(fd, got, wanted, tolerance);
        }
        line << " " << fd.d->GetName() << "[" << ErrorText(fd, e) << "]";
    }
    std::cout << line.str() << std::endl;
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FrameToRgb, ::testing::ValuesIn(GetSupportedPixFmt()),
                         [](const ::testing::TestParamInfo<PixFmt>& info) {
                             return FormatName(info.param);
                         });

// swscale as a second, independent decoder for 8-bit 4:4:4.
TEST_F(FrameGLTest, Yuv444MatchesSwscale) {
    const Format f = Describe(PixFmt::YUV444P);
    for (const int matrix : {1, 6}) {
        std::mt19937 rng(static_cast<unsigned>(matrix));
        CpuFrame source = MakeCpu(PixFmt::YUV444P, {}, Conf::ColorSpace{1, 1, matrix});
        Store(*source, f, RandomImage(f, rng, true));
        CpuFrame destination = MakeCpu(PixFmt::RGB24, {}, Conf::ColorSpace{1, 1, matrix});
        WithStorage([&](const ShaderStorage& storage) {
            GpuFrame frame = Frame::Create();
            frame->Upload(source, storage);
            frame->Download(destination, storage);
        });
        const std::uint8_t* planes[3] = {};
        int strides[3] = {};
        for (unsigned char p = 0; p < 3; ++p) {
            planes[p] = source->GetPlaneConst(p).data;
            strides[p] = static_cast<int>(source->GetPlaneConst(p).stride);
        }
        const std::vector<int> wanted = Kavrin::Test::SwscaleYuv444ToRgb(
            planes, strides, kWidth, kHeight, false, matrix == 1, false);
        ASSERT_EQ(wanted.size(), static_cast<std::size_t>(kWidth * kHeight * 3));
        const Proc::ConstPlane got = destination->GetPlaneConst(0);
        int worst = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int i = 0; i < kWidth * 3; ++i) {
                const int d = std::abs(got.data[y * got.stride + i] - wanted[y * kWidth * 3 + i]);
                worst = std::max(worst, d);
                // Two independent roundings.
                EXPECT_LE(d, 2) << "matrix " << matrix << " row " << y << " byte " << i;
            }
        }
        std::cout << "[ swscale  ] yuv444p matrix " << matrix << " max |err| " << worst
                  << std::endl;
    }
}

// ---------------------------------------------------------------------------
// Edge cases.

TEST_F(FrameGLTest, GpuFormatForCpuFormat) {
    EXPECT_EQ(Frame::CPUPixFmtToGPUPixFmt(PixFmt::YUV420P10LE), PixFmt::RGB48LE);
    EXPECT_EQ(Frame::CPUPixFmtToGPUPixFmt(PixFmt::YUVA444P16LE), PixFmt::RGBA64LE);
    EXPECT_EQ(Frame::CPUPixFmtToGPUPixFmt(PixFmt::P010LE), PixFmt::RGB48LE);
    EXPECT_EQ(Frame::CPUPixFmtToGPUPixFmt(PixFmt::NV12), PixFmt::RGB24);
    EXPECT_EQ(Frame::CPUPixFmtToGPUPixFmt(PixFmt::BGRA), PixFmt::RGBA);
    try {
        Frame::CPUPixFmtToGPUPixFmt(PixFmt::YUYV422);
        ADD_FAILURE() << "yuyv422 accepted";
    } catch (const Kavrin::Exception& e) {
        EXPECT_EQ(e.GetDescription(), "Unsupported pixel format for CPU: yuyv422");
    }
}

// Uploading again keeps the frame's texture without pool traffic, and a steady
// upload/download loop creates no texture at all.
TEST_F(FrameGLTest, SteadyStateKeepsTexturesAndCreatesNone) {
    for (const PixFmt pixFmt : {PixFmt::YUV420P, PixFmt::NV12, PixFmt::P010LE, PixFmt::RGBA,
                                PixFmt::BGRA, PixFmt::YUVA420P10LE}) {
        const Format f = Describe(pixFmt);
        std::mt19937 rng(5);
        CpuFrame first = MakeCpu(pixFmt);
        Store(*first, f, RandomImage(f, rng, true));
        CpuFrame second = MakeCpu(pixFmt);
        Store(*second, f, RandomImage(f, rng, true));
        CpuFrame destination = MakeCpu(f.rgb ? SameDepthRgb(f) : pixFmt);
        WithStorage([&](const ShaderStorage& storage) {
            GpuFrame frame = Frame::Create();
            frame->Upload(first, storage);
            const GLuint name = frame->GetFirstTexture()->GetTexId();
            const std::size_t pool = TexturePool::GetInstance().GetCount();
            long created = GlObjectCounter::TotalCreated(GlObjectCounter::Texture);
            frame->Upload(second, storage);
            // A swapped RGB upload converts into a fresh texture from the pool.
            if (pixFmt != PixFmt::BGRA) {
                EXPECT_EQ(frame->GetFirstTexture()->GetTexId(), name) << FormatName(pixFmt);
                EXPECT_EQ(TexturePool::GetInstance().GetCount(), pool) << FormatName(pixFmt);
            }
            EXPECT_EQ(GlObjectCounter::TotalCreated(GlObjectCounter::Texture), created)
                << FormatName(pixFmt);
            frame->Download(destination, storage);
            created = GlObjectCounter::TotalCreated(GlObjectCounter::Texture);
            // Specialised programs are made once per conversion, then reused.
            const long programs = GlObjectCounter::TotalCreated(GlObjectCounter::Program);
            for (int i = 0; i < 50; ++i) {
                frame->Upload(i % 2 ? first : second, storage);
                frame->Download(destination, storage);
            }
            EXPECT_EQ(GlObjectCounter::TotalCreated(GlObjectCounter::Texture), created)
                << FormatName(pixFmt);
            EXPECT_EQ(GlObjectCounter::TotalCreated(GlObjectCounter::Program), programs)
                << FormatName(pixFmt);
        });
    }
}

TEST_F(FrameGLTest, NullUploadAndEmptyDownload) {
    const Format f = Describe(PixFmt::RGBA);
    std::mt19937 rng(9);
    CpuFrame source = MakeCpu(PixFmt::RGBA);
    Store(*source, f, RandomImage(f, rng, false));
    CpuFrame destination = MakeCpu(PixFmt::RGBA);
    WithStorage([&](const ShaderStorage& storage) {
        GpuFrame fresh = Frame::Create();
        EXPECT_FALSE(fresh->IsValid());
        try {
            fresh->Download(destination, storage);
            ADD_FAILURE() << "empty frame downloaded";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "Trying to download empty frame");
        }

        GpuFrame frame = Frame::Create();
        frame->Upload(source, storage);
        ASSERT_TRUE(frame->IsValid());
        const std::size_t pool = TexturePool::GetInstance().GetCount();
        frame->Upload(nullptr, storage);
        EXPECT_FALSE(frame->IsValid());
        EXPECT_EQ(frame->GetPixelFormat(), PixFmt::None);
        EXPECT_EQ(TexturePool::GetInstance().GetCount(), pool + 1) << "texture not returned";
        EXPECT_THROW(frame->Download(destination, storage), std::logic_error);
    });
}

TEST_F(FrameGLTest, RgbaIntoRgb24CompositesOnBlack) {
    const Format f = Describe(PixFmt::RGBA);
    Image image = Blank(f);
    const std::array<int, 4> alphas = {0, 77, 128, 255};
    for (int i = 0; i < kWidth * kHeight; ++i) {
        image.c[0][i] = 200;
        image.c[1][i] = 120;
        image.c[2][i] = 10;
        image.c[3][i] = alphas[static_cast<std::size_t>(i % 4)];
    }
    CpuFrame source = MakeCpu(PixFmt::RGBA);
    Store(*source, f, image);
    CpuFrame destination = MakeCpu(PixFmt::RGB24);
    WithStorage([&](const ShaderStorage& storage) {
        GpuFrame frame = Frame::Create();
        frame->Upload(source, storage);
        frame->Download(destination, storage);
    });
    const Image got = Load(*destination, Describe(PixFmt::RGB24));
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 3; ++k) {
            const double wanted = image.c[k][i] * alphas[static_cast<std::size_t>(i)] / 255.0;
            // Blend rounding.
            EXPECT_NEAR(got.c[k][i], wanted, 1.0)
                << "alpha " << alphas[static_cast<std::size_t>(i)] << " c" << k;
        }
    }
}

TEST_F(FrameGLTest, SwappedRgbDestinationsAreRefused) {
    CpuFrame source = MakeCpu(PixFmt::RGBA);
    std::vector<std::string> descriptions;
    const std::vector<PixFmt> refused = {PixFmt::BGRA,  PixFmt::ARGB,    PixFmt::ABGR,
                                         PixFmt::BGR24, PixFmt::BGR48LE, PixFmt::BGRA64LE};
    WithStorage([&](const ShaderStorage& storage) {
        GpuFrame frame = Frame::Create();
        frame->Upload(source, storage);
        for (const PixFmt pixFmt : refused) {
            try {
                frame->Download(MakeCpu(pixFmt), storage);
                descriptions.push_back("accepted");
            } catch (const Kavrin::Exception& e) {
                descriptions.push_back(e.GetDescription());
            }
        }
    });
    ASSERT_EQ(descriptions.size(), refused.size());
    EXPECT_EQ(descriptions[0], "Unsupported RGB pixel format: bgra");
    for (std::size_t i = 0; i < refused.size(); ++i) {
        EXPECT_EQ(descriptions[i], "Unsupported RGB pixel format: " + FormatName(refused[i]));
    }
}

TEST_F(FrameGLTest, UnspecifiedMatrixIsRefused) {
    const Conf::ColorSpace unspecified{1, 1, 2};
    CpuFrame yuv = MakeCpu(PixFmt::YUV420P, {}, unspecified);
    CpuFrame rgb = MakeCpu(PixFmt::RGB24);
    CpuFrame yuvOut = MakeCpu(PixFmt::YUV444P, {}, unspecified);
    WithStorage([&](const ShaderStorage& storage) {
        GpuFrame frame = Frame::Create();
        EXPECT_THROW(frame->Upload(yuv, storage), Kavrin::Exception);
        frame->Upload(rgb, storage);
        EXPECT_THROW(frame->Download(yuvOut, storage), Kavrin::Exception);
    });
}

// Draws `frame` premultiplied into an RGBA8 target; rows bottom-up as GL reads.
std::vector<std::uint8_t> DrawInto(const Frame& frame, const ShaderStorage& storage,
                                   std::array<int, 2> direction) {
    Texture target({kWidth, kHeight, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                   GL_NEAREST, nullptr);
    storage.FBO().Attach(target);
    frame.DrawPremultiplied(storage, direction);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kWidth * kHeight * 4));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return pixels;
}

TEST_F(FrameGLTest, DrawPremultipliedMirrors) {
    const Format f = Describe(PixFmt::RGBA);
    Image image = Blank(f);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int i = y * kWidth + x;
            image.c[0][i] = x * 8;
            image.c[1][i] = y * 16;
            image.c[2][i] = 77;
            image.c[3][i] = y < kHeight / 2 ? 255 : 51;
        }
    }
    CpuFrame source = MakeCpu(PixFmt::RGBA);
    Store(*source, f, image);
    std::vector<std::uint8_t> straight, flipped, mirrored;
    WithStorage([&](const ShaderStorage& storage) {
        GpuFrame frame = Frame::Create();
        frame->Upload(source, storage);
        straight = DrawInto(*frame, storage, {1, 1});
        flipped = DrawInto(*frame, storage, {1, -1});
        mirrored = DrawInto(*frame, storage, {-1, 1});
    });
    // Host row y is texture row y, which GL reads back as row y.
    auto at = [](const std::vector<std::uint8_t>& p, int x, int y, int k) {
        return static_cast<int>(p[static_cast<std::size_t>((y * kWidth + x) * 4 + k)]);
    };
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int i = y * kWidth + x;
            const double a = image.c[3][i] / 255.0;
            for (int k = 0; k < 4; ++k) {
                const double wanted = k < 3 ? image.c[k][i] * a : image.c[3][i];
                // Blend rounding.
                ASSERT_NEAR(at(straight, x, y, k), wanted, 1.0)
                    << "straight (" << x << "," << y << ") c" << k;
                ASSERT_NEAR(at(flipped, x, kHeight - 1 - y, k), wanted, 1.0)
                    << "flipped (" << x << "," << y << ") c" << k;
                ASSERT_NEAR(at(mirrored, kWidth - 1 - x, y, k), wanted, 1.0)
                    << "mirrored (" << x << "," << y << ") c" << k;
            }
        }
    }
}

// The last release on the GL thread returns the texture at once; elsewhere it
// queues one deleter task, which returns it.
TEST_F(FrameGLTest, ReleaseReturnsTheTextureOnOrOffTheGlThread) {
    CpuFrame source = MakeCpu(PixFmt::YUV420P);
    auto& statistic = Proc::GpuTaskStatistic::GetInstance();
    statistic.Clear();
    GpuFrame frame;
    std::size_t pool = 0, poolAfter = 0;
    WithStorage([&](const ShaderStorage& storage) {
        frame = Frame::Create();
        frame->Upload(source, storage);
        pool = TexturePool::GetInstance().GetCount();
        frame.reset();
        poolAfter = TexturePool::GetInstance().GetCount();
        frame = Frame::Create();
        frame->Upload(source, storage);
    });
    EXPECT_EQ(poolAfter, pool + 1);
    Kavrin::Test::RunOnGL([] {});
    EXPECT_FALSE(statistic.GetOglStat("FrameDeleter").has_value());
    frame.reset();
    // Queued behind the deleter: once it ran, the deleter has too.
    Kavrin::Test::RunOnGL([&] { poolAfter = TexturePool::GetInstance().GetCount(); });
    const auto deleter = statistic.GetOglStat("FrameDeleter");
    ASSERT_TRUE(deleter.has_value());
    EXPECT_EQ(deleter->count, 1u);
    EXPECT_EQ(poolAfter, pool + 1);
}

// ---------------------------------------------------------------------------
// RGB(A) into every Y'CbCr destination against the double-precision encoder.

std::vector<PixFmt> YuvFormats() {
    std::vector<PixFmt> formats;
    for (const PixFmt pixFmt : GetSupportedPixFmt()) {
        if (PixFmtDescription::Find(pixFmt)->IsYUV()) {
            formats.push_back(pixFmt);
        }
    }
    return formats;
}

using FrameFromRgb = Kavrin::Test::GLTestWithParam<PixFmt>;

TEST_P(FrameFromRgb, MatchesReference) {
    const PixFmt pixFmt = GetParam();
    const Format fd = Describe(pixFmt);
    const Format fs = Describe(PixFmt::RGBA64LE);
    const auto& all = GetSupportedPixFmt();
    const auto index =
        static_cast<std::size_t>(std::find(all.begin(), all.end(), pixFmt) - all.begin());
    const int matrix = kMatrices[(index + 3) % kMatrices.size()];
    const Ref::Luma m = Ref::LumaOf(static_cast<YCbCrMatrix>(matrix));
    const Ref::Limits l = LimitsOf(fd);
    std::mt19937 rng(static_cast<unsigned>(index) + 211u);
    std::uniform_real_distribution<double> colour(0.1, 0.9);
    std::uniform_real_distribution<double> step(-0.08, 0.08);
    std::uniform_real_distribution<double> opacity(0.2, 1.0);

    // Chroma (and, where alpha premultiplies, alpha) constant per chroma block:
    // any averaging over the block gives the block's value.
    Image source = Blank(fs);
    std::vector<std::array<double, 4>> blocks(static_cast<std::size_t>(fd.cw * fd.ch));
    for (auto& b : blocks) {
        b = {colour(rng), colour(rng), colour(rng), opacity(rng)};
    }
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const auto& b = blocks[static_cast<std::size_t>((y >> fd.d->log2ChromaH) * fd.cw +
                                                            (x >> fd.d->log2ChromaW))];
            const double d = step(rng);
            const int i = y * kWidth + x;
            for (int k = 0; k < 3; ++k) {
                source.c[k][i] = Quantise(b[k] + d, 16);
            }
            source.c[3][i] = fd.alpha ? Quantise(opacity(rng), 16) : Quantise(b[3], 16);
        }
    }
    CpuFrame cpu = MakeCpu(PixFmt::RGBA64LE);
    Store(*cpu, fs, source);
    CpuFrame destination = MakeCpu(pixFmt, {}, Conf::ColorSpace{1, 1, matrix});
    WithStorage([&](const ShaderStorage& storage) {
        GpuFrame frame = Frame::Create();
        frame->Upload(cpu, storage);
        frame->Download(destination, storage);
    });

    auto encode = [&](int i) {
        const double a = source.c[3][i] / 65535.0;
        glm::dvec3 rgb{};
        for (int k = 0; k < 3; ++k) {
            // Without an alpha plane the colour is premultiplied.
            rgb[k] = source.c[k][i] / 65535.0 * (fd.alpha ? 1.0 : a);
        }
        return Ref::RgbToYpPbPr(m, rgb);
    };
    auto code = [](double v, double lo, double hi) {
        return static_cast<int>(std::clamp(std::floor(v + 0.5), lo, hi));
    };
    Image wanted = Blank(fd);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int i = y * kWidth + x;
            const auto e = encode(i);
            wanted.c[0][i] = code(e[0] * (l.ymax - l.ymin) + l.ymin, 0, fd.Max());
            if (fd.alpha) {
                wanted.c[3][i] = static_cast<int>(source.c[3][i] / 65535.0 * fd.Max());
            }
        }
    }
    for (int cy = 0; cy < fd.ch; ++cy) {
        for (int cx = 0; cx < fd.cw; ++cx) {
            // Block's top-left pixel: same chroma as the rest of the block.
            const auto e = encode((cy << fd.d->log2ChromaH) * kWidth + (cx << fd.d->log2ChromaW));
            const double span = l.ChromaSpan();
            wanted.c[1][cy * fd.cw + cx] = code(e[1] * span + l.cmid, 0, fd.Max());
            wanted.c[2][cy * fd.cw + cx] = code(e[2] * span + l.cmid, 0, fd.Max());
        }
    }
    int stray = 0;
    const Image got = Load(*destination, fd, &stray);
    EXPECT_EQ(stray, 0) << "samples with bits below the data shift";
    // Rounding.
    const std::array<int, 4> tolerance{1, 1, 1, 1};
    const Errors e = Compare(fd, got, wanted, tolerance);
    for (int k = 0; k < fd.Components(); ++k) {
        EXPECT_EQ(e.over[k], 0) << "matrix " << matrix << ", component " << k
                                << "; first: " << FirstMiss(fd, got, wanted, tolerance);
    }
    std::cout << "[ from-rgb ] " << std::left << std::setw(14) << fd.d->GetName() << " matrix "
              << matrix << " max |err| " << ErrorText(fd, e) << std::endl;
}

INSTANTIATE_TEST_SUITE_P(YuvFormats, FrameFromRgb, ::testing::ValuesIn(YuvFormats()),
                         [](const ::testing::TestParamInfo<PixFmt>& info) {
                             return FormatName(info.param);
                         });

}  // namespace
