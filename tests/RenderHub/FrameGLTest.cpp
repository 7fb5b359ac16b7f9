// GPU frames and data objects: transfers of every host format, lifetime, and
// every refusal of the frame API.
#include <GL/glew.h>

#include "Frame.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Core/MemoryException.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

#include "ColourReference.h"
#include "DataVideoOGL.h"
#include "FrameCases.h"
#include "FrameConverter.h"
#include "GlObjectCounter.h"
#include "LogCapture.h"
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
using GpuFrame = boost::intrusive_ptr<Frame>;
using Conf::YCbCrMatrix;

// Odd sizes: the last chroma samples cover fewer pixels.
constexpr int kWidth = 33;
constexpr int kHeight = 17;
const std::array<int, 6> kMatrices = {1, 4, 5, 6, 7, 9};
const PixFmt kRgbDestinations[] = {PixFmt::RGB24, PixFmt::RGBA, PixFmt::RGB48LE, PixFmt::RGBA64LE};

using FrameGLTest = GLTest<>;

int Max(PixFmt pixFmt) { return (1 << Describe(pixFmt).depth) - 1; }
int Depth(PixFmt pixFmt) { return Describe(pixFmt).depth; }
int Quantise(double v, int bits) {
    return static_cast<int>(std::floor(std::clamp(v, 0.0, 1.0) * ((1 << bits) - 1) + 0.5));
}

// Index of the chroma sample of pixel (x, y).
int ChromaX(PixFmt pixFmt, int x) { return x >> Describe(pixFmt).log2ChromaW; }
int ChromaY(PixFmt pixFmt, int y) { return y >> Describe(pixFmt).log2ChromaH; }

// Per chroma block a colour inside [0.1, 0.9]^3, per pixel plus a grey step of
// at most 0.08, which keeps the chroma: every sample decodes inside the RGB cube.
void FillInGamut(DataVideoCPU& frame, int matrix, std::mt19937& rng) {
    const PixFmt f = frame.GetPixelFormat();
    std::uniform_real_distribution<double> colour(0.1, 0.9), step(-0.08, 0.08);
    std::vector<glm::dvec3> blocks(static_cast<std::size_t>(kWidth * kHeight));
    for (glm::dvec3& block : blocks) {
        block = {colour(rng), colour(rng), colour(rng)};
    }
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int cx = ChromaX(f, x), cy = ChromaY(f, y);
            const glm::ivec3 codes =
                Ref::EncodeSamples(static_cast<YCbCrMatrix>(matrix), Describe(f).range, Depth(f),
                                   blocks[static_cast<std::size_t>(cy * kWidth + cx)] + step(rng));
            SetCode(frame, 0, x, y, codes.x);
            SetCode(frame, 1, cx, cy, codes.y);
            SetCode(frame, 2, cx, cy, codes.z);
            if (Components(f) == 4) {
                SetCode(frame, 3, x, y, static_cast<int>(rng() % (Max(f) + 1)));
            }
        }
    }
}

// Straight colour of pixel (x, y), clamped to the unit cube; opaque without alpha.
glm::dvec4 Decode(const DataVideoCPU& frame, int matrix, int x, int y) {
    const PixFmt f = frame.GetPixelFormat();
    const int cx = ChromaX(f, x), cy = ChromaY(f, y);
    const glm::dvec3 codes(GetCode(frame, 0, x, y), GetCode(frame, 1, cx, cy),
                           GetCode(frame, 2, cx, cy));
    const glm::dvec3 rgb =
        Describe(f).IsRGB()
            ? codes / double(Max(f))
            : Ref::DecodeSamples(static_cast<YCbCrMatrix>(matrix), Describe(f).range, Depth(f), 0,
                                 codes.x, codes.y, codes.z);
    return {glm::clamp(rgb, 0.0, 1.0),
            Components(f) == 4 ? GetCode(frame, 3, x, y) / double(Max(f)) : 1.0};
}

