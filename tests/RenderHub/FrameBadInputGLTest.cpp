// Wrong input to the frame API: one table holds every refusal of frames,
// conversions, data objects and plane transfers with its exact text, and the
// GL objects are left as they were found.
#include <GL/glew.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Core/MemoryException.h"

#include "DataVideoOGL.h"
#include "Frame.h"
#include "FrameCases.h"
#include "FrameConverter.h"
#include "GlObjectCounter.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Ogl;
using namespace Kavrin::Test;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Proc::DataVideoCPUOptions;

// What a call threw: 'M' Core::MemoryException, 'E' Kavrin::Exception, 'L'
// std::logic_error, '-' nothing; and its text.
struct Outcome {
    char kind = '-';
    std::string message;
};

Outcome Attempt(const std::function<void()>& body) {
    try {
        body();
    } catch (const Core::MemoryException& error) {
        return {'M', error.GetDescription()};
    } catch (const Kavrin::Exception& error) {
        return {'E', error.GetDescription()};
    } catch (const std::logic_error& error) {
        return {'L', error.what()};
    }
    return {};
}

class FrameBadInputGLTest : public ::testing::Test {
protected:
    // Frames and converters make their shared GL objects on first use; make them
    // before the counters are compared.
    static void SetUpTestSuite() {
        WithStorage([](const ShaderStorage& storage) {
            for (const PixFmt pixFmt : GetSupportedPixFmt()) {
                for (const bool bottomUp : {false, true}) {
                    auto frame = Blank(pixFmt, 2, 2, kBT709, {32, 0, bottomUp});
                    auto gpu = Frame::Create();
                    gpu->Upload(frame, storage);
                    Attempt([&] { gpu->Download(frame, storage); });  // swapped RGB refuses
                    gpu->Upload(nullptr, storage);
                }
            }
            FrameConverter().Convert(Blank(PixFmt::YUV420P, 2, 2), Blank(PixFmt::RGB24, 4, 4),
                                     storage);
        });
    }
    void SetUp() override {
        WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
        before = GlObjectCounter::Take();
    }
    void TearDown() override {
        WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
        EXPECT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
        // Programs are a cache, one per conversion specialised so far; every other
        // kind must be back where it was.
        GlObjectCounter::Snapshot after = GlObjectCounter::Take();
        after[GlObjectCounter::Program] = before[GlObjectCounter::Program];
        EXPECT_EQ(after, before) << "GL objects leaked";
    }
    GlObjectCounter::Snapshot before{};
};

struct Refusal {
    std::string call;
    std::function<void()> body;
    char kind;
    std::string message;  // exact; "" checks the kind only
    bool prefix = false;  // the message starts with `message`
};

// Runs `body` on the GL thread; `glError` gets what GL flagged meanwhile.
std::function<void()> OnGl(std::function<void(const ShaderStorage&)> body, GLenum& glError) {
    return [body = std::move(body), &glError] {
        WithStorage([&](const ShaderStorage& storage) {
            try {
                body(storage);
            } catch (...) {
                glError = glGetError();
                throw;
            }
            glError = glGetError();
        });
    };
}

