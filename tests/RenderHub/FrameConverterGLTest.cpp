// CPU frame to CPU frame conversions: the integer paths exactly against closed
// forms, the colour, chroma and resize paths against zimg, alpha, dither, tone
// and gamut mapping against their formulas, and planning.
#include <GL/glew.h>

#include "FrameConverter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ColourReference.h"
#include "Frame.h"
#include "FrameCases.h"
#include "GpuEval.h"
#include "LogCapture.h"
#include "Oracles.h"
#include "Private/UploadDownloadBuffers.h"
#include "ShaderStorage.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Ogl;
using namespace Kavrin::Test;
using Path = FrameConverter::Path;
using Range = PixelColorRange;
using Filter = FrameConversionOptions::ChromaFilter;
using Location = FrameConversionOptions::ChromaLocation;
using ScaleFilter = FrameConversionOptions::ScaleFilter;
using ToneCurve = FrameConversionOptions::ToneCurve;

PixFmt Yuv444(int depth, bool alpha = false) {
    const PixFmt formats[2][4] = {
        {PixFmt::YUV444P, PixFmt::YUV444P10LE, PixFmt::YUV444P12LE, PixFmt::YUV444P16LE},
        {PixFmt::YUVA444P, PixFmt::YUVA444P10LE, PixFmt::YUVA444P12LE, PixFmt::YUVA444P16LE}};
    return formats[alpha ? 1 : 0][depth == 8 ? 0 : depth == 10 ? 1 : depth == 12 ? 2 : 3];
}

using FrameConverterGLTest = GLTest<>;

// Every pair of formats, on both paths: every shader variant builds and binds
// without a complaint, a neutral grey stays neutral and opaque stays opaque.
// Pairs of the same samples (family, depth and chroma grid) come back
// bit-exact, alpha added opaque: odd sizes, one pixel, saturated bars, rows
// bottom-up and strides of no whole pixel.
TEST_F(FrameConverterGLTest, EveryFormatPairKeepsGreyAndSameSamplesExactly) {
    const LogCapture log;
    const auto bars = [](PixFmt format, int width, int height) {
        const int depth = Describe(format).depth, shift = depth - 8;
        const int levels[] = {
            0, (1 << depth) - 1, 16 << shift, 235 << shift, 240 << shift, 1 << (depth - 1)};
        return MakeFrame(format, width, height, [&](int plane, int x, int y, int channel) {
            return levels[(x + 2 * y + 3 * plane + channel) % 6];
        });
    };
    const auto grey = [](PixFmt format) {
        const int depth = Describe(format).depth;
        const Slot alpha = SlotOf(format, 3);  // none: a plane or channel beyond the format's
        return MakeFrame(format, 3, 3, [=](int plane, int, int, int channel) {
            if (plane == alpha.plane && channel == alpha.channel) {
                return (1 << depth) - 1;
            }
            return Describe(format).IsRGB() || plane != 0 ? 1 << (depth - 1) : 126 << (depth - 8);
        });
    };
    WithStorage([&](const ShaderStorage& storage) {
        FrameConverter converter;
        for (PixFmt from : GetSupportedPixFmt()) {
            for (PixFmt to : GetSupportedPixFmt()) {
                const PixFmtDescription &in = Describe(from), &out = Describe(to);
                if (in.IsRGB() == out.IsRGB() && in.depth == out.depth &&
                    in.log2ChromaW == out.log2ChromaW && in.log2ChromaH == out.log2ChromaH) {
                    EXPECT_EQ(converter.Plan(from, kBT709, to, kBT709), Path::Integer);
                    for (const auto& [w, h] : {std::pair{37, 23}, std::pair{1, 1}}) {
                        for (const CpuFrame& source :
                             {Noise(from, w, h, 7, kBT709, {1, 3, true}), bars(from, w, h)}) {
                            const CpuFrame target = Blank(to, w, h, kBT709, {16, 5, false});
                            converter.Convert(source, target, storage);
                            const auto same = [&](int k, int x, int y) {
                                return k < Components(from) ? GetCode(*source, k, x, y)
                                                            : (1 << out.depth) - 1;
                            };
                            EXPECT_EQ(FirstMiss(*target, same, {0, 0, 0, 0}), "")
                                << Name(from) << " to " << Name(to) << " " << w << "x" << h;
                        }
                    }
                }
                // The same matrix (integer paths where the families agree) and another.
                for (const Conf::ColorSpace& toSpace : {kBT709, Conf::ColorSpace{1, 1, 5}}) {
                    const CpuFrame target = Blank(to, 3, 3, toSpace);
                    converter.Convert(grey(from), target, storage);
                    // Alpha opaque, R', G' and B' equal, chroma in the middle.
                    for (int k = 0; k < Components(to); ++k) {
                        const int code = GetCode(*target, k, 0, 0);
                        const int want = k == 3        ? (1 << out.depth) - 1
                                         : out.IsRGB() ? GetCode(*target, 0, 0, 0)
                                         : k > 0       ? 1 << (out.depth - 1)
                                                       : code;
                        ASSERT_NEAR(code, want, k == 3 ? 0 : 1)  // one code
                            << Name(from) << " to " << Name(to) << " matrix " << toSpace.matrix
                            << " component " << k;
                    }
                }
            }
        }
    });
    EXPECT_EQ(log.CountPrefix(""), 0) << log.Dump();
}