// Host memory layouts: rows top-down, bottom-up, padded by whole pixels, and
// padded so that strides are not whole pixels (GL takes row lengths in pixels),
// top-down and bottom-up.
const DataVideoCPUOptions kLayouts[] = {
    {}, {32, 0, true}, {16, 48, false}, {1, 1, false}, {4, 7, true}};

constexpr std::uint8_t kGuard = 0xA5;

// Fills the row padding with guard bytes (fill), or counts the guard bytes
// overwritten and the samples with bits set below the data shift.
int Untidy(DataVideoCPU& frame, bool fill = false) {
    int untidy = 0;
    for (int p = 0; p < frame.GetDescription().planes; ++p) {
        const Proc::Plane plane = frame.GetPlane(static_cast<unsigned char>(p));
        const auto stride = static_cast<std::size_t>(std::abs(plane.stride));
        const auto rowBytes = static_cast<std::size_t>(frame.GetPlaneWidthBytes(p));
        for (int r = 0; r < plane.rows; ++r) {
            std::uint8_t* row = plane.data + r * plane.stride;
            if (fill) {
                std::memset(row + rowBytes, kGuard, stride - rowBytes);
            }
            untidy += static_cast<int>(std::count_if(row + rowBytes, row + stride,
                                                     [](std::uint8_t b) { return b != kGuard; }));
            const int channels = Channels(frame, p), mask = (1 << frame.GetDescription().shift) - 1;
            for (int i = 0; i < PlaneWidth(frame, p) * channels; ++i) {
                untidy += (Get(frame, p, i / channels, r, i % channels) & mask) != 0;
            }
        }
    }
    return untidy;
}

// RGB downloaded into a Y'CbCr format: chroma is the mean of the pixels a sample
// covers (fewer at the odd edges).
void ExpectFromRgb(PixFmt f) {
    const int matrix = kMatrices[(static_cast<std::size_t>(f) + 3) % kMatrices.size()];
    const int sw = Describe(f).log2ChromaW, sh = Describe(f).log2ChromaH;
    std::mt19937 rng(static_cast<unsigned>(f) + 211u);
    std::uniform_real_distribution<double> colour(0.0, 1.0);
    // Opacity constant per chroma block, where weighted and plain means agree.
    const CpuFrame source =
        MakeFrame(PixFmt::RGBA64LE, kWidth, kHeight, [&](int, int x, int y, int k) {
            return Quantise(
                k < 3 ? colour(rng) : 0.2 + (ChromaX(f, x) * 7 + ChromaY(f, y)) % 9 * 0.1, 16);
        });
    const CpuFrame destination = Blank(f, kWidth, kHeight, {1, 1, matrix});
    Untidy(*destination, true);
    WithStorage([&](const ShaderStorage& storage) {
        auto frame = Frame::Create();
        frame->Upload(source, storage);
        frame->Download(destination, storage);
    });

    // Unrounded codes of a pixel.
    const auto codes = [&](int x, int y) {
        // Without an alpha plane the colour is premultiplied.
        const double a = Components(f) == 4 ? 1.0 : GetCode(*source, 3, x, y) / 65535.0;
        const glm::dvec3 rgb(GetCode(*source, 0, x, y), GetCode(*source, 1, x, y),
                             GetCode(*source, 2, x, y));
        return Ref::EncodeUnrounded(static_cast<YCbCrMatrix>(matrix), Describe(f).range, Depth(f),
                                    rgb * (a / 65535.0));
    };
    const auto want = [&](int k, int x, int y) {
        if (k == 3) {
            return std::floor(GetCode(*source, 3, x, y) / 65535.0 * Max(f));
        }
        const int bw = k == 0 ? 0 : sw, bh = k == 0 ? 0 : sh;
        double sum = 0.0;
        int count = 0;
        for (int py = y << bh; py < std::min((y + 1) << bh, kHeight); ++py) {
            for (int px = x << bw; px < std::min((x + 1) << bw, kWidth); ++px, ++count) {
                sum += codes(px, py)[k];
            }
        }
        return std::clamp(std::floor(sum / count + 0.5), 0.0, 1.0 * Max(f));
    };
    EXPECT_EQ(Untidy(*destination), 0) << "padding or bits below the data shift written";
    EXPECT_EQ(FirstMiss(*destination, want, {1, 1, 1, 1}), "") << "matrix " << matrix;  // rounding
}

