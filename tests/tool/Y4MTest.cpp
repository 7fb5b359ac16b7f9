#include "Y4M.h"

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "Kavrin/Proc/DataVideoCPU.h"

#include "FuzzStreams.h"

namespace {

using namespace RenderHubTool;
using Kavrin::PixFmt;
using RenderHubFuzz::Planes;

// Bytes handed out a few at a time, unable to seek, as a pipe does.
struct Pipe {
    explicit Pipe(const std::string& bytes)
        : buffer(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()) {}
    RenderHubFuzz::PipeBuffer buffer;
    std::istream stream{&buffer};
};

// The header's tags as FFmpeg writes them, frames (with parameters) read plane
// by plane with the odd sizes' chroma rounded up, and written back, each with
// its marker.
TEST(Y4MTest, FilesAreReadAndWrittenBack) {
    // 5x3 4:2:0 at 10 bits: 30 bytes of luma, 2 x 12 of chroma.
    const std::string a(54, 'a'), b(54, 'b');
    std::istringstream in(
        "YUV4MPEG2 W5 H3 F30000:1001 Ip A3:2 C420p10 XYSCSS=420P10 "
        "XCOLORRANGE=LIMITED\nFRAME Ixyz\n" +
        a + "FRAME\n" + b);
    Y4MReader reader(in);
    const Y4MHeader& header = reader.Header();
    EXPECT_EQ(std::tie(header.width, header.height, header.rateNum, header.rateDen,
                       header.aspectNum, header.aspectDen, header.pixFmt, header.range),
              std::make_tuple(5, 3, 30000, 1001, 3, 2, PixFmt::YUV420P10LE,
                              Kavrin::PixelColorRange::Limited));
    std::ostringstream out;
    Y4MWriter writer(out, header);
    int frames = 0;
    while (auto frame = reader.ReadFrame({1, 1, 1})) {
        EXPECT_EQ(std::make_tuple(frame->GetPixelFormat(), frame->GetFrameInfo().width,
                                  frame->GetPlaneConst(1).rows, frame->GetPlaneWidthBytes(2),
                                  frame->GetPlaneConst(2).Row(1)[5]),
                  std::make_tuple(PixFmt::YUV420P10LE, 5, 2, 6, frames == 0 ? 'a' : 'b'));
        writer.WriteFrame(*frame);
        ++frames;
    }
    EXPECT_EQ(frames, 2);
    EXPECT_EQ(out.str(),
              "YUV4MPEG2 W5 H3 F30000:1001 Ip A3:2 C420p10 XCOLORRANGE=LIMITED\nFRAME\n" + a +
                  "FRAME\n" + b);
    // Without a tag as read the format is named, after the defaults.
    Y4MHeader named;
    std::tie(named.width, named.height, named.pixFmt) = std::make_tuple(2, 1, PixFmt::YUV422P10LE);
    std::ostringstream namedOut;
    Y4MWriter(namedOut, named)
        .WriteFrame(*Kavrin::Proc::DataVideoCPU::Create(PixFmt::YUV422P10LE, {2, 1, 0, 0}));
    EXPECT_EQ(namedOut.str().substr(0, 44), "YUV4MPEG2 W2 H1 F25:1 Ip A0:0 C422p10\nFRAME\n");
    // Unknown aspect, and a header without frames.
    std::istringstream unknown("YUV4MPEG2 W2 H2 A0:0 C444\n");
    Y4MReader empty(unknown);
    EXPECT_EQ(empty.Header().aspectNum, 0);
    EXPECT_EQ(empty.ReadFrame({}), nullptr);
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

// Frames from a pipe come back as sent: small ones read straight into the
// frame, large ones collected whole in a growing buffer first.
TEST(RawFrameTest, FramesFromAPipeMatchTheBytesSent) {
    for (const auto& [format, width, height, frames] :
         {std::tuple{PixFmt::YUV420P10LE, 5, 3, 2}, std::tuple{PixFmt::YUV420P, 2048, 1024, 1}}) {
        const std::size_t size =
            format == PixFmt::YUV420P ? width * height * 3 / 2 : 3 * 10 + 2 * 2 * 6;  // 10-bit 5x3
        std::string bytes(size * frames, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 7 % 251 + 1);
        }
        Pipe pipe(bytes);
        std::string written;
        for (int i = 0; i < frames; ++i) {
            written += Planes(*ReadRawFrame(pipe.stream, format, {width, height, 0, 0}, {}));
        }
        EXPECT_EQ(written, bytes) << width << "x" << height;
        EXPECT_EQ(pipe.stream.peek(), std::char_traits<char>::eof());
    }
}

// Every refusal of the readers with its cause.
TEST(Y4MTest, BadInputIsRefusedWithItsCause) {
    const auto raw = [](std::string bytes, bool pipe, PixFmt format, int width, int height) {
        return [=] {
            Pipe piped(bytes);
            std::istringstream file(bytes);
            ReadRawFrame(pipe ? piped.stream : static_cast<std::istream&>(file), format,
                         {width, height, 0, 0}, {});
        };
    };
    const auto y4m = [](std::string text) {
        return [=] {
            std::istringstream in(text);
            Y4MReader reader(in);
            while (reader.ReadFrame({})) {
            }
        };
    };
    const std::tuple<std::function<void()>, std::string, bool> rows[] = {
        // Raw frames: the whole message.
        {raw("", false, PixFmt::YUV420P, 0, 4), "frame size 0x4 is not positive", true},
        {raw("", false, PixFmt::YUV420P, 4, -2), "frame size 4x-2 is not positive", true},
        {raw("", false, PixFmt::GRAY8, 16385, 1),
         "frame size 16385x1 exceeds the 16384 pixel limit", true},
        {raw("", false, PixFmt::YUV420P, 1, 1 << 30),
         "frame size 1x1073741824 exceeds the 16384 pixel limit", true},
        {raw("", false, PixFmt::MONOW, 8, 8), "pixel format monow cannot be read as raw planes",
         true},
        {raw("", false, PixFmt::None, 8, 8), "pixel format none cannot be read as raw planes",
         true},
        {raw(std::string(47, 'x'), false, PixFmt::YUV444P, 4, 4),
         "the frame is truncated: it needs 48 bytes, 47 are left", true},
        // The largest frame, promised to a pipe that then ends: refused after the
        // bytes that came, with no frame-sized allocation up front.
        {raw(std::string(100, 'x'), true, PixFmt::YUV444P16LE, 16384, 16384),
         "the frame is truncated: it needs 1610612736 bytes, 100 are left", true},
        {raw(std::string(47, 'x'), true, PixFmt::YUV444P, 4, 4),
         "the frame is truncated: it needs 48 bytes, 47 are left", true},
        // Y4M files: the cause within the message.
        {y4m("MPEG2 W4 H4\n"), "no YUV4MPEG2 signature", false},
        {y4m("YUV4MPEG2 W4 H4"), "truncated file", false},
        {y4m("YUV4MPEG2 W4\n"), "no width or no height", false},
        {y4m("YUV4MPEG2 W-4 H4\n"), "malformed width '-4'", false},
        {y4m("YUV4MPEG2 W99999 H4\n"), "exceeds the 16384 pixel limit", false},
        {y4m("YUV4MPEG2 W5 H0\n"), "frame size 5x0 is not positive", false},
        {y4m("YUV4MPEG2 W4 H4 F25:0\n"), "frame rate '25:0' has a zero term", false},
        {y4m("YUV4MPEG2 W4 H4 A0:1\n"), "pixel aspect '0:1' has a zero term", false},
        {y4m("YUV4MPEG2 W99999999999 H4\n"), "malformed width", false},
        {y4m("YUV4MPEG2 W4 H4 Cmono\n"), "unsupported Y4M colour tag 'Cmono'", false},
        {y4m("YUV4MPEG2 W4 H4 It\n"), "only progressive", false},
        {y4m("YUV4MPEG2 W4 H4 Q7\n"), "unsupported Y4M tag 'Q7'", false},
        {y4m("YUV4MPEG2 W4 H4 F25\n"), "malformed frame rate", false},
        {y4m("YUV4MPEG2 W4 H4 " + std::string(5000, 'X') + "\n"), "longer than", false},
        {y4m("YUV4MPEG2 W2 H2 C444\nFRAMX\n"), "does not start with FRAME", false},
        {y4m("YUV4MPEG2 W2 H2 C444\nFRAMES\n"), "does not start with FRAME", false},
        // The largest frame the header allows, promised by a 40-byte file:
        // refused from the stream's length before anything is allocated.
        {y4m("YUV4MPEG2 W16384 H16384 C444p16\nFRAME\nabc"),
         "it needs 1610612736 bytes, 3 are left", false},
        {y4m("YUV4MPEG2 W2 H2 C444\nFRAME\nabcdefghij"), "truncated", false},
        {y4m("YUV4MPEG2 W2 H2 C444\nFRAME\n" + std::string(12, 'a') + "FRAME\nab"),
         "it needs 12 bytes, 2 are left", false},
    };
    for (const auto& [read, message, exact] : rows) {
        try {
            read();
            ADD_FAILURE() << "accepted, wanted: " << message;
        } catch (const InputError& error) {
            const std::string what = error.what();
            EXPECT_TRUE(exact ? what == message : what.find(message) != std::string::npos)
                << what << "\nwanted: " << message;
        }
    }
}

}  // namespace