// Offset and scale of a component kind (0 luma, 1 chroma, 3 alpha).
std::pair<double, double> Quantisation(int depth, bool full, int kind) {
    const double maximum = (1 << depth) - 1, unit = 1 << (depth - 8);
    if (kind == 3 || (full && kind == 0)) {
        return {0.0, maximum};
    }
    return kind == 1 ? std::pair{double(1 << (depth - 1)), full ? maximum : 224 * unit}
                     : std::pair{16 * unit, 219 * unit};
}

// The integer path against closed forms for every code: depth and range
// changes (code = offset + value * scale, rounded to nearest, ties to even, as
// zimg does), and chroma grids, the mean of the covered pixels down (fewer at
// odd edges) and the nearest sample up.
TEST_F(FrameConverterGLTest, IntegerPathFollowsTheClosedForms) {
    struct Row {
        PixFmt from, to;
        int width, height;
        bool inFull, outFull;
    };
    std::vector<Row> rows;
    // Depth and full range in, depth and full range out.
    const int depths[][4] = {{8, 0, 10, 0},  {10, 0, 8, 0},  {8, 0, 8, 1},   {8, 1, 8, 0},
                             {10, 0, 10, 1}, {10, 1, 12, 1}, {12, 0, 8, 1},  {12, 1, 10, 0},
                             {8, 1, 16, 0},  {10, 0, 16, 1}, {16, 1, 10, 0}, {16, 0, 16, 1},
                             {16, 1, 16, 0}, {16, 0, 8, 0}};
    for (const auto& [inDepth, inFull, outDepth, outFull] : depths) {
        // 256 x 256 holds every 16-bit code; smaller depths repeat theirs.
        rows.push_back(
            {Yuv444(inDepth, true), Yuv444(outDepth, true), 256, 256, inFull != 0, outFull != 0});
    }
    for (const auto& [format, width, height] :
         {std::tuple{PixFmt::YUV411P, 8, 1}, std::tuple{PixFmt::YUV411P, 11, 3},
          std::tuple{PixFmt::YUV410P, 9, 7}, std::tuple{PixFmt::YUV420P, 5, 5},
          std::tuple{PixFmt::YUV420P, 65, 2}, std::tuple{PixFmt::YUV440P, 3, 5},
          std::tuple{PixFmt::NV12, 7, 3}}) {
        rows.push_back({PixFmt::YUV444P, format, width, height, false, false});
        rows.push_back({format, PixFmt::YUV444P, width, height, false, false});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(Name(r.from) + (r.inFull ? " full to " : " to ") + Name(r.to) +
                     (r.outFull ? " full " : " ") + std::to_string(r.width) + "x" +
                     std::to_string(r.height));
        const PixFmtDescription &in = Describe(r.from), &out = Describe(r.to);
        const CpuFrame source =
            r.width == 256 ? MakeFrame(r.from, 256, 256,
                                       [&](int plane, int x, int y, int) {
                                           return (y * 256 + x + 37 * plane) % (1 << in.depth);
                                       })
                           : Noise(r.from, r.width, r.height, 3);
        const CpuFrame target = Blank(r.to, r.width, r.height);
        FrameConversionOptions options;
        options.sourceRange = r.inFull ? Range::Full : Range::Limited;
        options.targetRange = r.outFull ? Range::Full : Range::Limited;
        EXPECT_EQ(FrameConverter(options).Plan(r.from, kBT709, r.to, kBT709), Path::Integer);
        Convert(source, target, options);
        const auto want = [&](int k, int x, int y) {
            const int kind = k == 0 ? 0 : k == 3 ? 3 : 1;
            const auto [inOffset, inScale] = Quantisation(in.depth, r.inFull, kind);
            const auto [outOffset, outScale] = Quantisation(out.depth, r.outFull, kind);
            // Source samples under the pixels that target sample covers.
            const bool chroma = kind == 1;
            const int bw = chroma ? out.log2ChromaW : 0, bh = chroma ? out.log2ChromaH : 0;
            double sum = 0.0;
            int count = 0;
            for (int py = y << bh; py < std::min((y + 1) << bh, r.height); ++py) {
                for (int px = x << bw; px < std::min((x + 1) << bw, r.width); ++px, ++count) {
                    sum += GetCode(*source, k, chroma ? px >> in.log2ChromaW : px,
                                   chroma ? py >> in.log2ChromaH : py);
                }
            }
            return std::clamp(
                std::nearbyint(outOffset + (sum / count - inOffset) * outScale / inScale), 0.0,
                double((1 << out.depth) - 1));
        };
        EXPECT_EQ(FirstMiss(*target, want, {0, 0, 0, 0}), "");  // exact
    }
}