// Every format: upload and download in every memory layout, back into the
// format and into every RGB destination, and Y'CbCr ones from RGB, against the
// double-precision model.
class FrameFormats : public GLTestWithParam<FormatRow> {};

TEST_P(FrameFormats, UploadAndDownloadInEveryLayout) {
    const FormatRow& row = GetParam();
    const PixFmt f = row.pixFmt;
    const bool rgb = Describe(f).IsRGB();
    // RGB: bit-exact.  Y'CbCr: the RGB texture's quantisation moves each channel
    // by half a step, which the Y'CbCr spans scale; one more code for rounding.
    std::array<double, 4> tolerance{0, 0, 0, 0};
    if (!rgb) {
        const Ref::Limits l = Ref::LimitsOf(Describe(f).range, Depth(f));
        const double step = 0.5 / Max(row.gpu);
        const double c = 1 + std::floor(step * l.ChromaSpan() + 0.5);
        tolerance = {1 + std::floor(step * (l.ymax - l.ymin) + 0.5), c, c, 0};  // alpha exact
    }
    EXPECT_EQ(Frame::CPUPixFmtToGPUPixFmt(f), row.gpu);
    for (std::size_t layout = 0; layout < std::size(kLayouts); ++layout) {
        const int matrix = kMatrices[(static_cast<std::size_t>(f) + layout) % kMatrices.size()];
        SCOPED_TRACE("layout " + std::to_string(layout) + ", matrix " + std::to_string(matrix));
        const Conf::ColorSpace space{1, 1, matrix};
        const auto seed = static_cast<unsigned>(f) * 7919u + static_cast<unsigned>(layout);
        std::mt19937 rng(seed);
        const CpuFrame source = rgb ? Noise(f, kWidth, kHeight, seed, space, kLayouts[layout])
                                    : Blank(f, kWidth, kHeight, space, kLayouts[layout]);
        if (!rgb) {
            FillInGamut(*source, matrix, rng);
        }
        // Swapped RGB families come back in the plain order of their depth.
        std::vector<CpuFrame> targets = {
            Blank(rgb ? row.gpu : f, kWidth, kHeight, space, kLayouts[layout])};
        for (const PixFmt d : kRgbDestinations) {
            targets.push_back(Blank(d, kWidth, kHeight, space, kLayouts[layout]));
        }
        // RGB in whatever order the texture is stored: Y'CbCr read from it as from
        // the plain order, and a frame of the plain order uploaded into it.
        const bool reorder = rgb && layout == 0;
        const CpuFrame yuv = Blank(PixFmt::YUV444P, kWidth, kHeight, space);
        const CpuFrame plainYuv = Blank(PixFmt::YUV444P, kWidth, kHeight, space);
        const CpuFrame other = Noise(row.gpu, kWidth, kHeight, seed + 1, space);
        const CpuFrame back = Blank(row.gpu, kWidth, kHeight, space);
        PixFmt gpuFormat = PixFmt::None;
        WithStorage([&](const ShaderStorage& storage) {
            GpuFrame frame = Frame::Create();
            frame->Upload(source, storage);
            gpuFormat = frame->GetPixelFormat();
            for (const CpuFrame& target : targets) {
                Untidy(*target, true);
                frame->Download(target, storage);
            }
            if (layout == 1) {
                // Bottom-up again: the frame keeps its texture without pool traffic,
                // and the transfers and their flipped temporaries create no GL object.
                const GLuint name = frame->GetFirstTexture()->GetTexId();
                const std::size_t pool = TexturePool::GetInstance().GetCount();
                const auto created = [] {
                    return std::array{GlObjectCounter::TotalCreated(GlObjectCounter::Texture),
                                      GlObjectCounter::TotalCreated(GlObjectCounter::Program),
                                      GlObjectCounter::TotalCreated(GlObjectCounter::Buffer)};
                };
                const auto before = created();
                for (int i = 0; i < 3; ++i) {
                    frame->Upload(source, storage);
                    frame->Download(targets[0], storage);
                }
                EXPECT_EQ(frame->GetFirstTexture()->GetTexId(), name);
                EXPECT_EQ(TexturePool::GetInstance().GetCount(), pool);
                EXPECT_EQ(created(), before) << "textures, programs, buffers";
            }
            if (reorder) {
                GpuFrame plain = Frame::Create();
                plain->Upload(targets[0], storage);
                plain->Download(plainYuv, storage);
                frame->Download(yuv, storage);
                frame->Upload(other, storage);
                frame->Download(back, storage);
            }
        });
        if (reorder) {
            EXPECT_EQ(FirstDifference(*yuv, *plainYuv), "");
            EXPECT_EQ(FirstDifference(*back, *other), "");
        }
        EXPECT_EQ(gpuFormat, row.gpu) << Name(gpuFormat);
        EXPECT_EQ(FirstMiss(
                      *targets[0], [&](int k, int x, int y) { return GetCode(*source, k, x, y); },
                      tolerance),
                  "");
        for (const CpuFrame& target : targets) {
            const PixFmt d = target->GetPixelFormat();
            EXPECT_EQ(Untidy(*target), 0) << Name(d) << ": padding or bits below the shift written";
            if (target == targets[0]) {
                continue;
            }
            // Decoded, quantised to the GPU texture, composited on black where
            // alpha goes, requantised: within one code of the coarser of the two.
            const auto want = [&](int k, int x, int y) {
                glm::dvec4 t = Decode(*source, matrix, x, y);
                for (int c = 0; c < 4; ++c) {
                    t[c] = c < 3 || Describe(row.gpu).HasAlpha()
                               ? Quantise(t[c], Depth(row.gpu)) / double(Max(row.gpu))
                               : 1.0;
                }
                return Quantise(k < 3 && Components(d) == 3 ? t[k] * t[3] : t[k], Depth(d));
            };
            const double tol = Max(d) / ((1 << std::min(Depth(row.gpu), Depth(d))) - 1);
            EXPECT_EQ(FirstMiss(*target, want, {tol, tol, tol, tol}), "") << Name(d);
        }
    }
    if (!rgb) {
        ExpectFromRgb(f);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FrameFormats, ::testing::ValuesIn(FormatRows()),
                         [](const auto& info) { return Name(info.param.pixFmt); });

// The formats and transfer probes; conversions after the first create no
// texture, and all go back.
TEST_F(FrameGLTest, SupportedFormatsProbesAndSteadyState) {
    // The frames take exactly the formats of the table.
    std::vector<PixFmt> table(FormatRows().size());
    std::transform(FormatRows().begin(), FormatRows().end(), table.begin(),
                   [](const FormatRow& row) { return row.pixFmt; });
    EXPECT_EQ(GetSupportedPixFmt(), table);
    // The transfer probes pass, and llvmpipe reads back through pixel-pack
    // buffers exactly.
    const LogCapture log;
    bool supported = false, simple = false;
    WithStorage([&](const ShaderStorage& storage) {
        supported = Ogl::Details::CheckTextureFormatSupporting();
        simple = dynamic_cast<Ogl::Details::DownloadBufferSimple*>(&storage.GetDownloadBuffer()) !=
                 nullptr;
    });
    EXPECT_TRUE(supported);
    EXPECT_EQ(log.CountPrefix("Unable to create texture"), 0) << log.Dump();
    EXPECT_TRUE(simple ||
                RenderHub::GetInstance().GetRenderer().find("llvmpipe") == std::string::npos);

    FinishGLTest();
    const long live = GlObjectCounter::Live(GlObjectCounter::Texture);
    WithStorage([&](const ShaderStorage& storage) {
        FrameConverter converter;
        const CpuFrame source = Noise(PixFmt::YUV420P, 6, 4, 1);
        const CpuFrame target = Blank(PixFmt::RGB48LE, 6, 4);
        converter.Convert(source, target, storage);
        const long created = GlObjectCounter::TotalCreated(GlObjectCounter::Texture);
        for (int i = 0; i < 3; ++i) {
            converter.Convert(source, target, storage);
        }
        EXPECT_EQ(GlObjectCounter::TotalCreated(GlObjectCounter::Texture), created);
    });
    FinishGLTest();
    EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Texture), live);
}

