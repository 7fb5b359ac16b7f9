// Wrong input to the frame API: random frames round-trip a known colour or are
// refused by name, and one table holds every refusal of frames, conversions,
// data objects and plane transfers with its exact text. Every test leaves the
// GL objects as it found them. RENDERHUB_BAD_INPUT_SEED replays a failing run.
#include <GL/glew.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Conf/ColorUtils.h"
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

unsigned Seed() {
    const char* text = std::getenv("RENDERHUB_BAD_INPUT_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : 0x5eed1234u;
}

bool IsSwappedRgb(PixFmt pixFmt) {
    const std::string order = RowOf(pixFmt).order;
    return !order.empty() && order != "RGB" && order != "RGBA";
}

// Matrices under which a mid-range colour stays inside the RGB cube.
bool GamutSafe(std::int32_t matrix) {
    return matrix == 1 || matrix == 4 || matrix == 5 || matrix == 6 || matrix == 7 || matrix == 9;
}

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

class Generator {
public:
    explicit Generator(unsigned seed) : random(seed) {}

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(random); }
    template <class T, std::size_t N>
    T Of(const T (&values)[N]) {
        return values[Pick(0, static_cast<int>(N) - 1)];
    }

    PixFmt Format() {
        // Mostly the supported ones, which reach the GPU; the rest of the enum,
        // None and values outside it check the refusals.
        const auto& supported = GetSupportedPixFmt();
        if (Chance(0.5)) {
            return supported[static_cast<std::size_t>(
                Pick(0, static_cast<int>(supported.size()) - 1))];
        }
        if (Chance(0.1)) {
            return static_cast<PixFmt>(Chance(0.5) ? -7 : Pick(221, 400));
        }
        return static_cast<PixFmt>(Pick(-1, static_cast<int>(PixFmt::RGBAF32LE)));
    }
    int Side() { return Of({1, 1, 2, 3, 5, 7, 8, 16, 17, 31, 33}); }
    DataVideoCPUOptions Options() {
        DataVideoCPUOptions options;
        options.alignment = Of({1, 2, 4, 16, 32, 64});
        options.rowPadding = Chance(0.3) ? Pick(1, 70) : 0;
        options.bottomUp = Chance(0.4);
        return options;
    }
    Conf::ColorSpace Space() {
        return {Pick(1, 12), Pick(1, 18), Of({0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 14, 99, -3})};
    }
    // Mid-range, so that no matrix of GamutSafe leaves the RGB cube.
    Proc::Color Colour() {
        const auto level = [&](int low, int high) {
            return static_cast<std::uint8_t>(Pick(low, high));
        };
        return {level(64, 191), level(64, 191), level(64, 191), level(0, 255)};
    }

    std::mt19937 random;
};

// Upload then download into a twin with another memory layout: supported
// formats come back as they went, unsupported ones are refused by name.
TEST_F(FrameBadInputGLTest, RandomFramesRoundTripOrAreRefused) {
    const unsigned seed = Seed();
    SCOPED_TRACE("RENDERHUB_BAD_INPUT_SEED=" + std::to_string(seed));
    Generator gen(seed);
    int roundTrips = 0, refusedUploads = 0, refusedCreates = 0;
    for (int iteration = 0; iteration < 200; ++iteration) {
        const PixFmt pixFmt = gen.Format();
        const Conf::FrameInfo info{gen.Side(), gen.Side(), 1, 1};
        const Conf::ColorSpace space = gen.Space();
        const DataVideoCPUOptions options = gen.Options();
        std::ostringstream label;
        label << "iteration " << iteration << ": " << Name(pixFmt) << " " << info.width << "x"
              << info.height << " matrix " << space.matrix << " alignment " << options.alignment
              << " padding " << options.rowPadding << (options.bottomUp ? " bottom-up" : "");
        SCOPED_TRACE(label.str());

        CpuFrame source;
        const Outcome created =
            Attempt([&] { source = DataVideoCPU::Create(pixFmt, info, space, options); });
        if (created.kind != '-') {
            // Only formats without CPU planes are refused at these sizes.
            const PixFmtDescription* d = PixFmtDescription::Find(pixFmt);
            EXPECT_FALSE(IsSupportedPixFmt(pixFmt)) << created.message;
            EXPECT_TRUE(d == nullptr || pixFmt == PixFmt::None || d->IsHardware() ||
                        created.message.find("not whole bytes") != std::string::npos ||
                        created.message.find("needs an even width") != std::string::npos)
                << created.message;
            ++refusedCreates;
            continue;
        }
        const bool supported = IsSupportedPixFmt(pixFmt);
        if (supported) {
            source->Fill(gen.Colour());
        }
        auto target = DataVideoCPU::Create(pixFmt, info, space, gen.Options());
        auto gpu = Frame::Create();
        Outcome upload, download;
        WithStorage([&](const ShaderStorage& storage) {
            upload = Attempt([&] { gpu->Upload(source, storage); });
            if (upload.kind != '-') {
                gpu->Upload(DataVideoCPU::Create(PixFmt::RGBA, info), storage);
            }
            download = Attempt([&] { gpu->Download(target, storage); });
            gpu->Upload(nullptr, storage);  // empties it on the GL thread
        });
        if (!supported) {
            EXPECT_EQ(upload.kind, 'E');
            EXPECT_EQ(upload.message, "Unsupported pixel format for source frame: " + Name(pixFmt));
            EXPECT_EQ(download.message,
                      "Unsupported pixel format for destination frame: " + Name(pixFmt));
            ++refusedUploads;
            continue;
        }
        const PixFmtDescription& d = *PixFmtDescription::Find(pixFmt);
        if (IsSwappedRgb(pixFmt)) {
            // Swapped RGB families upload but are not written back.
            EXPECT_EQ(upload.kind, '-') << upload.message;
            EXPECT_EQ(download.message, "Unsupported RGB pixel format: " + Name(pixFmt));
            continue;
        }
        if (upload.kind != '-' || download.kind != '-') {
            // A YUV frame whose matrix the converter cannot describe may be refused.
            EXPECT_FALSE(d.IsRGB() ||
                         Conf::IsValidYCbCrMatrix(static_cast<Conf::YCbCrMatrix>(space.matrix)))
                << upload.message << download.message;
            EXPECT_NE(upload.kind, 'L');
            EXPECT_NE(download.kind, 'L');
            continue;
        }
        if (!d.IsRGB() && !GamutSafe(space.matrix)) {
            continue;  // converted, but the colour may have left the RGB cube
        }
        // 8-bit GPU intermediate of the semi-planar formats plus YUV rounding.
        const double tolerance = 4.0 / 255 * ((1 << d.depth) - 1);
        EXPECT_EQ(FirstMiss(*target, [&](int k, int x, int y) { return GetCode(*source, k, x, y); },
                            {tolerance, tolerance, tolerance, tolerance}),
                  "");
        ++roundTrips;
    }
    // The mix reached every branch.
    EXPECT_GT(roundTrips, 25);
    EXPECT_GT(refusedUploads, 10);
    EXPECT_GT(refusedCreates, 5);
}

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