// ---------------------------------------------------------------------------
// Against zimg: colour (every matrix, range and depth, codes across the whole
// container), chroma kernels and sitings, and resizing kernels.

struct ZimgCase {
    PixFmt from;
    PixFmt to;
    int matrix = 1, toMatrix = 1;
    Range range = Range::Limited;
    Filter chroma = Filter::Nearest;
    Location location = Location::Left;
    ScaleFilter scale = ScaleFilter::Bicubic;
    int width = 64, height = 48, toWidth = 64, toHeight = 48;  // source, then target
};

// Soft gradients, fine texture and a hard diagonal edge, 16-bit.
int Picture(int channel, int x, int y) {
    const double v = 0.5 + 0.25 * std::sin(0.13 * x + 0.05 * y + channel) +
                     0.12 * std::sin(0.9 * x * std::cos(0.2 * y)) + (x > 40 + y / 3 ? 0.1 : -0.1);
    return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 65535.0));
}

class FrameConverterZimg : public GLTestWithParam<ZimgCase> {};

TEST_P(FrameConverterZimg, MatchesWithinOneCode) {
    const ZimgCase c = GetParam();
    const PixFmtDescription &in = Describe(c.from), &out = Describe(c.to);
    const bool resize = c.width != c.toWidth || c.height != c.toHeight;
    const auto smooth = [](int plane, int x, int y, int) {
        return static_cast<int>(512 + 400 * std::sin(0.29 * x + 0.7 * plane) *
                                          std::cos(0.31 * y - 0.4 * plane));
    };
    const auto picture = [&](int plane, int x, int y, int channel) {
        return Picture(plane + channel, x, y) >> (16 - in.depth);
    };
    // Picture-like content where samples are resampled, noise elsewhere.
    const CpuFrame source = resize ? MakeFrame(c.from, c.width, c.height, picture)
                            : c.chroma != Filter::Nearest
                                ? MakeFrame(c.from, c.width, c.height, smooth)
                                : Noise(c.from, c.width, c.height, 11, {1, 1, c.matrix});
    const CpuFrame target = Blank(c.to, c.toWidth, c.toHeight, {1, 1, c.toMatrix});
    FrameConversionOptions options;
    options.sourceRange = in.IsRGB() ? Range::Full : c.range;
    options.targetRange = out.IsRGB() ? Range::Full : c.range;
    options.chromaFilter = c.chroma;
    options.sourceChromaLocation = options.targetChromaLocation = c.location;
    options.scaleFilter = c.scale;
    Convert(source, target, options);

    const auto image = [&](const PixFmtDescription& d, int width, int height, int matrix) {
        return ZimgImage{
            width,  height, d.depth,       d.IsRGB(),     d.IsRGB() || c.range == Range::Full,
            matrix, {},     d.log2ChromaW, d.log2ChromaH, static_cast<int>(c.location) - 1};
    };
    ZimgImage zin = image(in, c.width, c.height, c.matrix);
    ZimgImage zout = image(out, c.toWidth, c.toHeight, c.toMatrix);
    for (int k = 0; k < 3; ++k) {
        for (int y = 0; y < zin.PlaneHeight(k); ++y) {
            for (int x = 0; x < zin.PlaneWidth(k); ++x) {
                zin.planes[k].push_back(static_cast<std::uint16_t>(GetCode(*source, k, x, y)));
            }
        }
    }
    // The kernels in the same order.
    ASSERT_TRUE(resize
                    ? ZimgResize(zin, zout, static_cast<ZimgKernel>(static_cast<int>(c.scale) - 1))
                    : ZimgConvert(zin, zout,
                                  c.chroma == Filter::Bicubic ? ZimgChromaFilter::Bicubic
                                                              : ZimgChromaFilter::Bilinear,
                                  0.0, 0.5));
    // Both mirror at the edges, so every pixel is compared: within one code, or
    // above 80 dB for 16-bit RGB resized.
    const auto zimg = [&](int k, int x, int y) {
        return zout.planes[k][static_cast<std::size_t>(y * zout.PlaneWidth(k) + x)];
    };
    if (!resize || !out.IsRGB()) {
        EXPECT_EQ(FirstMiss(*target, zimg, {1, 1, 1, 1}), "");
    } else {
        for (int k = 0; k < 3; ++k) {
            double squares = 0.0;
            for (int y = 0; y < c.toHeight; ++y) {
                for (int x = 0; x < c.toWidth; ++x) {
                    squares += std::pow(GetCode(*target, k, x, y) - zimg(k, x, y), 2);
                }
            }
            const double mse = std::max(squares / (c.toWidth * c.toHeight), 1e-12);
            EXPECT_GT(10.0 * std::log10(65535.0 * 65535.0 / mse), 80.0) << "component " << k;
        }
    }
    if (resize) {
        // Normalised weights: a flat field stays flat through every kernel, edges too.
        const auto level = [&](int k) { return (20000 + 1000 * k) >> (16 - in.depth); };
        const CpuFrame flat = Blank(c.to, c.toWidth, c.toHeight);
        Convert(MakeFrame(c.from, c.width, c.height,
                          [&](int p, int, int, int ch) { return level(p + ch); }),
                flat, options);
        EXPECT_EQ(FirstMiss(*flat, [&](int k, int, int) { return level(k); }, {0, 0, 0, 0}), "");
    }
}

