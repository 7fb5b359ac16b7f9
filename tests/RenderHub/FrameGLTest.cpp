// GPU frames and data objects: transfers of every host format, lifetime, and
// every refusal of the frame API; and conversions between CPU frames.
#include <GL/glew.h>

#include "Frame.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <numeric>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "Kavrin/Core/MemoryException.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

#include "ColourReference.h"
#include "DataVideoOGL.h"
#include "FrameCases.h"
#include "GlObjectCounter.h"
#include "GpuEval.h"
#include "LogCapture.h"
#include "Oracles.h"
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
using GpuFrame = boost::intrusive_ptr<Frame>;
using Conf::YCbCrMatrix;
using Path = FrameConverter::Path;
using Range = PixelColorRange;
using Filter = FrameConversionOptions::ChromaFilter;
using Location = FrameConversionOptions::ChromaLocation;
using ScaleFilter = FrameConversionOptions::ScaleFilter;
using ToneCurve = FrameConversionOptions::ToneCurve;

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

int ChromaX(PixFmt pixFmt, int x) { return x >> Describe(pixFmt).log2ChromaW; }
int ChromaY(PixFmt pixFmt, int y) { return y >> Describe(pixFmt).log2ChromaH; }

// Mean of value(px, py) over the pixels of block (x, y), 2^bw by 2^bh pixels,
// clipped to the picture: fewer pixels at the odd edges.
double BlockMean(int x, int y, int bw, int bh, int width, int height,
                 const std::function<double(int, int)>& value) {
    double sum = 0.0;
    int count = 0;
    for (int py = y << bh; py < std::min((y + 1) << bh, height); ++py) {
        for (int px = x << bw; px < std::min((x + 1) << bw, width); ++px, ++count) {
            sum += value(px, py);
        }
    }
    return sum / count;
}

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
const Proc::DataVideoCPUOptions kLayouts[] = {
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
        }
    }
    const int mask = (1 << frame.GetDescription().shift) - 1;
    ForEachSample(
        frame, [&](int p, int x, int y, int c) { untidy += (Get(frame, p, x, y, c) & mask) != 0; });
    return untidy;
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
        // Y'CbCr from RGBA whose opacity is constant per chroma block, where
        // weighted and plain means agree.
        const CpuFrame rgba =
            MakeFrame(PixFmt::RGBA64LE, kWidth, kHeight, [&](int, int x, int y, int k) {
                return Quantise(k < 3 ? rng() / double(rng.max())
                                      : 0.2 + (ChromaX(f, x) * 7 + ChromaY(f, y)) % 9 * 0.1,
                                16);
            });
        const CpuFrame fromRgb = Blank(f, kWidth, kHeight, space, kLayouts[layout]);
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
            if (!rgb) {
                Untidy(*fromRgb, true);
                GpuFrame rgbFrame = Frame::Create();
                rgbFrame->Upload(rgba, storage);
                rgbFrame->Download(fromRgb, storage);
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
        if (rgb) {
            continue;
        }
        // From RGB, chroma is the mean of the pixels a sample covers (fewer at the
        // odd edges), premultiplied where no alpha plane takes the opacity.
        const auto codes = [&](int x, int y) {
            const double a = Components(f) == 4 ? 1.0 : GetCode(*rgba, 3, x, y) / 65535.0;
            const glm::dvec3 c(GetCode(*rgba, 0, x, y), GetCode(*rgba, 1, x, y),
                               GetCode(*rgba, 2, x, y));
            return Ref::EncodeUnrounded(static_cast<YCbCrMatrix>(matrix), Describe(f).range,
                                        Depth(f), c * (a / 65535.0));
        };
        const auto want = [&](int k, int x, int y) {
            if (k == 3) {
                return std::floor(GetCode(*rgba, 3, x, y) / 65535.0 * Max(f));
            }
            const int bw = k ? Describe(f).log2ChromaW : 0, bh = k ? Describe(f).log2ChromaH : 0;
            const double mean = BlockMean(x, y, bw, bh, kWidth, kHeight,
                                          [&](int px, int py) { return codes(px, py)[k]; });
            return std::clamp(std::floor(mean + 0.5), 0.0, 1.0 * Max(f));
        };
        EXPECT_EQ(Untidy(*fromRgb), 0) << "from RGB: padding or bits below the shift written";
        EXPECT_EQ(FirstMiss(*fromRgb, want, {1, 1, 1, 1}), "") << "from RGB";  // rounding
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FrameFormats, ::testing::ValuesIn(FormatRows()),
                         [](const auto& info) { return Name(info.param.pixFmt); });

