// The host library: pixel formats, CPU frames, exceptions, the GL thread,
// reference counting, GPU tasks, the timer, settings, tracker and utilities.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <QSettings>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/intrusive_ptr.hpp>
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/Exception.h"
#include "Kavrin/Core/MemoryException.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/Core/RegSettings.h"
#include "Kavrin/Core/UnhandledExceptionFilterGuard.h"
#include "Kavrin/Core/Utils.h"
#include "Kavrin/Core/WaitableTimer.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"
#include "Kavrin/Proc/GpuTask.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"
#include "Kavrin/Proc/ICoreTracker.h"
#include "Kavrin/Proc/ProcException.h"

namespace {

using Kavrin::PixelColorRange;
using Kavrin::PixFmt;
using Kavrin::PixFmtDescription;
using Kavrin::Conf::FrameInfo;
using Kavrin::Proc::CloneMode;
using Kavrin::Proc::Color;
using Kavrin::Proc::ConstPlane;
using Kavrin::Proc::DataVideoCPU;
using Kavrin::Proc::DataVideoCPUOptions;
using Kavrin::Proc::Plane;

const PixFmtDescription* Find(int value) { return PixFmtDescription::Find(PixFmt(value)); }

// Every value described, named as libavutil 58 numbers it (the list includes the
// values that moved after 150), and each description against the system's
// libavutil, matched by name only (its numbering is older): planes, components,
// flags, depth, chroma subsampling and plane sizes, bytes per pixel.
TEST(PixFmtDescriptionTest, EveryValueIsDescribedAsLibAvUtilDoes) {
    std::istringstream numbers(
        "-1 none 0 yuv420p 1 yuyv422 2 rgb24 3 bgr24 4 yuv422p 5 yuv444p 6 yuv410p 7 yuv411p "
        "8 gray 12 yuvj420p 14 yuvj444p 15 uyvy422 23 nv12 24 nv21 25 argb 26 rgba 27 abgr "
        "28 bgra 30 gray16le 31 yuv440p 33 yuva420p 35 rgb48le 44 vaapi 45 yuv420p16le "
        "47 yuv422p16le 49 yuv444p16le 51 dxva2_vld 58 bgr48le 62 yuv420p10le 64 yuv422p10le "
        "68 yuv444p10le 71 gbrp 78 yuva422p 79 yuva444p 87 yuva420p10le 89 yuva422p10le "
        "91 yuva444p10le 93 yuva420p16le 95 yuva422p16le 97 yuva444p16le 98 vdpau 105 rgba64le "
        "107 bgra64le 114 qsv 116 d3d11va_vld 117 cuda 118 0rgb 120 0bgr 123 yuv420p12le "
        "127 yuv422p12le 131 yuv444p12le 151 yuv440p10le 155 ayuv64le 157 videotoolbox_vld "
        "158 p010le 161 gbrap12le 169 p016le 171 d3d11 178 drm_prime 179 opencl "
        "185 yuva422p12le 187 yuva444p12le 188 nv24 190 vulkan 192 y210le 193 x2rgb10le "
        "198 p210le 204 p416le 205 vuya 208 vuyx 209 p012le 212 y212le 214 xv30le 216 xv36le "
        "218 rgbf32le 220 rgbaf32le");
    std::map<int, std::string> names;
    for (int value = 0; numbers >> value;)
        numbers >> names[value];
    ASSERT_EQ(names.size(), 77u);
    for (int outside : {-2, 221, 222, 1000, -1000})
        EXPECT_EQ(Find(outside), nullptr) << outside;
    int compared = 0, yuv = 0;
    for (int value = -1; value <= 220; ++value) {
        const PixFmtDescription* d = Find(value);
        ASSERT_TRUE(d && d->name && *d->name) << value;
        SCOPED_TRACE(d->name);
        if (names.count(value)) {
            EXPECT_EQ(d->GetName(), names[value]);
        }
        EXPECT_EQ(static_cast<int>(d->pixFmt), value);
        // Hardware formats have no planes, components, flags or range; otherwise the
        // range is this library's own reading: RGB, grey and JPEG YUV full, other YUV limited.
        if (d->planes == 0) {
            EXPECT_EQ(std::tuple(d->IsHardware(), d->components + d->flags, d->range,
                                 d->IsPlanarYUV() || d->IsSemiPlanar()),
                      std::tuple(value != -1, 0u, PixelColorRange::Unspecified, false));
        } else {
            const bool full = !d->IsYUV() || std::strncmp(d->name, "yuvj", 4) == 0;
            EXPECT_EQ(d->range, full ? PixelColorRange::Full : PixelColorRange::Limited);
            yuv += d->IsYUV() ? 1 : 0;
        }
        const AVPixelFormat theirs = av_get_pix_fmt(d->name);
        if (theirs == AV_PIX_FMT_NONE)
            continue;  // newer than the installed FFmpeg
        const AVPixFmtDescriptor* o = av_pix_fmt_desc_get(theirs);
        ASSERT_NE(o, nullptr);
        ++compared;
        EXPECT_EQ(std::tuple(std::max(av_pix_fmt_count_planes(theirs), 0), int(o->nb_components),
                             (o->flags & AV_PIX_FMT_FLAG_ALPHA) != 0,
                             (o->flags & AV_PIX_FMT_FLAG_RGB) != 0),
                  std::tuple(d->planes, int(d->components), d->HasAlpha(), d->IsRGB()));
        if (o->flags & AV_PIX_FMT_FLAG_HWACCEL) {
            EXPECT_TRUE(d->IsHardware());
            continue;
        }
        EXPECT_EQ(
            std::tuple(o->comp[0].depth, o->comp[0].shift, o->log2_chroma_w, o->log2_chroma_h),
            std::tuple(d->depth, d->shift, d->log2ChromaW, d->log2ChromaH));
        // libavutil's rule: planes 1 and 2 are chroma, sized rounding up.
        for (int plane = 0; plane < d->planes; ++plane) {
            const bool sub = plane == 1 || plane == 2;
            for (const int n : {4, 5, 7, 9}) {
                EXPECT_EQ(std::pair(d->GetPlanWidth(n, plane), d->GetPlanHeight(n, plane)),
                          std::pair(sub ? -((-n) >> o->log2_chroma_w) : n,
                                    sub ? -((-n) >> o->log2_chroma_h) : n))
                    << "plane " << plane << " of " << n << "x" << n;
            }
        }
        const bool chroma = !(o->flags & AV_PIX_FMT_FLAG_RGB) && o->nb_components >= 3 &&
                            std::strncmp(o->name, "xyz", 3) != 0;
        // Planar: one plane per component; semi-planar: luma plus one Cb/Cr plane.
        EXPECT_EQ(std::tuple(chroma, chroma && d->planes >= 3 && o->nb_components == d->planes,
                             chroma && d->planes == 2 && o->nb_components == 3),
                  std::tuple(d->IsYUV(), d->IsPlanarYUV(), d->IsSemiPlanar()));
        // Whole-byte formats: a plane's pixel is its smallest component step.
        if (!(o->flags & AV_PIX_FMT_FLAG_BITSTREAM) && d->bytesPerPixel[0] != 0) {
            int steps[4] = {};
            for (int c = 0; c < o->nb_components; ++c) {
                int& step = steps[o->comp[c].plane];
                step = step == 0 ? o->comp[c].step : std::min(step, o->comp[c].step);
            }
            for (int plane = 0; plane < 4; ++plane)
                EXPECT_EQ(steps[plane], d->bytesPerPixel[plane]) << "plane " << plane;
        }
    }
    EXPECT_GT(compared, 190);
    EXPECT_GT(yuv, 100);
}

std::uintptr_t Address(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

// Allocation layout: planes aligned, padded, disjoint, zeroed; bottom-up planes
// start at their highest-addressed row.
TEST(DataVideoCPUTest, PlanesAreAlignedPaddedAndDisjointAndBadInputThrows) {
    struct Row {
        PixFmt pixFmt;
        int width, height;
        DataVideoCPUOptions options;  // alignment, row padding, bottom-up
        int planes, widthBytes[4];
        std::ptrdiff_t strides[4];  // magnitudes
        int rows[4];
    };
    const Row table[] = {
        {PixFmt::RGBA, 10, 2, {16, 8, false}, 1, {40}, {48}, {2}},
        {PixFmt::RGB24, 5, 3, {32, 0, false}, 1, {15}, {32}, {3}},
        {PixFmt::RGB48LE, 7, 1, {64, 0, false}, 1, {42}, {64}, {1}},
        {PixFmt::YUV420P, 5, 3, {32, 0, false}, 3, {5, 3, 3}, {32, 32, 32}, {3, 2, 2}},
        {PixFmt::YUV420P10LE, 5, 5, {1, 3, false}, 3, {10, 6, 6}, {13, 9, 9}, {5, 3, 3}},
        {PixFmt::NV12, 9, 5, {4, 0, false}, 2, {9, 10}, {12, 12}, {5, 3}},
        {PixFmt::P010LE, 9, 5, {16, 0, true}, 2, {18, 20}, {32, 32}, {5, 3}},
        {PixFmt::YUVA444P16LE, 3, 2, {8, 0, true}, 4, {6, 6, 6, 6}, {8, 8, 8, 8}, {2, 2, 2, 2}},
        {PixFmt::YUV410P, 9, 9, {64, 1, true}, 3, {9, 3, 3}, {64, 64, 64}, {9, 3, 3}},
        {PixFmt::BGRA, 1, 1, {256, 0, false}, 1, {4}, {256}, {1}},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(PixFmtDescription::Find(row.pixFmt)->name);
        auto video =
            DataVideoCPU::Create(row.pixFmt, {row.width, row.height, 0, 0}, {}, row.options);
        EXPECT_EQ(video->GetType(), Kavrin::Proc::FrameAllocType::CPU);
        EXPECT_EQ(Kavrin::Proc::GetPlanesCount(*video), row.planes);
        EXPECT_EQ(video->GetPixelFormat(), row.pixFmt);
        std::vector<std::pair<std::uintptr_t, std::uintptr_t>> ranges;
        for (int i = 0; i < row.planes; ++i) {
            SCOPED_TRACE("plane " + std::to_string(i));
            const Plane plane = video->GetPlane(static_cast<unsigned char>(i));
            EXPECT_EQ(std::tuple(video->GetPlaneWidthBytes(i), plane.rows, plane.stride),
                      std::tuple(row.widthBytes[i], row.rows[i],
                                 row.options.bottomUp ? -row.strides[i] : row.strides[i]));
            const ConstPlane asConst = video->GetPlaneConst(static_cast<unsigned char>(i));
            EXPECT_EQ(std::tuple(asConst.data, asConst.stride),
                      std::tuple(plane.data, plane.stride));
            // The positive view of either order starts at the lowest address.
            const Plane positive = plane.MakePositive();
            EXPECT_EQ(Address(positive.data) % row.options.alignment, 0u);
            EXPECT_EQ(std::tuple(positive.stride, positive.rows, plane.MakeRevert().data,
                                 asConst.MakePositive().data),
                      std::tuple(row.strides[i], plane.rows, positive.data, positive.data));
            EXPECT_EQ(plane.data,
                      positive.data + (plane.stride < 0 ? (plane.rows - 1) * positive.stride : 0));
            ranges.emplace_back(Address(positive.data),
                                Address(positive.data) + positive.stride * positive.rows);
            for (int r = 0; r < plane.rows; ++r)
                for (int b = 0; b < row.widthBytes[i]; ++b)
                    ASSERT_EQ(plane.Row(r)[b], 0) << "fresh memory";
        }
        std::sort(ranges.begin(), ranges.end());
        for (std::size_t i = 1; i < ranges.size(); ++i)
            EXPECT_LE(ranges[i - 1].second, ranges[i].first);
        EXPECT_EQ(video->GetAlignedWidth(),
                  row.strides[0] / PixFmtDescription::Find(row.pixFmt)->bytesPerPixel[0]);
        EXPECT_EQ(video->GetAlignedHeight(), row.height);
    }
    // Bad input throws with a description.
    struct Bad {
        PixFmt pixFmt;
        FrameInfo frameInfo;
        DataVideoCPUOptions options;
    };
    // clang-format off
    const Bad bad[] = {
        {static_cast<PixFmt>(500), {4, 4, 0, 0}, {}}, {PixFmt::None, {4, 4, 0, 0}, {}},
        {PixFmt::CUDA, {4, 4, 0, 0}, {}},             {PixFmt::VAAPI, {4, 4, 0, 0}, {}},
        {PixFmt::MONOW, {8, 4, 0, 0}, {}},            {PixFmt::RGBA, {0, 4, 0, 0}, {}},
        {PixFmt::RGBA, {4, 0, 0, 0}, {}},             {PixFmt::YUV420P, {4, -2, 0, 0}, {}},
        {PixFmt::RGBA, {4, 4, 0, 0}, {3, 0, false}},  {PixFmt::RGBA, {4, 4, 0, 0}, {0, 0, false}},
        {PixFmt::RGBA, {4, 4, 0, 0}, {32, -8, false}}, {PixFmt::YUYV422, {5, 4, 0, 0}, {}},
    };
    // clang-format on
    for (const Bad& row : bad) {
        try {
            DataVideoCPU::Create(row.pixFmt, row.frameInfo, {}, row.options);
            ADD_FAILURE() << "no exception for row " << &row - bad;
        } catch (const Kavrin::Exception& e) {
            EXPECT_FALSE(e.GetDescription().empty());
        }
    }
    auto nv12 = DataVideoCPU::Create(PixFmt::NV12, {4, 4, 0, 0});
    EXPECT_THROW(nv12->GetPlane(2), Kavrin::Exception);
    EXPECT_THROW(nv12->GetPlaneConst(3), Kavrin::Exception);
    EXPECT_THROW(nv12->GetPlaneWidthBytes(2), Kavrin::Exception);
    EXPECT_THROW(nv12->GetPlaneWidthBytes(-1), Kavrin::Exception);
    auto rgba = DataVideoCPU::Create(PixFmt::RGBA, {4, 4, 0, 0});
    EXPECT_THROW(rgba->GetPlane(1), Kavrin::Exception);
    EXPECT_THROW(rgba->GetPlaneConst(255), Kavrin::Exception);
}

TEST(DataVideoCPUTest, ClonesShareOrCopyPixelsAndMetadataCuts) {
    for (bool bottomUp : {false, true}) {
        SCOPED_TRACE(bottomUp ? "bottom-up" : "top-down");
        auto video =
            DataVideoCPU::Create(PixFmt::YUV420P, {6, 4, 1, 1}, {1, 1, 1}, {32, 0, bottomUp});
        for (unsigned char i = 0; i < 3; ++i) {  // a pattern
            const Plane plane = video->GetPlane(i);
            for (int r = 0; r < plane.rows; ++r)
                for (int b = 0; b < video->GetPlaneWidthBytes(i); ++b)
                    plane.Row(r)[b] = static_cast<std::uint8_t>(i * 64 + r * 7 + b);
        }
        video->SetTimeStamp(1000);
        video->SetDuration(40);
        video->SetInterlaceMode(Kavrin::Proc::InterlaceMode::TopFieldFirst);
        for (CloneMode mode : {CloneMode::Shallow, CloneMode::Reference}) {
            auto clone = video->Clone(mode);
            EXPECT_EQ(std::tuple(clone->GetFrame(), clone->GetPlaneConst(1).data,
                                 clone->GetTimeStamp(), clone->GetRefCount()),
                      std::tuple(video->GetFrame(), video->GetPlaneConst(1).data, 1000, 1u));
        }
        auto deep = video->Clone(CloneMode::Deep);
        EXPECT_NE(deep->GetFrame(), video->GetFrame());
        EXPECT_EQ(std::tuple(deep->GetFrameInfo(), deep->GetColorSpace(), deep->GetDuration(),
                             deep->GetInterlaceMode()),
                  std::tuple(video->GetFrameInfo(), video->GetColorSpace(), 40,
                             Kavrin::Proc::InterlaceMode::TopFieldFirst));
        for (unsigned char i = 0; i < 3; ++i) {
            const ConstPlane source = video->GetPlaneConst(i);
            const ConstPlane copy = deep->GetPlaneConst(i);
            EXPECT_EQ(copy.stride < 0, bottomUp);
            for (int r = 0; r < source.rows; ++r)
                EXPECT_EQ(std::memcmp(copy.Row(r), source.Row(r), video->GetPlaneWidthBytes(i)), 0);
        }
        auto shallow = video->Clone(CloneMode::Shallow);
        video->GetPlane(0).Row(1)[2] = 0xEE;
        auto unused = video->GetUnusedCopy();
        EXPECT_NE(unused->GetFrame(), video->GetFrame());
        EXPECT_EQ(unused->GetPixelFormat(), PixFmt::YUV420P);
        EXPECT_EQ(std::tuple(shallow->GetPlaneConst(0).Row(1)[2], deep->GetPlaneConst(0).Row(1)[2],
                             unused->GetPlaneConst(0).Row(1)[2]),
                  std::tuple(0xEE, 1 * 7 + 2, 0));  // the pattern's value
    }
    // Time cuts, pixel aspect and the extra plane.
    auto video = DataVideoCPU::Create(PixFmt::RGBA, {4, 4, 0, 0});
    using Times = std::pair<std::int64_t, std::int64_t>;
    const auto times = [&] { return std::pair(video->GetTimeStamp(), video->GetDuration()); };
    video->SetTimeStamp(100);
    video->SetDuration(50);
    video->CutFromBegin(10);
    EXPECT_EQ(times(), Times(110, 40));
    video->CutFromEnd(15);
    EXPECT_EQ(times(), Times(110, 25));
    video->CutFromCenter(5, 10);
    EXPECT_EQ(times(), Times(115, 10));
    EXPECT_THROW(video->CutFromBegin(11), Kavrin::Exception);
    EXPECT_THROW(video->CutFromEnd(-1), Kavrin::Exception);
    EXPECT_THROW(video->CutFromCenter(4, 7), Kavrin::Exception);
    EXPECT_EQ(times(), Times(115, 10));
    video->SetPixelAspect(16, 11);
    EXPECT_EQ(video->GetFrameInfo(), (FrameInfo{4, 4, 16, 11}));
    EXPECT_THROW(video->SetPixelAspect(-1, 1), Kavrin::Exception);
    std::uint8_t mask[4] = {};
    video->SetExtraPlaneConst({mask, 1, 4});
    EXPECT_EQ(video->GetExtraPlaneConst().data, mask);
    EXPECT_EQ(video->Clone(CloneMode::Shallow)->GetExtraPlaneConst().rows, 4);
}

// A subframe is a view of the block at the offset: {x, y, width, height, the
// offsets in bytes and rows into each plane, its rows (none: refused)}.
TEST(DataVideoCPUTest, SubframeViewSharesTheBlockAtTheOffset) {
    struct Row {
        PixFmt pixFmt;
        bool bottomUp;
        int x, y, width, height;
        int offsetX[4] = {}, offsetY[4] = {}, rows[4] = {};
    };
    // clang-format off
    const Row table[] = {
        {PixFmt::RGBA, false, 3, 2, 4, 5, {12}, {2}, {5}},
        {PixFmt::RGBA, true, 3, 2, 4, 5, {12}, {2}, {5}},
        {PixFmt::YUV420P, false, 4, 2, 5, 5, {4, 2, 2}, {2, 1, 1}, {5, 3, 3}},
        {PixFmt::NV12, true, 2, 4, 6, 3, {2, 2}, {4, 2}, {3, 2}},
        {PixFmt::YUV410P, false, 4, 4, 4, 4, {4, 1, 1}, {4, 1, 1}, {4, 1, 1}},
        {PixFmt::YUV422P, false, 2, 3, 4, 2, {2, 1, 1}, {3, 3, 3}, {2, 2, 2}},
        {PixFmt::YUVA444P16LE, false, 1, 3, 2, 2, {2, 2, 2, 2}, {3, 3, 3, 3}, {2, 2, 2, 2}},
        {PixFmt::YUYV422, false, 2, 1, 4, 2, {4}, {1}, {2}},
        {PixFmt::YUV420P, false, 2, 2, 3, 3, {2, 1, 1}, {2, 1, 1}, {3, 2, 2}},
        {PixFmt::RGBA, false, 4, 2, 8, 6, {16}, {2}, {6}},  // up to the far corner
        // Refused on an 8x6 frame: outside it, empty, or splitting a chroma sample.
        {PixFmt::RGBA, false, 1, 0, 8, 6}, {PixFmt::RGBA, false, 0, 1, 8, 6},
        {PixFmt::RGBA, false, -1, 0, 2, 2}, {PixFmt::RGBA, false, 0, 0, 0, 2},
        {PixFmt::RGBA, false, 7, 5, 2, 1}, {PixFmt::YUV420P, false, 1, 0, 2, 2},
        {PixFmt::YUV420P, false, 0, 3, 2, 2}, {PixFmt::YUYV422, false, 0, 0, 3, 2},
    };
    // clang-format on
    for (const Row& row : table) {
        SCOPED_TRACE(PixFmtDescription::Find(row.pixFmt)->name);
        if (row.rows[0] == 0) {
            auto video = DataVideoCPU::Create(row.pixFmt, {8, 6, 0, 0});
            EXPECT_THROW(video->Subframe(row.x, row.y, row.width, row.height), Kavrin::Exception)
                << row.x << "," << row.y << " " << row.width << "x" << row.height;
            continue;
        }
        auto video = DataVideoCPU::Create(row.pixFmt, {12, 8, 0, 0}, {}, {32, 0, row.bottomUp});
        auto sub = video->Subframe(row.x, row.y, row.width, row.height);
        EXPECT_EQ(sub->GetFrameInfo(), (FrameInfo{row.width, row.height, 0, 0}));
        EXPECT_EQ(sub->GetFrame(), video->GetFrame());
        for (int i = 0; i < Kavrin::Proc::GetPlanesCount(*video); ++i) {
            const Plane whole = video->GetPlane(static_cast<unsigned char>(i));
            const ConstPlane part = sub->GetPlaneConst(static_cast<unsigned char>(i));
            EXPECT_EQ(
                std::tuple(part.stride, part.rows, part.data),
                std::tuple(whole.stride, row.rows[i], whole.Row(row.offsetY[i]) + row.offsetX[i]))
                << i;
        }
        // Writes through the frame show through the view; its deep clone copies the rectangle.
        video->GetPlane(0).Row(row.y)[row.offsetX[0]] = 0x5A;
        auto copy = sub->Clone(CloneMode::Deep);
        EXPECT_NE(copy->GetFrame(), video->GetFrame());
        EXPECT_EQ(std::tuple(sub->GetPlaneConst(0).Row(0)[0], copy->GetPlaneConst(0).Row(0)[0],
                             copy->GetFrameInfo().width),
                  std::tuple(0x5A, 0x5A, row.width));
    }
}

// Solid fills: {format, colour, bytes of the first pixel (or macropixel) of each plane}.
// BT.709 limited range: white 235/128/128, black 16/128/128, red 63/102/240;
// 10 bits scale by 4 (white 940/512), P010 keeps them in the top bits.

TEST(DataVideoCPUTest, FillGivesEveryPixelTheColourAndStaysInItsArea) {
    struct Row {
        PixFmt pixFmt;
        Color color;
        std::vector<std::uint8_t> bytes[4];
    };
    const Row table[] = {
        {PixFmt::RGBA, {10, 20, 30, 40}, {{10, 20, 30, 40}}},
        {PixFmt::BGRA, {10, 20, 30, 40}, {{30, 20, 10, 40}}},
        {PixFmt::ARGB, {10, 20, 30, 40}, {{40, 10, 20, 30}}},
        {PixFmt::ABGR, {10, 20, 30, 40}, {{40, 30, 20, 10}}},
        {PixFmt::BGR24, {10, 20, 30, 40}, {{30, 20, 10}}},
        {PixFmt::RGB48LE, {10, 20, 255, 0}, {{0x0A, 0x0A, 0x14, 0x14, 0xFF, 0xFF}}},
        {PixFmt::BGRA64LE, {1, 2, 3, 128}, {{0x03, 0x03, 0x02, 0x02, 0x01, 0x01, 0x80, 0x80}}},
        {PixFmt::GBRP, {10, 20, 30, 40}, {{20}, {30}, {10}}},
        {PixFmt::YUV420P, {255, 255, 255, 255}, {{235}, {128}, {128}}},
        {PixFmt::YUV420P, {0, 0, 0, 255}, {{16}, {128}, {128}}},
        {PixFmt::YUV420P, {255, 0, 0, 255}, {{63}, {102}, {240}}},
        {PixFmt::YUVA422P, {255, 0, 0, 77}, {{63}, {102}, {240}, {77}}},
        {PixFmt::YUVJ420P, {255, 255, 255, 255}, {{255}, {128}, {128}}},
        {PixFmt::YUV420P10LE, {255, 255, 255, 255}, {{0xAC, 0x03}, {0x00, 0x02}, {0x00, 0x02}}},
        {PixFmt::NV12, {255, 0, 0, 255}, {{63}, {102, 240}}},
        {PixFmt::NV21, {255, 0, 0, 255}, {{63}, {240, 102}}},
        {PixFmt::P010LE, {255, 255, 255, 255}, {{0x00, 0xEB}, {0x00, 0x80, 0x00, 0x80}}},
        {PixFmt::YUYV422, {0, 0, 0, 0}, {{16, 128, 16, 128}}},
        {PixFmt::UYVY422, {255, 0, 0, 0}, {{102, 63, 240, 63}}},
        {PixFmt::GRAY8, {255, 255, 255, 0}, {{255}}},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(PixFmtDescription::Find(row.pixFmt)->name);
        auto video = DataVideoCPU::Create(row.pixFmt, {6, 3, 0, 0}, {}, {32, 5, false});
        video->Fill(row.color);
        for (int i = 0; i < Kavrin::Proc::GetPlanesCount(*video); ++i) {
            const std::vector<std::uint8_t>& unit = row.bytes[i];
            ASSERT_FALSE(unit.empty()) << i;
            const ConstPlane plane = video->GetPlaneConst(static_cast<unsigned char>(i));
            const int widthBytes = video->GetPlaneWidthBytes(i);
            ASSERT_EQ(widthBytes % static_cast<int>(unit.size()), 0);
            for (int r = 0; r < plane.rows; ++r) {
                for (int b = 0; b < widthBytes; ++b)
                    ASSERT_EQ(plane.Row(r)[b], unit[b % unit.size()]) << i << " " << r << " " << b;
                ASSERT_EQ(plane.Row(r)[widthBytes], 0) << "padding of plane " << i;
            }
        }
    }
    for (PixFmt pixFmt : {PixFmt::RGB565LE, PixFmt::GBRPF32LE, PixFmt::PAL8, PixFmt::RGBAF16LE,
                          PixFmt::BAYER_BGGR8, PixFmt::AYUV64LE}) {
        auto video = DataVideoCPU::Create(pixFmt, {4, 2, 0, 0});
        EXPECT_THROW(video->Fill({1, 2, 3, 4}), Kavrin::Exception)
            << PixFmtDescription::Find(pixFmt)->name;
    }
    // A subframe's fill and a picture's padding stay in their area.
    auto video = DataVideoCPU::Create(PixFmt::RGBA, {8, 6, 0, 0});
    // Byte `channel` of every pixel: `in` inside [x0, x1) x [y0, y1), `out` elsewhere.
    const auto expect = [&](int x0, int y0, int x1, int y1, int channel, int in, int out) {
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x)
                EXPECT_EQ(video->GetPlaneConst(0).Row(y)[4 * x + channel],
                          x >= x0 && x < x1 && y >= y0 && y < y1 ? in : out)
                    << x << "," << y << " channel " << channel;
    };
    boost::static_pointer_cast<DataVideoCPU>(video->Subframe(1, 1, 2, 2))->Fill({1, 2, 3, 4});
    expect(1, 1, 3, 3, 0, 1, 0);
    video->Fill({0, 0, 0, 0});
    video->PicturePad(1, 2, 1, 3, {200, 100, 50, 255});
    expect(1, 1, 5, 4, 0, 0, 200);
    expect(1, 1, 5, 4, 3, 0, 255);
    // Amounts that cover the picture fill all of it.
    video->PicturePad(6, 0, 0, 0, {1, 2, 3, 4});
    EXPECT_EQ(video->GetPlaneConst(0).Row(3)[4 * 3 + 2], 3);
}

void ThrowProc() { KAVRIN_THROW_HOST("FixedName", Kavrin::Proc::ProcException, "it failed"); }

TEST(ExceptionTest, ThrownWithDescriptionStackFunctionAndLocationAndGuardsNest) {
    EXPECT_THROW(ThrowProc(), Kavrin::Exception);
    EXPECT_THROW(ThrowProc(), std::exception);
    EXPECT_THROW(ThrowProc(), boost::exception);
    try {
        ThrowProc();
        FAIL() << "nothing thrown";
    } catch (const Kavrin::Proc::ProcException& error) {
        EXPECT_EQ(std::pair(std::string(error.what()), error.GetDescription()),
                  std::pair(std::string("it failed"), std::string("it failed")));
        const std::string* stack = boost::get_error_info<Kavrin::TagCallStack>(error);
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        const char* const* file = boost::get_error_info<boost::throw_file>(error);
        ASSERT_TRUE(stack && function && file);
        // Frames of the throwing thread, one per line (names need exported symbols).
        EXPECT_GE(std::count(stack->begin(), stack->end(), '\n'), 3) << *stack;
        EXPECT_STREQ(*function, "FixedName");
        EXPECT_NE(std::string(*file).find("HostTest.cpp"), std::string::npos);
    }
    EXPECT_EQ(
        std::pair(std::string(Kavrin::Exception().what()), Kavrin::Exception().GetDescription()),
        std::pair(std::string("Kavrin::Exception"), std::string()));  // no description
    // Other exceptions thrown with a location keep their content.
    try {
        KAVRIN_THROW_FROM("Somewhere", std::logic_error("misuse"));
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "misuse");
        const std::string diagnostic = boost::diagnostic_information(error);
        EXPECT_NE(diagnostic.find("Somewhere"), std::string::npos) << diagnostic;
    }
    try {
        KAVRIN_THROW_FROM("Allocate", Kavrin::Core::MemoryException("too big", 1ull << 40));
        ADD_FAILURE() << "nothing thrown";
    } catch (const Kavrin::Core::MemoryException& error) {
        EXPECT_EQ(error.GetSize(), 1ull << 40);
        EXPECT_STREQ(error.what(), "too big");
    }
    // Guards against unhandled exceptions nest and restore the handler.
    const std::terminate_handler before = std::get_terminate();
    {
        Kavrin::Core::UnhandledExceptionFilterGuard outer;
        const std::terminate_handler installed = std::get_terminate();
        EXPECT_NE(installed, before);
        {
            Kavrin::Core::UnhandledExceptionFilterGuard inner;
            EXPECT_EQ(Kavrin::Core::UnhandledExceptionFilterGuard::ActiveCount(), 2);
            EXPECT_EQ(std::get_terminate(), installed);
        }
        EXPECT_EQ(std::get_terminate(), installed);
    }
    EXPECT_EQ(std::get_terminate(), before);
    EXPECT_EQ(Kavrin::Core::UnhandledExceptionFilterGuard::ActiveCount(), 0);
}

