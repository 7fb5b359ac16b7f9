// Random, mostly wrong, input to the frame API: every call either round-trips a
// known colour or throws the library's exception, and nothing touches memory it
// does not own. RENDERHUB_BAD_INPUT_SEED replays a failing run.
#include <GL/glew.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/Core/Exception.h"
#include "Kavrin/Core/MemoryException.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/DataVideoCPU.h"

#include "DataVideoOGL.h"
#include "Frame.h"
#include "FrameCases.h"
#include "GlObjectCounter.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Proc::DataVideoCPU;
using Kavrin::Proc::DataVideoCPUOptions;
using Kavrin::Test::CpuFrame;
using Kavrin::Test::FirstMiss;
using Kavrin::Test::GetCode;
using Kavrin::Test::Name;
using Kavrin::Test::RowOf;
using Kavrin::Test::WithStorage;

constexpr int kIterations = 200;
constexpr PixFmt kLastPixFmt = PixFmt::RGBAF32LE;

unsigned Seed() {
    const char* text = std::getenv("RENDERHUB_BAD_INPUT_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : 0x5eed1234u;
}

// A frame whose planes lie: it forwards everything to a real CPU frame except
// the planes, which a test rewrites.
class LyingFrame : public Proc::IDataVideo {
public:
    enum class Lie { NoData, FewerRows, NarrowStride, NarrowBottomUpStride };

    LyingFrame(CpuFrame real, Lie lie) : real(std::move(real)), lie(lie) {}

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

    std::int64_t GetDuration() const override { return real->GetDuration(); }
    void SetDuration(std::int64_t value) override { real->SetDuration(value); }
    std::int64_t GetTimeStamp() const override { return real->GetTimeStamp(); }
    void SetTimeStamp(std::int64_t value) override { real->SetTimeStamp(value); }
    void CutFromBegin(std::int64_t value) override { real->CutFromBegin(value); }
    void CutFromCenter(std::int64_t offset, std::int64_t value) override {
        real->CutFromCenter(offset, value);
    }
    void CutFromEnd(std::int64_t value) override { real->CutFromEnd(value); }
    Proc::FrameAllocType GetType() const override { return Proc::FrameAllocType::CPU; }
    const Conf::FrameInfo& GetFrameInfo() const override { return real->GetFrameInfo(); }
    int GetAlignedWidth() const override { return real->GetAlignedWidth(); }
    int GetAlignedHeight() const override { return real->GetAlignedHeight(); }
    PixFmt GetPixelFormat() const override { return real->GetPixelFormat(); }
    const Conf::ColorSpace& GetColorSpace() const override { return real->GetColorSpace(); }
    Proc::InterlaceMode GetInterlaceMode() const override { return real->GetInterlaceMode(); }
    void SetInterlaceMode(Proc::InterlaceMode mode) override { real->SetInterlaceMode(mode); }
    const void* GetFrame() const override { return real->GetFrame(); }
    void* GetFrame() override { return real->GetFrame(); }
    void SetPixelAspect(int num, int den) override { real->SetPixelAspect(num, den); }
    Proc::Plane GetPlane(unsigned char plane) override { return Bend(real->GetPlane(plane)); }
    Proc::ConstPlane GetPlaneConst(unsigned char plane) const override {
        const Proc::Plane bent = Bend(real->GetPlane(plane));
        return {bent.data, bent.stride, bent.rows};
    }
    Proc::ConstPlane GetExtraPlaneConst() const override { return real->GetExtraPlaneConst(); }
    void SetExtraPlaneConst(const Proc::ConstPlane& plane) override {
        real->SetExtraPlaneConst(plane);
    }
    boost::intrusive_ptr<Proc::IDataVideo> GetUnusedCopy() const override {
        return real->GetUnusedCopy();
    }
    boost::intrusive_ptr<Proc::IDataVideo> Clone(Proc::CloneMode mode) const override {
        return real->Clone(mode);
    }
    boost::intrusive_ptr<Proc::IDataVideo> Subframe(int x, int y, int width,
                                                    int height) const override {
        return real->Subframe(x, y, width, height);
    }
    void PicturePad(unsigned top, unsigned bottom, unsigned left, unsigned right,
                    const Proc::Color& color) override {
        real->PicturePad(top, bottom, left, right, color);
    }
    void Execute(bool wait) override { real->Execute(wait); }

private:
    Proc::Plane Bend(Proc::Plane plane) const {
        // Every plane lies by plane 0's row size; plane 0 is checked first.
        const int rowBytes = real->GetPlaneWidthBytes(0);
        switch (lie) {
            case Lie::NoData:
                plane.data = nullptr;
                break;
            case Lie::FewerRows:
                plane.rows -= 1;
                break;
            case Lie::NarrowStride:
                plane.stride = rowBytes - 1;
                break;
            case Lie::NarrowBottomUpStride:
                plane.stride = -(rowBytes - 1);
                break;
        }
        return plane;
    }

    RefCountImpl refCount;
    CpuFrame real;
    Lie lie;
};

bool IsSwappedRgb(PixFmt pixFmt) {
    const std::string order = RowOf(pixFmt).order;
    return !order.empty() && order != "RGB" && order != "RGBA";
}

// Matrices under which a mid-range colour stays inside the RGB cube.
bool GamutSafe(std::int32_t matrix) {
    return matrix == 1 || matrix == 4 || matrix == 5 || matrix == 6 || matrix == 7 || matrix == 9;
}

struct Outcome {
    bool threw = false;
    std::string message;
    bool logicError = false;
};

template <class Body>
Outcome Attempt(Body&& body) {
    Outcome outcome;
    try {
        body();
    } catch (const Kavrin::Exception& error) {
        outcome.threw = true;
        outcome.message = error.GetDescription();
    } catch (const std::logic_error& error) {
        outcome.threw = true;
        outcome.logicError = true;
        outcome.message = error.what();
    }
    return outcome;
}

class FrameBadInputGLTest : public ::testing::Test {
protected:
    // Converters make their shared GL objects on first use; make them before the
    // counters are compared.
    static void SetUpTestSuite() {
        for (const PixFmt pixFmt : GetSupportedPixFmt()) {
            for (const bool bottomUp : {false, true}) {
                auto frame =
                    DataVideoCPU::Create(pixFmt, {2, 2, 0, 0}, {1, 1, 1}, {32, 0, bottomUp});
                boost::intrusive_ptr<Frame> gpu = Frame::Create();
                WithStorage([&](const ShaderStorage& storage) {
                    gpu->Upload(frame, storage);
                    try {
                        gpu->Download(frame, storage);
                    } catch (const Kavrin::Exception&) {
                        // Swapped RGB families are not written back.
                    }
                    gpu->Upload(nullptr, storage);
                });
            }
        }
    }
    void SetUp() override {
        WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
        before = GlObjectCounter::Take();
    }
    void TearDown() override {
        WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
        EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
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
        return static_cast<PixFmt>(Pick(-1, static_cast<int>(kLastPixFmt)));
    }
    int Side() {
        static constexpr int kSides[] = {1, 1, 2, 3, 5, 7, 8, 16, 17, 31, 33};
        return kSides[Pick(0, static_cast<int>(std::size(kSides)) - 1)];
    }
    DataVideoCPUOptions Options() {
        DataVideoCPUOptions options;
        static constexpr int kAlignments[] = {1, 2, 4, 16, 32, 64};
        options.alignment = kAlignments[Pick(0, static_cast<int>(std::size(kAlignments)) - 1)];
        options.rowPadding = Chance(0.3) ? Pick(1, 70) : 0;
        options.bottomUp = Chance(0.4);
        return options;
    }
    Conf::ColorSpace Space() {
        static constexpr std::int32_t kMatrices[] = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 14, 99, -3};
        return {Pick(1, 12), Pick(1, 18),
                kMatrices[Pick(0, static_cast<int>(std::size(kMatrices)) - 1)]};
    }
    Proc::Color Colour() {
        // Mid-range, so that no matrix of GamutSafe leaves the RGB cube.
        return {static_cast<std::uint8_t>(Pick(64, 191)), static_cast<std::uint8_t>(Pick(64, 191)),
                static_cast<std::uint8_t>(Pick(64, 191)), static_cast<std::uint8_t>(Pick(0, 255))};
    }

    std::mt19937 random;
};