std::vector<ZimgCase> ZimgCases() {
    std::vector<ZimgCase> cases;
    for (const int matrix : {1, 4, 5, 6, 7, 9}) {
        for (const Range range : {Range::Limited, Range::Full}) {
            for (const int depth : {8, 10, 12, 16}) {
                const PixFmt rgb = depth == 8 ? PixFmt::RGB24 : PixFmt::RGB48LE;
                cases.push_back({Yuv444(depth), rgb, matrix, matrix, range});
                cases.push_back({rgb, Yuv444(depth), matrix, matrix, range});
            }
        }
    }
    cases.push_back({PixFmt::YUV444P, PixFmt::YUV444P, 9, 1});
    cases.push_back({PixFmt::YUV444P10LE, PixFmt::YUV444P10LE, 9, 1});
    // 4:2:0 up (1) to 4:4:4 and back (0): chroma filter, siting (as H.273).
    const int chroma[][3] = {{1, 1, 1}, {1, 2, 1}, {1, 3, 1}, {1, 6, 1}, {2, 1, 1},
                             {2, 2, 1}, {1, 1, 0}, {1, 2, 0}, {2, 1, 0}, {2, 3, 0}};
    for (const auto& [filter, siting, up] : chroma) {
        const PixFmt p420 = PixFmt::YUV420P10LE, p444 = PixFmt::YUV444P10LE;
        cases.push_back({up ? p420 : p444, up ? p444 : p420, 1, 1, Range::Limited,
                         static_cast<Filter>(filter), static_cast<Location>(siting)});
    }
    // Resizing 16-bit RGB (1) from 97x61, or 10-bit 4:2:0 (0) from 96x60 whose
    // planes keep their grid and siting: kernel, siting, target size.
    const int resize[][5] = {{1, 1, 1, 160, 90}, {1, 1, 1, 41, 27},  {1, 2, 1, 160, 90},
                             {1, 2, 1, 41, 27},  {1, 2, 1, 97, 200}, {1, 3, 1, 133, 17},
                             {1, 4, 1, 160, 90}, {1, 4, 1, 41, 27},  {0, 4, 1, 150, 90},
                             {0, 2, 3, 40, 26},  {0, 1, 6, 130, 34}};
    for (const auto& [rgb, kernel, siting, width, height] : resize) {
        const PixFmt format = rgb ? PixFmt::RGB48LE : PixFmt::YUV420P10LE;
        cases.push_back({format, format, 1, 1, Range::Limited, Filter::Nearest,
                         static_cast<Location>(siting), static_cast<ScaleFilter>(kernel),
                         rgb ? 97 : 96, rgb ? 61 : 60, width, height});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(ColourChromaAndSize, FrameConverterZimg, ::testing::ValuesIn(ZimgCases()),
                         [](const auto& info) {
                             return Name(info.param.from) + "To" + Name(info.param.to) + "_" +
                                    std::to_string(info.index);
                         });

TEST_F(FrameConverterGLTest, AlphaIsCarriedDroppedOrComposited) {
    // Limited-range white at alpha 128 of 255.
    const CpuFrame source = MakeFrame(
        PixFmt::YUVA444P, 2, 1, [](int plane, int, int, int) { return plane == 0 ? 235 : 128; });
    const CpuFrame rgba = Blank(PixFmt::RGBA64LE, 2, 1);
    Convert(source, rgba);
    EXPECT_EQ(Get(*rgba, 0, 0, 0, 0), 65535);
    EXPECT_EQ(Get(*rgba, 0, 0, 0, 3), 128 * 257);  // 8 to 16 bits, exact

    const CpuFrame dropped = Blank(PixFmt::RGB24, 2, 1);
    Convert(source, dropped);
    EXPECT_EQ(Get(*dropped, 0, 1, 0, 1), 255);  // straight colour

    FrameConversionOptions composite;
    composite.alpha = FrameConversionOptions::Alpha::CompositeOnBlack;
    const CpuFrame composited = Blank(PixFmt::YUV444P, 2, 1);
    Convert(source, composited, composite);
    // 128/255 of the way from black (16) to white (235).
    EXPECT_EQ(Get(*composited, 0, 1, 0), static_cast<int>(std::nearbyint(16 + 219 * 128 / 255.0)));
    EXPECT_EQ(Get(*composited, 1, 1, 0), 128);
}

TEST_F(FrameConverterGLTest, OrderedDitherIsUnbiasedAndTheSameEveryFrame) {
    FrameConversionOptions ordered;
    ordered.dither = FrameConversionOptions::Dither::Ordered;
    // A flat 128.5/255 (16-bit 33025): half 128 and half 129, where rounding gives all 129.
    const CpuFrame flat =
        MakeFrame(PixFmt::RGB48LE, 32, 32, [](int, int, int, int) { return 33025; });
    std::vector<CpuFrame> out;  // rounded, then dithered twice
    for (int i = 0; i < 3; ++i) {
        out.push_back(Blank(PixFmt::RGB24, 32, 32));
        Convert(flat, out.back(), i == 0 ? FrameConversionOptions{} : ordered);
    }
    int high = 0;
    for (int i = 0; i < 32 * 32; ++i) {
        ASSERT_EQ(Get(*out[0], 0, i % 32, i / 32, 0), 129);
        const int code = Get(*out[1], 0, i % 32, i / 32, 0);
        ASSERT_TRUE(code == 128 || code == 129) << code;
        high += code == 129;
    }
    EXPECT_NEAR(high, 512, 16);  // 1024 pixels, 50.2 % above
    EXPECT_EQ(FirstDifference(*out[2], *out[1]), "");

    // A ramp, 16 to 8 bits, through the integer path and through the colour path.
    for (const PixFmt target : {PixFmt::RGB24, PixFmt::YUV444P}) {
        const CpuFrame ramp =
            MakeFrame(PixFmt::RGB48LE, 1024, 16, [](int, int x, int, int) { return x * 64 + 23; });
        const CpuFrame out = Blank(target, 1024, 16);
        Convert(ramp, out, ordered);
        double error = 0.0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 1024; ++x) {
                const double value = (x * 64 + 23) / 65535.0;
                const double exact = target == PixFmt::RGB24 ? value * 255.0 : 16.0 + 219.0 * value;
                error += Get(*out, 0, x, y) - exact;
            }
        }
        EXPECT_LT(std::abs(error / (1024 * 16)), 0.05) << Name(target);  // mean, in codes
    }
}

