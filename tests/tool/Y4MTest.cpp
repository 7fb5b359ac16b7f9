#include "Y4M.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>
#include <streambuf>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "Kavrin/Proc/DataVideoCPU.h"

namespace {

using namespace RenderHubTool;
using Kavrin::PixFmt;

std::string Frame420(int width, int height, char fill) {
    return "FRAME\n" + std::string(static_cast<std::size_t>(
                                       width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2)),
                                   fill);
}

std::string Frame444(int width, int height, char fill) {
    return "FRAME\n" + std::string(static_cast<std::size_t>(3 * width * height), fill);
}

// Hands out its bytes a few at a time and cannot seek, as a pipe does.
class PipeBuffer : public std::streambuf {
public:
    explicit PipeBuffer(std::string bytes) : bytes(std::move(bytes)) {}

protected:
    int_type underflow() override {
        if (next == bytes.size()) {
            return traits_type::eof();
        }
        const std::size_t piece = std::min<std::size_t>(bytes.size() - next, 7);
        setg(bytes.data() + next, bytes.data() + next, bytes.data() + next + piece);
        next += piece;
        return traits_type::to_int_type(*gptr());
    }

private:
    std::string bytes;
    std::size_t next = 0;
};

std::string ErrorOf(const std::function<void()>& read) {
    try {
        read();
    } catch (const InputError& error) {
        return error.what();
    }
    return "accepted";
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

// Every tag FFmpeg writes; the aliases of 4:2:0 are read but never written.
TEST(Y4MTest, ChromaTagsMapBothWays) {
    const std::tuple<const char*, PixFmt, bool> tags[] = {
        {"420jpeg", PixFmt::YUV420P, true},    {"420mpeg2", PixFmt::YUV420P, false},
        {"420paldv", PixFmt::YUV420P, false},  {"420", PixFmt::YUV420P, false},
        {"411", PixFmt::YUV411P, true},        {"422", PixFmt::YUV422P, true},
        {"444", PixFmt::YUV444P, true},        {"444alpha", PixFmt::YUVA444P, true},
        {"420p10", PixFmt::YUV420P10LE, true}, {"420p12", PixFmt::YUV420P12LE, true},
        {"420p16", PixFmt::YUV420P16LE, true}, {"422p10", PixFmt::YUV422P10LE, true},
        {"422p12", PixFmt::YUV422P12LE, true}, {"422p16", PixFmt::YUV422P16LE, true},
        {"444p10", PixFmt::YUV444P10LE, true}, {"444p12", PixFmt::YUV444P12LE, true},
        {"444p16", PixFmt::YUV444P16LE, true},
    };
    for (const auto& [tag, format, written] : tags) {
        EXPECT_EQ(Y4MChromaToPixFmt(tag), format) << tag;
        if (written) {
            EXPECT_EQ(PixFmtToY4MChroma(format), tag);
        }
    }
    EXPECT_THROW(PixFmtToY4MChroma(PixFmt::NV12), InputError);
}

// A header without a tag as read names the format; every frame has its marker.
TEST(Y4MTest, WriterNamesTheFormatAndMarksEachFrame) {
    Y4MHeader header;
    header.width = 2;
    header.height = 1;
    header.pixFmt = PixFmt::YUV422P10LE;
    header.range = Kavrin::PixelColorRange::Limited;
    std::ostringstream out;
    Y4MWriter writer(out, header);
    auto frame = Kavrin::Proc::DataVideoCPU::Create(PixFmt::YUV422P10LE, {2, 1, 0, 0});
    for (int plane = 0; plane < 3; ++plane) {
        std::memset(frame->GetPlane(static_cast<unsigned char>(plane)).data, 'a' + plane,
                    static_cast<std::size_t>(frame->GetPlaneWidthBytes(plane)));
    }
    writer.WriteFrame(*frame);
    writer.WriteFrame(*frame);
    const std::string picture = "FRAME\naaaabbcc";
    EXPECT_EQ(out.str(),
              "YUV4MPEG2 W2 H1 F25:1 Ip A0:0 C422p10 XCOLORRANGE=LIMITED\n" + picture + picture);
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

TEST(Y4MTest, FrameParametersAndUnknownAspectAreAccepted) {
    std::istringstream in("YUV4MPEG2 W2 H2 A0:0 C444\nFRAME Ixyz\n" + std::string(12, 'q'));
    Y4MReader reader(in);
    EXPECT_EQ(reader.Header().aspectNum, 0);
    const auto frame = reader.ReadFrame({});
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->GetPlaneConst(2).Row(1)[1], 'q');
    EXPECT_EQ(reader.ReadFrame({}), nullptr);
}

TEST(RawFrameTest, FramesFromAPipeMatchTheBytesSent) {
    // 5x3 4:2:0 at 10 bits: luma 10 bytes a row, chroma 3 samples (6 bytes) by 2 rows.
    std::string bytes(2 * (3 * 10 + 2 * 2 * 6), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7 + 1);
    }
    PipeBuffer buffer(bytes);
    std::istream pipe(&buffer);
    std::ostringstream written;
    for (int i = 0; i < 2; ++i) {
        const auto frame = ReadRawFrame(pipe, PixFmt::YUV420P10LE, {5, 3, 0, 0}, {});
        EXPECT_EQ(frame->GetPlaneConst(1).rows, 2);
        WritePlanes(written, *frame);
    }
    EXPECT_EQ(written.str(), bytes);
    EXPECT_EQ(pipe.peek(), std::char_traits<char>::eof());
}