// Drawn premultiplied into an RGBA8 target: straight, flipped or mirrored.
TEST_F(FrameGLTest, DrawPremultipliedMirrors) {
    const auto channel = [](int x, int y, int k) {
        const int values[4] = {x * 7, y * 15, 77, y < kHeight / 2 ? 255 : 51};
        return values[k];
    };
    const CpuFrame source = MakeFrame(PixFmt::RGBA, kWidth, kHeight,
                                      [&](int, int x, int y, int k) { return channel(x, y, k); });
    for (const auto& direction : {std::array{1, 1}, std::array{1, -1}, std::array{-1, 1}}) {
        std::vector<std::uint8_t> drawn(static_cast<std::size_t>(kWidth * kHeight * 4));
        WithStorage([&](const ShaderStorage& storage) {
            GpuFrame frame = Frame::Create();
            frame->Upload(source, storage);
            Texture target({kWidth, kHeight, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                           GL_NEAREST, nullptr);
            storage.FBO().Attach(target);
            frame->DrawPremultiplied(storage, direction);
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, drawn.data());
            glBindFramebuffer(GL_FRAMEBUFFER, 0);
        });
        // Host row y is texture row y, which GL reads back as row y.
        for (int i = 0; i < kWidth * kHeight * 4; ++i) {
            const int x = i / 4 % kWidth, y = i / 4 / kWidth, k = i % 4;
            const int dx = direction[0] > 0 ? x : kWidth - 1 - x;
            const int dy = direction[1] > 0 ? y : kHeight - 1 - y;
            const double a = channel(x, y, 3);
            ASSERT_NEAR(drawn[static_cast<std::size_t>((dy * kWidth + dx) * 4 + k)],
                        k < 3 ? channel(x, y, k) * a / 255.0 : a, 1.0)  // blend rounding
                << x << "," << y << " c" << k << " direction " << direction[0] << direction[1];
        }
    }
}