TEST_F(FrameConverterGLTest, ResizingAveragesInLinearLightWhenAsked) {
    // Black and white columns halved: 0.5 of the signal, or of the light (BT.709's
    // BT.1886 display: signal 0.5^(1/2.4), code 191).
    const CpuFrame stripes =
        MakeFrame(PixFmt::RGB24, 64, 4, [](int, int x, int, int) { return x % 2 == 0 ? 0 : 255; });
    for (const bool linear : {false, true}) {
        FrameConversionOptions options;
        options.scaleFilter = ScaleFilter::Bilinear;
        options.scaleInLinearLight = linear;
        const CpuFrame half = Blank(PixFmt::RGB24, 32, 4);
        Convert(stripes, half, options);
        for (int x = 1; x < 31; ++x) {
            ASSERT_EQ(Get(*half, 0, x, 1, 1), linear ? 191 : 128) << "column " << x;
        }
    }
}

// PQ and HLG grey ramps through each tone curve on the largest channel, for
// several peaks: into BT.709 SDR (reference white to 1), or into PQ of another
// peak, where the same curve on both sides is still mapped down to the target's
// peak (and a lower source peak changes nothing).
TEST_F(FrameConverterGLTest, HdrGreysFollowTheToneCurves) {
    // Transfer, curve, source peak, reference white and PQ target peak (0: SDR) in cd/m².
    const std::tuple<int, ToneCurve, double, double, double> rows[] = {
        {16, ToneCurve::BT2390, 1000, 203, 0},    {18, ToneCurve::BT2390, 1000, 203, 0},
        {16, ToneCurve::Reinhard, 1000, 203, 0},  {16, ToneCurve::Clip, 1000, 203, 0},
        {16, ToneCurve::BT2390, 4000, 100, 0},    {16, ToneCurve::Reinhard, 10000, 600, 0},
        {16, ToneCurve::Clip, 4000, 100, 0},      {18, ToneCurve::Reinhard, 1000, 100, 0},
        {16, ToneCurve::BT2390, 4000, 203, 1000}, {16, ToneCurve::BT2390, 1000, 203, 4000}};
    for (const auto& [transfer, curve, sourcePeak, white, targetPeak] : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "transfer " << transfer << ", curve " << static_cast<int>(curve) << ", "
                     << sourcePeak << " to " << white << ", PQ " << targetPeak);
        const double s = sourcePeak / 100.0, t = white / 100.0;  // units of 100 cd/m²
        FrameConversionOptions options;
        options.toneCurve = curve;
        options.sourcePeakLuminance = static_cast<float>(sourcePeak);
        if (targetPeak > 0) {
            options.targetPeakLuminance = static_cast<float>(targetPeak);
        }
        options.referenceWhiteLuminance = static_cast<float>(white);
        const CpuFrame ramp =
            MakeFrame(PixFmt::RGB48LE, 1024, 2, [](int, int x, int, int) { return x * 64; },
                      {9, transfer, 9});
        const CpuFrame target =
            Blank(PixFmt::RGB48LE, 1024, 2, targetPeak > 0 ? Conf::ColorSpace{9, 16, 9} : kBT709);
        Convert(ramp, target, options);
        const double from = Ref::PqInverseEotf(s), to = Ref::PqInverseEotf(targetPeak / 100.0);
        for (int x = 0; x < 1024; ++x) {
            const double v = x * 64 / 65535.0;
            // HLG: the BT.2100 OOTF of a grey for a 1000 cd/m² display, gamma 1.2.
            const double m = transfer == 18 ? 10.0 * std::pow(Ref::HlgInverseOetf(v), 1.2)
                                            : std::min(Ref::PqEotf(v), s);
            const double mapped = curve == ToneCurve::Clip ? std::min(m, t)
                                  : curve == ToneCurve::Reinhard
                                      ? m * (1.0 + m * t / (s * s)) / (1.0 + m / t)
                                      : Ref::PqEotf(Ref::Bt2390Eetf(Ref::PqInverseEotf(m), from,
                                                                    Ref::PqInverseEotf(t)));
            // SDR: the reference OOTF undone, reference white to 1.
            const double want =
                targetPeak == 0
                    ? Ref::Bt709Oetf(Ref::SdrSceneOfDisplay(mapped) / Ref::SdrSceneOfDisplay(t))
                : sourcePeak > targetPeak ? Ref::Bt2390Eetf(std::min(v, from), from, to)
                                          : v;
            for (int channel = 0; channel < 3; ++channel) {
                ASSERT_NEAR(Get(*target, 0, x, 1, channel), 65535.0 * want, 4.0)  // 6e-5
                    << "code " << x * 64 << " channel " << channel;
            }
            ASSERT_NEAR(Get(*target, 0, x, 1, 0), Get(*target, 0, x, 1, 1), 1);  // grey stays grey
        }
    }
}