// Every refusal before the GPU is touched, or with all it took given back.
TEST_F(FrameBadInputGLTest, EveryRefusalNamesItsCause) {
    GLenum glError = GL_NO_ERROR;
    const auto gl = [&](std::function<void(const ShaderStorage&)> body) {
        return OnGl(std::move(body), glError);
    };
    const auto max = static_cast<int>(
        std::min<std::uint64_t>(RenderHub::GetInstance().GetMaximumTextureSize(), INT_MAX - 1));
    const std::string tooLarge =
        std::to_string(max + 1) + "x1 exceeds the maximum texture size " + std::to_string(max);
    const CpuFrame yuv = Noise(PixFmt::YUV420P, 6, 4, 1);
    const CpuFrame rgba = Blank(PixFmt::RGBA, 6, 4);
    const auto convert = [&](CpuFrame from, CpuFrame to) {
        return gl([=](const ShaderStorage& s) { FrameConverter().Convert(from, to, s); });
    };
    // Downloads `into` from a GPU frame of `from`, or from an empty one.
    const auto download = [&](CpuFrame from, CpuFrame into) {
        return gl([=](const ShaderStorage& s) {
            auto frame = Frame::Create();
            frame->Upload(from, s);
            frame->Download(into, s);
        });
    };
    const auto upload = [&](CpuFrame from) {
        return gl([=](const ShaderStorage& s) { Frame::Create()->Upload(from, s); });
    };
    const auto data = [](int width, int height, PixFmt format = PixFmt::RGBA) {
        return DataVideoOGL::Create(kBT709, format, {width, height, 0, 0});
    };
    const auto frameData = [&](boost::intrusive_ptr<DataVideoOGL> object) {
        return gl([=](const ShaderStorage&) { object->FrameData(); });
    };
    auto object = data(16, 8);
    auto clone = boost::static_pointer_cast<DataVideoOGL>(object->Clone(Proc::CloneMode::Shallow));
    // An 8x4 RGBA8 texture and planes that do not match it.
    std::vector<std::uint8_t> memory(64 * 64, 0x33);
    const Proc::ConstPlane lies[] = {{nullptr, 32, 4},
                                     {memory.data(), 32, 3},
                                     {memory.data(), 31, 4},
                                     {memory.data() + 64 * 3, -31, 4}};
    const auto transfer = [&](const Proc::ConstPlane& plane, bool up) {
        return gl([=](const ShaderStorage& s) {
            Texture texture({8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                            GL_NEAREST, nullptr);
            up ? UploadPlane(plane, texture, s)
               : DownloadPlane({const_cast<std::uint8_t*>(plane.data), plane.stride, plane.rows},
                               texture, s);
        });
    };
    const std::string mismatch = "Plane does not match its texture: ";
    const std::string narrow = "the plane's stride of 31 bytes is narrower than a row of 32 bytes";

    const std::vector<Refusal> table = {
        {"Convert null source", convert(nullptr, rgba), 'E', "Source frame is null"},
        {"Convert null target", convert(yuv, nullptr), 'E', "Target frame is null"},
        {"Convert huge target", convert(yuv, Blank(PixFmt::RGB24, max + 1, 1)), 'E',
         "Frame size " + tooLarge},
        {"Convert huge source",
         convert(Blank(PixFmt::YUV444P, max + 1, 1), Blank(PixFmt::RGB24, max + 1, 1)), 'E',
         "Frame size " + tooLarge},
        {"Convert by too much", convert(Blank(PixFmt::RGB24, max, 1), Blank(PixFmt::RGB24, 1, 1)),
         'E', "Cannot resize by this much in one step", true},
        {"Convert yuyv target", convert(yuv, Blank(PixFmt::YUYV422, 6, 4)), 'E',
         "Unsupported pixel format for target frame: yuyv422"},
        {"Convert gray source", convert(Blank(PixFmt::GRAY8, 6, 4), rgba), 'E',
         "Unsupported pixel format for source frame: gray"},
        {"Convert matrix 8", convert(yuv, Blank(PixFmt::YUV420P, 6, 4, {1, 1, 8})), 'E',
         "Unsupported YCbCr matrix 8 (only matrices with luma coefficients convert)"},
        {"Convert off the GL thread", [&] { FrameConverter().Convert(yuv, rgba, ShaderStorage()); },
         'E', "This is not OpenGL thread."},
        {"GPU format of yuyv", [] { Frame::CPUPixFmtToGPUPixFmt(PixFmt::YUYV422); }, 'E',
         "Unsupported pixel format for CPU: yuyv422"},
        {"Upload too wide", upload(Blank(PixFmt::RGBA, max + 1, 1)), 'E', "Frame size " + tooLarge},
        {"Upload too high", upload(Blank(PixFmt::RGBA, 1, max + 1)), 'E',
         "Frame size 1x" + std::to_string(max + 1) + " exceeds the maximum texture size " +
             std::to_string(max)},
        {"Upload yuyv", upload(Blank(PixFmt::YUYV422, 6, 4)), 'E',
         "Unsupported pixel format for source frame: yuyv422"},
        {"Download into gray", download(rgba, Blank(PixFmt::GRAY8, 6, 4)), 'E',
         "Unsupported pixel format for destination frame: gray"},
        {"Download into swapped RGB", download(rgba, Blank(PixFmt::BGRA, 6, 4)), 'E',
         "Unsupported RGB pixel format: bgra"},
        {"Upload unspecified matrix", upload(Blank(PixFmt::YUV420P, 8, 8, {1, 1, 2})), 'E',
         "YCbCr matrix 2 has no known luma coefficients"},
        {"Download unspecified matrix", download(rgba, Blank(PixFmt::YUV444P, 6, 4, {1, 1, 2})),
         'E', "YCbCr matrix 2 has no known luma coefficients"},
        {"Download empty frame", download(nullptr, rgba), 'L', "Trying to download empty frame"},
        {"Download null", download(rgba, nullptr), 'E', "Destination frame is null"},
        {"Download narrower", download(rgba, Blank(PixFmt::RGBA, 5, 4)), 'E',
         "Destination frame size 5x4 differs from the GPU frame size 6x4"},
        {"Download higher", download(rgba, Blank(PixFmt::YUV420P, 6, 6)), 'E',
         "Destination frame size 6x6 differs from the GPU frame size 6x4"},
        {"Data too wide", [&] { data(max + 1, 2); }, 'M',
         "OpenGL does not support textures large than " + std::to_string(max)},
        {"Data negative", [&] { data(-3, 4); }, 'M', ""},
        {"Data huge", [&] { data(INT_MAX, INT_MAX); }, 'M', ""},
        {"Data empty", frameData(data(0, 0)), 'E', "Invalid frame size 0x0"},
        {"Data yuv420p", frameData(data(8, 8, PixFmt::YUV420P)), 'E',
         "Unsupported pixel format: yuv420p"},
        {"Data null task", [&] { object->AttachTask(nullptr); }, 'L', "Can't attach empty task"},
        {"Data null dependency", [&] { object->AddDependency(nullptr); }, 'L',
         "Can't add empty dependency"},
        {"Clone task", [&] { clone->AttachTask(MakeTask([](auto, const auto&) {})); }, 'L',
         "Can't attach tasks to cloned data"},
        {"Clone dependency", [&] { clone->AddDependency(data(2, 2)); }, 'L',
         "Can't add dependency for cloned data"},
        {"Deep clone", [&] { object->Clone(Proc::CloneMode::Deep); }, 'L',
         "Deep clone mode is not implemented"},
        {"Partial pad",
         [&] {
             object->PicturePad(1, 1, 1, 1, {1, 2, 3, 4});
         },
         'E', "Custom padding is not implemented"},
        {"CPU frame wider than a stride", [] { Blank(PixFmt::RGBA, INT_MAX, 1); }, 'M', ""},
        {"CPU frame empty", [] { Blank(PixFmt::RGBA, 0, 4); }, 'E', ""},
        {"CPU frame negative", [] { Blank(PixFmt::RGBA, 4, -1); }, 'E', ""},
        {"Upload no data", transfer(lies[0], true), 'E', mismatch + "the plane has no data"},
        {"Download no data", transfer(lies[0], false), 'E', mismatch + "the plane has no data"},
        {"Upload few rows", transfer(lies[1], true), 'E',
         mismatch + "the plane has 3 rows, the texture 4"},
        {"Download few rows", transfer(lies[1], false), 'E',
         mismatch + "the plane has 3 rows, the texture 4"},
        {"Upload narrow", transfer(lies[2], true), 'E', mismatch + narrow},
        {"Download narrow", transfer(lies[2], false), 'E', mismatch + narrow},
        {"Upload narrow bottom-up", transfer(lies[3], true), 'E', mismatch + narrow},
        {"Download narrow bottom-up", transfer(lies[3], false), 'E', mismatch + narrow},
        {"Unprepared download buffer",
         gl([](const ShaderStorage&) { Ogl::Details::DownloadBufferSimple().Complete(); }), 'L',
         "Binding uninitialized object"},
    };
    for (const Refusal& row : table) {
        glError = GL_NO_ERROR;
        const Outcome outcome = Attempt(row.body);
        EXPECT_EQ(outcome.kind, row.kind) << row.call << ": " << outcome.message;
        if (!row.message.empty()) {
            EXPECT_EQ(row.prefix ? outcome.message.substr(0, row.message.size()) : outcome.message,
                      row.message)
                << row.call;
        }
        EXPECT_EQ(glError, static_cast<GLenum>(GL_NO_ERROR)) << row.call << " left a GL error";
    }
    EXPECT_EQ(object->GetPendingTaskCount(), 0u);
    // The oversized picture reports its area.
    try {
        data(max + 1, 2);
    } catch (const Core::MemoryException& error) {
        EXPECT_EQ(error.GetSize(), (static_cast<std::uint64_t>(max) + 1) * 2);
    }
    EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](std::uint8_t b) { return b == 0x33; }))
        << "a refused download wrote through its plane";
}

}  // namespace