using namespace Kavrin::Ogl;

TEST(OglThreadTest, OnlyTheRegisteredThreadIsTheOpenGLThread) {
    bool onWorker = false;
    std::thread([&] { onWorker = (RegisterOglThread(), IsOpenGLThread()); }).join();
    EXPECT_TRUE(onWorker);
    EXPECT_FALSE(IsOpenGLThread());
    RegisterOglThread();
    EXPECT_TRUE(IsOpenGLThread());
    // Unregistering from another thread must not drop the registration.
    bool otherThread = true;
    std::thread([&] { otherThread = (UnregisterOglThread(), IsOpenGLThread()); }).join();
    EXPECT_FALSE(otherThread);
    EXPECT_TRUE(IsOpenGLThread());
    UnregisterOglThread();
    EXPECT_FALSE(IsOpenGLThread());
}

TEST(UnhandledExceptionFilterGuardDeathTest, EscapingExceptionIsReportedWithStack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Kavrin::Core::UnhandledExceptionFilterGuard guard;
            std::thread([] { throw std::runtime_error("escaped"); }).join();
        },
        "Unhandled exception:(.|\n)*escaped(.|\n)*Call stack:");
}

using Kavrin::Proc::GpuTask;
using Kavrin::Proc::GpuTaskStatistic;

