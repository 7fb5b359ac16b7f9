#pragma once
// zimg as an independent reference. Link users against zimg.
#include <cstdint>
#include <vector>

namespace Kavrin::Test {

// One 4:4:4 planar image as zimg takes it: three planes of samples (R, G, B or
// Y, Cb, Cr), rows tight, at `depth` bits.
struct ZimgImage {
    int width = 0;
    int height = 0;
    int depth = 8;
    bool rgb = false;
    bool fullRange = false;
    int matrix = 1;  // H.273 numbering, as AVColorSpace; ignored for RGB
    std::vector<std::uint16_t> planes[3];
    // Chroma planes 1 and 2 of a YUV image: log2 subsampling and zimg's chroma
    // location (0 left, 1 center, 2 top-left, 3 top, 4 bottom-left, 5 bottom).
    int subsampleW = 0;
    int subsampleH = 0;
    int chromaLocation = 0;

    int PlaneWidth(int plane) const { return plane == 0 ? width : width >> subsampleW; }
    int PlaneHeight(int plane) const { return plane == 0 ? height : height >> subsampleH; }
};

// zimg's conversion of `source` into `target`'s format (its planes are filled),
// undithered: only matrix, range, depth and chroma grid change, chroma resampled
// bilinear or bicubic (b, c). False, and a test failure, on error. Subsampled
// sizes must divide evenly.
enum class ZimgChromaFilter { Bilinear, Bicubic };
bool ZimgConvert(const ZimgImage& source, ZimgImage& target,
                 ZimgChromaFilter chromaFilter = ZimgChromaFilter::Bilinear, double b = 0.0,
                 double c = 0.5);

// zimg's resize of `source` to `target`'s size (same format otherwise), every
// plane with the same kernel: bilinear, bicubic (B, C) = (0, 1/2) or (1/3, 1/3),
// or Lanczos with 3 taps. Edges mirror.
enum class ZimgKernel { Bilinear, CatmullRom, Mitchell, Lanczos3 };
bool ZimgResize(const ZimgImage& source, ZimgImage& target, ZimgKernel kernel);

}  // namespace Kavrin::Test