TEST(RawFrameTest, LargeFrameFromAPipeIsCollectedWhole) {
    // Above the size read straight into the frame: goes through the growing buffer.
    const int width = 2048, height = 1024;
    std::string bytes(static_cast<std::size_t>(width * height * 3 / 2), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    PipeBuffer buffer(bytes);
    std::istream pipe(&buffer);
    const auto frame = ReadRawFrame(pipe, PixFmt::YUV420P, {width, height, 0, 0}, {});
    std::ostringstream written;
    WritePlanes(written, *frame);
    EXPECT_EQ(written.str(), bytes);
}

TEST(RawFrameTest, RefusesWithTheCause) {
    const auto raw = [](std::istream& in, PixFmt format, int width, int height) {
        return ErrorOf([&] { ReadRawFrame(in, format, {width, height, 0, 0}, {}); });
    };
    std::istringstream empty;
    EXPECT_EQ(raw(empty, PixFmt::YUV420P, 0, 4), "frame size 0x4 is not positive");
    EXPECT_EQ(raw(empty, PixFmt::YUV420P, 4, -2), "frame size 4x-2 is not positive");
    EXPECT_EQ(raw(empty, PixFmt::GRAY8, 16385, 1),
              "frame size 16385x1 exceeds the 16384 pixel limit");
    EXPECT_EQ(raw(empty, PixFmt::YUV420P, 1, 1 << 30),
              "frame size 1x1073741824 exceeds the 16384 pixel limit");
    EXPECT_EQ(raw(empty, PixFmt::MONOW, 8, 8), "pixel format monow cannot be read as raw planes");
    EXPECT_EQ(raw(empty, PixFmt::None, 8, 8), "pixel format none cannot be read as raw planes");

    // 4x4 4:4:4 needs 48 bytes.
    std::istringstream short47(std::string(47, 'x'));
    EXPECT_EQ(raw(short47, PixFmt::YUV444P, 4, 4),
              "the frame is truncated: it needs 48 bytes, 47 are left");
    // The largest frame, promised to a pipe that then ends: refused after the
    // bytes that came, with no frame-sized allocation up front.
    PipeBuffer buffer(std::string(100, 'x'));
    std::istream pipe(&buffer);
    EXPECT_EQ(raw(pipe, PixFmt::YUV444P16LE, 16384, 16384),
              "the frame is truncated: it needs 1610612736 bytes, 100 are left");
    PipeBuffer smallBuffer(std::string(47, 'x'));
    std::istream smallPipe(&smallBuffer);
    EXPECT_EQ(raw(smallPipe, PixFmt::YUV444P, 4, 4), "the frame is truncated (plane 2, row 3)");
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
        BadInput{"ZeroHeight", "YUV4MPEG2 W5 H0\n", "frame size 5x0 is not positive"},
        BadInput{"ZeroRateTerm", "YUV4MPEG2 W4 H4 F25:0\n", "frame rate '25:0' has a zero term"},
        BadInput{"HalfUnknownAspect", "YUV4MPEG2 W4 H4 A0:1\n",
                 "pixel aspect '0:1' has a zero term"},
        BadInput{"OverflowingWidth", "YUV4MPEG2 W99999999999 H4\n", "malformed width"},
        BadInput{"UnknownChroma", "YUV4MPEG2 W4 H4 Cmono\n", "unsupported Y4M colour tag 'Cmono'"},
        BadInput{"Interlaced", "YUV4MPEG2 W4 H4 It\n", "only progressive"},
        BadInput{"UnknownTag", "YUV4MPEG2 W4 H4 Q7\n", "unsupported Y4M tag 'Q7'"},
        BadInput{"BadRate", "YUV4MPEG2 W4 H4 F25\n", "malformed frame rate"},
        BadInput{"LongHeader", "YUV4MPEG2 W4 H4 " + std::string(5000, 'X') + "\n", "longer than"},
        BadInput{"NotAFrame", "YUV4MPEG2 W2 H2 C444\nFRAMX\n", "does not start with FRAME"},
        BadInput{"FrameTagRunsOn", "YUV4MPEG2 W2 H2 C444\nFRAMES\n", "does not start with FRAME"},
        // The largest frame the header allows, promised by a 40-byte file:
        // refused from the stream's length before anything is allocated.
        BadInput{"AbsurdFrameForItsFile", "YUV4MPEG2 W16384 H16384 C444p16\nFRAME\nabc",
                 "it needs 1610612736 bytes, 3 are left"},
        BadInput{"TruncatedFrame", "YUV4MPEG2 W2 H2 C444\nFRAME\nabcdefghij", "truncated"},
        BadInput{"TruncatedSecondFrame",
                 "YUV4MPEG2 W2 H2 C444\n" + Frame444(2, 2, 'a') + "FRAME\nab",
                 "it needs 12 bytes, 2 are left"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
