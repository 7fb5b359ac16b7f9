#include "Y4M.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

using namespace RenderHubTool;
using Kavrin::PixFmt;

std::string Frame420(int width, int height, char fill) {
    return "FRAME\n" + std::string(static_cast<std::size_t>(
                                       width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2)),
                                   fill);
}

TEST(Y4MTest, HeaderTagsAsFFmpegWritesThem) {
    std::istringstream in(
        "YUV4MPEG2 W6 H4 F30000:1001 Ip A1:1 C420p10 XYSCSS=420P10 XCOLORRANGE=LIMITED\n");
    Y4MReader reader(in);
    const auto& header = reader.Header();
    EXPECT_EQ(header.width, 6);
    EXPECT_EQ(header.height, 4);
    EXPECT_EQ(header.rateNum, 30000);
    EXPECT_EQ(header.rateDen, 1001);
    EXPECT_EQ(header.pixFmt, PixFmt::YUV420P10LE);
    EXPECT_EQ(header.range, Kavrin::PixelColorRange::Limited);
    EXPECT_EQ(reader.ReadFrame({}), nullptr);  // no frames
}

TEST(Y4MTest, ChromaTagsMapBothWays) {
    const std::pair<const char*, PixFmt> tags[] = {
        {"420jpeg", PixFmt::YUV420P},    {"422", PixFmt::YUV422P},
        {"444", PixFmt::YUV444P},        {"444alpha", PixFmt::YUVA444P},
        {"411", PixFmt::YUV411P},        {"420p12", PixFmt::YUV420P12LE},
        {"422p16", PixFmt::YUV422P16LE}, {"444p10", PixFmt::YUV444P10LE},
    };
    for (const auto& [tag, format] : tags) {
        EXPECT_EQ(Y4MChromaToPixFmt(tag), format) << tag;
        EXPECT_EQ(Y4MChromaToPixFmt(PixFmtToY4MChroma(format)), format) << tag;
    }
    EXPECT_EQ(Y4MChromaToPixFmt("420mpeg2"), PixFmt::YUV420P);
    EXPECT_THROW(PixFmtToY4MChroma(PixFmt::NV12), InputError);
}

TEST(Y4MTest, FramesAreReadPlaneByPlaneAndWrittenBack) {
    const std::string file =
        "YUV4MPEG2 W5 H3 F25:1 Ip A0:0 C420jpeg\n" + Frame420(5, 3, 'a') + Frame420(5, 3, 'b');
    std::istringstream in(file);
    Y4MReader reader(in);
    std::ostringstream out;
    Y4MHeader header = reader.Header();
    Y4MWriter writer(out, header);
    int frames = 0;
    while (auto frame = reader.ReadFrame({1, 1, 1})) {
        EXPECT_EQ(frame->GetPixelFormat(), PixFmt::YUV420P);
        EXPECT_EQ(frame->GetFrameInfo().width, 5);
        // Odd sizes round the chroma planes up: 3x2 samples.
        EXPECT_EQ(frame->GetPlaneConst(1).rows, 2);
        EXPECT_EQ(frame->GetPlaneWidthBytes(2), 3);
        EXPECT_EQ(frame->GetPlaneConst(2).Row(1)[2], frames == 0 ? 'a' : 'b');
        writer.WriteFrame(*frame);
        ++frames;
    }
    EXPECT_EQ(frames, 2);
    EXPECT_EQ(out.str(), "YUV4MPEG2 W5 H3 F25:1 Ip A0:0 C420jpeg\n" + Frame420(5, 3, 'a') +
                             Frame420(5, 3, 'b'));
}

struct BadInput {
    const char* name;
    std::string text;
    const char* message;
};

class Y4MBadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(Y4MBadInputTest, IsRefusedWithItsCause) {
    const BadInput& bad = GetParam();
    try {
        std::istringstream in(bad.text);
        Y4MReader reader(in);
        while (reader.ReadFrame({})) {
        }
        FAIL() << "accepted: " << bad.name;
    } catch (const InputError& error) {
        EXPECT_NE(std::string(error.what()).find(bad.message), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, Y4MBadInputTest,
    ::testing::Values(
        BadInput{"NoSignature", "MPEG2 W4 H4\n", "no YUV4MPEG2 signature"},
        BadInput{"NoLineBreak", "YUV4MPEG2 W4 H4", "truncated file"},
        BadInput{"NoHeight", "YUV4MPEG2 W4\n", "no width or no height"},
        BadInput{"NegativeWidth", "YUV4MPEG2 W-4 H4\n", "malformed width '-4'"},
        BadInput{"HugeWidth", "YUV4MPEG2 W99999 H4\n", "exceeds the 16384 pixel limit"},
        BadInput{"OverflowingWidth", "YUV4MPEG2 W99999999999 H4\n", "malformed width"},
        BadInput{"UnknownChroma", "YUV4MPEG2 W4 H4 Cmono\n", "unsupported Y4M colour tag 'Cmono'"},
        BadInput{"Interlaced", "YUV4MPEG2 W4 H4 It\n", "only progressive"},
        BadInput{"UnknownTag", "YUV4MPEG2 W4 H4 Q7\n", "unsupported Y4M tag 'Q7'"},
        BadInput{"BadRate", "YUV4MPEG2 W4 H4 F25\n", "malformed frame rate"},
        BadInput{"LongHeader", "YUV4MPEG2 W4 H4 " + std::string(5000, 'X') + "\n", "longer than"},
        BadInput{"NotAFrame", "YUV4MPEG2 W2 H2 C444\nFRAMX\n", "does not start with FRAME"},
        BadInput{"TruncatedFrame", "YUV4MPEG2 W2 H2 C444\nFRAME\nabcdefghij", "truncated"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