// 16-bit RGB of `space` whose pixel (x, y) is colour(x, y), and the colour at a
// pixel of a frame, each in [0, 1].
CpuFrame Rgb48(int width, int height, const std::function<glm::dvec3(int, int)>& colour,
               const Conf::ColorSpace& space) {
    return MakeFrame(
        PixFmt::RGB48LE, width, height,
        [&](int, int x, int y, int c) {
            return static_cast<int>(std::lround(colour(x, y)[c] * 65535.0));
        },
        space);
}
glm::dvec3 RgbAt(const DataVideoCPU& frame, int x, int y) {
    const double max = (1 << frame.GetDescription().depth) - 1;
    return glm::dvec3(Get(frame, 0, x, y, 0), Get(frame, 0, x, y, 1), Get(frame, 0, x, y, 2)) / max;
}

TEST_F(FrameConverterGLTest, GamutCompressionKeepsLuminanceAndHueInsideBt709) {
    const glm::dvec3 luma709(0.2126, 0.7152, 0.0722), luma2020(0.2627, 0.6780, 0.0593);
    FrameConversionOptions compress;
    compress.gamut = FrameConversionOptions::Gamut::Compress;
    // Every colour of a 6x6x6 grid of BT.2020, linear light on both sides.
    const auto grid = [](int x, int y) { return glm::dvec3(x % 6, x / 6, y) / 5.0; };
    const CpuFrame out = Blank(PixFmt::RGB48LE, 36, 6, {1, 8, 0});
    Convert(Rgb48(36, 6, grid, {9, 8, 0}), out, compress);
    for (int i = 0; i < 36 * 6; ++i) {
        const glm::dvec3 c = grid(i % 36, i / 36), exact = Ref::Bt2020ToBt709(c);
        const glm::dvec3 got = RgbAt(*out, i % 36, i / 36);
        SCOPED_TRACE("BT.2020 " + Describe(glm::dvec4(c, 0.0)) + " got " +
                     Describe(glm::dvec4(got, 0.0)));
        const double luminance = glm::dot(c, luma2020);
        ASSERT_NEAR(glm::dot(got, luma709), luminance, 5e-4);
        // Toward grey along the same line: got - Y = k (exact - Y), 0 <= k <= 1.
        const glm::dvec3 away = exact - luminance;
        const double length = glm::dot(away, away);
        if (length < 1e-6) {  // greys: the published matrix has four digits
            ASSERT_LT(glm::length(got - exact), 1e-3);
            continue;
        }
        const double k = glm::dot(got - luminance, away) / length;
        ASSERT_GE(k, 0.0);
        ASSERT_LE(k, 1.0 + 1e-3);
        ASSERT_LT(glm::length(got - luminance - k * away), 1e-3);
        const double r = -std::min({away.r, away.g, away.b}) / luminance;
        if (r <= 0.85 && std::max({exact.r, exact.g, exact.b}) <= 1.0) {
            ASSERT_NEAR(k, 1.0, 1e-3);  // well inside: unchanged
        }
    }
    // BT.2020's green comes in saturated: its lowest channel at 0, green the largest.
    const glm::dvec3 green = RgbAt(*out, 30, 0);
    EXPECT_LT(green.r, 30.0 / 65535.0);
    EXPECT_GT(green.g, 0.9);
    EXPECT_LT(green.b, green.g / 3.0);

    // BT.709 colours 80 % of the way from grey to the boundary, through BT.2020
    // with the BT.709 curve: within one 8-bit code of the plain conversion.
    const glm::dvec3 boundary[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1},   {1, 1, 0},
                                   {0, 1, 1}, {1, 0, 1}, {1, 0.4, 0}, {0.3, 0, 1}};
    glm::dmat3 to709;
    for (int i = 0; i < 3; ++i) {
        to709[i] = Ref::Bt2020ToBt709(glm::dvec3(i == 0, i == 1, i == 2));
    }
    const CpuFrame inside =
        Rgb48(8, 3,
              [&](int x, int y) {
                  const glm::dvec3 b = boundary[x] * (0.3 + 0.3 * y);
                  const double luminance = glm::dot(b, luma709);
                  const glm::dvec3 c = glm::inverse(to709) * (luminance + 0.8 * (b - luminance));
                  return glm::dvec3(Ref::Bt709Oetf(c.r), Ref::Bt709Oetf(c.g), Ref::Bt709Oetf(c.b));
              },
              {9, 1, 0});
    const CpuFrame plain = Blank(PixFmt::RGB24, 8, 3, {1, 1, 0});
    const CpuFrame compressed = Blank(PixFmt::RGB24, 8, 3, {1, 1, 0});
    Convert(inside, plain);
    Convert(inside, compressed, compress);
    for (int i = 0; i < 8 * 3; ++i) {
        const glm::dvec3 d =
            glm::abs(RgbAt(*compressed, i % 8, i / 8) - RgbAt(*plain, i % 8, i / 8)) * 255.0;
        EXPECT_LE(std::max({d.r, d.g, d.b}), 1.0 + 1e-9) << "colour " << i % 8 << " row " << i / 8;
    }
}