// A null upload or the last release on the GL thread returns the texture at
// once; a release elsewhere queues one deleter task, which returns it.
TEST_F(FrameGLTest, ReleaseReturnsTheTextureOnOrOffTheGlThread) {
    const CpuFrame source = Blank(PixFmt::YUV420P, kWidth, kHeight);
    auto& statistic = Proc::GpuTaskStatistic::GetInstance();
    statistic.Clear();
    GpuFrame frame;
    std::size_t pool = 0, poolAfter = 0;
    WithStorage([&](const ShaderStorage& storage) {
        frame = Frame::Create();
        EXPECT_FALSE(frame->IsValid());
        frame->Upload(source, storage);
        ASSERT_TRUE(frame->IsValid());
        pool = TexturePool::GetInstance().GetCount();
        // A null upload empties the frame and returns its texture.
        frame->Upload(nullptr, storage);
        EXPECT_FALSE(frame->IsValid());
        EXPECT_EQ(frame->GetPixelFormat(), PixFmt::None);
        EXPECT_EQ(TexturePool::GetInstance().GetCount(), pool + 1) << "texture not returned";
        frame->Upload(source, storage);
        frame.reset();
        poolAfter = TexturePool::GetInstance().GetCount();
        frame = Frame::Create();
        frame->Upload(source, storage);
    });
    EXPECT_EQ(poolAfter, pool + 1);
    RunOnGL([] {});
    EXPECT_FALSE(statistic.GetOglStat("FrameDeleter").has_value());
    frame.reset();
    // Queued behind the deleter: once it ran, the deleter has too.
    RunOnGL([&] { poolAfter = TexturePool::GetInstance().GetCount(); });
    const auto deleter = statistic.GetOglStat("FrameDeleter");
    ASSERT_TRUE(deleter.has_value());
    EXPECT_EQ(deleter->count, 1u);
    EXPECT_EQ(poolAfter, pool + 1);
}