TEST_F(FrameGLTest, SupportedFormatsAndProbes) {
    // The frames take exactly the formats of the table.
    std::vector<PixFmt> table(FormatRows().size());
    std::transform(FormatRows().begin(), FormatRows().end(), table.begin(),
                   [](const FormatRow& row) { return row.pixFmt; });
    EXPECT_EQ(GetSupportedPixFmt(), table);
    // The transfer probes pass (the pixel-pack one included), and a software
    // rasterizer reads straight into client memory.
    const LogCapture log;
    bool supported = false, direct = false;
    // Both read-backs of one padded, byte-swapped layout: the pixels of each row
    // reordered, the 8 bytes between rows kept.
    constexpr std::size_t kRowBytes = 8 * 4, kStride = kRowBytes + 8;
    std::vector<std::uint8_t> pixels(kRowBytes * 4);
    std::iota(pixels.begin(), pixels.end(), std::uint8_t{1});
    std::vector<std::vector<std::uint8_t>> read;
    WithStorage([&](const ShaderStorage& storage) {
        supported = Ogl::Details::CheckTextureFormatSupporting();
        direct = dynamic_cast<Ogl::Details::DownloadBufferDisabled*>(
                     &storage.GetDownloadBuffer()) != nullptr;
        Texture texture({8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE, GL_NEAREST,
                        pixels.data());
        Ogl::Details::DownloadBufferSimple simple;
        Ogl::Details::DownloadBufferDisabled disabled;
        for (Ogl::Details::DownloadBuffer* buffer :
             std::initializer_list<Ogl::Details::DownloadBuffer*>{&simple, &disabled}) {
            auto& into = read.emplace_back(kStride * 4, 0xEE);
            void* prepared = buffer->Prepare(into.data(), kStride * 3 + kRowBytes, kRowBytes,
                                             kStride, {{2, 1, 0, 3}});
            texture.Download(kStride / 4, prepared, storage.FBO());
            buffer->Complete();
            glPixelStorei(GL_PACK_ROW_LENGTH, 0);
        }
    });
    EXPECT_TRUE(supported);
    EXPECT_EQ(log.CountPrefix("Unable to create texture"), 0) << log.Dump();
    EXPECT_EQ(direct, RenderHub::GetInstance().GetInformation()->IsSoftwareRenderer());
    for (const auto& into : read) {
        for (std::size_t row = 0; row < 4; ++row) {
            for (std::size_t byte = 0; byte < kStride; ++byte) {
                const std::size_t pixel = row * kRowBytes + (byte & ~std::size_t{3});
                const int want = byte >= kRowBytes ? 0xEE
                                 : byte % 4 == 3   ? pixels[pixel + 3]
                                                   : pixels[pixel + 2 - byte % 4];
                ASSERT_EQ(into[row * kStride + byte], want) << "row " << row << " byte " << byte;
            }
        }
    }
    for (const char* renderer :
         {"llvmpipe (LLVM 15.0.6, 256 bits)", "softpipe", "Mesa X11 Software Rasterizer"}) {
        EXPECT_TRUE(Ogl::Details::IsSoftwareRenderer(reinterpret_cast<const GLubyte*>(renderer)));
    }
    for (const char* renderer :
         {"NVIDIA GeForce RTX 4090/PCIe/SSE2", "Mesa Intel(R) UHD Graphics 630 (CFL GT2)", ""}) {
        EXPECT_FALSE(Ogl::Details::IsSoftwareRenderer(reinterpret_cast<const GLubyte*>(renderer)));
    }
    EXPECT_FALSE(Ogl::Details::IsSoftwareRenderer(nullptr));
}

// Drawn premultiplied into an RGBA8 target: straight, flipped or mirrored.
TEST_F(FrameGLTest, DrawPremultipliedMirrors) {
    const auto channel = [](int, int x, int y, int k) {
        const int values[4] = {x * 7, y * 15, 77, y < kHeight / 2 ? 255 : 51};
        return values[k];
    };
    const CpuFrame source = MakeFrame(PixFmt::RGBA, kWidth, kHeight, channel);
    for (const auto& direction : {std::array{1, 1}, std::array{1, -1}, std::array{-1, 1}}) {
        const CpuFrame drawn = Blank(PixFmt::RGBA, kWidth, kHeight);
        WithStorage([&](const ShaderStorage& storage) {
            GpuFrame frame = Frame::Create();
            frame->Upload(source, storage);
            Texture target({kWidth, kHeight, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                           GL_NEAREST, nullptr);
            storage.FBO().Attach(target);
            frame->DrawPremultiplied(storage, direction);
            DownloadPlane(drawn->GetPlane(0), target, storage);
        });
        // Host row y is texture row y, both ways.
        const auto want = [&](int k, int x, int y) {
            x = direction[0] > 0 ? x : kWidth - 1 - x;
            y = direction[1] > 0 ? y : kHeight - 1 - y;
            return channel(0, x, y, k) * (k < 3 ? channel(0, x, y, 3) / 255.0 : 1.0);
        };
        EXPECT_EQ(FirstMiss(*drawn, want, {1, 1, 1, 1}), "")  // blend rounding
            << "direction " << direction[0] << direction[1];
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
        frame->Upload(nullptr, storage);
        EXPECT_EQ(std::pair(frame->IsValid(), frame->GetPixelFormat()),
                  std::pair(false, PixFmt::None));
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
    EXPECT_EQ(deleter ? deleter->count : 0u, 1u);
    EXPECT_EQ(poolAfter, pool + 1);
}

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

// What a call threw: 'M' Core::MemoryException, 'E' Kavrin::Exception, 'L'
// std::logic_error, '-' nothing; and its text.
std::pair<char, std::string> Attempt(const std::function<void()>& body) {
    try {
        body();
    } catch (const Core::MemoryException& error) {
        return {'M', error.GetDescription() + " (size " + std::to_string(error.GetSize()) + ")"};
    } catch (const Kavrin::Exception& error) {
        return {'E', error.GetDescription()};
    } catch (const std::logic_error& error) {
        return {'L', error.what()};
    }
    return {'-', ""};
}

struct Refusal {
    std::function<void()> body;
    char kind;
    std::string message;  // exact; "" checks the kind only
    bool prefix = false;  // the message starts with `message`
};

// One table holds every refusal of frames, conversions, data objects and plane
// transfers with its exact text. Each comes before the GPU is touched or gives
// back all it took: the GL objects end where they were (programs aside, a cache).
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
        {convert(nullptr, rgba), 'E', "Source frame is null"},
        {convert(yuv, nullptr), 'E', "Target frame is null"},
        {convert(yuv, Blank(PixFmt::RGB24, max + 1, 1)), 'E', tooLarge(over + "x1")},
        {convert(Blank(PixFmt::YUV444P, max + 1, 1), Blank(PixFmt::RGB24, max + 1, 1)), 'E',
         tooLarge(over + "x1")},
        {convert(Blank(PixFmt::RGB24, max, 1), Blank(PixFmt::RGB24, 1, 1)), 'E',
         "Cannot resize by this much in one step", true},
        {convert(yuv, Blank(PixFmt::YUYV422, 6, 4)), 'E',
         "Unsupported pixel format for target frame: yuyv422"},
        {convert(Blank(PixFmt::GRAY8, 6, 4), rgba), 'E',
         "Unsupported pixel format for source frame: gray"},
        {convert(yuv, Blank(PixFmt::YUV420P, 6, 4, {1, 1, 8})), 'E',
         "Unsupported YCbCr matrix 8 (only matrices with luma coefficients convert)"},
        {[&] { FrameConverter().Convert(yuv, rgba, ShaderStorage()); }, 'E',
         "This is not OpenGL thread."},
        {[] { Frame::CPUPixFmtToGPUPixFmt(PixFmt::YUYV422); }, 'E',
         "Unsupported pixel format for CPU: yuyv422"},
        {upload(Blank(PixFmt::RGBA, max + 1, 1)), 'E', tooLarge(over + "x1")},
        {upload(Blank(PixFmt::RGBA, 1, max + 1)), 'E', tooLarge("1x" + over)},
        {upload(Blank(PixFmt::YUYV422, 6, 4)), 'E',
         "Unsupported pixel format for source frame: yuyv422"},
        {download(rgba, Blank(PixFmt::GRAY8, 6, 4)), 'E',
         "Unsupported pixel format for destination frame: gray"},
        {download(rgba, Blank(PixFmt::BGRA, 6, 4)), 'E', "Unsupported RGB pixel format: bgra"},
        {upload(Blank(PixFmt::YUV420P, 8, 8, {1, 1, 2})), 'E',
         "YCbCr matrix 2 has no known luma coefficients"},
        {download(rgba, Blank(PixFmt::YUV444P, 6, 4, {1, 1, 2})), 'E',
         "YCbCr matrix 2 has no known luma coefficients"},
        {download(nullptr, rgba), 'L', "Trying to download empty frame"},
        {download(rgba, nullptr), 'E', "Destination frame is null"},
        {download(rgba, Blank(PixFmt::RGBA, 5, 4)), 'E',
         "Destination frame size 5x4 differs from the GPU frame size 6x4"},
        {download(rgba, Blank(PixFmt::YUV420P, 6, 6)), 'E',
         "Destination frame size 6x6 differs from the GPU frame size 6x4"},
        {[&] { MakeObject(max + 1, 2); }, 'M',
         "OpenGL does not support textures large than " + std::to_string(max) + " (size " +
             std::to_string((static_cast<std::uint64_t>(max) + 1) * 2) + ")"},  // the area
        {[&] { MakeObject(-3, 4); }, 'M', ""},
        {[&] { MakeObject(INT_MAX, INT_MAX); }, 'M', ""},
        {frameData(MakeObject(0, 0)), 'E', "Invalid frame size 0x0"},
        {frameData(MakeObject(8, 8, PixFmt::YUV420P)), 'E', "Unsupported pixel format: yuv420p"},
        {[&] { object->AttachTask(nullptr); }, 'L', "Can't attach empty task"},
        {[&] { object->AddDependency(nullptr); }, 'L', "Can't add empty dependency"},
        {[&] { clone->AttachTask(MakeTask([](auto, const auto&) {})); }, 'L',
         "Can't attach tasks to cloned data"},
        {[&] { clone->AddDependency(MakeObject(2, 2)); }, 'L',
         "Can't add dependency for cloned data"},
        {[&] { object->Clone(Proc::CloneMode::Deep); }, 'L', "Deep clone mode is not implemented"},
        {[&] {
             object->PicturePad(1, 1, 1, 1, {1, 2, 3, 4});
         },
         'E', "Custom padding is not implemented"},
        {[] { Blank(PixFmt::RGBA, INT_MAX, 1); }, 'M', ""},
        {gl([](const ShaderStorage&) { Ogl::Details::DownloadBufferSimple().Complete(); }), 'L',
         "Binding uninitialized object"},
        // The largest texture is no refusal.
        {upload(Blank(PixFmt::RGBA, max, 1)), '-', ""},
        {convert(Blank(PixFmt::RGB24, max, 1), Blank(PixFmt::RGB24, max, 1)), '-', ""},
        {[&] { MakeObject(max, 1); }, '-', ""},
    };
    // Planes that do not match an 8x4 RGBA8 texture, both ways.
    std::vector<std::uint8_t> memory(64 * 64, 0x33);
    const std::string narrow = "the plane's stride of 31 bytes is narrower than a row of 32 bytes";
    const std::pair<Proc::Plane, std::string> lies[] = {
        {{nullptr, 32, 4}, "the plane has no data"},
        {{memory.data(), 32, 3}, "the plane has 3 rows, the texture 4"},
        {{memory.data(), 31, 4}, narrow},
        {{memory.data() + 64 * 3, -31, 4}, narrow}};  // bottom-up
    for (const auto& [plane, cause] : lies) {
        for (const bool up : {true, false}) {
            const auto body = [plane = plane, up](const ShaderStorage& s) {
                Texture texture({8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                                GL_NEAREST, nullptr);
                up ? UploadPlane({plane.data, plane.stride, plane.rows}, texture, s)
                   : DownloadPlane(plane, texture, s);
            };
            table.push_back({gl(body), 'E', "Plane does not match its texture: " + cause});
        }
    }
    // The first pass also makes the GL objects frames and converters share from
    // their first use on; the second must leave every count where it was.
    GlObjectCounter::Snapshot before{};
    for (int pass = 0; pass < 2; ++pass) {
        WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
        before = GlObjectCounter::Take();
        for (std::size_t i = 0; i < table.size(); ++i) {
            const Refusal& row = table[i];
            SCOPED_TRACE("row " + std::to_string(i) + ", wanted: " + row.message);
            const auto [kind, message] = Attempt(row.body);
            EXPECT_EQ(kind, row.kind) << message;
            if (!row.message.empty()) {
                EXPECT_EQ(row.prefix ? message.substr(0, row.message.size()) : message,
                          row.message);
            }
            EXPECT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR)) << "GL error left";
        }
    }
    EXPECT_EQ(object->GetPendingTaskCount(), 0u);
    EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](std::uint8_t b) { return b == 0x33; }))
        << "a refused download wrote through its plane";
    WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
    GlObjectCounter::Snapshot after = GlObjectCounter::Take();
    after[GlObjectCounter::Program] = before[GlObjectCounter::Program];
    EXPECT_EQ(after, before) << "GL objects leaked";
}

