// Pixel-format numbering and descriptions.
#include "Kavrin/PixFmtDescription.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

using Kavrin::PixelColorRange;
using Kavrin::PixFmt;
using Kavrin::PixFmtDescription;

// ---------------------------------------------------------------------------
// Numbering: libavutil 58 values, including the ones that moved after 150.

struct NumberRow {
    PixFmt pixFmt;
    int value;
    const char* name;
};

void PrintTo(const NumberRow& row, std::ostream* os) { *os << row.name; }

const NumberRow kNumbers[] = {
    {PixFmt::None, -1, "none"},
    {PixFmt::YUV420P, 0, "yuv420p"},
    {PixFmt::YUYV422, 1, "yuyv422"},
    {PixFmt::RGB24, 2, "rgb24"},
    {PixFmt::BGR24, 3, "bgr24"},
    {PixFmt::YUV422P, 4, "yuv422p"},
    {PixFmt::YUV444P, 5, "yuv444p"},
    {PixFmt::YUV410P, 6, "yuv410p"},
    {PixFmt::YUV411P, 7, "yuv411p"},
    {PixFmt::GRAY8, 8, "gray"},
    {PixFmt::YUVJ420P, 12, "yuvj420p"},
    {PixFmt::YUVJ444P, 14, "yuvj444p"},
    {PixFmt::UYVY422, 15, "uyvy422"},
    {PixFmt::NV12, 23, "nv12"},
    {PixFmt::NV21, 24, "nv21"},
    {PixFmt::ARGB, 25, "argb"},
    {PixFmt::RGBA, 26, "rgba"},
    {PixFmt::ABGR, 27, "abgr"},
    {PixFmt::BGRA, 28, "bgra"},
    {PixFmt::GRAY16LE, 30, "gray16le"},
    {PixFmt::YUV440P, 31, "yuv440p"},
    {PixFmt::YUVA420P, 33, "yuva420p"},
    {PixFmt::RGB48LE, 35, "rgb48le"},
    {PixFmt::VAAPI, 44, "vaapi"},
    {PixFmt::YUV420P16LE, 45, "yuv420p16le"},
    {PixFmt::YUV422P16LE, 47, "yuv422p16le"},
    {PixFmt::YUV444P16LE, 49, "yuv444p16le"},
    {PixFmt::DXVA2_VLD, 51, "dxva2_vld"},
    {PixFmt::BGR48LE, 58, "bgr48le"},
    {PixFmt::YUV420P10LE, 62, "yuv420p10le"},
    {PixFmt::YUV422P10LE, 64, "yuv422p10le"},
    {PixFmt::YUV444P10LE, 68, "yuv444p10le"},
    {PixFmt::GBRP, 71, "gbrp"},
    {PixFmt::YUVA422P, 78, "yuva422p"},
    {PixFmt::YUVA444P, 79, "yuva444p"},
    {PixFmt::YUVA420P10LE, 87, "yuva420p10le"},
    {PixFmt::YUVA422P10LE, 89, "yuva422p10le"},
    {PixFmt::YUVA444P10LE, 91, "yuva444p10le"},
    {PixFmt::YUVA420P16LE, 93, "yuva420p16le"},
    {PixFmt::YUVA422P16LE, 95, "yuva422p16le"},
    {PixFmt::YUVA444P16LE, 97, "yuva444p16le"},
    {PixFmt::VDPAU, 98, "vdpau"},
    {PixFmt::RGBA64LE, 105, "rgba64le"},
    {PixFmt::BGRA64LE, 107, "bgra64le"},
    {PixFmt::QSV, 114, "qsv"},
    {PixFmt::D3D11VA_VLD, 116, "d3d11va_vld"},
    {PixFmt::CUDA, 117, "cuda"},
    {PixFmt::X0RGB, 118, "0rgb"},
    {PixFmt::X0BGR, 120, "0bgr"},
    {PixFmt::YUV420P12LE, 123, "yuv420p12le"},
    {PixFmt::YUV422P12LE, 127, "yuv422p12le"},
    {PixFmt::YUV444P12LE, 131, "yuv444p12le"},
    {PixFmt::YUV440P10LE, 151, "yuv440p10le"},
    {PixFmt::AYUV64LE, 155, "ayuv64le"},
    {PixFmt::VIDEOTOOLBOX_VLD, 157, "videotoolbox_vld"},
    {PixFmt::P010LE, 158, "p010le"},
    {PixFmt::GBRAP12LE, 161, "gbrap12le"},
    {PixFmt::P016LE, 169, "p016le"},
    {PixFmt::D3D11, 171, "d3d11"},
    {PixFmt::DRM_PRIME, 178, "drm_prime"},
    {PixFmt::OPENCL, 179, "opencl"},
    {PixFmt::YUVA422P12LE, 185, "yuva422p12le"},
    {PixFmt::YUVA444P12LE, 187, "yuva444p12le"},
    {PixFmt::NV24, 188, "nv24"},
    {PixFmt::VULKAN, 190, "vulkan"},
    {PixFmt::Y210LE, 192, "y210le"},
    {PixFmt::X2RGB10LE, 193, "x2rgb10le"},
    {PixFmt::P210LE, 198, "p210le"},
    {PixFmt::P416LE, 204, "p416le"},
    {PixFmt::VUYA, 205, "vuya"},
    {PixFmt::VUYX, 208, "vuyx"},
    {PixFmt::P012LE, 209, "p012le"},
    {PixFmt::Y212LE, 212, "y212le"},
    {PixFmt::XV30LE, 214, "xv30le"},
    {PixFmt::XV36LE, 216, "xv36le"},
    {PixFmt::RGBF32LE, 218, "rgbf32le"},
    {PixFmt::RGBAF32LE, 220, "rgbaf32le"},
};

