#include "Requantize.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

namespace {

using namespace RenderHubTool;
using Kavrin::PixelColorRange;
using Kavrin::PixFmt;
using Kavrin::Proc::DataVideoCPU;

std::uint16_t Sample16(const DataVideoCPU& frame, int plane, int x, int y) {
    const std::uint8_t* row = frame.GetPlaneConst(static_cast<unsigned char>(plane)).Row(y);
    return static_cast<std::uint16_t>(row[2 * x] | (row[2 * x + 1] << 8));
}

std::uint8_t& Sample8(DataVideoCPU& frame, int plane, int x, int y) {
    return frame.GetPlane(static_cast<unsigned char>(plane)).Row(y)[x];
}

// One row of every 8-bit value in each plane (the chroma planes half as long).
boost::intrusive_ptr<DataVideoCPU> Ramp(PixFmt format) {
    auto frame = DataVideoCPU::Create(format, {512, 2, 0, 0});
    const auto& description = frame->GetDescription();
    for (int plane = 0; plane < description.planes; ++plane) {
        const int width = frame->GetPlaneWidthBytes(plane);
        for (int y = 0; y < description.GetPlanHeight(2, plane); ++y) {
            for (int x = 0; x < width; ++x) {
                Sample8(*frame, plane, x, y) = static_cast<std::uint8_t>((x * 3 + plane) % 256);
            }
        }
    }
    return frame;
}

TEST(RequantizeTest, WideFormatsKeepTheChromaLayoutAndAlpha) {
    EXPECT_EQ(WideFormat(PixFmt::YUV420P), PixFmt::YUV420P16LE);
    EXPECT_EQ(WideFormat(PixFmt::YUVA422P10LE), PixFmt::YUVA422P16LE);
    EXPECT_EQ(WideFormat(PixFmt::YUV444P12LE), PixFmt::YUV444P16LE);
    EXPECT_EQ(WideFormat(PixFmt::NV21), PixFmt::YUV420P16LE);
    EXPECT_EQ(WideFormat(PixFmt::P010LE), PixFmt::YUV420P16LE);
    EXPECT_EQ(WideFormat(PixFmt::YUV440P), PixFmt::None);
    EXPECT_EQ(WideFormat(PixFmt::YUV411P), PixFmt::None);
    EXPECT_EQ(WideFormat(PixFmt::RGBA), PixFmt::None);
}

TEST(RequantizeTest, LimitedRangeWidensByAShiftAndNarrowsBackExactly) {
    auto source = Ramp(PixFmt::YUVA420P);
    const auto wide = Widen(*source, PixelColorRange::Limited);
    ASSERT_EQ(wide->GetPixelFormat(), PixFmt::YUVA420P16LE);
    EXPECT_EQ(Sample16(*wide, 0, 5, 0), 15 << 8);        // luma 15
    EXPECT_EQ(Sample16(*wide, 1, 5, 0), (15 + 1) << 8);  // chroma 16
    EXPECT_EQ(Sample16(*wide, 3, 84, 1), 65535);         // alpha 255 is opaque at any depth
    EXPECT_EQ(Sample16(*wide, 3, 43, 0), 132 * 257);
    auto back = DataVideoCPU::Create(PixFmt::YUVA420P, source->GetFrameInfo());
    Narrow(*wide, *back, PixelColorRange::Limited);
    for (int plane = 0; plane < 4; ++plane) {
        const int height = plane == 1 || plane == 2 ? 1 : 2;
        for (int y = 0; y < height; ++y) {
            EXPECT_EQ(std::memcmp(back->GetPlaneConst(static_cast<unsigned char>(plane)).Row(y),
                                  source->GetPlaneConst(static_cast<unsigned char>(plane)).Row(y),
                                  static_cast<std::size_t>(source->GetPlaneWidthBytes(plane))),
                      0)
                << "plane " << plane << " row " << y;
        }
    }
}

TEST(RequantizeTest, FullRangeFollowsTheClosedForm) {
    auto source = DataVideoCPU::Create(PixFmt::YUV444P, {4, 1, 0, 0});
    const std::uint8_t luma[] = {0, 255, 128, 1};
    const std::uint8_t chroma[] = {128, 0, 255, 1};
    for (int x = 0; x < 4; ++x) {
        Sample8(*source, 0, x, 0) = luma[x];
        Sample8(*source, 1, x, 0) = chroma[x];
    }
    const auto wide = Widen(*source, PixelColorRange::Full);
    for (int x = 0; x < 4; ++x) {
        // BT.2100: E = Y / 255 on 16 + 219 E; P = (C - 128) / 255 on 128 + 224 P.
        EXPECT_EQ(Sample16(*wide, 0, x, 0), std::lround((16 + 219.0 * luma[x] / 255) * 256));
        EXPECT_EQ(Sample16(*wide, 1, x, 0),
                  std::lround((128 + 224.0 * (chroma[x] - 128) / 255) * 256));
    }
    EXPECT_EQ(Sample16(*wide, 0, 0, 0), 16 << 8);
    EXPECT_EQ(Sample16(*wide, 0, 1, 0), 235 << 8);
    EXPECT_EQ(Sample16(*wide, 1, 0, 0), 128 << 8);
}

TEST(RequantizeTest, FullRangeRoundTripsEveryValueAtEightAndTenBits) {
    auto eight = Ramp(PixFmt::YUV422P);
    auto back = DataVideoCPU::Create(PixFmt::YUV422P, eight->GetFrameInfo());
    Narrow(*Widen(*eight, PixelColorRange::Full), *back, PixelColorRange::Full);
    EXPECT_EQ(std::memcmp(back->GetPlaneConst(0).Row(0), eight->GetPlaneConst(0).Row(0), 512), 0);
    EXPECT_EQ(std::memcmp(back->GetPlaneConst(2).Row(1), eight->GetPlaneConst(2).Row(1), 256), 0);

    auto ten = DataVideoCPU::Create(PixFmt::YUV444P10LE, {1024, 1, 0, 0});
    for (int plane = 0; plane < 3; ++plane) {
        for (int x = 0; x < 1024; ++x) {
            std::uint8_t* sample = ten->GetPlane(static_cast<unsigned char>(plane)).Row(0) + 2 * x;
            sample[0] = static_cast<std::uint8_t>(x);
            sample[1] = static_cast<std::uint8_t>(x >> 8);
        }
    }
    auto tenBack = DataVideoCPU::Create(PixFmt::YUV444P10LE, ten->GetFrameInfo());
    Narrow(*Widen(*ten, PixelColorRange::Full), *tenBack, PixelColorRange::Full);
    for (int plane = 0; plane < 3; ++plane) {
        EXPECT_EQ(std::memcmp(tenBack->GetPlaneConst(static_cast<unsigned char>(plane)).Row(0),
                              ten->GetPlaneConst(static_cast<unsigned char>(plane)).Row(0), 2048),
                  0)
            << "plane " << plane;
    }
}

TEST(RequantizeTest, LimitedToFullTenBitsRoundsTheClosedForm) {
    auto wide = DataVideoCPU::Create(PixFmt::YUV444P16LE, {1, 1, 0, 0});
    // 10-bit limited luma 502 and chroma 100, shifted onto 16 bits.
    const std::uint16_t values[] = {502 << 6, 100 << 6, 960 << 6};
    for (int plane = 0; plane < 3; ++plane) {
        std::uint8_t* sample = wide->GetPlane(static_cast<unsigned char>(plane)).Row(0);
        sample[0] = static_cast<std::uint8_t>(values[plane]);
        sample[1] = static_cast<std::uint8_t>(values[plane] >> 8);
    }
    auto full = DataVideoCPU::Create(PixFmt::YUV444P10LE, {1, 1, 0, 0});
    Narrow(*wide, *full, PixelColorRange::Full);
    EXPECT_EQ(Sample16(*full, 0, 0, 0), std::lround((502 / 4.0 - 16) / 219 * 1023));
    EXPECT_EQ(Sample16(*full, 1, 0, 0), std::lround((100 / 4.0 - 128) / 224 * 1023 + 512));
    EXPECT_EQ(Sample16(*full, 2, 0, 0), 1023);  // above 240 << 2: clipped
}

TEST(RequantizeTest, SemiPlanarChromaPairsLandInTheirPlanes) {
    auto nv21 = DataVideoCPU::Create(PixFmt::NV21, {2, 2, 0, 0});
    Sample8(*nv21, 1, 0, 0) = 200;  // V first in NV21
    Sample8(*nv21, 1, 1, 0) = 50;
    const auto wide = Widen(*nv21, PixelColorRange::Limited);
    EXPECT_EQ(Sample16(*wide, 1, 0, 0), 50 << 8);
    EXPECT_EQ(Sample16(*wide, 2, 0, 0), 200 << 8);

    auto p010 = DataVideoCPU::Create(PixFmt::P010LE, {2, 2, 0, 0});
    Narrow(*wide, *p010, PixelColorRange::Limited);
    const std::uint8_t* pair = p010->GetPlaneConst(1).Row(0);
    EXPECT_EQ(pair[0] | (pair[1] << 8), (50 << 2) << 6);  // U, MSB-aligned
    EXPECT_EQ(pair[2] | (pair[3] << 8), (200 << 2) << 6);
    EXPECT_THROW(Narrow(*wide, *DataVideoCPU::Create(PixFmt::YUV422P, {2, 2, 0, 0}),
                        PixelColorRange::Limited),
                 std::invalid_argument);
}

}  // namespace