// Upload then download into a twin with different memory layout: supported
// formats come back as they went, unsupported ones are refused by name.
TEST_F(FrameBadInputGLTest, RandomFramesRoundTripOrAreRefused) {
    const unsigned seed = Seed();
    SCOPED_TRACE("RENDERHUB_BAD_INPUT_SEED=" + std::to_string(seed));
    Generator gen(seed);
    int roundTrips = 0;
    int refusedUploads = 0;
    int refusedCreates = 0;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
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
        if (created.threw) {
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
        const Proc::Color colour = gen.Colour();
        if (supported) {
            source->Fill(colour);
        }
        auto target = DataVideoCPU::Create(pixFmt, info, space, gen.Options());
        boost::intrusive_ptr<Frame> gpu = Frame::Create();
        Outcome upload;
        Outcome download;
        WithStorage([&](const ShaderStorage& storage) {
            upload = Attempt([&] { gpu->Upload(source, storage); });
            if (!upload.threw) {
                download = Attempt([&] { gpu->Download(target, storage); });
            } else {
                gpu->Upload(DataVideoCPU::Create(PixFmt::RGBA, info), storage);
                download = Attempt([&] { gpu->Download(target, storage); });
            }
            gpu->Upload(nullptr, storage);  // empties it on the GL thread
        });
        if (!supported) {
            ASSERT_TRUE(upload.threw) << "an unsupported format was uploaded";
            EXPECT_FALSE(upload.logicError);
            EXPECT_EQ(upload.message, "Unsupported pixel format for source frame: " + Name(pixFmt));
            EXPECT_EQ(download.message,
                      "Unsupported pixel format for destination frame: " + Name(pixFmt));
            ++refusedUploads;
            continue;
        }
        const PixFmtDescription& d = *PixFmtDescription::Find(pixFmt);
        if (IsSwappedRgb(pixFmt)) {
            // Swapped RGB families upload but are not written back.
            EXPECT_FALSE(upload.threw) << upload.message;
            EXPECT_EQ(download.message, "Unsupported RGB pixel format: " + Name(pixFmt));
            continue;
        }
        const bool matrixKnown =
            d.IsRGB() || Conf::IsValidYCbCrMatrix(static_cast<Conf::YCbCrMatrix>(space.matrix));
        if (upload.threw || download.threw) {
            // A YUV frame whose matrix the converter cannot describe may be refused.
            EXPECT_FALSE(matrixKnown) << upload.message << download.message;
            EXPECT_FALSE(upload.logicError || download.logicError);
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

// Planes that do not match their frame are refused before any GL call reads or
// writes through them.
TEST_F(FrameBadInputGLTest, LyingPlanesAreRefusedForUploadAndDownload) {
    const unsigned seed = Seed();
    SCOPED_TRACE("RENDERHUB_BAD_INPUT_SEED=" + std::to_string(seed));
    Generator gen(seed ^ 0x9e3779b9u);
    const auto& supported = GetSupportedPixFmt();
    for (int iteration = 0; iteration < 40; ++iteration) {
        const PixFmt pixFmt = supported[static_cast<std::size_t>(
            gen.Pick(0, static_cast<int>(supported.size()) - 1))];
        Conf::FrameInfo info{gen.Side() + 1, gen.Side() + 1, 1, 1};
        info.width += info.width % 2;
        const auto lie = static_cast<LyingFrame::Lie>(gen.Pick(0, 3));
        const bool bottomUp = gen.Chance(0.5);
        SCOPED_TRACE("iteration " + std::to_string(iteration) + ": " + Name(pixFmt) + " " +
                     std::to_string(info.width) + "x" + std::to_string(info.height) + " lie " +
                     std::to_string(static_cast<int>(lie)));
        DataVideoCPUOptions options;
        options.bottomUp = bottomUp;
        auto real = DataVideoCPU::Create(pixFmt, info, {1, 1, 1}, options);
        real->Fill(gen.Colour());
        boost::intrusive_ptr<Proc::IDataVideo> liar(new LyingFrame(real, lie));
        boost::intrusive_ptr<Frame> gpu = Frame::Create();
        Outcome upload;
        Outcome download;
        WithStorage([&](const ShaderStorage& storage) {
            upload = Attempt([&] { gpu->Upload(liar, storage); });
            gpu->Upload(real, storage);
            download = Attempt([&] { gpu->Download(liar, storage); });
            gpu->Upload(nullptr, storage);
        });
        for (const Outcome* outcome : {&upload, &download}) {
            ASSERT_TRUE(outcome->threw);
            EXPECT_FALSE(outcome->logicError);
            if (outcome == &download && IsSwappedRgb(pixFmt)) {
                // Refused for its format before its planes are looked at.
                EXPECT_EQ(outcome->message, "Unsupported RGB pixel format: " + Name(pixFmt));
                continue;
            }
            EXPECT_EQ(outcome->message.rfind("Plane does not match its texture: ", 0), 0u)
                << outcome->message;
        }
    }
}

// Sizes the GPU frame cannot take, and destinations that do not fit it.
TEST_F(FrameBadInputGLTest, WrongSizesAreRefusedBeforeTouchingMemory) {
    const std::uint64_t max = RenderHub::GetInstance().GetMaximumTextureSize();
    ASSERT_GT(max, 0u);
    // Data objects check the limit, and a negative side reads as huge.
    const int huge = static_cast<int>(std::min<std::uint64_t>(max + 1, INT_MAX));
    for (const Conf::FrameInfo& info :
         {Conf::FrameInfo{1, huge, 0, 0}, Conf::FrameInfo{-3, 4, 0, 0},
          Conf::FrameInfo{INT_MAX, INT_MAX, 0, 0}}) {
        EXPECT_THROW(DataVideoOGL::Create({1, 1, 1}, PixFmt::RGBA, info), Core::MemoryException)
            << info.width << "x" << info.height;
    }
    // A CPU frame wider than int's stride is refused before it is allocated.
    EXPECT_THROW(DataVideoCPU::Create(PixFmt::RGBA, {INT_MAX, 1, 0, 0}), Core::MemoryException);
    EXPECT_THROW(DataVideoCPU::Create(PixFmt::RGBA, {0, 4, 0, 0}), Kavrin::Exception);
    EXPECT_THROW(DataVideoCPU::Create(PixFmt::RGBA, {4, -1, 0, 0}), Kavrin::Exception);

    // Data objects of empty size or of a non-GPU format fail when their frame is made.
    for (const auto& [pixFmt, info, text] :
         {std::tuple{PixFmt::RGBA, Conf::FrameInfo{0, 0, 0, 0},
                     std::string("Invalid frame size 0x0")},
          std::tuple{PixFmt::YUV420P, Conf::FrameInfo{8, 8, 0, 0},
                     std::string("Unsupported pixel format: yuv420p")}}) {
        auto object = DataVideoOGL::Create({1, 1, 1}, pixFmt, info);
        Outcome outcome;
        Kavrin::Test::RunOnGL([&] { outcome = Attempt([&] { object->FrameData(); }); });
        EXPECT_TRUE(outcome.threw);
        EXPECT_EQ(outcome.message, text);
    }

    // Destinations of another size, and downloads from an empty frame.
    auto source = DataVideoCPU::Create(PixFmt::RGBA, {6, 4, 0, 0});
    auto smaller = DataVideoCPU::Create(PixFmt::RGBA, {5, 4, 0, 0});
    auto taller = DataVideoCPU::Create(PixFmt::YUV420P, {6, 6, 0, 0});
    boost::intrusive_ptr<Frame> gpu = Frame::Create();
    Outcome empty;
    Outcome narrower;
    Outcome higher;
    WithStorage([&](const ShaderStorage& storage) {
        empty = Attempt([&] { gpu->Download(source, storage); });
        gpu->Upload(source, storage);
        narrower = Attempt([&] { gpu->Download(smaller, storage); });
        higher = Attempt([&] { gpu->Download(taller, storage); });
        gpu->Upload(nullptr, storage);
    });
    EXPECT_TRUE(empty.logicError);
    EXPECT_EQ(empty.message, "Trying to download empty frame");
    EXPECT_EQ(narrower.message, "Destination frame size 5x4 differs from the GPU frame size 6x4");
    EXPECT_EQ(higher.message, "Destination frame size 6x6 differs from the GPU frame size 6x4");
}

// A host frame wider than the largest texture cannot reach the GPU: the upload
// must say so instead of leaving a GL error and an empty texture behind.
TEST_F(FrameBadInputGLTest, UploadBeyondTheMaximumTextureSizeIsRefused) {
    const std::uint64_t max = RenderHub::GetInstance().GetMaximumTextureSize();
    const int side = static_cast<int>(std::min<std::uint64_t>(max + 1, INT_MAX));
    for (const Conf::FrameInfo info :
         {Conf::FrameInfo{side, 1, 0, 0}, Conf::FrameInfo{1, side, 0, 0}}) {
        auto source = DataVideoCPU::Create(PixFmt::RGBA, info);
        boost::intrusive_ptr<Frame> gpu = Frame::Create();
        Outcome upload;
        GLenum error = GL_NO_ERROR;
        WithStorage([&](const ShaderStorage& storage) {
            upload = Attempt([&] { gpu->Upload(source, storage); });
            error = glGetError();
            gpu->Upload(nullptr, storage);
        });
        EXPECT_TRUE(upload.threw) << info.width << "x" << info.height << " uploaded";
        EXPECT_FALSE(upload.logicError);
        EXPECT_EQ(error, static_cast<GLenum>(GL_NO_ERROR))
            << info.width << "x" << info.height << " left a GL error";
    }
}

}  // namespace