class PixFmtNumberTest : public ::testing::TestWithParam<NumberRow> {};

TEST_P(PixFmtNumberTest, ValueAndNameAreFFmpegs) {
    const NumberRow& row = GetParam();
    EXPECT_EQ(static_cast<int>(row.pixFmt), row.value);
    const PixFmtDescription* description = PixFmtDescription::Find(row.pixFmt);
    ASSERT_NE(description, nullptr);
    EXPECT_EQ(description->pixFmt, row.pixFmt);
    EXPECT_STREQ(description->GetName(), row.name);
}

INSTANTIATE_TEST_SUITE_P(LibAvUtil58, PixFmtNumberTest, ::testing::ValuesIn(kNumbers),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             return name == "0rgb" ? "x0rgb" : name == "0bgr" ? "x0bgr" : name;
                         });

TEST(PixFmtFindTest, EveryValueUpToTheLastIsDescribedAndNothingBeyond) {
    for (int value = -1; value <= 220; ++value) {
        const PixFmtDescription* description = PixFmtDescription::Find(static_cast<PixFmt>(value));
        ASSERT_NE(description, nullptr) << value;
        EXPECT_EQ(static_cast<int>(description->pixFmt), value);
        ASSERT_NE(description->name, nullptr);
        EXPECT_GT(std::strlen(description->name), 0u);
    }
    for (int value : {-2, 221, 222, 1000, -1000}) {
        EXPECT_EQ(PixFmtDescription::Find(static_cast<PixFmt>(value)), nullptr) << value;
    }
    const PixFmtDescription* none = PixFmtDescription::Find(PixFmt::None);
    EXPECT_STREQ(none->name, "none");
    EXPECT_EQ(none->flags, 0u);
    EXPECT_EQ(none->planes, 0);
    EXPECT_FALSE(none->IsHardware());
}

// ---------------------------------------------------------------------------
// Layouts (planes, components, depth, shift, subsampling, bytes per pixel) are
// checked against libavutil below; the range is this library's own reading:
// RGB, grey and the JPEG (yuvj) family full, every other YUV format limited.
TEST(PixFmtRangeTest, FullForRgbGreyAndJpegYuvLimitedForOtherYuv) {
    int yuv = 0;
    for (int value = 0; value <= 220; ++value) {
        const PixFmtDescription* d = PixFmtDescription::Find(static_cast<PixFmt>(value));
        ASSERT_NE(d, nullptr) << value;
        if (d->IsHardware()) {
            continue;
        }
        const bool full = !d->IsYUV() || std::strncmp(d->name, "yuvj", 4) == 0;
        EXPECT_EQ(d->range, full ? PixelColorRange::Full : PixelColorRange::Limited) << d->name;
        yuv += d->IsYUV() ? 1 : 0;
    }
    EXPECT_GT(yuv, 100);
}

