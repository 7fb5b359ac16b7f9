#include "Kavrin/PixFmtDescription.h"

#include <array>

namespace Kavrin {
namespace {

// One row per PixFmt value from None (-1) on, in enum order; facts from
// FFmpeg's libavutil/pixdesc.c. Generated from the format list once and kept
// here by hand since.
// clang-format off
constexpr PixFmtDescription kDescriptions[] = {
    {PixFmt::None, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "none"},
    {PixFmt::YUV420P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Limited, 1, 1, {1, 1, 1, 0}, "yuv420p"},
    {PixFmt::YUYV422, PixFmtFlagYUV, 1, 3, 8, 0, PixelColorRange::Limited, 1, 0, {2, 0, 0, 0}, "yuyv422"},
    {PixFmt::RGB24, PixFmtFlagRGB, 1, 3, 8, 0, PixelColorRange::Full, 0, 0, {3, 0, 0, 0}, "rgb24"},
    {PixFmt::BGR24, PixFmtFlagRGB, 1, 3, 8, 0, PixelColorRange::Full, 0, 0, {3, 0, 0, 0}, "bgr24"},
    {PixFmt::YUV422P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Limited, 1, 0, {1, 1, 1, 0}, "yuv422p"},
    {PixFmt::YUV444P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Limited, 0, 0, {1, 1, 1, 0}, "yuv444p"},
    {PixFmt::YUV410P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Limited, 2, 2, {1, 1, 1, 0}, "yuv410p"},
    {PixFmt::YUV411P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Limited, 2, 0, {1, 1, 1, 0}, "yuv411p"},
    {PixFmt::GRAY, 0, 1, 1, 8, 0, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "gray"},
    {PixFmt::MONOW, 0, 1, 1, 1, 0, PixelColorRange::Full, 0, 0, {0, 0, 0, 0}, "monow"},
    {PixFmt::MONOB, 0, 1, 1, 1, 7, PixelColorRange::Full, 0, 0, {0, 0, 0, 0}, "monob"},
    {PixFmt::PAL8, PixFmtFlagAlpha, 1, 1, 8, 0, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "pal8"},
    {PixFmt::YUVJ420P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Full, 1, 1, {1, 1, 1, 0}, "yuvj420p"},
    {PixFmt::YUVJ422P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Full, 1, 0, {1, 1, 1, 0}, "yuvj422p"},
    {PixFmt::YUVJ444P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Full, 0, 0, {1, 1, 1, 0}, "yuvj444p"},
    {PixFmt::UYVY422, PixFmtFlagYUV, 1, 3, 8, 0, PixelColorRange::Limited, 1, 0, {2, 0, 0, 0}, "uyvy422"},
    {PixFmt::UYYVYY411, PixFmtFlagYUV, 1, 3, 8, 0, PixelColorRange::Limited, 2, 0, {0, 0, 0, 0}, "uyyvyy411"},
    {PixFmt::BGR8, PixFmtFlagRGB, 1, 3, 3, 0, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "bgr8"},
    {PixFmt::BGR4, PixFmtFlagRGB, 1, 3, 1, 0, PixelColorRange::Full, 0, 0, {0, 0, 0, 0}, "bgr4"},
    {PixFmt::BGR4_BYTE, PixFmtFlagRGB, 1, 3, 1, 0, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "bgr4_byte"},
    {PixFmt::RGB8, PixFmtFlagRGB, 1, 3, 2, 6, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "rgb8"},
    {PixFmt::RGB4, PixFmtFlagRGB, 1, 3, 1, 0, PixelColorRange::Full, 0, 0, {0, 0, 0, 0}, "rgb4"},
    {PixFmt::RGB4_BYTE, PixFmtFlagRGB, 1, 3, 1, 3, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "rgb4_byte"},
    {PixFmt::NV12, PixFmtFlagYUV, 2, 3, 8, 0, PixelColorRange::Limited, 1, 1, {1, 2, 0, 0}, "nv12"},
    {PixFmt::NV21, PixFmtFlagYUV, 2, 3, 8, 0, PixelColorRange::Limited, 1, 1, {1, 2, 0, 0}, "nv21"},
    {PixFmt::ARGB, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 8, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "argb"},
    {PixFmt::RGBA, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 8, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "rgba"},
    {PixFmt::ABGR, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 8, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "abgr"},
    {PixFmt::BGRA, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 8, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "bgra"},
    {PixFmt::GRAY16BE, 0, 1, 1, 16, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray16be"},
    {PixFmt::GRAY16LE, 0, 1, 1, 16, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray16le"},
    {PixFmt::YUV440P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Limited, 0, 1, {1, 1, 1, 0}, "yuv440p"},
    {PixFmt::YUVJ440P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Full, 0, 1, {1, 1, 1, 0}, "yuvj440p"},
    {PixFmt::YUVA420P, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 8, 0, PixelColorRange::Limited, 1, 1, {1, 1, 1, 1}, "yuva420p"},
    {PixFmt::RGB48BE, PixFmtFlagRGB, 1, 3, 16, 0, PixelColorRange::Full, 0, 0, {6, 0, 0, 0}, "rgb48be"},
    {PixFmt::RGB48LE, PixFmtFlagRGB, 1, 3, 16, 0, PixelColorRange::Full, 0, 0, {6, 0, 0, 0}, "rgb48le"},
    {PixFmt::RGB565BE, PixFmtFlagRGB, 1, 3, 5, 3, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "rgb565be"},
    {PixFmt::RGB565LE, PixFmtFlagRGB, 1, 3, 5, 3, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "rgb565le"},
    {PixFmt::RGB555BE, PixFmtFlagRGB, 1, 3, 5, 2, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "rgb555be"},
    {PixFmt::RGB555LE, PixFmtFlagRGB, 1, 3, 5, 2, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "rgb555le"},
    {PixFmt::BGR565BE, PixFmtFlagRGB, 1, 3, 5, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bgr565be"},
    {PixFmt::BGR565LE, PixFmtFlagRGB, 1, 3, 5, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bgr565le"},
    {PixFmt::BGR555BE, PixFmtFlagRGB, 1, 3, 5, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bgr555be"},
    {PixFmt::BGR555LE, PixFmtFlagRGB, 1, 3, 5, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bgr555le"},
    {PixFmt::VAAPI, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "vaapi"},
    {PixFmt::YUV420P16LE, PixFmtFlagYUV, 3, 3, 16, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p16le"},
    {PixFmt::YUV420P16BE, PixFmtFlagYUV, 3, 3, 16, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p16be"},
    {PixFmt::YUV422P16LE, PixFmtFlagYUV, 3, 3, 16, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p16le"},
    {PixFmt::YUV422P16BE, PixFmtFlagYUV, 3, 3, 16, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p16be"},
    {PixFmt::YUV444P16LE, PixFmtFlagYUV, 3, 3, 16, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p16le"},
    {PixFmt::YUV444P16BE, PixFmtFlagYUV, 3, 3, 16, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p16be"},
    {PixFmt::DXVA2_VLD, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "dxva2_vld"},
    {PixFmt::RGB444LE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "rgb444le"},
    {PixFmt::RGB444BE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "rgb444be"},
    {PixFmt::BGR444LE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bgr444le"},
    {PixFmt::BGR444BE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bgr444be"},
    {PixFmt::YA8, PixFmtFlagAlpha, 1, 2, 8, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "ya8"},
    {PixFmt::BGR48BE, PixFmtFlagRGB, 1, 3, 16, 0, PixelColorRange::Full, 0, 0, {6, 0, 0, 0}, "bgr48be"},
    {PixFmt::BGR48LE, PixFmtFlagRGB, 1, 3, 16, 0, PixelColorRange::Full, 0, 0, {6, 0, 0, 0}, "bgr48le"},
    {PixFmt::YUV420P9BE, PixFmtFlagYUV, 3, 3, 9, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p9be"},
    {PixFmt::YUV420P9LE, PixFmtFlagYUV, 3, 3, 9, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p9le"},
    {PixFmt::YUV420P10BE, PixFmtFlagYUV, 3, 3, 10, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p10be"},
    {PixFmt::YUV420P10LE, PixFmtFlagYUV, 3, 3, 10, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p10le"},
    {PixFmt::YUV422P10BE, PixFmtFlagYUV, 3, 3, 10, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p10be"},
    {PixFmt::YUV422P10LE, PixFmtFlagYUV, 3, 3, 10, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p10le"},
    {PixFmt::YUV444P9BE, PixFmtFlagYUV, 3, 3, 9, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p9be"},
    {PixFmt::YUV444P9LE, PixFmtFlagYUV, 3, 3, 9, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p9le"},
    {PixFmt::YUV444P10BE, PixFmtFlagYUV, 3, 3, 10, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p10be"},
    {PixFmt::YUV444P10LE, PixFmtFlagYUV, 3, 3, 10, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p10le"},
    {PixFmt::YUV422P9BE, PixFmtFlagYUV, 3, 3, 9, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p9be"},
    {PixFmt::YUV422P9LE, PixFmtFlagYUV, 3, 3, 9, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p9le"},
    {PixFmt::GBRP, PixFmtFlagRGB, 3, 3, 8, 0, PixelColorRange::Full, 0, 0, {1, 1, 1, 0}, "gbrp"},
    {PixFmt::GBRP9BE, PixFmtFlagRGB, 3, 3, 9, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp9be"},
    {PixFmt::GBRP9LE, PixFmtFlagRGB, 3, 3, 9, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp9le"},
    {PixFmt::GBRP10BE, PixFmtFlagRGB, 3, 3, 10, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp10be"},
    {PixFmt::GBRP10LE, PixFmtFlagRGB, 3, 3, 10, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp10le"},
    {PixFmt::GBRP16BE, PixFmtFlagRGB, 3, 3, 16, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp16be"},
    {PixFmt::GBRP16LE, PixFmtFlagRGB, 3, 3, 16, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp16le"},
    {PixFmt::YUVA422P, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 8, 0, PixelColorRange::Limited, 1, 0, {1, 1, 1, 1}, "yuva422p"},
    {PixFmt::YUVA444P, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 8, 0, PixelColorRange::Limited, 0, 0, {1, 1, 1, 1}, "yuva444p"},
    {PixFmt::YUVA420P9BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 9, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 2}, "yuva420p9be"},
    {PixFmt::YUVA420P9LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 9, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 2}, "yuva420p9le"},
    {PixFmt::YUVA422P9BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 9, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 2}, "yuva422p9be"},
    {PixFmt::YUVA422P9LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 9, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 2}, "yuva422p9le"},
    {PixFmt::YUVA444P9BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 9, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 2}, "yuva444p9be"},
    {PixFmt::YUVA444P9LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 9, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 2}, "yuva444p9le"},
    {PixFmt::YUVA420P10BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 10, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 2}, "yuva420p10be"},
    {PixFmt::YUVA420P10LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 10, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 2}, "yuva420p10le"},
    {PixFmt::YUVA422P10BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 10, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 2}, "yuva422p10be"},
    {PixFmt::YUVA422P10LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 10, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 2}, "yuva422p10le"},
    {PixFmt::YUVA444P10BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 10, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 2}, "yuva444p10be"},
    {PixFmt::YUVA444P10LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 10, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 2}, "yuva444p10le"},
    {PixFmt::YUVA420P16BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 16, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 2}, "yuva420p16be"},
    {PixFmt::YUVA420P16LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 16, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 2}, "yuva420p16le"},
    {PixFmt::YUVA422P16BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 16, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 2}, "yuva422p16be"},
    {PixFmt::YUVA422P16LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 16, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 2}, "yuva422p16le"},
    {PixFmt::YUVA444P16BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 16, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 2}, "yuva444p16be"},
    {PixFmt::YUVA444P16LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 16, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 2}, "yuva444p16le"},
    {PixFmt::VDPAU, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "vdpau"},
    {PixFmt::XYZ12LE, 0, 1, 3, 12, 4, PixelColorRange::Full, 0, 0, {6, 0, 0, 0}, "xyz12le"},
    {PixFmt::XYZ12BE, 0, 1, 3, 12, 4, PixelColorRange::Full, 0, 0, {6, 0, 0, 0}, "xyz12be"},
    {PixFmt::NV16, PixFmtFlagYUV, 2, 3, 8, 0, PixelColorRange::Limited, 1, 0, {1, 2, 0, 0}, "nv16"},
    {PixFmt::NV20LE, PixFmtFlagYUV, 2, 3, 10, 0, PixelColorRange::Limited, 1, 0, {2, 4, 0, 0}, "nv20le"},
    {PixFmt::NV20BE, PixFmtFlagYUV, 2, 3, 10, 0, PixelColorRange::Limited, 1, 0, {2, 4, 0, 0}, "nv20be"},
    {PixFmt::RGBA64BE, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 16, 0, PixelColorRange::Full, 0, 0, {8, 0, 0, 0}, "rgba64be"},
    {PixFmt::RGBA64LE, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 16, 0, PixelColorRange::Full, 0, 0, {8, 0, 0, 0}, "rgba64le"},
    {PixFmt::BGRA64BE, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 16, 0, PixelColorRange::Full, 0, 0, {8, 0, 0, 0}, "bgra64be"},
    {PixFmt::BGRA64LE, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 16, 0, PixelColorRange::Full, 0, 0, {8, 0, 0, 0}, "bgra64le"},
    {PixFmt::YVYU422, PixFmtFlagYUV, 1, 3, 8, 0, PixelColorRange::Limited, 1, 0, {2, 0, 0, 0}, "yvyu422"},
    {PixFmt::YA16BE, PixFmtFlagAlpha, 1, 2, 16, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "ya16be"},
    {PixFmt::YA16LE, PixFmtFlagAlpha, 1, 2, 16, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "ya16le"},
    {PixFmt::GBRAP, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 8, 0, PixelColorRange::Full, 0, 0, {1, 1, 1, 1}, "gbrap"},
    {PixFmt::GBRAP16BE, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 16, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 2}, "gbrap16be"},
    {PixFmt::GBRAP16LE, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 16, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 2}, "gbrap16le"},
    {PixFmt::QSV, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "qsv"},
    {PixFmt::MMAL, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "mmal"},
    {PixFmt::D3D11VA_VLD, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "d3d11va_vld"},
    {PixFmt::CUDA, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "cuda"},
    {PixFmt::X0RGB, PixFmtFlagRGB, 1, 3, 8, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "0rgb"},
    {PixFmt::RGB0, PixFmtFlagRGB, 1, 3, 8, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "rgb0"},
    {PixFmt::X0BGR, PixFmtFlagRGB, 1, 3, 8, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "0bgr"},
    {PixFmt::BGR0, PixFmtFlagRGB, 1, 3, 8, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "bgr0"},
    {PixFmt::YUV420P12BE, PixFmtFlagYUV, 3, 3, 12, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p12be"},
    {PixFmt::YUV420P12LE, PixFmtFlagYUV, 3, 3, 12, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p12le"},
    {PixFmt::YUV420P14BE, PixFmtFlagYUV, 3, 3, 14, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p14be"},
    {PixFmt::YUV420P14LE, PixFmtFlagYUV, 3, 3, 14, 0, PixelColorRange::Limited, 1, 1, {2, 2, 2, 0}, "yuv420p14le"},
    {PixFmt::YUV422P12BE, PixFmtFlagYUV, 3, 3, 12, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p12be"},
    {PixFmt::YUV422P12LE, PixFmtFlagYUV, 3, 3, 12, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p12le"},
    {PixFmt::YUV422P14BE, PixFmtFlagYUV, 3, 3, 14, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p14be"},
    {PixFmt::YUV422P14LE, PixFmtFlagYUV, 3, 3, 14, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 0}, "yuv422p14le"},
    {PixFmt::YUV444P12BE, PixFmtFlagYUV, 3, 3, 12, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p12be"},
    {PixFmt::YUV444P12LE, PixFmtFlagYUV, 3, 3, 12, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p12le"},
    {PixFmt::YUV444P14BE, PixFmtFlagYUV, 3, 3, 14, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p14be"},
    {PixFmt::YUV444P14LE, PixFmtFlagYUV, 3, 3, 14, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 0}, "yuv444p14le"},
    {PixFmt::GBRP12BE, PixFmtFlagRGB, 3, 3, 12, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp12be"},
    {PixFmt::GBRP12LE, PixFmtFlagRGB, 3, 3, 12, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp12le"},
    {PixFmt::GBRP14BE, PixFmtFlagRGB, 3, 3, 14, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp14be"},
    {PixFmt::GBRP14LE, PixFmtFlagRGB, 3, 3, 14, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 0}, "gbrp14le"},
    {PixFmt::YUVJ411P, PixFmtFlagYUV, 3, 3, 8, 0, PixelColorRange::Full, 2, 0, {1, 1, 1, 0}, "yuvj411p"},
    {PixFmt::BAYER_BGGR8, PixFmtFlagRGB, 1, 3, 2, 0, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "bayer_bggr8"},
    {PixFmt::BAYER_RGGB8, PixFmtFlagRGB, 1, 3, 2, 0, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "bayer_rggb8"},
    {PixFmt::BAYER_GBRG8, PixFmtFlagRGB, 1, 3, 2, 0, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "bayer_gbrg8"},
    {PixFmt::BAYER_GRBG8, PixFmtFlagRGB, 1, 3, 2, 0, PixelColorRange::Full, 0, 0, {1, 0, 0, 0}, "bayer_grbg8"},
    {PixFmt::BAYER_BGGR16LE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bayer_bggr16le"},
    {PixFmt::BAYER_BGGR16BE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bayer_bggr16be"},
    {PixFmt::BAYER_RGGB16LE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bayer_rggb16le"},
    {PixFmt::BAYER_RGGB16BE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bayer_rggb16be"},
    {PixFmt::BAYER_GBRG16LE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bayer_gbrg16le"},
    {PixFmt::BAYER_GBRG16BE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bayer_gbrg16be"},
    {PixFmt::BAYER_GRBG16LE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bayer_grbg16le"},
    {PixFmt::BAYER_GRBG16BE, PixFmtFlagRGB, 1, 3, 4, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "bayer_grbg16be"},
    {PixFmt::YUV440P10LE, PixFmtFlagYUV, 3, 3, 10, 0, PixelColorRange::Limited, 0, 1, {2, 2, 2, 0}, "yuv440p10le"},
    {PixFmt::YUV440P10BE, PixFmtFlagYUV, 3, 3, 10, 0, PixelColorRange::Limited, 0, 1, {2, 2, 2, 0}, "yuv440p10be"},
    {PixFmt::YUV440P12LE, PixFmtFlagYUV, 3, 3, 12, 0, PixelColorRange::Limited, 0, 1, {2, 2, 2, 0}, "yuv440p12le"},
    {PixFmt::YUV440P12BE, PixFmtFlagYUV, 3, 3, 12, 0, PixelColorRange::Limited, 0, 1, {2, 2, 2, 0}, "yuv440p12be"},
    {PixFmt::AYUV64LE, PixFmtFlagAlpha | PixFmtFlagYUV, 1, 4, 16, 0, PixelColorRange::Limited, 0, 0, {8, 0, 0, 0}, "ayuv64le"},
    {PixFmt::AYUV64BE, PixFmtFlagAlpha | PixFmtFlagYUV, 1, 4, 16, 0, PixelColorRange::Limited, 0, 0, {8, 0, 0, 0}, "ayuv64be"},
    {PixFmt::VIDEOTOOLBOX_VLD, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "videotoolbox_vld"},
    {PixFmt::P010LE, PixFmtFlagYUV, 2, 3, 10, 6, PixelColorRange::Limited, 1, 1, {2, 4, 0, 0}, "p010le"},
    {PixFmt::P010BE, PixFmtFlagYUV, 2, 3, 10, 6, PixelColorRange::Limited, 1, 1, {2, 4, 0, 0}, "p010be"},
    {PixFmt::GBRAP12BE, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 12, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 2}, "gbrap12be"},
    {PixFmt::GBRAP12LE, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 12, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 2}, "gbrap12le"},
    {PixFmt::GBRAP10BE, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 10, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 2}, "gbrap10be"},
    {PixFmt::GBRAP10LE, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 10, 0, PixelColorRange::Full, 0, 0, {2, 2, 2, 2}, "gbrap10le"},
    {PixFmt::MEDIACODEC, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "mediacodec"},
    {PixFmt::GRAY12BE, 0, 1, 1, 12, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray12be"},
    {PixFmt::GRAY12LE, 0, 1, 1, 12, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray12le"},
    {PixFmt::GRAY10BE, 0, 1, 1, 10, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray10be"},
    {PixFmt::GRAY10LE, 0, 1, 1, 10, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray10le"},
    {PixFmt::P016LE, PixFmtFlagYUV, 2, 3, 16, 0, PixelColorRange::Limited, 1, 1, {2, 4, 0, 0}, "p016le"},
    {PixFmt::P016BE, PixFmtFlagYUV, 2, 3, 16, 0, PixelColorRange::Limited, 1, 1, {2, 4, 0, 0}, "p016be"},
    {PixFmt::D3D11, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "d3d11"},
    {PixFmt::GRAY9BE, 0, 1, 1, 9, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray9be"},
    {PixFmt::GRAY9LE, 0, 1, 1, 9, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray9le"},
    {PixFmt::GBRPF32BE, PixFmtFlagRGB, 3, 3, 32, 0, PixelColorRange::Full, 0, 0, {4, 4, 4, 0}, "gbrpf32be"},
    {PixFmt::GBRPF32LE, PixFmtFlagRGB, 3, 3, 32, 0, PixelColorRange::Full, 0, 0, {4, 4, 4, 0}, "gbrpf32le"},
    {PixFmt::GBRAPF32BE, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 32, 0, PixelColorRange::Full, 0, 0, {4, 4, 4, 4}, "gbrapf32be"},
    {PixFmt::GBRAPF32LE, PixFmtFlagRGB | PixFmtFlagAlpha, 4, 4, 32, 0, PixelColorRange::Full, 0, 0, {4, 4, 4, 4}, "gbrapf32le"},
    {PixFmt::DRM_PRIME, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "drm_prime"},
    {PixFmt::OPENCL, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "opencl"},
    {PixFmt::GRAY14BE, 0, 1, 1, 14, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray14be"},
    {PixFmt::GRAY14LE, 0, 1, 1, 14, 0, PixelColorRange::Full, 0, 0, {2, 0, 0, 0}, "gray14le"},
    {PixFmt::GRAYF32BE, 0, 1, 1, 32, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "grayf32be"},
    {PixFmt::GRAYF32LE, 0, 1, 1, 32, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "grayf32le"},
    {PixFmt::YUVA422P12BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 12, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 2}, "yuva422p12be"},
    {PixFmt::YUVA422P12LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 12, 0, PixelColorRange::Limited, 1, 0, {2, 2, 2, 2}, "yuva422p12le"},
    {PixFmt::YUVA444P12BE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 12, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 2}, "yuva444p12be"},
    {PixFmt::YUVA444P12LE, PixFmtFlagAlpha | PixFmtFlagYUV, 4, 4, 12, 0, PixelColorRange::Limited, 0, 0, {2, 2, 2, 2}, "yuva444p12le"},
    {PixFmt::NV24, PixFmtFlagYUV, 2, 3, 8, 0, PixelColorRange::Limited, 0, 0, {1, 2, 0, 0}, "nv24"},
    {PixFmt::NV42, PixFmtFlagYUV, 2, 3, 8, 0, PixelColorRange::Limited, 0, 0, {1, 2, 0, 0}, "nv42"},
    {PixFmt::VULKAN, 0, 0, 0, 0, 0, PixelColorRange::Unspecified, 0, 0, {0, 0, 0, 0}, "vulkan"},
    {PixFmt::Y210BE, PixFmtFlagYUV, 1, 3, 10, 6, PixelColorRange::Limited, 1, 0, {4, 0, 0, 0}, "y210be"},
    {PixFmt::Y210LE, PixFmtFlagYUV, 1, 3, 10, 6, PixelColorRange::Limited, 1, 0, {4, 0, 0, 0}, "y210le"},
    {PixFmt::X2RGB10LE, PixFmtFlagRGB, 1, 3, 10, 4, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "x2rgb10le"},
    {PixFmt::X2RGB10BE, PixFmtFlagRGB, 1, 3, 10, 4, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "x2rgb10be"},
    {PixFmt::X2BGR10LE, PixFmtFlagRGB, 1, 3, 10, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "x2bgr10le"},
    {PixFmt::X2BGR10BE, PixFmtFlagRGB, 1, 3, 10, 0, PixelColorRange::Full, 0, 0, {4, 0, 0, 0}, "x2bgr10be"},
    {PixFmt::P210BE, PixFmtFlagYUV, 2, 3, 10, 6, PixelColorRange::Limited, 1, 0, {2, 4, 0, 0}, "p210be"},
    {PixFmt::P210LE, PixFmtFlagYUV, 2, 3, 10, 6, PixelColorRange::Limited, 1, 0, {2, 4, 0, 0}, "p210le"},
    {PixFmt::P410BE, PixFmtFlagYUV, 2, 3, 10, 6, PixelColorRange::Limited, 0, 0, {2, 4, 0, 0}, "p410be"},
    {PixFmt::P410LE, PixFmtFlagYUV, 2, 3, 10, 6, PixelColorRange::Limited, 0, 0, {2, 4, 0, 0}, "p410le"},
    {PixFmt::P216BE, PixFmtFlagYUV, 2, 3, 16, 0, PixelColorRange::Limited, 1, 0, {2, 4, 0, 0}, "p216be"},
    {PixFmt::P216LE, PixFmtFlagYUV, 2, 3, 16, 0, PixelColorRange::Limited, 1, 0, {2, 4, 0, 0}, "p216le"},
    {PixFmt::P416BE, PixFmtFlagYUV, 2, 3, 16, 0, PixelColorRange::Limited, 0, 0, {2, 4, 0, 0}, "p416be"},
    {PixFmt::P416LE, PixFmtFlagYUV, 2, 3, 16, 0, PixelColorRange::Limited, 0, 0, {2, 4, 0, 0}, "p416le"},
    {PixFmt::VUYA, PixFmtFlagAlpha | PixFmtFlagYUV, 1, 4, 8, 0, PixelColorRange::Limited, 0, 0, {4, 0, 0, 0}, "vuya"},
    {PixFmt::RGBAF16BE, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 16, 0, PixelColorRange::Full, 0, 0, {8, 0, 0, 0}, "rgbaf16be"},
    {PixFmt::RGBAF16LE, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 16, 0, PixelColorRange::Full, 0, 0, {8, 0, 0, 0}, "rgbaf16le"},
    {PixFmt::VUYX, PixFmtFlagYUV, 1, 3, 8, 0, PixelColorRange::Limited, 0, 0, {4, 0, 0, 0}, "vuyx"},
    {PixFmt::P012LE, PixFmtFlagYUV, 2, 3, 12, 4, PixelColorRange::Limited, 1, 1, {2, 4, 0, 0}, "p012le"},
    {PixFmt::P012BE, PixFmtFlagYUV, 2, 3, 12, 4, PixelColorRange::Limited, 1, 1, {2, 4, 0, 0}, "p012be"},
    {PixFmt::Y212BE, PixFmtFlagYUV, 1, 3, 12, 4, PixelColorRange::Limited, 1, 0, {4, 0, 0, 0}, "y212be"},
    {PixFmt::Y212LE, PixFmtFlagYUV, 1, 3, 12, 4, PixelColorRange::Limited, 1, 0, {4, 0, 0, 0}, "y212le"},
    {PixFmt::XV30BE, PixFmtFlagYUV, 1, 3, 10, 0, PixelColorRange::Limited, 0, 0, {4, 0, 0, 0}, "xv30be"},
    {PixFmt::XV30LE, PixFmtFlagYUV, 1, 3, 10, 2, PixelColorRange::Limited, 0, 0, {4, 0, 0, 0}, "xv30le"},
    {PixFmt::XV36BE, PixFmtFlagYUV, 1, 3, 12, 4, PixelColorRange::Limited, 0, 0, {8, 0, 0, 0}, "xv36be"},
    {PixFmt::XV36LE, PixFmtFlagYUV, 1, 3, 12, 4, PixelColorRange::Limited, 0, 0, {8, 0, 0, 0}, "xv36le"},
    {PixFmt::RGBF32BE, PixFmtFlagRGB, 1, 3, 32, 0, PixelColorRange::Full, 0, 0, {12, 0, 0, 0}, "rgbf32be"},
    {PixFmt::RGBF32LE, PixFmtFlagRGB, 1, 3, 32, 0, PixelColorRange::Full, 0, 0, {12, 0, 0, 0}, "rgbf32le"},
    {PixFmt::RGBAF32BE, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 32, 0, PixelColorRange::Full, 0, 0, {16, 0, 0, 0}, "rgbaf32be"},
    {PixFmt::RGBAF32LE, PixFmtFlagRGB | PixFmtFlagAlpha, 1, 4, 32, 0, PixelColorRange::Full, 0, 0, {16, 0, 0, 0}, "rgbaf32le"},
};
// clang-format on

constexpr int kFirstValue = static_cast<int>(PixFmt::None);
constexpr int kCount = static_cast<int>(std::size(kDescriptions));

constexpr bool TableIsInEnumOrder() {
    for (int i = 0; i < kCount; ++i) {
        if (static_cast<int>(kDescriptions[i].pixFmt) != kFirstValue + i) {
            return false;
        }
    }
    return true;
}
static_assert(TableIsInEnumOrder(), "Find indexes the table by value");
static_assert(kCount - 1 + kFirstValue == static_cast<int>(PixFmt::RGBAF32LE));

bool IsChromaPlane(const PixFmtDescription& description, int plane) {
    if (!description.IsYUV() || description.planes < 2) {
        return false;
    }
    return plane == 1 || plane == 2;
}

int RoundUpShift(int value, int log2) { return -((-value) >> log2); }

}  // namespace

const PixFmtDescription* PixFmtDescription::Find(PixFmt pixFmt) {
    const int index = static_cast<int>(pixFmt) - kFirstValue;
    if (index < 0 || index >= kCount) {
        return nullptr;
    }
    return &kDescriptions[index];
}

int PixFmtDescription::GetPlanWidth(int width, int plane) const {
    return IsChromaPlane(*this, plane) ? RoundUpShift(width, log2ChromaW) : width;
}

int PixFmtDescription::GetPlanHeight(int height, int plane) const {
    return IsChromaPlane(*this, plane) ? RoundUpShift(height, log2ChromaH) : height;
}

bool PixFmtDescription::IsPlanarYUV() const {
    return IsYUV() && planes >= 3 && planes == components;
}

bool PixFmtDescription::IsSemiPlanar() const { return IsYUV() && planes == 2 && components == 3; }

}  // namespace Kavrin