// CPU frame to CPU frame conversions: the integer paths exactly against closed
// forms, the colour, chroma and resize paths against zimg, alpha, dither, tone
// and gamut mapping against their formulas, and planning.

PixFmt Yuv444(int depth, bool alpha = false) {
    const PixFmt formats[2][4] = {
        {PixFmt::YUV444P, PixFmt::YUV444P10LE, PixFmt::YUV444P12LE, PixFmt::YUV444P16LE},
        {PixFmt::YUVA444P, PixFmt::YUVA444P10LE, PixFmt::YUVA444P12LE, PixFmt::YUVA444P16LE}};
    return formats[alpha ? 1 : 0][depth == 8 ? 0 : depth == 10 ? 1 : depth == 12 ? 2 : 3];
}

using FrameConverterGLTest = GLTest<>;

// Every pair of formats, on both paths (integer within a family): every shader
// variant builds and binds without a complaint, a neutral grey stays neutral and
// opaque stays opaque. Pairs of the same samples (family, depth and chroma grid)
// come back bit-exact, alpha added opaque, into themselves with the bits below
// the data: odd sizes, one pixel, saturated bars,
// rows bottom-up and strides of no whole pixel. A warm converter creates no
// texture and takes its own along when it goes.
TEST_F(FrameConverterGLTest, EveryFormatPairKeepsGreyAndSameSamplesExactly) {
    const LogCapture log;
    const auto bars = [](PixFmt format, int width, int height) {
        const int depth = Describe(format).depth, shift = depth - 8;
        const int levels[] = {
            0, (1 << depth) - 1, 16 << shift, 235 << shift, 240 << shift, 1 << (depth - 1)};
        return MakeFrame(format, width, height, [&](int plane, int x, int y, int channel) {
            return levels[(x + 2 * y + 3 * plane + channel) % 6];
        });
    };
    const auto grey = [](PixFmt format) {
        const int depth = Describe(format).depth;
        const Slot alpha = SlotOf(format, 3);  // none: a plane or channel beyond the format's
        return MakeFrame(format, 3, 3, [=](int plane, int, int, int channel) {
            if (plane == alpha.plane && channel == alpha.channel) {
                return (1 << depth) - 1;
            }
            return Describe(format).IsRGB() || plane != 0 ? 1 << (depth - 1) : 126 << (depth - 8);
        });
    };
    FinishGLTest();
    const long live = GlObjectCounter::Live(GlObjectCounter::Texture);
    WithStorage([&](const ShaderStorage& storage) {
        FrameConverter converter;
        for (PixFmt from : GetSupportedPixFmt()) {
            for (PixFmt to : GetSupportedPixFmt()) {
                const PixFmtDescription &in = Describe(from), &out = Describe(to);
                EXPECT_EQ(converter.Plan(from, kBT709, to, kBT709),
                          in.IsRGB() == out.IsRGB() ? Path::Integer : Path::Colour);
                if (in.IsRGB() == out.IsRGB() && in.depth == out.depth &&
                    in.log2ChromaW == out.log2ChromaW && in.log2ChromaH == out.log2ChromaH) {
                    for (const auto& [w, h] : {std::pair{37, 23}, std::pair{1, 1}}) {
                        for (const CpuFrame& source :
                             {Noise(from, w, h, 7, kBT709, {1, 3, true}), bars(from, w, h)}) {
                            const CpuFrame target = Blank(to, w, h, kBT709, {16, 5, false});
                            converter.Convert(source, target, storage);
                            const auto same = [&](int k, int x, int y) {
                                return k < Components(from) ? GetCode(*source, k, x, y)
                                                            : (1 << out.depth) - 1;
                            };
                            EXPECT_EQ(FirstMiss(*target, same, {0, 0, 0, 0}), "")
                                << Name(from) << " to " << Name(to) << " " << w << "x" << h;
                            if (from == to) {  // P010 keeps what lies below its data
                                EXPECT_EQ(FirstDifference(*target, *source), "");
                            }
                        }
                    }
                }
                // The same matrix (integer paths where the families agree) and another.
                for (const Conf::ColorSpace& toSpace : {kBT709, Conf::ColorSpace{1, 1, 5}}) {
                    const CpuFrame target = Blank(to, 3, 3, toSpace);
                    converter.Convert(grey(from), target, storage);
                    // Alpha opaque, R', G' and B' equal, chroma in the middle: one code.
                    const auto neutral = [&](int k, int x, int y) {
                        return k == 3                  ? (1 << out.depth) - 1
                               : k > 0 && !out.IsRGB() ? 1 << (out.depth - 1)
                                                       : GetCode(*target, 0, x, y);
                    };
                    ASSERT_EQ(FirstMiss(*target, neutral, {1, 1, 1, 0}), "")
                        << Name(from) << " to " << Name(to) << " matrix " << toSpace.matrix;
                }
            }
        }
        // Once every variant ran, a conversion creates no texture.
        const long created = GlObjectCounter::TotalCreated(GlObjectCounter::Texture);
        converter.Convert(grey(PixFmt::YUV420P), Blank(PixFmt::RGB48LE, 3, 3), storage);
        EXPECT_EQ(GlObjectCounter::TotalCreated(GlObjectCounter::Texture), created);
    });
    FinishGLTest();
    EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Texture), live) << "converter's textures";
    EXPECT_EQ(log.CountPrefix(""), 0) << log.Dump();
}