class HardwareFormatTest : public ::testing::TestWithParam<PixFmt> {};

TEST_P(HardwareFormatTest, HasNoPlanesAndNoComponents) {
    const PixFmtDescription* d = PixFmtDescription::Find(GetParam());
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->IsHardware());
    EXPECT_EQ(d->planes, 0);
    EXPECT_EQ(d->components, 0);
    EXPECT_EQ(d->flags, 0u);
    EXPECT_EQ(d->range, PixelColorRange::Unspecified);
    EXPECT_FALSE(d->IsPlanarYUV());
    EXPECT_FALSE(d->IsSemiPlanar());
}

INSTANTIATE_TEST_SUITE_P(Formats, HardwareFormatTest,
                         ::testing::Values(PixFmt::VAAPI, PixFmt::DXVA2_VLD, PixFmt::VDPAU,
                                           PixFmt::QSV, PixFmt::MMAL, PixFmt::D3D11VA_VLD,
                                           PixFmt::CUDA, PixFmt::VIDEOTOOLBOX_VLD,
                                           PixFmt::MEDIACODEC, PixFmt::D3D11, PixFmt::DRM_PRIME,
                                           PixFmt::OPENCL, PixFmt::VULKAN),
                         [](const auto& info) {
                             return std::string(PixFmtDescription::Find(info.param)->name);
                         });

// ---------------------------------------------------------------------------
// Plane sizes round chroma up.

struct PlaneSizeRow {
    const char* label;
    PixFmt pixFmt;
    int width;
    int height;
    int widths[4];
    int heights[4];
};

void PrintTo(const PlaneSizeRow& row, std::ostream* os) { *os << row.label; }

const PlaneSizeRow kPlaneSizes[] = {
    {"yuv420p_5x5", PixFmt::YUV420P, 5, 5, {5, 3, 3, 0}, {5, 3, 3, 0}},
    {"yuv420p_4x4", PixFmt::YUV420P, 4, 4, {4, 2, 2, 0}, {4, 2, 2, 0}},
    {"yuv410p_5x5", PixFmt::YUV410P, 5, 5, {5, 2, 2, 0}, {5, 2, 2, 0}},
    {"yuv410p_9x4", PixFmt::YUV410P, 9, 4, {9, 3, 3, 0}, {4, 1, 1, 0}},
    {"yuv411p_5x3", PixFmt::YUV411P, 5, 3, {5, 2, 2, 0}, {3, 3, 3, 0}},
    {"yuv440p_5x3", PixFmt::YUV440P, 5, 3, {5, 5, 5, 0}, {3, 2, 2, 0}},
    {"yuv422p_7x3", PixFmt::YUV422P, 7, 3, {7, 4, 4, 0}, {3, 3, 3, 0}},
    {"yuva420p_3x3", PixFmt::YUVA420P, 3, 3, {3, 2, 2, 3}, {3, 2, 2, 3}},
    {"nv12_5x3", PixFmt::NV12, 5, 3, {5, 3, 0, 0}, {3, 2, 0, 0}},
    {"p010le_7x1", PixFmt::P010LE, 7, 1, {7, 4, 0, 0}, {1, 1, 0, 0}},
    {"yuyv422_6x3", PixFmt::YUYV422, 6, 3, {6, 0, 0, 0}, {3, 0, 0, 0}},
    {"rgba_5x5", PixFmt::RGBA, 5, 5, {5, 0, 0, 0}, {5, 0, 0, 0}},
    {"gbrp_5x5", PixFmt::GBRP, 5, 5, {5, 5, 5, 0}, {5, 5, 5, 0}},
};

class PlaneSizeTest : public ::testing::TestWithParam<PlaneSizeRow> {};