TEST_F(FrameConverterGLTest, PlansIntegerPathsUnlessTheColourChanges) {
    const Conf::ColorSpace pq2020{9, 16, 9}, unspecified{2, 2, 2};
    const Conf::ColorSpace bt601Curve{1, 6, 1};  // the same curve under another code
    using P = PixFmt;
    const std::tuple<P, Conf::ColorSpace, P, Conf::ColorSpace, Path> rows[] = {
        {P::YUV420P, kBT709, P::YUV444P10LE, kBT709, Path::Integer},
        {P::NV12, kBT709, P::P010LE, kBT709, Path::Integer},
        {P::RGB24, kBT709, P::BGRA64LE, kBT709, Path::Integer},
        {P::YUV420P, kBT709, P::YUV420P, bt601Curve, Path::Integer},
        {P::YUV420P, unspecified, P::YUV422P, kBT709, Path::Integer},
        {P::P010LE, pq2020, P::YUV420P16LE, pq2020, Path::Integer},
        {P::YUV420P, kBT709, P::RGB24, kBT709, Path::Colour},
        {P::YUV420P, pq2020, P::YUV420P, kBT709, Path::Colour},
        {P::YUV444P, {1, 1, 9}, P::YUV444P, kBT709, Path::Colour}};
    for (const auto& [from, fromSpace, to, toSpace, path] : rows) {
        EXPECT_EQ(FrameConverter().Plan(from, fromSpace, to, toSpace), path)
            << Name(from) << " to " << Name(to);
    }
}

}  // namespace