// Offset and scale of a component kind (0 luma, 1 chroma, 3 alpha).
std::pair<double, double> Quantisation(int depth, bool full, int kind) {
    const double maximum = (1 << depth) - 1, unit = 1 << (depth - 8);
    if (kind == 3 || (full && kind == 0)) {
        return {0.0, maximum};
    }
    return kind == 1 ? std::pair{double(1 << (depth - 1)), full ? maximum : 224 * unit}
                     : std::pair{16 * unit, 219 * unit};
}

// The integer path against closed forms for every code: depth and range
// changes (code = offset + value * scale, rounded to nearest, ties to even, as
// zimg does), and chroma grids, the mean of the covered pixels down (fewer at
// odd edges) and the nearest sample up.
TEST_F(FrameConverterGLTest, IntegerPathFollowsTheClosedForms) {
    struct Row {
        PixFmt from, to;
        int width, height;
        bool inFull, outFull;
    };
    std::vector<Row> rows;
    // Depth and full range in, depth and full range out.
    const int depths[][4] = {{8, 0, 10, 0},  {10, 0, 8, 0},  {8, 0, 8, 1},   {8, 1, 8, 0},
                             {10, 0, 10, 1}, {10, 1, 12, 1}, {12, 0, 8, 1},  {12, 1, 10, 0},
                             {8, 1, 16, 0},  {10, 0, 16, 1}, {16, 1, 10, 0}, {16, 0, 16, 1},
                             {16, 1, 16, 0}, {16, 0, 8, 0}};
    for (const auto& [inDepth, inFull, outDepth, outFull] : depths) {
        // 256 x 256 holds every 16-bit code; smaller depths repeat theirs.
        rows.push_back(
            {Yuv444(inDepth, true), Yuv444(outDepth, true), 256, 256, inFull != 0, outFull != 0});
    }
    for (const auto& [format, width, height] :
         {std::tuple{PixFmt::YUV411P, 8, 1}, std::tuple{PixFmt::YUV411P, 11, 3},
          std::tuple{PixFmt::YUV410P, 9, 7}, std::tuple{PixFmt::YUV420P, 5, 5},
          std::tuple{PixFmt::YUV420P, 65, 2}, std::tuple{PixFmt::YUV440P, 3, 5},
          std::tuple{PixFmt::NV12, 7, 3}}) {
        rows.push_back({PixFmt::YUV444P, format, width, height, false, false});
        rows.push_back({format, PixFmt::YUV444P, width, height, false, false});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(Name(r.from) + (r.inFull ? " full to " : " to ") + Name(r.to) +
                     (r.outFull ? " full " : " ") + std::to_string(r.width) + "x" +
                     std::to_string(r.height));
        const PixFmtDescription &in = Describe(r.from), &out = Describe(r.to);
        const CpuFrame source =
            r.width == 256 ? MakeFrame(r.from, 256, 256,
                                       [&](int plane, int x, int y, int) {
                                           return (y * 256 + x + 37 * plane) % (1 << in.depth);
                                       })
                           : Noise(r.from, r.width, r.height, 3);
        const CpuFrame target = Blank(r.to, r.width, r.height);
        FrameConversionOptions options;
        options.sourceRange = r.inFull ? Range::Full : Range::Limited;
        options.targetRange = r.outFull ? Range::Full : Range::Limited;
        EXPECT_EQ(FrameConverter(options).Plan(r.from, kBT709, r.to, kBT709), Path::Integer);
        Convert(source, target, options);
        const auto want = [&](int k, int x, int y) {
            const int kind = k == 0 ? 0 : k == 3 ? 3 : 1;
            const auto [inOffset, inScale] = Quantisation(in.depth, r.inFull, kind);
            const auto [outOffset, outScale] = Quantisation(out.depth, r.outFull, kind);
            // Source samples under the pixels that target sample covers.
            const bool chroma = kind == 1;
            const double mean =
                BlockMean(x, y, chroma ? out.log2ChromaW : 0, chroma ? out.log2ChromaH : 0, r.width,
                          r.height, [&](int px, int py) {
                              return GetCode(*source, k, chroma ? px >> in.log2ChromaW : px,
                                             chroma ? py >> in.log2ChromaH : py);
                          });
            return std::clamp(std::nearbyint(outOffset + (mean - inOffset) * outScale / inScale),
                              0.0, double((1 << out.depth) - 1));
        };
        EXPECT_EQ(FirstMiss(*target, want, {0, 0, 0, 0}), "");  // exact
    }
}