TEST_P(PlaneSizeTest, ChromaPlanesRoundUp) {
    const PlaneSizeRow& row = GetParam();
    const PixFmtDescription* d = PixFmtDescription::Find(row.pixFmt);
    ASSERT_NE(d, nullptr);
    for (int plane = 0; plane < d->planes; ++plane) {
        EXPECT_EQ(d->GetPlanWidth(row.width, plane), row.widths[plane]) << "plane " << plane;
        EXPECT_EQ(d->GetPlanHeight(row.height, plane), row.heights[plane]) << "plane " << plane;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PlaneSizeTest, ::testing::ValuesIn(kPlaneSizes),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Every description against the system's libavutil, matched by name only (its
// numbering is older). Loaded at run time so the library need not be linked.

class LibAvUtil {
public:
    LibAvUtil() {
        for (const char* soname : {"libavutil.so.58", "libavutil.so.57", "libavutil.so"}) {
            handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
            if (handle) {
                break;
            }
        }
        if (handle) {
            getPixFmt = reinterpret_cast<decltype(getPixFmt)>(dlsym(handle, "av_get_pix_fmt"));
            descGet = reinterpret_cast<decltype(descGet)>(dlsym(handle, "av_pix_fmt_desc_get"));
            countPlanes =
                reinterpret_cast<decltype(countPlanes)>(dlsym(handle, "av_pix_fmt_count_planes"));
        }
    }
    ~LibAvUtil() {
        if (handle) {
            dlclose(handle);
        }
    }
    bool Loaded() const { return getPixFmt && descGet && countPlanes; }

    void* handle = nullptr;
    AVPixelFormat (*getPixFmt)(const char*) = nullptr;
    const AVPixFmtDescriptor* (*descGet)(AVPixelFormat) = nullptr;
    int (*countPlanes)(AVPixelFormat) = nullptr;
};

TEST(PixFmtOracleTest, DescriptionsAgreeWithLibAvUtilByName) {
    LibAvUtil av;
    if (!av.Loaded()) {
        GTEST_SKIP() << "libavutil is not installed";
    }
    int compared = 0;
    for (int value = 0; value <= 220; ++value) {
        const PixFmtDescription* d = PixFmtDescription::Find(static_cast<PixFmt>(value));
        ASSERT_NE(d, nullptr);
        const AVPixelFormat theirs = av.getPixFmt(d->name);
        if (theirs == AV_PIX_FMT_NONE) {
            continue;  // newer than the installed FFmpeg
        }
        const AVPixFmtDescriptor* o = av.descGet(theirs);
        ASSERT_NE(o, nullptr) << d->name;
        SCOPED_TRACE(d->name);
        ++compared;
        EXPECT_STREQ(o->name, d->name);
        EXPECT_EQ(std::max(av.countPlanes(theirs), 0), d->planes);
        EXPECT_EQ(o->nb_components, d->components);
        EXPECT_EQ((o->flags & AV_PIX_FMT_FLAG_ALPHA) != 0, d->HasAlpha());
        EXPECT_EQ((o->flags & AV_PIX_FMT_FLAG_RGB) != 0, d->IsRGB());
        if (o->flags & AV_PIX_FMT_FLAG_HWACCEL) {
            EXPECT_TRUE(d->IsHardware());
            continue;
        }
        EXPECT_EQ(o->comp[0].depth, d->depth);
        EXPECT_EQ(o->comp[0].shift, d->shift);
        EXPECT_EQ(o->log2_chroma_w, d->log2ChromaW);
        EXPECT_EQ(o->log2_chroma_h, d->log2ChromaH);
        const bool chroma = !(o->flags & AV_PIX_FMT_FLAG_RGB) && o->nb_components >= 3 &&
                            std::strncmp(o->name, "xyz", 3) != 0;
        EXPECT_EQ(chroma, d->IsYUV());
        // Whole-byte formats: a plane's pixel is its smallest component step.
        if (!(o->flags & AV_PIX_FMT_FLAG_BITSTREAM) && d->bytesPerPixel[0] != 0) {
            int steps[4] = {};
            for (int c = 0; c < o->nb_components; ++c) {
                int& step = steps[o->comp[c].plane];
                step = step == 0 ? o->comp[c].step : std::min(step, o->comp[c].step);
            }
            for (int plane = 0; plane < 4; ++plane) {
                EXPECT_EQ(steps[plane], d->bytesPerPixel[plane]) << "plane " << plane;
            }
        }
    }
    EXPECT_GT(compared, 190);
}

}  // namespace