// A task counted by the host's reference counting, which counts its destructions.
class Counted : public GpuTask {
public:
    explicit Counted(std::atomic<int>* destroyed = nullptr)
        : GpuTask("Plain"), destroyed(destroyed) {}
    ~Counted() override {
        if (destroyed)
            ++*destroyed;
    }
    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    Kavrin::RefCountImpl refCount;
    std::atomic<int>* destroyed;
};

// Reference copies on several threads balance; the last release deletes exactly once.
TEST(GpuTaskTest, CountedStatusWaitersAndStatistic) {
    std::atomic<int> destroyed = 0;
    auto* object = new Counted(&destroyed);
    boost::intrusive_ptr<Counted> shared(object);
    {
        const boost::intrusive_ptr<Counted> second = shared;
        EXPECT_EQ(object->GetRefCount(), 2u);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared] {
            for (int i = 0; i < 10000; ++i)
                boost::intrusive_ptr<Counted> copy = shared;
        });
    }
    std::for_each(threads.begin(), threads.end(), [](std::thread& t) { t.join(); });
    EXPECT_EQ(std::pair(object->GetRefCount(), destroyed.load()), std::pair(1u, 0));
    shared.reset();
    EXPECT_EQ(destroyed, 1);
    // A copied object starts with no references of its own.
    Kavrin::RefCountImpl original;
    original.AddRef();
    EXPECT_EQ(std::pair(Kavrin::RefCountImpl(original).Get(), original.Get()), std::pair(0u, 1u));

    // The status only rises, outlives the task and wakes waiters.
    Kavrin::Core::SetClockSource([] { return std::int64_t{123456}; });
    boost::intrusive_ptr<Counted> task(new Counted());
    EXPECT_FALSE(task->GetStatusRecord()->startTimeSet);
    task->SetStartTime();
    Kavrin::Core::SetClockSource(nullptr);
    EXPECT_EQ(std::tuple(task->GetStatusRecord()->startTimeSet,
                         task->GetStatusRecord()->startTimeNs, task->GetStatus(), task->GetName()),
              std::tuple(true, 123456, Kavrin::Proc::TaskPending, "Plain"));
    EXPECT_NE(Kavrin::Core::SteadyNowNs(), 123456);
    task->RaiseStatus(Kavrin::Proc::TaskCancelled);
    task->RaiseStatus(Kavrin::Proc::TaskExecuted);
    EXPECT_EQ(task->GetStatus(), Kavrin::Proc::TaskCancelled);
    EXPECT_TRUE(task->HasReached(Kavrin::Proc::TaskExecuted));
    // The status record outlives the task.
    const std::shared_ptr<GpuTask::StatusRecord> record = task->GetStatusRecord();
    task.reset();
    {
        std::lock_guard lock(record->mutex);
        EXPECT_EQ(record->status, Kavrin::Proc::TaskCancelled);
    }
    // Waiters on other threads wake when the status is raised.
    task.reset(new Counted());
    std::atomic<int> woken = 0;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            task->WaitUntilExecuted();
            ++woken;
        });
    }
    EXPECT_FALSE(task->WaitUntilExecuted(std::chrono::milliseconds(1)));
    task->RaiseStatus(Kavrin::Proc::TaskSkipped);
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(woken, 4);
    EXPECT_TRUE(task->WaitUntilExecuted(std::chrono::milliseconds(0)));
    // The statistic sums, keeps the last and the maxima, by name.
    auto& statistic = GpuTaskStatistic::GetInstance();
    statistic.Clear();
    statistic.AddOglStat("A", {100, 300});
    statistic.AddOglStat("A", {50, 700});
    statistic.AddOglStat("B", {1, 2});
    statistic.AddOglStat("A", {70, 200});  // the maxima are neither first nor last
    const auto a = statistic.GetOglStat("A");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(
        (std::vector{a->count, a->total.executionTime, a->total.waitingTime, a->last.executionTime,
                     a->last.waitingTime, a->max.executionTime, a->max.waitingTime}),
        (std::vector<std::uint64_t>{3, 220, 1200, 70, 200, 100, 700}));
    EXPECT_EQ(statistic.GetAll().size(), 2u);
    EXPECT_FALSE(statistic.GetOglStat("C").has_value());
    statistic.Clear();
    EXPECT_TRUE(statistic.GetAll().empty());
}

