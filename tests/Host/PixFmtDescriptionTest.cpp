// Pixel-format numbering and descriptions.
#include "Kavrin/PixFmtDescription.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

using Kavrin::PixelColorRange;
using Kavrin::PixFmt;
using Kavrin::PixFmtDescription;

const PixFmtDescription* Find(int value) { return PixFmtDescription::Find(PixFmt(value)); }

// libavutil 58 values and names, including the ones that moved after 150.
TEST(PixFmtDescriptionTest, NumberingIsLibAvUtil58s) {
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
    int value = 0;
    std::string name;
    int checked = 0;
    while (numbers >> value >> name) {
        ASSERT_NE(Find(value), nullptr) << name;
        EXPECT_EQ(Find(value)->GetName(), name);
        ++checked;
    }
    EXPECT_EQ(checked, 77);
    EXPECT_EQ(Find(static_cast<int>(PixFmt::P010LE))->GetName(), std::string("p010le"));
    for (int outside : {-2, 221, 222, 1000, -1000})
        EXPECT_EQ(Find(outside), nullptr) << outside;
}

// Every value described, and each description against the system's libavutil,
// matched by name only (its numbering is older): planes, components, flags,
// depth, chroma subsampling and plane sizes, bytes per pixel.
TEST(PixFmtDescriptionTest, EveryValueIsDescribedAsLibAvUtilDoes) {
    int compared = 0;
    int yuv = 0;
    for (int value = -1; value <= 220; ++value) {
        const PixFmtDescription* d = Find(value);
        ASSERT_NE(d, nullptr) << value;
        ASSERT_NE(d->name, nullptr);
        SCOPED_TRACE(d->name);
        EXPECT_EQ(static_cast<int>(d->pixFmt), value);
        EXPECT_GT(std::strlen(d->name), 0u);
        // Hardware formats have no planes, components, flags or range; otherwise the
        // range is this library's own reading: RGB, grey and JPEG YUV full, other YUV limited.
        if (d->planes == 0) {
            EXPECT_EQ(d->IsHardware(), value != -1);
            EXPECT_EQ(d->components + d->flags, 0u);
            EXPECT_EQ(d->range, PixelColorRange::Unspecified);
            EXPECT_FALSE(d->IsPlanarYUV() || d->IsSemiPlanar());
        } else {
            const bool full = !d->IsYUV() || std::strncmp(d->name, "yuvj", 4) == 0;
            EXPECT_EQ(d->range, full ? PixelColorRange::Full : PixelColorRange::Limited);
            yuv += d->IsYUV() ? 1 : 0;
        }
        const AVPixelFormat theirs = av_get_pix_fmt(d->name);
        if (theirs == AV_PIX_FMT_NONE) {
            continue;  // newer than the installed FFmpeg
        }
        const AVPixFmtDescriptor* o = av_pix_fmt_desc_get(theirs);
        ASSERT_NE(o, nullptr);
        ++compared;
        EXPECT_EQ(std::max(av_pix_fmt_count_planes(theirs), 0), d->planes);
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
        // libavutil's rule: planes 1 and 2 are chroma, sized rounding up.
        for (int plane = 0; plane < d->planes; ++plane) {
            const bool sub = plane == 1 || plane == 2;
            for (const int size : {4, 5, 7, 9}) {
                EXPECT_EQ(d->GetPlanWidth(size, plane), sub ? -((-size) >> o->log2_chroma_w) : size)
                    << "plane " << plane << " of width " << size;
                EXPECT_EQ(d->GetPlanHeight(size, plane),
                          sub ? -((-size) >> o->log2_chroma_h) : size)
                    << "plane " << plane << " of height " << size;
            }
        }
        const bool chroma = !(o->flags & AV_PIX_FMT_FLAG_RGB) && o->nb_components >= 3 &&
                            std::strncmp(o->name, "xyz", 3) != 0;
        EXPECT_EQ(chroma, d->IsYUV());
        // Planar: one plane per component; semi-planar: luma plus one Cb/Cr plane.
        EXPECT_EQ(chroma && d->planes >= 3 && o->nb_components == d->planes, d->IsPlanarYUV());
        EXPECT_EQ(chroma && d->planes == 2 && o->nb_components == 3, d->IsSemiPlanar());
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
    EXPECT_GT(yuv, 100);
}

}  // namespace