// ---------------------------------------------------------------------------
// GPU data objects (many threads drive them in StressGLTest).

boost::intrusive_ptr<DataVideoOGL> MakeObject(int width = 16, int height = 8,
                                              PixFmt format = PixFmt::RGBA) {
    return DataVideoOGL::Create(kBT709, format, {width, height, 0, 0});
}

// The hook makes GPU objects while the library runs; padding the whole picture
// fills it with the colour. Dependencies run first, then the tasks in order;
// clones share the primary's frame, time and tasks; a dropped object cancels
// what is pending.
TEST_F(FrameGLTest, DataObjectsRunTheirTasksAndClonesDeferToThePrimary) {
    ASSERT_TRUE(static_cast<bool>(Proc::DataVideoGPU::CreatorOGL));
    auto made = Proc::DataVideoGPU::CreatorOGL(kBT709, PixFmt::RGBA, {16, 8, 1, 1});
    EXPECT_NE(dynamic_cast<DataVideoOGL*>(made.get()), nullptr);
    EXPECT_EQ(made->GetType(), Proc::FrameAllocType::GPU);

    auto padded = MakeObject(100, 100);
    padded->PicturePad(100, 0, 0, 0, {10, 20, 30, 255});
    EXPECT_EQ(padded->GetPendingTaskCount(), 1u);
    padded->Execute(true);
    const CpuFrame cpu = Blank(PixFmt::RGBA, 100, 100);
    WithStorage([&](const ShaderStorage& storage) { padded->FrameData()->Download(cpu, storage); });
    const int colour[] = {10, 20, 30, 255};
    EXPECT_EQ(FirstMiss(*cpu, [&](int k, int, int) { return colour[k]; }, {0, 0, 0, 0}), "");

    std::vector<std::string> log;  // written on the GL thread only
    const auto recorder = [&](std::string name) {
        return MakeTask([&log, name](auto, const auto&) { log.push_back(name); },
                        OglCapability::Minimal, name);
    };
    auto dependency = MakeObject();
    dependency->AttachTask(recorder("dependency"));
    auto object = MakeObject();
    object->AttachTask(recorder("first"));
    object->AttachTask(recorder("second"));
    object->AddDependency(dependency);
    object->Execute(true);
    EXPECT_EQ(log, (std::vector<std::string>{"dependency", "first", "second"}));
    EXPECT_EQ(object->GetPendingTaskCount(), 0u);
    object->Execute(true);  // nothing pending: returns at once

    object->SetTimeStamp(40);
    object->SetDuration(20);
    auto clone = boost::static_pointer_cast<DataVideoOGL>(object->Clone(Proc::CloneMode::Shallow));
    auto cloneOfClone =
        boost::static_pointer_cast<DataVideoOGL>(clone->Clone(Proc::CloneMode::Reference));
    EXPECT_EQ(std::make_tuple(clone->GetParent(), cloneOfClone->GetParent(),
                              cloneOfClone->GetTimeStamp(), cloneOfClone->GetDuration()),
              std::make_tuple(object, object, std::int64_t{40}, std::int64_t{20}));
    object->AttachTask(recorder("primary"));
    cloneOfClone->Execute(true);
    EXPECT_EQ(log.back(), "primary");
    // The first task allocated the shared frame with the object's format.
    RunOnGL([&] {
        EXPECT_TRUE(object->FrameData()->IsValid());
        EXPECT_EQ(object->FrameData()->GetPixelFormat(), PixFmt::RGBA);
        EXPECT_EQ(object->FrameData().get(), cloneOfClone->FrameData().get());
    });

    auto pending = recorder("pending");
    MakeObject()->AttachTask(pending);
    EXPECT_EQ(pending->GetStatus(), Proc::TaskCancelled);
    EXPECT_EQ(log.back(), "primary");
}