// Against zimg: colour (every matrix, range and depth, codes across the whole
// container), chroma kernels and sitings, and resizing kernels.

struct ZimgCase {
    PixFmt from;
    PixFmt to;
    int matrix = 1, toMatrix = 1;
    Range range = Range::Limited;
    Filter chroma = Filter::Nearest;
    Location location = Location::Left;
    ScaleFilter scale = ScaleFilter::Bicubic;
    int width = 64, height = 48, toWidth = 64, toHeight = 48;  // source, then target
};

// Soft gradients, fine texture and a hard diagonal edge, 16-bit.
int Picture(int channel, int x, int y) {
    const double v = 0.5 + 0.25 * std::sin(0.13 * x + 0.05 * y + channel) +
                     0.12 * std::sin(0.9 * x * std::cos(0.2 * y)) + (x > 40 + y / 3 ? 0.1 : -0.1);
    return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 65535.0));
}

class FrameConverterZimg : public GLTestWithParam<ZimgCase> {};

TEST_P(FrameConverterZimg, MatchesWithinOneCode) {
    const ZimgCase c = GetParam();
    const PixFmtDescription &in = Describe(c.from), &out = Describe(c.to);
    const bool resize = c.width != c.toWidth || c.height != c.toHeight;
    const auto picture = [&](int plane, int x, int y, int channel) {
        return Picture(plane + channel, x, y) >> (16 - in.depth);
    };
    // The picture where samples are resampled, noise elsewhere.
    const CpuFrame source = resize || c.chroma != Filter::Nearest
                                ? MakeFrame(c.from, c.width, c.height, picture)
                                : Noise(c.from, c.width, c.height, 11, {1, 1, c.matrix});
    const CpuFrame target = Blank(c.to, c.toWidth, c.toHeight, {1, 1, c.toMatrix});
    FrameConversionOptions options;
    options.sourceRange = in.IsRGB() ? Range::Full : c.range;
    options.targetRange = out.IsRGB() ? Range::Full : c.range;
    options.chromaFilter = c.chroma;
    options.sourceChromaLocation = options.targetChromaLocation = c.location;
    options.scaleFilter = c.scale;
    Convert(source, target, options);

    const auto image = [&](const PixFmtDescription& d, int width, int height, int matrix) {
        return ZimgImage{
            width,  height, d.depth,       d.IsRGB(),     d.IsRGB() || c.range == Range::Full,
            matrix, {},     d.log2ChromaW, d.log2ChromaH, static_cast<int>(c.location) - 1};
    };
    ZimgImage zin = image(in, c.width, c.height, c.matrix);
    ZimgImage zout = image(out, c.toWidth, c.toHeight, c.toMatrix);
    for (int k = 0; k < 3; ++k) {
        for (int i = 0; i < zin.PlaneWidth(k) * zin.PlaneHeight(k); ++i) {
            const int x = i % zin.PlaneWidth(k), y = i / zin.PlaneWidth(k);
            zin.planes[k].push_back(static_cast<std::uint16_t>(GetCode(*source, k, x, y)));
        }
    }
    // The kernels in the same order.
    ASSERT_TRUE(resize
                    ? ZimgResize(zin, zout, static_cast<ZimgKernel>(static_cast<int>(c.scale) - 1))
                    : ZimgConvert(zin, zout,
                                  c.chroma == Filter::Bicubic ? ZimgChromaFilter::Bicubic
                                                              : ZimgChromaFilter::Bilinear,
                                  0.0, 0.5));
    // Both mirror at the edges, so every pixel is compared: within one code, or
    // above 80 dB for 16-bit RGB resized.
    const auto zimg = [&](int k, int x, int y) {
        return zout.planes[k][static_cast<std::size_t>(y * zout.PlaneWidth(k) + x)];
    };
    if (!resize || !out.IsRGB()) {
        EXPECT_EQ(FirstMiss(*target, zimg, {1, 1, 1, 1}), "");
    } else {
        for (int k = 0; k < 3; ++k) {
            double squares = 0.0;
            for (int i = 0; i < c.toWidth * c.toHeight; ++i) {
                const int x = i % c.toWidth, y = i / c.toWidth;
                squares += std::pow(GetCode(*target, k, x, y) - zimg(k, x, y), 2);
            }
            const double mse = std::max(squares / (c.toWidth * c.toHeight), 1e-12);
            EXPECT_GT(10.0 * std::log10(65535.0 * 65535.0 / mse), 80.0) << "component " << k;
        }
    }
    if (resize) {
        // Normalised weights: a flat field stays flat through every kernel, edges too.
        const auto level = [&](int k) { return (20000 + 1000 * k) >> (16 - in.depth); };
        const CpuFrame flat = Blank(c.to, c.toWidth, c.toHeight);
        Convert(MakeFrame(c.from, c.width, c.height,
                          [&](int p, int, int, int ch) { return level(p + ch); }),
                flat, options);
        EXPECT_EQ(FirstMiss(*flat, [&](int k, int, int) { return level(k); }, {0, 0, 0, 0}), "");
    }
}