using Kavrin::Core::WaitableTimer;
using namespace std::chrono_literals;

// A timer that counts what it is asked to do and runs nothing by itself.
class CountingTimer : public WaitableTimer {
public:
    explicit CountingTimer(Callback callback) : WaitableTimer(std::move(callback)) {}
    void StartPeriodic(const std::chrono::milliseconds& period) override {
        lastPeriod = period;
        SetRunning(true);
    }
    void Stop(bool) override { SetRunning(false); }
    std::chrono::milliseconds lastPeriod{0};
};

// Counted calls and whether one ran on the test's thread; waits are bounded, so a
// broken timer fails instead of hanging.
struct Calls {
    std::function<void()> Counter() {
        return [this, caller = std::this_thread::get_id()] {
            std::lock_guard lock(mutex);
            ++count;
            onCaller = onCaller || std::this_thread::get_id() == caller;
            changed.notify_all();
        };
    }
    bool WaitFor(int wanted) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return count >= wanted; });
    }
    int Count() {
        std::lock_guard lock(mutex);
        return count;
    }
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
    std::atomic<bool> onCaller{false};
};

TEST(WaitableTimerTest, CallsOnItsOwnThreadUntilStoppedStopWaitsAndTestsReplaceIt) {
    Calls calls;
    auto timer = WaitableTimer::Create(calls.Counter());
    EXPECT_FALSE(timer->IsRunning()) << "created stopped";
    timer->StartPeriodic(1ms);
    EXPECT_TRUE(timer->IsRunning());
    ASSERT_TRUE(calls.WaitFor(3));
    EXPECT_FALSE(calls.onCaller);
    timer->Stop(true);
    EXPECT_FALSE(timer->IsRunning());
    const int stoppedAt = calls.Count();

    // Another timer's calls give the first one time to misbehave.
    Calls witness;
    auto other = WaitableTimer::Create(witness.Counter());
    other->StartPeriodic(1ms);
    ASSERT_TRUE(witness.WaitFor(5));
    EXPECT_EQ(calls.Count(), stoppedAt) << "called after Stop returned";

    // A stopped timer starts again; destroying it running stops it.
    timer->StartPeriodic(1ms);
    ASSERT_TRUE(calls.WaitFor(stoppedAt + 2));
    timer.reset();
    const int atDestruction = calls.Count();
    ASSERT_TRUE(witness.WaitFor(witness.Count() + 3));
    EXPECT_EQ(calls.Count(), atDestruction);

    // The callback may stop its own timer (waiting there would wait for this very
    // call), and the timer starts again.
    Calls self;
    std::unique_ptr<WaitableTimer> own;
    own = WaitableTimer::Create([&, count = self.Counter()] {
        own->Stop(true);
        count();
    });
    own->StartPeriodic(1ms);
    ASSERT_TRUE(self.WaitFor(1));
    EXPECT_FALSE(own->IsRunning());
    own->StartPeriodic(1ms);
    ASSERT_TRUE(self.WaitFor(2)) << "restarted after stopping itself";

    // Stop(true) waits for the call in progress; the gate opens only once Stop has begun.
    std::promise<void> entered, gate;
    std::shared_future<void> gateOpen = gate.get_future().share();
    std::atomic<bool> slowFinished{false};
    std::atomic<int> slowCalls{0};
    auto slow = WaitableTimer::Create([&] {
        if (slowCalls++ == 0) {
            entered.set_value();
            gateOpen.wait();
            slowFinished = true;
        }
    });
    slow->StartPeriodic(1ms);
    entered.get_future().wait();
    std::thread opener([&] {
        while (slow->IsRunning())
            std::this_thread::yield();
        gate.set_value();
    });
    slow->Stop(true);
    EXPECT_TRUE(slowFinished) << "Stop(true) returned while the callback still ran";
    opener.join();
    // Tests replace what Create makes.
    int made = 0;
    WaitableTimer::SetFactory([&](WaitableTimer::Callback callback) {
        ++made;
        return std::make_unique<CountingTimer>(std::move(callback));
    });
    auto fake = WaitableTimer::Create([] {});
    auto* counting = dynamic_cast<CountingTimer*>(fake.get());
    ASSERT_NE(counting, nullptr);
    EXPECT_EQ(made, 1);
    fake->StartPeriodic(5000ms);
    EXPECT_EQ(std::pair(fake->IsRunning(), counting->lastPeriod), std::pair(true, 5000ms));
    fake->Stop(false);
    EXPECT_FALSE(fake->IsRunning());
    WaitableTimer::SetFactory({});
    auto plain = WaitableTimer::Create([] {});
    EXPECT_EQ(dynamic_cast<CountingTimer*>(plain.get()), nullptr);
    EXPECT_EQ(made, 1);
}