// ---------------------------------------------------------------------------
// Wrong input: one table holds every refusal of frames, conversions, data
// objects and plane transfers with its exact text, and the GL objects are left
// as they were found.

// What a call threw: 'M' Core::MemoryException, 'E' Kavrin::Exception, 'L'
// std::logic_error, '-' nothing; and its text.
std::pair<char, std::string> Attempt(const std::function<void()>& body) {
    try {
        body();
    } catch (const Core::MemoryException& error) {
        return {'M', error.GetDescription()};
    } catch (const Kavrin::Exception& error) {
        return {'E', error.GetDescription()};
    } catch (const std::logic_error& error) {
        return {'L', error.what()};
    }
    return {'-', ""};
}

struct Refusal {
    std::string call;
    std::function<void()> body;
    char kind;
    std::string message;  // exact; "" checks the kind only
    bool prefix = false;  // the message starts with `message`
};

// Every refusal comes before the GPU is touched or gives back all it took: the
// GL objects end where they were (programs aside, a cache).
TEST_F(FrameGLTest, EveryRefusalNamesItsCause) {
    const auto gl = [](std::function<void(const ShaderStorage&)> body) {
        return std::function<void()>([body] { WithStorage(body); });
    };
    const auto max = static_cast<int>(
        std::min<std::uint64_t>(RenderHub::GetInstance().GetMaximumTextureSize(), INT_MAX - 1));
    const std::string over = std::to_string(max + 1);
    const auto tooLarge = [&](const std::string& size) {
        return "Frame size " + size + " exceeds the maximum texture size " + std::to_string(max);
    };
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
    const auto frameData = [&](boost::intrusive_ptr<DataVideoOGL> object) {
        return gl([=](const ShaderStorage&) { object->FrameData(); });
    };
    auto object = MakeObject();
    auto clone = boost::static_pointer_cast<DataVideoOGL>(object->Clone(Proc::CloneMode::Shallow));

    std::vector<Refusal> table = {
        {"Convert null source", convert(nullptr, rgba), 'E', "Source frame is null"},
        {"Convert null target", convert(yuv, nullptr), 'E', "Target frame is null"},
        {"Convert huge target", convert(yuv, Blank(PixFmt::RGB24, max + 1, 1)), 'E',
         tooLarge(over + "x1")},
        {"Convert huge source",
         convert(Blank(PixFmt::YUV444P, max + 1, 1), Blank(PixFmt::RGB24, max + 1, 1)), 'E',
         tooLarge(over + "x1")},
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
        {"Upload too wide", upload(Blank(PixFmt::RGBA, max + 1, 1)), 'E', tooLarge(over + "x1")},
        {"Upload too high", upload(Blank(PixFmt::RGBA, 1, max + 1)), 'E', tooLarge("1x" + over)},
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
        {"Data too wide", [&] { MakeObject(max + 1, 2); }, 'M',
         "OpenGL does not support textures large than " + std::to_string(max)},
        {"Data negative", [&] { MakeObject(-3, 4); }, 'M', ""},
        {"Data huge", [&] { MakeObject(INT_MAX, INT_MAX); }, 'M', ""},
        {"Data empty", frameData(MakeObject(0, 0)), 'E', "Invalid frame size 0x0"},
        {"Data yuv420p", frameData(MakeObject(8, 8, PixFmt::YUV420P)), 'E',
         "Unsupported pixel format: yuv420p"},
        {"Data null task", [&] { object->AttachTask(nullptr); }, 'L', "Can't attach empty task"},
        {"Data null dependency", [&] { object->AddDependency(nullptr); }, 'L',
         "Can't add empty dependency"},
        {"Clone task", [&] { clone->AttachTask(MakeTask([](auto, const auto&) {})); }, 'L',
         "Can't attach tasks to cloned data"},
        {"Clone dependency", [&] { clone->AddDependency(MakeObject(2, 2)); }, 'L',
         "Can't add dependency for cloned data"},
        {"Deep clone", [&] { object->Clone(Proc::CloneMode::Deep); }, 'L',
         "Deep clone mode is not implemented"},
        {"Partial pad",
         [&] {
             object->PicturePad(1, 1, 1, 1, {1, 2, 3, 4});
         },
         'E', "Custom padding is not implemented"},
        {"CPU frame wider than a stride", [] { Blank(PixFmt::RGBA, INT_MAX, 1); }, 'M', ""},
        {"Unprepared download buffer",
         gl([](const ShaderStorage&) { Ogl::Details::DownloadBufferSimple().Complete(); }), 'L',
         "Binding uninitialized object"},
    };
    // Planes that do not match an 8x4 RGBA8 texture, both ways.
    std::vector<std::uint8_t> memory(64 * 64, 0x33);
    const std::string narrow = "the plane's stride of 31 bytes is narrower than a row of 32 bytes";
    const std::pair<Proc::Plane, std::string> lies[] = {
        {{nullptr, 32, 4}, "the plane has no data"},
        {{memory.data(), 32, 3}, "the plane has 3 rows, the texture 4"},
        {{memory.data(), 31, 4}, narrow},
        {{memory.data() + 64 * 3, -31, 4}, narrow}};  // bottom-up
    for (std::size_t i = 0; i < std::size(lies); ++i) {
        for (const bool up : {true, false}) {
            const Proc::Plane plane = lies[i].first;
            table.push_back({(up ? "Upload plane " : "Download plane ") + std::to_string(i),
                             gl([plane, up](const ShaderStorage& s) {
                                 Texture texture({8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE},
                                                 GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
                                 up ? UploadPlane({plane.data, plane.stride, plane.rows}, texture,
                                                  s)
                                    : DownloadPlane(plane, texture, s);
                             }),
                             'E', "Plane does not match its texture: " + lies[i].second});
        }
    }
    // The first pass also makes the GL objects frames and converters share from
    // their first use on; the second must leave every count where it was.
    GlObjectCounter::Snapshot before{};
    for (int pass = 0; pass < 2; ++pass) {
        WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
        before = GlObjectCounter::Take();
        for (const Refusal& row : table) {
            const auto [kind, message] = Attempt(row.body);
            EXPECT_EQ(kind, row.kind) << row.call << ": " << message;
            if (!row.message.empty()) {
                EXPECT_EQ(row.prefix ? message.substr(0, row.message.size()) : message, row.message)
                    << row.call;
            }
            EXPECT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR))
                << row.call << " left a GL error";
        }
    }
    EXPECT_EQ(object->GetPendingTaskCount(), 0u);
    // The largest texture is no refusal.
    EXPECT_EQ(Attempt(upload(Blank(PixFmt::RGBA, max, 1))).second, "");
    EXPECT_EQ(Attempt(convert(Blank(PixFmt::RGB24, max, 1), Blank(PixFmt::RGB24, max, 1))).second,
              "");
    EXPECT_EQ(Attempt([&] { MakeObject(max, 1); }).second, "");
    // The oversized picture reports its area.
    try {
        MakeObject(max + 1, 2);
    } catch (const Core::MemoryException& error) {
        EXPECT_EQ(error.GetSize(), (static_cast<std::uint64_t>(max) + 1) * 2);
    }
    EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](std::uint8_t b) { return b == 0x33; }))
        << "a refused download wrote through its plane";
    WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
    GlObjectCounter::Snapshot after = GlObjectCounter::Take();
    after[GlObjectCounter::Program] = before[GlObjectCounter::Program];
    EXPECT_EQ(after, before) << "GL objects leaked";
}

}  // namespace