std::vector<ZimgCase> ZimgCases() {
    std::vector<ZimgCase> cases;
    for (const int matrix : {1, 4, 5, 6, 7, 9}) {
        for (const Range range : {Range::Limited, Range::Full}) {
            for (const int depth : {8, 10, 12, 16}) {
                const PixFmt rgb = depth == 8 ? PixFmt::RGB24 : PixFmt::RGB48LE;
                cases.push_back({Yuv444(depth), rgb, matrix, matrix, range});
                cases.push_back({rgb, Yuv444(depth), matrix, matrix, range});
            }
        }
    }
    cases.push_back({PixFmt::YUV444P, PixFmt::YUV444P, 9, 1});
    cases.push_back({PixFmt::YUV444P10LE, PixFmt::YUV444P10LE, 9, 1});
    // 4:2:0 up (1) to 4:4:4 and back (0): chroma filter, siting (as H.273).
    const int chroma[][3] = {{1, 1, 1}, {1, 2, 1}, {1, 3, 1}, {1, 6, 1}, {2, 1, 1},
                             {2, 2, 1}, {1, 1, 0}, {1, 2, 0}, {2, 1, 0}, {2, 3, 0}};
    for (const auto& [filter, siting, up] : chroma) {
        const PixFmt p420 = PixFmt::YUV420P10LE, p444 = PixFmt::YUV444P10LE;
        cases.push_back({up ? p420 : p444, up ? p444 : p420, 1, 1, Range::Limited,
                         static_cast<Filter>(filter), static_cast<Location>(siting)});
    }
    // Resizing 16-bit RGB (1) from 97x61, or 10-bit 4:2:0 (0) from 96x60 whose
    // planes keep their grid and siting: kernel, siting, target size (13x9: more
    // taps than the unrolled programs take).
    const int resize[][5] = {{1, 1, 1, 160, 90}, {1, 1, 1, 41, 27},  {1, 2, 1, 160, 90},
                             {1, 2, 1, 41, 27},  {1, 2, 1, 97, 200}, {1, 3, 1, 133, 17},
                             {1, 4, 1, 160, 90}, {1, 4, 1, 41, 27},  {1, 4, 1, 13, 9},
                             {0, 4, 1, 150, 90}, {0, 2, 3, 40, 26},  {0, 1, 6, 130, 34}};
    for (const auto& [rgb, kernel, siting, width, height] : resize) {
        const PixFmt format = rgb ? PixFmt::RGB48LE : PixFmt::YUV420P10LE;
        cases.push_back({format, format, 1, 1, Range::Limited, Filter::Nearest,
                         static_cast<Location>(siting), static_cast<ScaleFilter>(kernel),
                         rgb ? 97 : 96, rgb ? 61 : 60, width, height});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(ColourChromaAndSize, FrameConverterZimg, ::testing::ValuesIn(ZimgCases()),
                         [](const auto& info) {
                             return Name(info.param.from) + "To" + Name(info.param.to) + "_" +
                                    std::to_string(info.index);
                         });

TEST_F(FrameConverterGLTest, AlphaIsCarriedDroppedOrComposited) {
    // Limited-range white at alpha 128 of 255.
    const CpuFrame source = MakeFrame(
        PixFmt::YUVA444P, 2, 1, [](int plane, int, int, int) { return plane == 0 ? 235 : 128; });
    FrameConversionOptions composite;
    composite.alpha = FrameConversionOptions::Alpha::CompositeOnBlack;
    // Carried from 8 to 16 bits exactly; dropped, leaving the straight colour; or
    // composited, 128/255 of the way from black (16) to white (235).
    const std::tuple<PixFmt, FrameConversionOptions, std::array<double, 4>> rows[] = {
        {PixFmt::RGBA64LE, {}, {65535, 65535, 65535, 128 * 257}},
        {PixFmt::RGB24, {}, {255, 255, 255}},
        {PixFmt::YUV444P, composite, {std::nearbyint(16 + 219 * 128 / 255.0), 128, 128}}};
    for (const auto& [format, options, want] : rows) {
        const CpuFrame target = Blank(format, 2, 1);
        Convert(source, target, options);
        EXPECT_EQ(FirstMiss(*target, [&](int k, int, int) { return want[k]; }, {0, 0, 0, 0}), "");
    }
}

TEST_F(FrameConverterGLTest, OrderedDitherIsUnbiasedAndTheSameEveryFrame) {
    FrameConversionOptions ordered;
    ordered.dither = FrameConversionOptions::Dither::Ordered;
    // A flat 128.5/255 (16-bit 33025): half 128 and half 129, where rounding gives all 129.
    const CpuFrame flat =
        MakeFrame(PixFmt::RGB48LE, 32, 32, [](int, int, int, int) { return 33025; });
    std::vector<CpuFrame> out;  // rounded, then dithered twice
    for (int i = 0; i < 3; ++i) {
        out.push_back(Blank(PixFmt::RGB24, 32, 32));
        Convert(flat, out.back(), i == 0 ? FrameConversionOptions{} : ordered);
    }
    EXPECT_EQ(FirstMiss(*out[0], [](int, int, int) { return 129; }, {0, 0, 0, 0}), "");
    EXPECT_EQ(FirstMiss(*out[1], [](int, int, int) { return 128.5; }, {0.5, 0.5, 0.5, 0}), "");
    EXPECT_EQ(FirstDifference(*out[2], *out[1]), "");
    int high = 0;
    for (int i = 0; i < 32 * 32; ++i) {
        high += Get(*out[1], 0, i % 32, i / 32, 0) == 129;
    }
    EXPECT_NEAR(high, 512, 16);  // 1024 pixels, 50.2 % above

    // A ramp, 16 to 8 bits, through the integer path and through the colour path.
    for (const PixFmt target : {PixFmt::RGB24, PixFmt::YUV444P}) {
        const CpuFrame ramp =
            MakeFrame(PixFmt::RGB48LE, 1024, 16, [](int, int x, int, int) { return x * 64 + 23; });
        const CpuFrame out = Blank(target, 1024, 16);
        Convert(ramp, out, ordered);
        double error = 0.0;
        int moved = 0;  // pixels dithered off the nearest code
        for (int i = 0; i < 1024 * 16; ++i) {
            const double value = (i % 1024 * 64 + 23) / 65535.0;
            const double want = target == PixFmt::RGB24 ? value * 255.0 : 16.0 + 219.0 * value;
            error += Get(*out, 0, i % 1024, i / 1024) - want;
            moved += Get(*out, 0, i % 1024, i / 1024) != std::round(want);
        }
        EXPECT_LT(std::abs(error / (1024 * 16)), 0.05) << Name(target);  // mean, in codes
        EXPECT_GT(moved, 1024 * 16 / 8) << Name(target);                 // a quarter on average
    }
}

TEST_F(FrameConverterGLTest, ResizingAveragesInLinearLightWhenAsked) {
    // Black and white columns halved: 0.5 of the signal, or of the light (BT.709's
    // BT.1886 display: signal 0.5^(1/2.4), code 191).
    const CpuFrame stripes =
        MakeFrame(PixFmt::RGB24, 64, 4, [](int, int x, int, int) { return x % 2 == 0 ? 0 : 255; });
    for (const bool linear : {false, true}) {
        FrameConversionOptions options;
        options.scaleFilter = ScaleFilter::Bilinear;
        options.scaleInLinearLight = linear;
        const CpuFrame half = Blank(PixFmt::RGB24, 32, 4);
        Convert(stripes, half, options);
        for (int x = 1; x < 31; ++x) {
            ASSERT_EQ(Get(*half, 0, x, 1, 1), linear ? 191 : 128) << "column " << x;
        }
    }
}

// PQ and HLG grey ramps through each tone curve on the largest channel, for
// several peaks: into BT.709 SDR (reference white to 1), or into PQ of another
// peak, where the same curve on both sides is still mapped down to the target's
// peak (and a lower source peak changes nothing).
TEST_F(FrameConverterGLTest, HdrGreysFollowTheToneCurves) {
    // Transfer, curve, source peak, reference white and PQ target peak (0: SDR) in cd/m².
    const std::tuple<int, ToneCurve, double, double, double> rows[] = {
        {16, ToneCurve::BT2390, 1000, 203, 0},    {18, ToneCurve::BT2390, 1000, 203, 0},
        {16, ToneCurve::Reinhard, 1000, 203, 0},  {16, ToneCurve::Clip, 1000, 203, 0},
        {16, ToneCurve::BT2390, 4000, 100, 0},    {16, ToneCurve::Reinhard, 10000, 600, 0},
        {16, ToneCurve::Clip, 4000, 100, 0},      {18, ToneCurve::Reinhard, 1000, 100, 0},
        {16, ToneCurve::BT2390, 4000, 203, 1000}, {16, ToneCurve::BT2390, 1000, 203, 4000}};
    for (const auto& [transfer, curve, sourcePeak, white, targetPeak] : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "transfer " << transfer << ", curve " << static_cast<int>(curve) << ", "
                     << sourcePeak << " to " << white << ", PQ " << targetPeak);
        const double s = sourcePeak / 100.0, t = white / 100.0;  // units of 100 cd/m²
        FrameConversionOptions options;
        options.toneCurve = curve;
        options.sourcePeakLuminance = static_cast<float>(sourcePeak);
        if (targetPeak > 0) {
            options.targetPeakLuminance = static_cast<float>(targetPeak);
        }
        options.referenceWhiteLuminance = static_cast<float>(white);
        const CpuFrame ramp =
            MakeFrame(PixFmt::RGB48LE, 1024, 2, [](int, int x, int, int) { return x * 64; },
                      {9, transfer, 9});
        const CpuFrame target =
            Blank(PixFmt::RGB48LE, 1024, 2, targetPeak > 0 ? Conf::ColorSpace{9, 16, 9} : kBT709);
        Convert(ramp, target, options);
        const double from = Ref::PqInverseEotf(s), to = Ref::PqInverseEotf(targetPeak / 100.0);
        const auto want = [&](int, int x, int) {
            const double v = x * 64 / 65535.0;
            // HLG: the BT.2100 OOTF of a grey for a 1000 cd/m² display, gamma 1.2.
            const double m = transfer == 18 ? 10.0 * std::pow(Ref::HlgInverseOetf(v), 1.2)
                                            : std::min(Ref::PqEotf(v), s);
            const double mapped = curve == ToneCurve::Clip ? std::min(m, t)
                                  : curve == ToneCurve::Reinhard
                                      ? m * (1.0 + m * t / (s * s)) / (1.0 + m / t)
                                      : Ref::PqEotf(Ref::Bt2390Eetf(Ref::PqInverseEotf(m), from,
                                                                    Ref::PqInverseEotf(t)));
            // SDR: the reference OOTF undone, reference white to 1.
            return 65535.0 *
                   (targetPeak == 0
                        ? Ref::Bt709Oetf(Ref::SdrSceneOfDisplay(mapped) / Ref::SdrSceneOfDisplay(t))
                    : sourcePeak > targetPeak ? Ref::Bt2390Eetf(std::min(v, from), from, to)
                                              : v);
        };
        EXPECT_EQ(FirstMiss(*target, want, {4, 4, 4, 0}), "");  // 6e-5
        // Grey stays grey.
        EXPECT_EQ(FirstMiss(*target, [&](int, int x, int y) { return Get(*target, 0, x, y, 1); },
                            {1, 0, 1, 0}),
                  "");
    }
}

// 16-bit RGB of `space` whose pixel (x, y) is colour(x, y), and the colour at a
// pixel of a frame, each in [0, 1].
CpuFrame Rgb48(int width, int height, const std::function<glm::dvec3(int, int)>& colour,
               const Conf::ColorSpace& space) {
    return MakeFrame(
        PixFmt::RGB48LE, width, height,
        [&](int, int x, int y, int c) { return Quantise(colour(x, y)[c], 16); }, space);
}
glm::dvec3 RgbAt(const DataVideoCPU& frame, int x, int y) {
    const double max = (1 << frame.GetDescription().depth) - 1;
    return glm::dvec3(Get(frame, 0, x, y, 0), Get(frame, 0, x, y, 1), Get(frame, 0, x, y, 2)) / max;
}

// Colours through each tone curve into SDR BT.709: the BT.2390 and Reinhard
// curves scale every channel by their factor for the largest one, the clip acts
// on each channel; then the reference OOTF undone per channel and BT.2020's
// primaries turned into BT.709's in scene light.
TEST_F(FrameConverterGLTest, HdrColoursTakeTheirLargestChannelsToneFactor) {
    const double s = 10.0, t = 2.03;  // 1000 and 203 cd/m²
    const double top = Ref::PqInverseEotf(s);
    const auto colour = [&](int x, int y) {  // PQ signal up to the source peak
        return top *
               glm::dvec3(x / 255.0, (255 - x) / 255.0, (x * 7 % 256) / 255.0 * (y + 1) / 4.0);
    };
    const auto matrix =
        Conf::GetRGBCrossMatrix(Conf::ColorPrimaries::BT2020, Conf::ColorPrimaries::BT709);
    for (const ToneCurve curve : {ToneCurve::BT2390, ToneCurve::Clip, ToneCurve::Reinhard}) {
        SCOPED_TRACE("curve " + std::to_string(static_cast<int>(curve)));
        FrameConversionOptions options;
        options.toneCurve = curve;
        const CpuFrame source = Rgb48(256, 4, colour, {9, 16, 9});
        const CpuFrame target = Blank(PixFmt::RGB48LE, 256, 4, kBT709);
        // A converter that mapped HLG before: the mapping follows the frames.
        WithStorage([&](const ShaderStorage& storage) {
            FrameConverter converter(options);
            converter.Convert(Rgb48(256, 4, colour, {9, 18, 9}),
                              Blank(PixFmt::RGB48LE, 256, 4, kBT709), storage);
            converter.Convert(source, target, storage);
        });
        const auto want = [&](int c, int x, int y) {
            const glm::dvec3 v = RgbAt(*source, x, y);
            glm::dvec3 d = Ref::PerChannel(v, &Ref::PqEotf);
            const double m = std::max(d.r, std::max(d.g, d.b));
            if (curve == ToneCurve::Clip) {
                d = glm::min(d, t);
            } else if (m > 0.0) {
                const double e = std::max(v.r, std::max(v.g, v.b));
                d *= (curve == ToneCurve::Reinhard
                          ? m * (1.0 + m * t / (s * s)) / (1.0 + m / t)
                          : Ref::PqEotf(Ref::Bt2390Eetf(e, top, Ref::PqInverseEotf(t)))) /
                     m;
            }
            const glm::dvec3 scene =
                Ref::Apply(matrix, Ref::PerChannel(d, &Ref::SdrSceneOfDisplay)) /
                Ref::SdrSceneOfDisplay(t);
            return 65535.0 * std::clamp(Ref::Bt709Oetf(scene[c]), 0.0, 1.0);
        };
        EXPECT_EQ(FirstMiss(*target, want, {4, 4, 4, 0}), "");  // 6e-5
    }
}

TEST_F(FrameConverterGLTest, GamutCompressionKeepsLuminanceAndHueInsideBt709) {
    const glm::dvec3 luma709(0.2126, 0.7152, 0.0722), luma2020(0.2627, 0.6780, 0.0593);
    FrameConversionOptions compress;
    compress.gamut = FrameConversionOptions::Gamut::Compress;
    // Every colour of a 6x6x6 grid of BT.2020, linear light on both sides.
    const auto grid = [](int x, int y) { return glm::dvec3(x % 6, x / 6, y) / 5.0; };
    const CpuFrame out = Blank(PixFmt::RGB48LE, 36, 6, {1, 8, 0});
    Convert(Rgb48(36, 6, grid, {9, 8, 0}), out, compress);
    for (int i = 0; i < 36 * 6; ++i) {
        const glm::dvec3 c = grid(i % 36, i / 36), exact = Ref::Bt2020ToBt709(c);
        const glm::dvec3 got = RgbAt(*out, i % 36, i / 36);
        SCOPED_TRACE("BT.2020 " + Describe(glm::dvec4(c, 0.0)) + " got " +
                     Describe(glm::dvec4(got, 0.0)));
        const double luminance = glm::dot(c, luma2020);
        ASSERT_NEAR(glm::dot(got, luma709), luminance, 5e-4);
        // Toward grey along the same line: got - Y = k (exact - Y), 0 <= k <= 1.
        const glm::dvec3 away = exact - luminance;
        const double length = glm::dot(away, away);
        if (length < 1e-6) {  // greys: the published matrix has four digits
            ASSERT_LT(glm::length(got - exact), 1e-3);
            continue;
        }
        const double k = glm::dot(got - luminance, away) / length;
        ASSERT_GE(k, 0.0);
        ASSERT_LE(k, 1.0 + 1e-3);
        ASSERT_LT(glm::length(got - luminance - k * away), 1e-3);
        const double r = -std::min({away.r, away.g, away.b}) / luminance;
        if (r <= 0.85 && std::max({exact.r, exact.g, exact.b}) <= 1.0) {
            ASSERT_NEAR(k, 1.0, 1e-3);  // well inside: unchanged
        }
    }
    // BT.2020's green comes in saturated: its lowest channel at 0, green the largest.
    const glm::dvec3 green = RgbAt(*out, 30, 0);
    EXPECT_LT(green.r, 30.0 / 65535.0);
    EXPECT_GT(green.g, 0.9);
    EXPECT_LT(green.b, green.g / 3.0);

    // BT.709 colours 80 % of the way from grey to the boundary, through BT.2020
    // with the BT.709 curve: within one 8-bit code of the plain conversion.
    const glm::dvec3 boundary[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1},   {1, 1, 0},
                                   {0, 1, 1}, {1, 0, 1}, {1, 0.4, 0}, {0.3, 0, 1}};
    glm::dmat3 to709;
    for (int i = 0; i < 3; ++i) {
        to709[i] = Ref::Bt2020ToBt709(glm::dvec3(i == 0, i == 1, i == 2));
    }
    const CpuFrame inside =
        Rgb48(8, 3,
              [&](int x, int y) {
                  const glm::dvec3 b = boundary[x] * (0.3 + 0.3 * y);
                  const double luminance = glm::dot(b, luma709);
                  const glm::dvec3 c = glm::inverse(to709) * (luminance + 0.8 * (b - luminance));
                  return glm::dvec3(Ref::Bt709Oetf(c.r), Ref::Bt709Oetf(c.g), Ref::Bt709Oetf(c.b));
              },
              {9, 1, 0});
    const CpuFrame plain = Blank(PixFmt::RGB24, 8, 3, {1, 1, 0});
    const CpuFrame compressed = Blank(PixFmt::RGB24, 8, 3, {1, 1, 0});
    Convert(inside, plain);
    Convert(inside, compressed, compress);
    for (int i = 0; i < 8 * 3; ++i) {
        const glm::dvec3 d =
            glm::abs(RgbAt(*compressed, i % 8, i / 8) - RgbAt(*plain, i % 8, i / 8)) * 255.0;
        EXPECT_LE(std::max({d.r, d.g, d.b}), 1.0 + 1e-9) << "colour " << i % 8 << " row " << i / 8;
    }

    // Along each direction, share s of the way from grey to BT.709's boundary:
    // untouched up to the knee (90 %), then the curve by its definition, a power
    // curve (p = 1.2) with slope 1 at the knee that takes the reach of BT.2020 in
    // that direction to the boundary.
    const auto curve = [](double r, double reach) {
        const double knee = 0.9, p = 1.2;
        if (r <= knee) {
            return r;
        }
        const double a = (r - knee) / (1 - knee), limit = (reach - knee) / (1 - knee);
        const double scale = limit / std::pow(std::pow(limit, p) - 1, 1 / p);
        return knee + (1 - knee) * std::min(1.0, a / std::pow(1 + std::pow(a / scale, p), 1 / p));
    };
    const double shares[] = {0.5, 0.899, 0.95, 0.99};
    const auto along = [&](int x, int y) {
        const glm::dvec3 b = boundary[x] * 0.5;
        return glm::dot(b, luma709) + shares[y] * (b - glm::dot(b, luma709));
    };
    const CpuFrame curved = Blank(PixFmt::RGB48LE, 8, 4, {1, 8, 0});
    Convert(Rgb48(8, 4, [&](int x, int y) { return glm::inverse(to709) * along(x, y); }, {9, 8, 0}),
            curved, compress);
    for (int i = 0; i < 8 * 4; ++i) {
        const glm::dvec3 c = along(i % 8, i / 8), grey(glm::dot(c, luma709));
        const glm::dvec3 source = glm::inverse(to709) * c;
        const double low = std::min({c.r, c.g, c.b}) - grey.r;
        const double reach = low / (std::min({source.r, source.g, source.b}) - grey.r);
        const double s = shares[i / 8];
        const double k =
            glm::dot(RgbAt(*curved, i % 8, i / 8) - grey, c - grey) / glm::dot(c - grey, c - grey);
        EXPECT_NEAR(k, curve(s, reach) / s, 1.5e-3) << "colour " << i % 8 << " share " << s;
    }
}

TEST_F(FrameConverterGLTest, PlansIntegerPathsUnlessTheColourChanges) {
    const Conf::ColorSpace pq2020{9, 16, 9}, unspecified{2, 2, 2};
    const Conf::ColorSpace bt601Curve{1, 6, 1};  // the same curve under another code
    using P = PixFmt;
    const std::tuple<P, Conf::ColorSpace, P, Conf::ColorSpace, Path> rows[] = {
        {P::YUV420P, kBT709, P::YUV420P, bt601Curve, Path::Integer},
        {P::YUV420P, unspecified, P::YUV422P, kBT709, Path::Integer},
        {P::P010LE, pq2020, P::YUV420P16LE, pq2020, Path::Integer},
        {P::YUV420P, pq2020, P::YUV420P, kBT709, Path::Colour},
        {P::YUV444P, {1, 1, 9}, P::YUV444P, kBT709, Path::Colour}};
    for (const auto& [from, fromSpace, to, toSpace, path] : rows) {
        EXPECT_EQ(FrameConverter().Plan(from, fromSpace, to, toSpace), path)
            << Name(from) << " to " << Name(to);
    }
}

}  // namespace