using namespace Kavrin::Core;

// The host's settings, tracker and small utilities the interop code relies on.
// $XDG_CONFIG_HOME points at a folder of the test's own.
class RegSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { Write({}); }
    void TearDown() override { Write({}); }
    // Replaces the "OpenGL" group of the core settings file.
    static void Write(const std::map<QString, QVariant>& values) {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core");
        settings.clear();
        for (const auto& [name, value] : values)
            settings.setValue("OpenGL/" + name, value);
        settings.sync();
    }
};

// A missing key or a null parent does not open; values read as the registry
// would give them, afresh each time.
TEST_F(RegSettingsTest, KeysOpenOnlyWhenThereAndDwordsReadAsTheRegistryGivesThem) {
    RegKey key;
    EXPECT_EQ(key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.GetKey(), nullptr);
    EXPECT_EQ(key.Open(nullptr, "OpenGL", KEY_READ), ERROR_INVALID_HANDLE);
    DWORD value = 7;
    EXPECT_EQ(key.QueryDword("DisableDirectX", value), ERROR_INVALID_HANDLE);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(&RegSettings::Core(), &RegSettings::Core());
    Write({{"One", 1},
           {"Hex", "0x10"},
           {"Text", "abc"},
           {"Negative", -1},
           {"TooBig", 4294967296ull},
           {"Max", 4294967295ull}});
    ASSERT_EQ(key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ), ERROR_SUCCESS);
    for (auto [name, expected] : {std::pair{"One", 1u}, {"Hex", 16u}, {"Max", 0xFFFFFFFFu}}) {
        EXPECT_EQ(key.QueryDword(name, value), ERROR_SUCCESS) << name;
        EXPECT_EQ(value, expected) << name;
    }
    value = 5;
    for (const char* name : {"Text", "Negative", "TooBig"})
        EXPECT_EQ(key.QueryDword(name, value), ERROR_INVALID_DATA) << name;
    EXPECT_EQ(key.QueryDword("Missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 5u);
    Write({{"One", 2}});
    ASSERT_EQ(key.QueryDword("One", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
}

// Something other than a regular file where the settings file belongs is no
// settings: a FIFO would block the reader until a writer came.
TEST_F(RegSettingsTest, AFifoInPlaceOfTheFileReadsAsNoSettings) {
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        GTEST_SKIP() << "XDG_CONFIG_HOME must name a folder of the test's own (CTest sets it)";
    const std::string path =
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core")
            .fileName()
            .toStdString();
    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
    // Gone whatever happens: the fixture's QSettings would block on it too.
    struct RemoveOnExit {
        const std::string& path;
        ~RemoveOnExit() { std::remove(path.c_str()); }
    } removeFifo{path};
    auto opened = std::async(std::launch::async, [] {
        RegKey key;
        return key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ);
    });
    const bool finished = opened.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    // Writers that come and go release a blocked reader at each open, so the test ends.
    while (opened.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        close(open(path.c_str(), O_WRONLY | O_NONBLOCK));
    EXPECT_TRUE(finished) << "reading the settings blocked on the FIFO " << path;
    EXPECT_EQ(opened.get(), ERROR_FILE_NOT_FOUND);
}

TEST(CoreTrackerAndUtilsTest, EventsStayInOrderAndUtilitiesWork) {
    using Kavrin::Proc::ICoreTracker;
    const auto tracker = ICoreTracker::GetTracker();
    EXPECT_EQ(tracker, ICoreTracker::GetTracker());
    tracker->ClearEvents();
    tracker->ReportEvent(ICoreTracker::CORE_EVENT_OGL_INFO,
                         {{ICoreTracker::CORE_OGL_VERSION, "4.5"}});
    tracker->ReportEvent("Other", {});
    const auto events = tracker->GetEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(
        (std::vector<std::string>{
            events[0].name, events[0].values.at(ICoreTracker::CORE_OGL_VERSION), events[1].name}),
        (std::vector<std::string>{ICoreTracker::CORE_EVENT_OGL_INFO, "4.5", "Other"}));
    tracker->ClearEvents();
    EXPECT_TRUE(tracker->GetEvents().empty());
    // Utilities: ASCII lower case, error descriptions.
    std::string vendor = "Mesa/X.org NVIDIA Corporation \xC3\x84";
    Utils::ToLower(vendor);
    EXPECT_EQ(vendor, "mesa/x.org nvidia corporation \xC3\x84");
    const auto [code, description] = Utils::GetErrorInfo(static_cast<HRESULT>(0x80070032));
    EXPECT_NE(code.find("0x80070032"), std::string::npos) << code;
    EXPECT_FALSE(description.empty());
}

}  // namespace
