// Direct3D 11 and 12 surfaces over every sharing path: GL renders reach
// Direct3D and Direct3D writes reach GL in every surface format, the Direct3D
// 12 pool reuses and expires, copies record the barriers the states ask for,
// each driver call failing in turn leaves nothing behind, and the edge cases of
// locking, formats and destruction.
#include <GL/glew.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <boost/intrusive_ptr.hpp>
#include <glm/gtc/packing.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/WaitableTimer.h"
#include "Kavrin/DX/DirectX.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/DataVideoCPU.h"
#include "Kavrin/Win/GLInterop.h"

#include "Frame.h"
#include "GlObjectCounter.h"
#include "LogCapture.h"
#include "QtOgl/QtOpenGL.h"
#include "QtWin/D11Surface.h"
#include "QtWin/D12Surface.h"
#include "QtWin/InteropContext.h"
#include "ShaderStorage.h"
#include "TestMain.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Test;
using DX::Emulation::Step;
using Ogl::D11Surface;
using Ogl::D12Surface;
using Ogl::D12SurfacePool;
using Ogl::InteropContext;
using ContextPtr = boost::intrusive_ptr<InteropContext>;
using D11Ptr = boost::intrusive_ptr<D11Surface>;
using D12Ptr = boost::intrusive_ptr<D12Surface>;
using PoolPtr = boost::intrusive_ptr<D12SurfacePool>;
using States = D12Surface::States;

constexpr unsigned kSurfaceWidth = 16;
constexpr unsigned kSurfaceHeight = 8;

// Which sharing paths the interop context of a case reports.
enum class Sharing { None, D11, D11AndD12 };

// Whether this GL context can take the memory-object sharing paths: they need
// OpenGL 4.5, which the suite's runs under lower limits do not have.
bool GLHasSharing() {
    static const bool has = [] {
        bool result = false;
        RunOnGL([&] {
            const QSurfaceFormat format = QOpenGLContext::currentContext()->format();
            result = format.majorVersion() > 4 ||
                     (format.majorVersion() == 4 && format.minorVersion() >= 5);
        });
        return result;
    }();
    return has;
}

// The most sharing this GL context reaches, for cases that hold on every path.
Sharing BestSharing() { return GLHasSharing() ? Sharing::D11AndD12 : Sharing::None; }

#define KAVRIN_SKIP_WITHOUT_SHARING(sharing)                                   \
    if ((sharing) != Sharing::None && !GLHasSharing())                         \
    GTEST_SKIP() << "memory-object sharing needs OpenGL 4.5; this context is " \
                    "older"

// A shared-kind interop context on the GL thread with the given sharing level,
// reached by hiding the GL extension the next level needs. GL thread.
boost::intrusive_ptr<Ogl::InteropContext> MakeInteropContext(Sharing sharing) {
    DX::Emulation::SetExtensionMissing("GL_EXT_win32_keyed_mutex", sharing == Sharing::None);
    DX::Emulation::SetExtensionMissing("GL_EXT_semaphore_win32", sharing != Sharing::D11AndD12);
    auto context = Ogl::InteropContext::Create(nullptr);
    DX::Emulation::SetExtensionMissing("GL_EXT_win32_keyed_mutex", false);
    DX::Emulation::SetExtensionMissing("GL_EXT_semaphore_win32", false);
    return context;
}

struct Rgba {
    float r, g, b, a;
};

// Three regions, each of one colour: left half, right half, bottom-left
// quarter on top. Each component is a multiple of 1/255 and the alphas
// differ, so swapped channels, rows or halves show.
Rgba PatternAt(unsigned x, unsigned y) {
    if (x < kSurfaceWidth / 2 && y < kSurfaceHeight / 2) {
        return {1.0f, 0.0f, 128.0f / 255, 1.0f};
    }
    if (x < kSurfaceWidth / 2) {
        return {51.0f / 255, 102.0f / 255, 153.0f / 255, 1.0f};
    }
    return {204.0f / 255, 25.0f / 255, 76.0f / 255, 0.0f};
}

// Paints the pattern into the bound framebuffer with scissored clears.
void PaintPattern() {
    glEnable(GL_SCISSOR_TEST);
    const auto paint = [](GLint x, GLint y, GLsizei width, GLsizei height, Rgba colour) {
        glScissor(x, y, width, height);
        glClearColor(colour.r, colour.g, colour.b, colour.a);
        glClear(GL_COLOR_BUFFER_BIT);
    };
    constexpr GLsizei halfWidth = kSurfaceWidth / 2;
    constexpr GLsizei halfHeight = kSurfaceHeight / 2;
    paint(0, 0, halfWidth, kSurfaceHeight, PatternAt(0, kSurfaceHeight - 1));
    paint(halfWidth, 0, halfWidth, kSurfaceHeight, PatternAt(kSurfaceWidth - 1, 0));
    paint(0, 0, halfWidth, halfHeight, PatternAt(0, 0));
    glDisable(GL_SCISSOR_TEST);
}

// How Direct3D stores a pixel of `format`: each of R, G, B, A as a bit field at
// an offset (little-endian), unsigned normalised, half or single float.
struct Layout {
    enum Kind { Unorm, Half, Float } kind;
    unsigned pixelBytes;
    unsigned bits[4];
    unsigned offsets[4];
};

Layout LayoutOf(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R8G8B8A8_UNORM:
            return {Layout::Unorm, 4, {8, 8, 8, 8}, {0, 8, 16, 24}};
        case DXGI_FORMAT_B8G8R8A8_UNORM:
            return {Layout::Unorm, 4, {8, 8, 8, 8}, {16, 8, 0, 24}};
        case DXGI_FORMAT_R16G16B16A16_UNORM:
            return {Layout::Unorm, 8, {16, 16, 16, 16}, {0, 16, 32, 48}};
        case DXGI_FORMAT_R10G10B10A2_UNORM:
            return {Layout::Unorm, 4, {10, 10, 10, 2}, {0, 10, 20, 30}};
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
            return {Layout::Half, 8, {16, 16, 16, 16}, {0, 16, 32, 48}};
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
            return {Layout::Float, 16, {32, 32, 32, 32}, {0, 32, 64, 96}};
        default:
            ADD_FAILURE() << "no layout for DXGI format " << format;
            return {Layout::Float, 16, {32, 32, 32, 32}, {0, 32, 64, 96}};
    }
}

// The pattern as Direct3D stores it: rows in the order GL numbers them.
std::vector<std::byte> PatternBytes(DXGI_FORMAT format) {
    const Layout layout = LayoutOf(format);
    std::vector<std::byte> bytes(std::size_t(kSurfaceWidth) * kSurfaceHeight * layout.pixelBytes);
    for (unsigned i = 0; i < kSurfaceWidth * kSurfaceHeight; ++i) {
        const Rgba c = PatternAt(i % kSurfaceWidth, i / kSurfaceWidth);
        const float values[4] = {c.r, c.g, c.b, c.a};
        for (int k = 0; k < 4; ++k) {
            std::uint32_t field = 0;
            if (layout.kind == Layout::Unorm) {
                field = static_cast<std::uint32_t>(
                    std::lround(values[k] * float((1ull << layout.bits[k]) - 1)));
            } else if (layout.kind == Layout::Half) {
                field = glm::packHalf1x16(values[k]);
            } else {
                std::memcpy(&field, &values[k], 4);
            }
            for (unsigned bit = 0; bit < layout.bits[k]; ++bit) {
                const unsigned at = i * layout.pixelBytes * 8 + layout.offsets[k] + bit;
                bytes[at / 8] |= std::byte((field >> bit & 1u) << (at % 8));
            }
        }
    }
    return bytes;
}

// Every pixel of Direct3D bytes as RGBA floats.
std::vector<Rgba> DecodeImage(DXGI_FORMAT format, const std::vector<std::byte>& bytes) {
    const Layout layout = LayoutOf(format);
    std::vector<Rgba> pixels(bytes.size() / layout.pixelBytes);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        float values[4];
        for (int k = 0; k < 4; ++k) {
            std::uint32_t field = 0;
            for (unsigned bit = 0; bit < layout.bits[k]; ++bit) {
                const std::size_t at = i * layout.pixelBytes * 8 + layout.offsets[k] + bit;
                field |= std::uint32_t(std::to_integer<unsigned>(bytes[at / 8]) >> (at % 8) & 1u)
                         << bit;
            }
            if (layout.kind == Layout::Unorm) {
                values[k] = float(field) / float((1ull << layout.bits[k]) - 1);
            } else if (layout.kind == Layout::Half) {
                values[k] = glm::unpackHalf1x16(static_cast<std::uint16_t>(field));
            } else {
                std::memcpy(&values[k], &field, 4);
            }
        }
        pixels[i] = {values[0], values[1], values[2], values[3]};
    }
    return pixels;
}

// Compares images pixel by pixel; on failure names the format, the first
// pixel off, the value got and wanted, and the largest error.
void ExpectImagesNear(const std::vector<Rgba>& got, const std::vector<Rgba>& wanted,
                      float tolerance, const std::string& what) {
    ASSERT_EQ(got.size(), wanted.size()) << what;
    float worst = 0.0f;
    std::optional<std::size_t> first;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const float errors[] = {
            std::fabs(got[i].r - wanted[i].r), std::fabs(got[i].g - wanted[i].g),
            std::fabs(got[i].b - wanted[i].b), std::fabs(got[i].a - wanted[i].a)};
        for (float error : errors) {
            if (!(error <= tolerance)) {
                first = first.value_or(i);
                worst = std::isnan(error) ? error : std::max(worst, error);
            }
        }
    }
    if (first) {
        const std::size_t i = *first;
        ADD_FAILURE() << what << ": pixel (" << i % kSurfaceWidth << ", " << i / kSurfaceWidth
                      << ") got (" << got[i].r << ", " << got[i].g << ", " << got[i].b << ", "
                      << got[i].a << ") wanted (" << wanted[i].r << ", " << wanted[i].g << ", "
                      << wanted[i].b << ", " << wanted[i].a << "), max error " << worst;
    }
}

// What GL reading the pattern's Direct3D bytes sees: the pattern after the
// format's rounding.
std::vector<Rgba> StoredPattern(DXGI_FORMAT format) {
    return DecodeImage(format, PatternBytes(format));
}

// Tolerances: exact codes for 8-bit (the pixel-exact case), one code for the
// wider integer formats (GL's own rounding), half and float rounding.
float ToleranceOf(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R10G10B10A2_UNORM:
            return 1.0f / 1023 + 1e-6f;
        case DXGI_FORMAT_R16G16B16A16_UNORM:
            return 1.0f / 65535 + 1e-6f;
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
            return 1e-3f;  // half rounding
        default:
            return 1e-6f;
    }
}

// A GL RGBA32F texture of the surface size with its framebuffer, for drawing a
// surface into and reading what arrived. GL thread; deletes its names.
class DrawTarget {
public:
    DrawTarget() {
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, kSurfaceWidth, kSurfaceHeight, 0, GL_RGBA,
                     GL_FLOAT, nullptr);
        glBindTexture(GL_TEXTURE_2D, 0);
        glGenFramebuffers(1, &framebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
        EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER),
                  static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
        glClearColor(0.5f, 0.5f, 0.5f, 0.5f);
        glClear(GL_COLOR_BUFFER_BIT);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }
    ~DrawTarget() {
        glDeleteFramebuffers(1, &framebuffer);
        glDeleteTextures(1, &texture);
    }
    DrawTarget(const DrawTarget&) = delete;
    DrawTarget& operator=(const DrawTarget&) = delete;

    // Runs `draw` with the target bound over its whole size.
    template <class Draw>
    void Into(Draw&& draw) {
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glViewport(0, 0, kSurfaceWidth, kSurfaceHeight);
        glDisable(GL_BLEND);
        draw();
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }

    std::vector<Rgba> Read() const {
        std::vector<Rgba> pixels(std::size_t(kSurfaceWidth) * kSurfaceHeight);
        glBindTexture(GL_TEXTURE_2D, texture);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_FLOAT, pixels.data());
        glBindTexture(GL_TEXTURE_2D, 0);
        return pixels;
    }

private:
    GLuint texture = 0;
    GLuint framebuffer = 0;
};

// The HRESULT, description and function name an interop exception carries.
struct InteropFailure {
    HRESULT result = S_OK;
    std::string description;
    std::string function;
};

template <class Call>
std::optional<InteropFailure> InteropFailureOf(Call&& call) {
    try {
        call();
    } catch (const Ogl::InteropException& error) {
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        return InteropFailure{error.GetResult(), error.GetErrorDescription(),
                              function != nullptr ? *function : ""};
    }
    return std::nullopt;
}

// Every case starts on the default emulated machine with the real probe
// surfaces (so contexts confirm their paths with the surfaces under test), and must leave no
// emulated Direct3D object, handle, GL interop object, counted GL object or GL error behind.
class InteropSurfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A keyed mutex or fence left waiting hangs for ever: fail within seconds.
        LimitCurrentTest(std::chrono::seconds(30));
        DX::Emulation::Reset();
        Ogl::Details::SetInteropProbes({}, {});  // the real probe surfaces
        RunOnGL([&] {
            liveBefore = DX::GetLiveObjectCount();
            handlesBefore = DX::Emulation::GetOpenHandleCount();
            glInteropBefore = DX::GetLiveGLInteropObjectCount();
            glObjectsBefore = Ogl::Details::GlObjectCounter::Take();
        });
    }

    void TearDown() override {
        ExpectNothingLeft("at the end");
        RunOnGL([] { EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR)); });
        Ogl::Details::SetInteropProbes({}, {});
        DX::Emulation::Reset();
    }

    // Nothing beyond what SetUp counted.
    void ExpectNothingLeft(const std::string& what) {
        RunOnGL([] {});  // deleters queued by releases elsewhere have run
        DX::D12CommandAllocator::WaitAllComplete();
        RunOnGL([&] {
            std::string live;
            for (const std::string& object : DX::GetLiveObjects()) {
                live += object + "\n";
            }
            EXPECT_EQ(DX::GetLiveObjectCount(), liveBefore) << what << "\n" << live;
            EXPECT_EQ(DX::Emulation::GetOpenHandleCount(), handlesBefore) << what;
            EXPECT_EQ(DX::GetLiveGLInteropObjectCount(), glInteropBefore) << what;
            EXPECT_EQ(Ogl::Details::GlObjectCounter::Take(), glObjectsBefore) << what;
        });
    }

    std::size_t liveBefore = 0;
    std::size_t handlesBefore = 0;
    std::size_t glInteropBefore = 0;
    Ogl::Details::GlObjectCounter::Snapshot glObjectsBefore{};
};

// Direct3D 11 surfaces.

constexpr UINT kSharingMiscFlags =
    D3D11_RESOURCE_MISC_SHARED_NTHANDLE | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX;

// The Direct3D texture's description, read through Encode.
D3D11_TEXTURE2D_DESC DescOf(const D11Surface& surface) {
    D3D11_TEXTURE2D_DESC desc{};
    surface.Encode(
        [&](const auto&, const CComPtr<ID3D11Texture2D>& texture) { texture->GetDesc(&desc); });
    return desc;
}

std::vector<std::byte> ReadD3D(const D11Surface& surface) {
    std::vector<std::byte> bytes;
    surface.Encode([&](const auto&, const CComPtr<ID3D11Texture2D>& texture) {
        bytes = DX::Emulation::GetTextureMemory(texture.p)->ReadAll();
    });
    return bytes;
}

void WriteD3D(const D11Surface& surface, const std::vector<std::byte>& bytes) {
    surface.Encode([&](const auto&, const CComPtr<ID3D11Texture2D>& texture) {
        DX::Emulation::GetTextureMemory(texture.p)->Write(bytes);
    });
}

// The memory behind the surface's Direct3D texture.
std::shared_ptr<DX::EmulatedTexture> MemoryOf(const D11Surface& surface) {
    std::shared_ptr<DX::EmulatedTexture> memory;
    surface.Encode([&](const auto&, const CComPtr<ID3D11Texture2D>& texture) {
        memory = DX::Emulation::GetTextureMemory(texture.p);
    });
    return memory;
}

// Between uses the keyed mutex of a sharing surface is free and was released
// with key 0, the key both sides acquire with: any other key leaves the next
// acquire waiting forever, so this is checked before the other side goes.
::testing::AssertionResult HandedOnWithKeyZero(const std::shared_ptr<DX::EmulatedTexture>& memory) {
    DX::EmulatedKeyedMutex* mutex = memory ? memory->GetKeyedMutex() : nullptr;
    if (mutex == nullptr) {
        return ::testing::AssertionSuccess();  // an interop surface has none
    }
    if (mutex->IsAcquired() || mutex->GetKey() != 0) {
        return ::testing::AssertionFailure()
               << "keyed mutex " << (mutex->IsAcquired() ? "held" : "free") << " with key "
               << mutex->GetKey();
    }
    return ::testing::AssertionSuccess();
}

class D11SurfaceGLTest : public InteropSurfaceTest {
protected:
    // A context of the given sharing level and a surface on it. GL thread.
    void Make(Sharing sharing, DXGI_FORMAT format) {
        context = MakeInteropContext(sharing);
        ASSERT_TRUE(context);
        ASSERT_EQ(context->IsD11SharingSupported(), sharing != Sharing::None)
            << "this GL context cannot take the Direct3D 11 sharing path";
        surface = D11Surface::Create(kSurfaceWidth, kSurfaceHeight, format, context);
    }
    void Drop() {
        RunOnGL([&] {
            surface.reset();
            context.reset();
        });
    }

    ContextPtr context;
    D11Ptr surface;
};

// Which surface a format gets on a context: the one of the context's path, the
// interop one after an ERROR line (outside the sharing path's formats), or none.
enum class Path { AsAsked, FallsBack, Refused };

struct D11FormatRow {
    Sharing sharing;
    DXGI_FORMAT format;
    Path path;
    const char* name;
};

void PrintTo(const D11FormatRow& row, std::ostream* os) { *os << row.name; }

class D11SurfaceFormatGLTest : public D11SurfaceGLTest,
                               public ::testing::WithParamInterface<D11FormatRow> {};

// Direct3D writes reach GL drawing, and GL rendering reaches Direct3D over
// bytes cleared first; the keyed mutex is handed on with key 0 at each turn.
TEST_P(D11SurfaceFormatGLTest, PatternsCrossInBothDirections) {
    const D11FormatRow row = GetParam();
    KAVRIN_SKIP_WITHOUT_SHARING(row.sharing);
    if (row.path == Path::Refused) {
        std::optional<InteropFailure> failure;
        RunOnGL([&] {
            context = MakeInteropContext(row.sharing);
            failure = InteropFailureOf(
                [&] { D11Surface::Create(kSurfaceWidth, kSurfaceHeight, row.format, context); });
        });
        ASSERT_TRUE(failure);
        EXPECT_EQ(static_cast<std::uint32_t>(failure->result), 0x80004001u);
        EXPECT_EQ(failure->description, "Unsupported DXGI format for interop");
        EXPECT_EQ(failure->function, "Create");
        Drop();
        return;
    }
    LogCapture log;
    RunOnGL([&] { Make(row.sharing, row.format); });
    ASSERT_TRUE(surface);
    const bool sharing = row.sharing != Sharing::None && row.path == Path::AsAsked;
    EXPECT_EQ(DescOf(*surface).MiscFlags,
              sharing ? kSharingMiscFlags : static_cast<UINT>(D3D11_RESOURCE_MISC_SHARED));
    int fallbackErrors = 0;
    for (const LogCapture::Line& line : log.Lines()) {
        fallbackErrors +=
            line.severity == google::GLOG_ERROR &&
            line.text.find("Unsupported DXGI format for interop") != std::string::npos &&
            line.text.find("D11SharingSurface") != std::string::npos;
    }
    EXPECT_EQ(fallbackErrors, row.path == Path::FallsBack ? 1 : 0) << log.Dump();
    const auto memory = MemoryOf(*surface);
    ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after creation";

    WriteD3D(*surface, PatternBytes(row.format));
    ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after Direct3D";
    std::vector<Rgba> drawn;
    WithStorage([&](const Ogl::ShaderStorage& storage) {
        DrawTarget target;
        target.Into([&] { surface->Draw(storage, {1.0f, 1.0f}); });
        drawn = target.Read();
    });
    ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after GL drawing";
    ExpectImagesNear(drawn, StoredPattern(row.format), ToleranceOf(row.format) + 1e-5f,
                     std::string(row.name) + " Direct3D to GL");

    WriteD3D(*surface, std::vector<std::byte>(PatternBytes(row.format).size()));
    RunOnGL([&] { surface->BindFrameBuffer(&PaintPattern, std::nullopt); });
    ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after GL";
    ExpectImagesNear(DecodeImage(row.format, ReadD3D(*surface)), StoredPattern(row.format),
                     ToleranceOf(row.format), std::string(row.name) + " GL to Direct3D");
    Drop();
}

INSTANTIATE_TEST_SUITE_P(
    Formats, D11SurfaceFormatGLTest,
    ::testing::Values(
        D11FormatRow{Sharing::None, DXGI_FORMAT_R8G8B8A8_UNORM, Path::AsAsked, "InteropRGBA8"},
        D11FormatRow{Sharing::None, DXGI_FORMAT_B8G8R8A8_UNORM, Path::AsAsked, "InteropBGRA8"},
        D11FormatRow{Sharing::None, DXGI_FORMAT_R10G10B10A2_UNORM, Path::AsAsked, "InteropRGB10A2"},
        D11FormatRow{Sharing::None, DXGI_FORMAT_R16G16B16A16_FLOAT, Path::AsAsked,
                     "InteropRGBA16F"},
        D11FormatRow{Sharing::None, DXGI_FORMAT_R32G32B32A32_FLOAT, Path::AsAsked,
                     "InteropRGBA32F"},
        D11FormatRow{Sharing::None, DXGI_FORMAT_R16G16B16A16_UNORM, Path::Refused, "InteropRGBA16"},
        D11FormatRow{Sharing::D11, DXGI_FORMAT_R8G8B8A8_UNORM, Path::AsAsked, "SharingRGBA8"},
        D11FormatRow{Sharing::D11, DXGI_FORMAT_R16G16B16A16_FLOAT, Path::AsAsked, "SharingRGBA16F"},
        D11FormatRow{Sharing::D11, DXGI_FORMAT_R32G32B32A32_FLOAT, Path::AsAsked, "SharingRGBA32F"},
        D11FormatRow{Sharing::D11, DXGI_FORMAT_B8G8R8A8_UNORM, Path::FallsBack, "SharingBGRA8"},
        D11FormatRow{Sharing::D11, DXGI_FORMAT_R10G10B10A2_UNORM, Path::FallsBack,
                     "SharingRGB10A2"},
        D11FormatRow{Sharing::D11, DXGI_FORMAT_R16G16B16A16_UNORM, Path::Refused, "SharingRGBA16"}),
    [](const ::testing::TestParamInfo<D11FormatRow>& info) {
        return std::string(info.param.name);
    });

TEST_F(D11SurfaceGLTest, LockingAnInteropSurfaceTwiceFailsAndLeavesItUsable) {
    std::optional<InteropFailure> nestedRender;
    std::optional<InteropFailure> drawWhileRendering;
    WithStorage([&](const Ogl::ShaderStorage& storage) {
        Make(Sharing::None, DXGI_FORMAT_R8G8B8A8_UNORM);
        surface->BindFrameBuffer(
            [&] {
                nestedRender = InteropFailureOf(
                    [&] { surface->BindFrameBuffer(&PaintPattern, std::nullopt); });
                drawWhileRendering = InteropFailureOf([&] {
                    surface->Draw(storage, {1.0f, 1.0f});
                });
            },
            std::nullopt);
        // Both attempts unlocked nothing of the outer use, and the outer use
        // unlocked on its way out.
        surface->BindFrameBuffer(&PaintPattern, std::nullopt);
    });
    ASSERT_TRUE(nestedRender);
    EXPECT_EQ(nestedRender->description, "Surface is already locked");
    EXPECT_EQ(nestedRender->result, HRESULT_FROM_WIN32(ERROR_BUSY));
    EXPECT_EQ(nestedRender->function, "Lock");
    ASSERT_TRUE(drawWhileRendering);
    EXPECT_EQ(drawWhileRendering->description, "Failed to change access mode to surface");
    EXPECT_EQ(drawWhileRendering->result, HRESULT_FROM_WIN32(ERROR_BUSY));
    ExpectImagesNear(DecodeImage(DXGI_FORMAT_R8G8B8A8_UNORM, ReadD3D(*surface)),
                     StoredPattern(DXGI_FORMAT_R8G8B8A8_UNORM), 1e-6f, "after the failures");
    Drop();
}

// Registered for writing; the access mode changes only when the use switches.
TEST_F(D11SurfaceGLTest, AccessModeChangesOnlyWhenUseSwitches) {
    WithStorage([&](const Ogl::ShaderStorage& storage) {
        Make(Sharing::None, DXGI_FORMAT_R8G8B8A8_UNORM);
        const std::pair<bool, std::size_t> uses[] = {
            {true, 0}, {false, 1}, {false, 0}, {true, 1}, {true, 0}};
        for (const auto& [render, changes] : uses) {
            const std::size_t before = DX::GetWglObjectAccessCallCount();
            if (render) {
                surface->BindFrameBuffer(&PaintPattern, std::nullopt);
            } else {
                surface->Draw(storage, {1.0f, 1.0f});
            }
            EXPECT_EQ(DX::GetWglObjectAccessCallCount() - before, changes)
                << (render ? "rendering" : "drawing") << " after " << before;
        }
    });
    Drop();
}

TEST_F(D11SurfaceGLTest, SharingSurfaceEncodeReleasesTheKeyedMutexWhenTheWorkThrows) {
    KAVRIN_SKIP_WITHOUT_SHARING(Sharing::D11);
    RunOnGL([&] { Make(Sharing::D11, DXGI_FORMAT_R8G8B8A8_UNORM); });
    ASSERT_EQ(DescOf(*surface).MiscFlags, kSharingMiscFlags);
    EXPECT_THROW(surface->Encode([](const auto&, const auto&) { throw std::runtime_error("x"); }),
                 std::runtime_error);
    // A held mutex would make this acquire fail (or GL's wait forever).
    std::optional<HRESULT> failure;
    try {
        WriteD3D(*surface, PatternBytes(DXGI_FORMAT_R8G8B8A8_UNORM));
    } catch (const DX::DirectXException& error) {
        failure = error.GetResult();
    }
    EXPECT_FALSE(failure) << std::hex << failure.value_or(0);
    std::vector<Rgba> drawn;
    WithStorage([&](const Ogl::ShaderStorage& storage) {
        DrawTarget target;
        target.Into([&] { surface->Draw(storage, {1.0f, 1.0f}); });
        drawn = target.Read();
    });
    ExpectImagesNear(drawn, StoredPattern(DXGI_FORMAT_R8G8B8A8_UNORM), 1e-5f, "after the throw");
    Drop();
}

TEST_F(D11SurfaceGLTest, DestroyThenReleaseFreesEverythingOnce) {
    KAVRIN_SKIP_WITHOUT_SHARING(Sharing::D11);
    for (Sharing sharing : {Sharing::None, Sharing::D11}) {
        RunOnGL([&] {
            Make(sharing, DXGI_FORMAT_R8G8B8A8_UNORM);
            const long textures =
                Ogl::Details::GlObjectCounter::Live(Ogl::Details::GlObjectCounter::Texture);
            const std::size_t interop = DX::GetLiveGLInteropObjectCount();
            const std::size_t live = DX::GetLiveObjectCount();
            surface->Destroy();
            EXPECT_EQ(surface->GetTexture(), 0u);
            EXPECT_EQ(Ogl::Details::GlObjectCounter::Live(Ogl::Details::GlObjectCounter::Texture),
                      textures - 1);
            EXPECT_EQ(DX::GetLiveGLInteropObjectCount(), interop - 1) << int(sharing);
            EXPECT_LT(DX::GetLiveObjectCount(), live);
            surface->Destroy();  // nothing left to free
            EXPECT_EQ(Ogl::Details::GlObjectCounter::Live(Ogl::Details::GlObjectCounter::Texture),
                      textures - 1);
        });
        Drop();  // the fixture's counts show anything freed twice or not at all
    }
}

TEST_F(D11SurfaceGLTest, UseFromAnotherContextIsRefused) {
    RunOnGL([&] { Make(Sharing::None, DXGI_FORMAT_R8G8B8A8_UNORM); });
    // This thread has no current GL context, so it is not the creating one.
    const auto render =
        InteropFailureOf([&] { surface->BindFrameBuffer(&PaintPattern, std::nullopt); });
    const auto destroy = InteropFailureOf([&] { surface->Destroy(); });
    for (const auto& [failure, function] :
         {std::pair{render, "BindFrameBuffer"}, std::pair{destroy, "Destroy"}}) {
        ASSERT_TRUE(failure) << function;
        EXPECT_EQ(failure->description,
                  "The surface creation context and the current OpenGL context are different");
        EXPECT_EQ(failure->result, E_FAIL);
        EXPECT_EQ(failure->function, function);
    }
    // Nothing was done: the surface still works where it belongs.
    RunOnGL([&] { surface->BindFrameBuffer(&PaintPattern, std::nullopt); });
    ExpectImagesNear(DecodeImage(DXGI_FORMAT_R8G8B8A8_UNORM, ReadD3D(*surface)),
                     StoredPattern(DXGI_FORMAT_R8G8B8A8_UNORM), 1e-6f, "after refusals");
    Drop();
}

TEST_F(D11SurfaceGLTest, CreateTexture2DMakesTexturesLikeTheSurface) {
    RunOnGL([&] { Make(Sharing::None, DXGI_FORMAT_R16G16B16A16_FLOAT); });
    D3D11_TEXTURE2D_DESC desc{};
    surface->CreateTexture2D(D3D11_BIND_SHADER_RESOURCE)->GetDesc(&desc);
    EXPECT_EQ(std::tuple(desc.Width, desc.Height, desc.Format, desc.BindFlags, desc.MiscFlags,
                         desc.MipLevels, desc.ArraySize),
              std::tuple(kSurfaceWidth, kSurfaceHeight, DXGI_FORMAT_R16G16B16A16_FLOAT,
                         UINT(D3D11_BIND_SHADER_RESOURCE), 0u, 1u, 1u));
    const D3D11_TEXTURE2D_DESC own{3,
                                   5,
                                   1,
                                   1,
                                   DXGI_FORMAT_R8G8B8A8_UNORM,
                                   {1, 0},
                                   D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_RENDER_TARGET,
                                   0,
                                   0};
    surface->CreateTexture2D(own)->GetDesc(&desc);
    EXPECT_EQ(std::tuple(desc.Width, desc.Height, desc.Format),
              std::tuple(3u, 5u, DXGI_FORMAT_R8G8B8A8_UNORM));
    Drop();
}

// Direct3D 12 surfaces and their pool.

constexpr char kResourceName[] = "Shared DirectX 12 with OpenGL texture";

// Registered before the binary's library environment, so torn down after the
// library deinitialised: by then the shared interop context, every surface and
// every GL object must be gone.
class NothingLeftAfterDeinitialize : public ::testing::Environment {
public:
    void TearDown() override {
        EXPECT_EQ(DX::ReportDirectXLeaks(), 0u);
        EXPECT_EQ(DX::GetLiveGLInteropObjectCount(), 0u);
        using Ogl::Details::GlObjectCounter;
        for (std::size_t kind = 0; kind < GlObjectCounter::KindCount; ++kind) {
            const auto which = static_cast<GlObjectCounter::Kind>(kind);
            EXPECT_EQ(GlObjectCounter::Live(which), 0) << GlObjectCounter::Name(which);
        }
    }
};
[[maybe_unused]] ::testing::Environment* const nothingLeft =
    ::testing::AddGlobalTestEnvironment(new NothingLeftAfterDeinitialize);

// A timer the test fires by hand; the pool's purge then runs on the test thread.
class ManualTimer : public Core::WaitableTimer {
public:
    explicit ManualTimer(Callback callback) : WaitableTimer(callback), callback(callback) {}
    void StartPeriodic(const std::chrono::milliseconds& newPeriod) override {
        period = newPeriod;
        ++starts;
        SetRunning(true);
    }
    void Stop(bool) override {
        ++stops;
        SetRunning(false);
    }
    void Fire() { callback(); }

    std::chrono::milliseconds period{0};
    int starts = 0;
    int stops = 0;

private:
    Callback callback;
};

class D12SurfaceGLTest : public InteropSurfaceTest {
protected:
    void TearDown() override {
        RunOnGL([&] {
            pool.reset();
            context.reset();
        });
        allocator.reset();
        Core::WaitableTimer::SetFactory({});
        Core::SetClockSource({});
        InteropSurfaceTest::TearDown();
    }

    // A context of the given sharing level, a pool of the surface size and the
    // host's allocator. Any thread.
    void Make(Sharing sharing, DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM) {
        RunOnGL([&] {
            context = MakeInteropContext(sharing);
            ASSERT_TRUE(context);
            ASSERT_EQ(context->IsD12SharingSupported(), sharing == Sharing::D11AndD12)
                << "this GL context cannot take the Direct3D 12 sharing path";
        });
        ASSERT_TRUE(context);
        pool = new D12SurfacePool(kSurfaceWidth, kSurfaceHeight, format);
        allocator = DX::D12CommandAllocator::Create(context->GetD12Device());
    }

    // A surface from the pool, made on the GL thread.
    D12Ptr NewSurface() {
        D12Ptr surface;
        RunOnGL([&] { surface = pool->CreateSurface(context); });
        return surface;
    }

    // A host resource of the surface size in the common state.
    CComPtr<ID3D12Resource> HostResource(DXGI_FORMAT format) const {
        DX::D12Texture2DDesc desc;
        desc.width = kSurfaceWidth;
        desc.height = kSurfaceHeight;
        desc.format = format;
        return context->GetD12Device()->CreateTexture2D(desc);
    }

    // Executes what the allocator recorded after waiting on `event` for its
    // current value, then waits for the queue's own fence.
    void ExecuteAfter(const boost::intrusive_ptr<DX::D12CompletionEvent>& event) {
        const auto& device = context->GetD12Device();
        const auto& queue = device->GetQueue();
        queue->Wait(event, event->GetValue());
        queue->ExecuteCommandLists(allocator->TakeClosedLists());
        auto done = device->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
        const UINT64 value = done->PreIncrementValue();
        queue->Signal(done, value);
        ASSERT_TRUE(done->Wait(value, 10000)) << "the queue did not finish";
    }

    // Renders the pattern into the surface and reads it on the host.
    std::vector<std::byte> RenderAndCopyOut(const D12Ptr& surface, DXGI_FORMAT format) {
        RunOnGL([&] { surface->BindFrameBuffer(&PaintPattern, std::nullopt); });
        const auto destination = HostResource(format);
        surface->CopyTo(allocator, destination, D3D12_RESOURCE_STATE_COMMON,
                        D3D12_RESOURCE_STATE_COMMON);
        ExecuteAfter(surface->GetEvent());
        return DX::Emulation::GetTextureMemory(destination.p)->ReadAll();
    }

    // Copies the pattern into the surface on the host, signals the surface's
    // event after it and draws the surface with GL.
    std::vector<Rgba> CopyInAndDraw(const D12Ptr& surface, DXGI_FORMAT format) {
        const auto source = HostResource(format);
        DX::Emulation::GetTextureMemory(source.p)->Write(PatternBytes(format));
        surface->CopyFrom(allocator, source, D3D12_RESOURCE_STATE_COMMON,
                          D3D12_RESOURCE_STATE_COMMON);
        const auto& queue = context->GetD12Device()->GetQueue();
        queue->ExecuteCommandLists(allocator->TakeClosedLists());
        const UINT64 written = surface->GetEvent()->PreIncrementValue();
        queue->Signal(surface->GetEvent(), written);
        // The host finishes its writes before asking the library to draw.
        EXPECT_TRUE(surface->GetEvent()->Wait(written, 10000));
        std::vector<Rgba> drawn;
        WithStorage([&](const Ogl::ShaderStorage& storage) {
            DrawTarget target;
            target.Into([&] { surface->Draw(storage, {1.0f, 1.0f}); });
            drawn = target.Read();
        });
        return drawn;
    }

    // Pools made from now on get a timer the test fires; time is `now`.
    void InstallManualTimer() {
        Core::WaitableTimer::SetFactory([this](Core::WaitableTimer::Callback callback) {
            auto timer = std::make_unique<ManualTimer>(std::move(callback));
            timer_ = timer.get();
            return timer;
        });
        Core::SetClockSource([this] { return now.load(); });
    }

    ContextPtr context;
    PoolPtr pool;
    boost::intrusive_ptr<DX::D12CommandAllocator> allocator;
    ManualTimer* timer_ = nullptr;
    std::atomic<std::int64_t> now{1'000'000'000'000};
};

struct D12FormatRow {
    Sharing sharing;
    DXGI_FORMAT format;
    const char* name;
    bool refused = false;  // by the sharing path, which has no such format
};

void PrintTo(const D12FormatRow& row, std::ostream* os) { *os << row.name; }

class D12SurfaceFormatGLTest : public D12SurfaceGLTest,
                               public ::testing::WithParamInterface<D12FormatRow> {};

// GL renders reach the host through CopyTo, one fence value per render, and
// host copies reach GL drawing; every implementation names its resource.
TEST_P(D12SurfaceFormatGLTest, PatternsCrossInBothDirections) {
    const D12FormatRow row = GetParam();
    KAVRIN_SKIP_WITHOUT_SHARING(row.sharing);
    Make(row.sharing, row.format);
    if (row.refused) {
        std::optional<InteropFailure> failure;
        RunOnGL([&] { failure = InteropFailureOf([&] { pool->CreateSurface(context); }); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->description, "Unsupported DXGI format for interop");
        EXPECT_EQ(static_cast<std::uint32_t>(failure->result), 0x80004001u);
        EXPECT_EQ(failure->function, "D12SharingSurfaceImpl");
        return;
    }
    const D12Ptr surface = NewSurface();
    ASSERT_TRUE(surface);
    EXPECT_EQ(surface->GetWidth(), kSurfaceWidth);
    EXPECT_EQ(surface->GetHeight(), kSurfaceHeight);
    EXPECT_EQ(surface->GetFormat(), row.format);
    int named = 0;
    for (const std::string& object : DX::GetLiveObjects()) {
        named += object.find(std::string("'") + kResourceName + "'") != std::string::npos;
    }
    EXPECT_EQ(named, 1);
    const UINT64 before = surface->GetEvent()->GetValue();
    const auto bytes = RenderAndCopyOut(surface, row.format);
    EXPECT_EQ(surface->GetEvent()->GetValue(), before + 1);
    EXPECT_EQ(surface->GetEvent()->GetCompletedValue(), before + 1);
    ExpectImagesNear(DecodeImage(row.format, bytes), StoredPattern(row.format),
                     ToleranceOf(row.format), std::string(row.name) + " GL to host");
    RunOnGL([&] {  // what the host copies in must replace this
        surface->BindFrameBuffer(
            [] {
                glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
                glClear(GL_COLOR_BUFFER_BIT);
            },
            std::nullopt);
    });
    ExpectImagesNear(CopyInAndDraw(surface, row.format), StoredPattern(row.format),
                     ToleranceOf(row.format) + 1e-5f, std::string(row.name) + " host to GL");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, D12SurfaceFormatGLTest,
    ::testing::Values(
        D12FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R8G8B8A8_UNORM, "SharingRGBA8"},
        D12FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R16G16B16A16_UNORM, "SharingRGBA16"},
        D12FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R10G10B10A2_UNORM, "SharingRGB10A2"},
        D12FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R16G16B16A16_FLOAT, "SharingRGBA16F"},
        D12FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R32G32B32A32_FLOAT, "SharingRGBA32F"},
        D12FormatRow{Sharing::D11AndD12, DXGI_FORMAT_B8G8R8A8_UNORM, "SharingBGRA8", true},
        // Without Direct3D 12 sharing, over each Direct3D 11 path.
        D12FormatRow{Sharing::D11, DXGI_FORMAT_R8G8B8A8_UNORM, "OverD11SharingRGBA8"},
        D12FormatRow{Sharing::D11, DXGI_FORMAT_R32G32B32A32_FLOAT, "OverD11SharingRGBA32F"},
        D12FormatRow{Sharing::None, DXGI_FORMAT_R8G8B8A8_UNORM, "OverD11InteropRGBA8"},
        D12FormatRow{Sharing::None, DXGI_FORMAT_B8G8R8A8_UNORM, "OverD11InteropBGRA8"},
        D12FormatRow{Sharing::None, DXGI_FORMAT_R16G16B16A16_FLOAT, "OverD11InteropRGBA16F"}),
    [](const ::testing::TestParamInfo<D12FormatRow>& info) {
        return std::string(info.param.name);
    });

// BT.709 limited-range YCbCr to R'G'B' (ITU-R BT.709, table 3: Kr 0.2126, Kb 0.0722).
Rgba Bt709(int y, int cb, int cr) {
    const double luma = (y - 16) / 219.0;
    const double pb = (cb - 128) / 224.0;
    const double pr = (cr - 128) / 224.0;
    const double red = luma + 2 * (1 - 0.2126) * pr;
    const double blue = luma + 2 * (1 - 0.0722) * pb;
    const double green = (luma - 0.2126 * red - 0.0722 * blue) / 0.7152;
    const auto clamp = [](double v) { return static_cast<float>(std::clamp(v, 0.0, 1.0)); };
    return {clamp(red), clamp(green), clamp(blue), 1.0f};
}

TEST_F(D12SurfaceGLTest, YuvFrameDrawnIntoTheSurfaceReachesTheHost) {
    KAVRIN_SKIP_WITHOUT_SHARING(Sharing::D11AndD12);
    Make(Sharing::D11AndD12);
    // Left half one colour, right half another; chroma is half width.
    constexpr int kLeft[3] = {81, 90, 240};
    constexpr int kRight[3] = {145, 54, 34};
    auto cpu = Proc::DataVideoCPU::Create(
        PixFmt::YUV420P, Conf::FrameInfo{int(kSurfaceWidth), int(kSurfaceHeight), 0, 0},
        Conf::ColorSpace{1, 1, 1});
    for (unsigned char plane = 0; plane < 3; ++plane) {
        const Proc::Plane view = cpu->GetPlane(plane);
        const int width = plane == 0 ? int(kSurfaceWidth) : int(kSurfaceWidth) / 2;
        for (int row = 0; row < view.rows; ++row) {
            for (int x = 0; x < width; ++x) {
                view.Row(row)[x] =
                    static_cast<std::uint8_t>(x < width / 2 ? kLeft[plane] : kRight[plane]);
            }
        }
    }
    const auto drawFrame = [&](const std::function<void(const std::function<void()>&)>& into) {
        WithStorage([&](const Ogl::ShaderStorage& storage) {
            boost::intrusive_ptr<Ogl::Frame> frame = Ogl::Frame::Create();
            frame->Upload(cpu, storage);
            into([&] { frame->Draw(storage.Quad(), storage); });
        });
    };
    // Frames keep their program and return their textures to the pool: make
    // both exist first and count from there.
    drawFrame([](const std::function<void()>& draw) { DrawTarget().Into(draw); });
    RunOnGL([&] {
        Ogl::TexturePool::GetInstance().Clear();
        glObjectsBefore = Ogl::Details::GlObjectCounter::Take();
    });
    const D12Ptr surface = NewSurface();
    drawFrame(
        [&](const std::function<void()>& draw) { surface->BindFrameBuffer(draw, std::nullopt); });
    const auto destination = HostResource(DXGI_FORMAT_R8G8B8A8_UNORM);
    surface->CopyTo(allocator, destination, D3D12_RESOURCE_STATE_COMMON,
                    D3D12_RESOURCE_STATE_COMMON);
    ExecuteAfter(surface->GetEvent());
    const std::vector<Rgba> got = DecodeImage(
        DXGI_FORMAT_R8G8B8A8_UNORM, DX::Emulation::GetTextureMemory(destination.p)->ReadAll());
    const Rgba left = Bt709(kLeft[0], kLeft[1], kLeft[2]);
    const Rgba right = Bt709(kRight[0], kRight[1], kRight[2]);
    for (unsigned y = 0; y < kSurfaceHeight; ++y) {
        // Columns next to the middle mix both chromas when upsampled.
        for (unsigned x : {0u, 3u, 5u, 10u, 12u, 15u}) {
            const Rgba& wanted = x < kSurfaceWidth / 2 ? left : right;
            const Rgba& pixel = got[y * kSurfaceWidth + x];
            constexpr float kTolerance = 1.5f / 255;  // one code value plus rounding
            EXPECT_NEAR(pixel.r, wanted.r, kTolerance) << x << "," << y;
            EXPECT_NEAR(pixel.g, wanted.g, kTolerance) << x << "," << y;
            EXPECT_NEAR(pixel.b, wanted.b, kTolerance) << x << "," << y;
            EXPECT_EQ(pixel.a, 1.0f) << x << "," << y;
        }
    }
    RunOnGL([] { Ogl::TexturePool::GetInstance().Clear(); });
}

TEST_F(D12SurfaceGLTest, PoolReusesWithinFiveSecondsAndExpiresAfter) {
    InstallManualTimer();
    Make(BestSharing());
    ManualTimer* timer = timer_;
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->IsRunning()) << "no idle surface yet";

    D12Ptr surface = NewSurface();
    const CComPtr<ID3D12Resource> first = surface->GetTexture();
    surface.reset();
    EXPECT_TRUE(timer->IsRunning()) << "started by the first return";
    EXPECT_EQ(timer->period, std::chrono::milliseconds(5000));

    now += 4'999'999'999;
    timer->Fire();  // not yet expired
    surface = NewSurface();
    EXPECT_EQ(surface->GetTexture().p, first.p);
    surface.reset();
    EXPECT_EQ(timer->starts, 1) << "still running from the first return";

    now += 5'000'000'000;
    timer->Fire();
    EXPECT_FALSE(timer->IsRunning()) << "stopped once nothing is idle";
    EXPECT_EQ(timer->stops, 1);
    RunOnGL([] {});  // the purged surface's deletion is queued to the GL thread
    surface = NewSurface();
    EXPECT_NE(surface->GetTexture().p, first.p);
    // A surface keeps its pool alive; its return then frees it with the pool.
    pool.reset();
    EXPECT_EQ(surface->GetWidth(), kSurfaceWidth);
    surface.reset();
}

TEST_F(D12SurfaceGLTest, PoolHandsOutTheNewestAndPurgesTheOldestFirst) {
    InstallManualTimer();
    Make(BestSharing());
    D12Ptr a = NewSurface();
    D12Ptr b = NewSurface();
    const CComPtr<ID3D12Resource> resourceA = a->GetTexture();
    const CComPtr<ID3D12Resource> resourceB = b->GetTexture();
    ASSERT_NE(resourceA.p, resourceB.p);
    a.reset();
    now += 2'000'000'000;
    b.reset();
    D12Ptr next = NewSurface();
    EXPECT_EQ(next->GetTexture().p, resourceB.p) << "B was returned last";
    next.reset();

    // Now A expires (returned first), B not yet: only A goes.
    now += 3'500'000'000;
    timer_->Fire();
    EXPECT_TRUE(timer_->IsRunning()) << "B is still idle";
    next = NewSurface();
    EXPECT_EQ(next->GetTexture().p, resourceB.p);
    D12Ptr fresh = NewSurface();
    EXPECT_NE(fresh->GetTexture().p, resourceA.p);
    EXPECT_NE(fresh->GetTexture().p, resourceB.p);
}

// What one copy recorded: the transitions of the host resource as (before,
// after) in order, and the copies.
struct Recorded {
    std::vector<std::pair<UINT, UINT>> barriers;
    std::vector<DX::D12CopyCommand> copies;
};

Recorded RecordedBy(const DX::D12GraphicsCommandList& list, ID3D12Resource* host) {
    Recorded recorded;
    for (const DX::D12Command& command : list.GetCommands()) {
        if (const auto* barrier = std::get_if<DX::D12BarrierCommand>(&command)) {
            EXPECT_EQ(barrier->barrier.Type, D3D12_RESOURCE_BARRIER_TYPE_TRANSITION);
            EXPECT_EQ(barrier->barrier.Flags, D3D12_RESOURCE_BARRIER_FLAG_NONE);
            EXPECT_EQ(barrier->barrier.Transition.pResource, host);
            EXPECT_EQ(barrier->barrier.Transition.Subresource,
                      D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES);
            recorded.barriers.emplace_back(barrier->barrier.Transition.StateBefore,
                                           barrier->barrier.Transition.StateAfter);
        } else {
            recorded.copies.push_back(std::get<DX::D12CopyCommand>(command));
        }
    }
    return recorded;
}

TEST_F(D12SurfaceGLTest, CopiesRecordBarriersOnlyAwayFromTheCopyState) {
    Make(BestSharing());
    const D12Ptr surface = NewSurface();
    const auto host = HostResource(DXGI_FORMAT_R8G8B8A8_UNORM);
    using Barriers = std::vector<std::pair<UINT, UINT>>;
    constexpr UINT kCommon = D3D12_RESOURCE_STATE_COMMON;
    constexpr UINT kSource = D3D12_RESOURCE_STATE_COPY_SOURCE;
    constexpr UINT kDest = D3D12_RESOURCE_STATE_COPY_DEST;
    constexpr UINT kShader = D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE;
    struct Case {
        bool into;
        UINT before;
        UINT after;
        Barriers wanted;
    };
    const Case cases[] = {
        {true, kSource, kSource, {}},
        {true, kCommon, kCommon, {{kCommon, kSource}, {kSource, kCommon}}},
        {true, kShader, kSource, {{kShader, kSource}}},
        {true, kSource, kShader, {{kSource, kShader}}},
        {false, kDest, kDest, {}},
        {false, kCommon, kCommon, {{kCommon, kDest}, {kDest, kCommon}}},
        {false, kCommon, kDest, {{kCommon, kDest}}},
    };
    for (const Case& c : cases) {
        if (c.into) {
            surface->CopyFrom(allocator, host, States(static_cast<D3D12_RESOURCE_STATES>(c.before)),
                              States(static_cast<D3D12_RESOURCE_STATES>(c.after)));
        } else {
            surface->CopyTo(allocator, host, States(static_cast<D3D12_RESOURCE_STATES>(c.before)),
                            States(static_cast<D3D12_RESOURCE_STATES>(c.after)));
        }
        const auto lists = allocator->TakeClosedLists();
        ASSERT_EQ(lists.size(), 1u) << "one closed list per copy";
        const Recorded recorded = RecordedBy(*lists[0], host.p);
        EXPECT_EQ(recorded.barriers, c.wanted)
            << (c.into ? "CopyFrom " : "CopyTo ") << c.before << " -> " << c.after;
        ASSERT_EQ(recorded.copies.size(), 1u);
        EXPECT_EQ(recorded.copies[0].destination.p, c.into ? surface->GetTexture().p : host.p);
        EXPECT_EQ(recorded.copies[0].source.p, c.into ? host.p : surface->GetTexture().p);
    }
    // The recorded lists pass the host queue's state checks as they are.
    surface->CopyFrom(allocator, host, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_COMMON);
    ExecuteAfter(surface->GetEvent());
    surface->CopyTo(allocator, host, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_COMMON);
    ExecuteAfter(surface->GetEvent());
}

TEST_F(D12SurfaceGLTest, UseFromAnotherContextIsRefused) {
    Make(BestSharing());
    const D12Ptr surface = NewSurface();
    // No GL context is current on this thread.
    const auto failure =
        InteropFailureOf([&] { surface->BindFrameBuffer(&PaintPattern, std::nullopt); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description,
              "The surface creation context and the current OpenGL context are different");
    EXPECT_EQ(failure->function, "BindFrameBuffer");
    EXPECT_EQ(surface->GetEvent()->GetValue(), 0u) << "nothing was signalled";
}

// Each driver call failing in turn.

// The surfaces under test and the context each is made on.
enum class Kind { D11Interop, D11Sharing, D12Sharing, D12OverD11Interop, D12OverD11Sharing };

struct KindRow {
    Kind kind;
    const char* name;
    Sharing sharing;
    bool d12;
};

constexpr KindRow kKinds[] = {
    {Kind::D11Interop, "D11Interop", Sharing::None, false},
    {Kind::D11Sharing, "D11Sharing", Sharing::D11, false},
    {Kind::D12Sharing, "D12Sharing", Sharing::D11AndD12, true},
    {Kind::D12OverD11Interop, "D12OverD11Interop", Sharing::None, true},
    {Kind::D12OverD11Sharing, "D12OverD11Sharing", Sharing::D11, true},
};

void PrintTo(const KindRow& row, std::ostream* os) { *os << row.name; }

constexpr Step kSteps[] = {
    Step::D11CreateTexture2D,       Step::D11CreateSharedTexture, Step::D11CreateSharedHandle,
    Step::D12CreateTexture2D,       Step::D12CreateSharedHandle,  Step::D12OpenSharedResource,
    Step::D12CreateCompletionEvent, Step::D11OpenSharedEvent,     Step::WglRegisterObject,
    Step::GlCreateMemoryObjects,    Step::GlImportMemory,         Step::GlTextureStorageMem,
    Step::GlGenSemaphores,          Step::GlImportSemaphore,
};

// What the driver answers: out of memory, for the calls that carry an HRESULT.
HRESULT InjectedResult(Step step) {
    return step == Step::WglRegisterObject ? HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)
                                           : E_OUTOFMEMORY;
}

enum class Outcome {
    Throws,     // the creation throws `result` / `message`
    FallsBack,  // an interop surface instead; `message` logged at ERROR
};

struct Expectation {
    Kind kind;
    Step step;
    unsigned skip;  // successful calls of the step before the failing one
    Outcome outcome;
    HRESULT result;
    const char* message;
};

constexpr HRESULT kOom = E_OUTOFMEMORY;
constexpr HRESULT kWglOom = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
constexpr const char* kBind = "Failed to bind OpenGL texture with DirectX texture";
constexpr const char* kMemoryObject = "Failed to create OpenGL memory object";
constexpr const char* kD11Storage = "Failed to create OpenGL texture on DirectX 11 memory";
constexpr const char* kD12Storage = "Failed to create OpenGL texture on DirectX 12 memory";
constexpr const char* kD12Fence = "Failed to import DirectX 12 fence";

// Every call each kind makes while creating a surface, in order. A step or a
// later call of it not listed here must never be reached.
const std::vector<Expectation> kExpectations = {
    {Kind::D11Interop, Step::D11CreateTexture2D, 0, Outcome::Throws, kOom,
     "D11Device::CreateTexture2D failed"},
    {Kind::D11Interop, Step::WglRegisterObject, 0, Outcome::Throws, kWglOom, kBind},

    {Kind::D11Sharing, Step::D11CreateSharedTexture, 0, Outcome::FallsBack, kOom,
     "D11SharedTexture2D::Create failed"},
    {Kind::D11Sharing, Step::D11CreateTexture2D, 0, Outcome::FallsBack, kOom,
     "D11Device::CreateTexture2D failed"},
    {Kind::D11Sharing, Step::D11CreateSharedHandle, 0, Outcome::FallsBack, kOom,
     "D11SharedTexture2D::CreateSharedHandle failed"},
    {Kind::D11Sharing, Step::GlCreateMemoryObjects, 0, Outcome::FallsBack, E_FAIL, kMemoryObject},
    {Kind::D11Sharing, Step::GlImportMemory, 0, Outcome::FallsBack, E_FAIL, kD11Storage},
    {Kind::D11Sharing, Step::GlTextureStorageMem, 0, Outcome::FallsBack, E_FAIL, kD11Storage},

    {Kind::D12Sharing, Step::D12CreateCompletionEvent, 0, Outcome::Throws, kOom,
     "D12Device::CreateCompletionEvent failed"},
    {Kind::D12Sharing, Step::D12CreateTexture2D, 0, Outcome::Throws, kOom,
     "D12Device::CreateTexture2D failed"},
    {Kind::D12Sharing, Step::D12CreateSharedHandle, 0, Outcome::Throws, kOom,
     "D12Device::CreateSharedHandle failed"},
    {Kind::D12Sharing, Step::GlCreateMemoryObjects, 0, Outcome::Throws, E_FAIL, kMemoryObject},
    {Kind::D12Sharing, Step::GlImportMemory, 0, Outcome::Throws, E_FAIL,
     "Failed to import DirectX 12 memory object"},
    {Kind::D12Sharing, Step::GlTextureStorageMem, 0, Outcome::Throws, E_FAIL, kD12Storage},
    {Kind::D12Sharing, Step::GlGenSemaphores, 0, Outcome::Throws, E_FAIL,
     "Failed to create OpenGL semaphore"},
    {Kind::D12Sharing, Step::GlImportSemaphore, 0, Outcome::Throws, E_FAIL, kD12Fence},

    // The inner Direct3D 11 interop surface, then the keyed-mutex texture Direct3D 12 opens.
    {Kind::D12OverD11Interop, Step::D12CreateCompletionEvent, 0, Outcome::Throws, kOom,
     "D12Device::CreateCompletionEvent failed"},
    {Kind::D12OverD11Interop, Step::D11CreateTexture2D, 0, Outcome::Throws, kOom,
     "D11Device::CreateTexture2D failed"},
    {Kind::D12OverD11Interop, Step::WglRegisterObject, 0, Outcome::Throws, kWglOom, kBind},
    {Kind::D12OverD11Interop, Step::D11OpenSharedEvent, 0, Outcome::Throws, kOom,
     "D11CompletionEvent::OpenShared failed"},
    {Kind::D12OverD11Interop, Step::D11CreateSharedTexture, 0, Outcome::Throws, kOom,
     "D11SharedTexture2D::Create failed"},
    {Kind::D12OverD11Interop, Step::D11CreateTexture2D, 1, Outcome::Throws, kOom,
     "D11Device::CreateTexture2D failed"},
    {Kind::D12OverD11Interop, Step::D11CreateSharedHandle, 0, Outcome::Throws, kOom,
     "D11SharedTexture2D::CreateSharedHandle failed"},
    {Kind::D12OverD11Interop, Step::D12OpenSharedResource, 0, Outcome::Throws, kOom,
     "D12Device::OpenSharedResource failed"},

    // The inner surface takes the sharing path and falls back on its own failures.
    {Kind::D12OverD11Sharing, Step::D12CreateCompletionEvent, 0, Outcome::Throws, kOom,
     "D12Device::CreateCompletionEvent failed"},
    {Kind::D12OverD11Sharing, Step::D11CreateSharedTexture, 0, Outcome::FallsBack, kOom,
     "D11SharedTexture2D::Create failed"},
    {Kind::D12OverD11Sharing, Step::D11CreateTexture2D, 0, Outcome::FallsBack, kOom,
     "D11Device::CreateTexture2D failed"},
    {Kind::D12OverD11Sharing, Step::D11CreateSharedHandle, 0, Outcome::FallsBack, kOom,
     "D11SharedTexture2D::CreateSharedHandle failed"},
    {Kind::D12OverD11Sharing, Step::GlCreateMemoryObjects, 0, Outcome::FallsBack, E_FAIL,
     kMemoryObject},
    {Kind::D12OverD11Sharing, Step::GlImportMemory, 0, Outcome::FallsBack, E_FAIL, kD11Storage},
    {Kind::D12OverD11Sharing, Step::GlTextureStorageMem, 0, Outcome::FallsBack, E_FAIL,
     kD11Storage},
    {Kind::D12OverD11Sharing, Step::D11OpenSharedEvent, 0, Outcome::Throws, kOom,
     "D11CompletionEvent::OpenShared failed"},
    {Kind::D12OverD11Sharing, Step::D11CreateSharedTexture, 1, Outcome::Throws, kOom,
     "D11SharedTexture2D::Create failed"},
    {Kind::D12OverD11Sharing, Step::D11CreateTexture2D, 1, Outcome::Throws, kOom,
     "D11Device::CreateTexture2D failed"},
    {Kind::D12OverD11Sharing, Step::D11CreateSharedHandle, 1, Outcome::Throws, kOom,
     "D11SharedTexture2D::CreateSharedHandle failed"},
    {Kind::D12OverD11Sharing, Step::D12OpenSharedResource, 0, Outcome::Throws, kOom,
     "D12Device::OpenSharedResource failed"},
};

constexpr char kSurfacesLeft[] =
    "All interop surfaces must be destroyed before the interop context is destroyed";

// What one creation attempt did.
struct Attempt {
    bool made = false;
    std::optional<HRESULT> result;  // of the exception, when one came
    std::string description;
    bool interopException = false;
    bool stillPending = false;
    std::vector<GLenum> glErrors;
    UINT miscFlags = 0;  // of a Direct3D 11 surface that was made
};

class SurfaceFaultGLTest : public InteropSurfaceTest,
                           public ::testing::WithParamInterface<KindRow> {
protected:
    // Makes the context, arms the failure, creates one surface and drops all of it.
    Attempt Run(const KindRow& kind, Step step, unsigned skip) {
        Attempt attempt;
        RunOnGL([&] {
            boost::intrusive_ptr<InteropContext> context = MakeInteropContext(kind.sharing);
            ASSERT_TRUE(context);
            ASSERT_EQ(context->IsD11SharingSupported(), kind.sharing != Sharing::None);
            ASSERT_EQ(context->IsD12SharingSupported(), kind.sharing == Sharing::D11AndD12);
            ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
            boost::intrusive_ptr<D11Surface> d11;
            boost::intrusive_ptr<D12SurfacePool> pool;
            boost::intrusive_ptr<D12Surface> d12;
            DX::Emulation::FailNext(step, InjectedResult(step), skip);
            try {
                if (kind.d12) {
                    pool = new D12SurfacePool(kSurfaceWidth, kSurfaceHeight,
                                              DXGI_FORMAT_R8G8B8A8_UNORM);
                    d12 = pool->CreateSurface(context);
                } else {
                    d11 = D11Surface::Create(kSurfaceWidth, kSurfaceHeight,
                                             DXGI_FORMAT_R8G8B8A8_UNORM, context);
                }
            } catch (const DX::DirectXException& error) {
                attempt.result = error.GetResult();
                attempt.description = error.GetErrorDescription();
                attempt.interopException =
                    dynamic_cast<const Ogl::InteropException*>(&error) != nullptr;
            }
            attempt.stillPending = DX::Emulation::IsFailurePending(step);
            DX::Emulation::Reset();
            for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError()) {
                attempt.glErrors.push_back(error);
            }
            attempt.made = d11 || d12;
            if (d11) {
                d11->Encode([&](const auto&, const CComPtr<ID3D11Texture2D>& texture) {
                    D3D11_TEXTURE2D_DESC desc{};
                    texture->GetDesc(&desc);
                    attempt.miscFlags = desc.MiscFlags;
                });
            }
            d11.reset();
            d12.reset();
            pool.reset();
            context.reset();
        });
        return attempt;
    }
};

std::vector<LogCapture::Line> ErrorsOf(const LogCapture& log) {
    std::vector<LogCapture::Line> errors;
    for (const LogCapture::Line& line : log.Lines()) {
        if (line.severity == google::GLOG_ERROR) {
            errors.push_back(line);
        }
    }
    return errors;
}

// Every call of every step, failing in turn until a call past the last one.
TEST_P(SurfaceFaultGLTest, EachFailingCallLeavesNothingBehind) {
    const KindRow& kind = GetParam();
    KAVRIN_SKIP_WITHOUT_SHARING(kind.sharing);
    for (Step step : kSteps) {
        for (unsigned skip = 0;; ++skip) {
            const Expectation* expected = nullptr;
            for (const Expectation& e : kExpectations) {
                if (e.kind == kind.kind && e.step == step && e.skip == skip) {
                    expected = &e;
                }
            }
            const std::string what = std::string(kind.name) + ", " + DX::Emulation::StepName(step) +
                                     " call " + std::to_string(skip + 1);
            LogCapture log;
            const Attempt attempt = Run(kind, step, skip);
            if (HasFatalFailure()) {
                return;
            }
            EXPECT_EQ(log.Count(google::GLOG_ERROR, kSurfacesLeft), 0) << what;
            ExpectNothingLeft(what);
            const std::vector<LogCapture::Line> errors = ErrorsOf(log);
            EXPECT_TRUE(attempt.glErrors.empty()) << what;
            if (expected == nullptr) {
                // Past the last call of the step: nothing consumed the failure.
                EXPECT_TRUE(attempt.stillPending) << what << " was reached but is not listed";
                EXPECT_TRUE(attempt.made) << what << ": " << attempt.description;
                EXPECT_TRUE(errors.empty()) << what << "\n" << log.Dump();
                break;
            }
            EXPECT_FALSE(attempt.stillPending) << what << " was never reached";
            if (expected->outcome == Outcome::Throws) {
                EXPECT_FALSE(attempt.made) << what;
                ASSERT_TRUE(attempt.result.has_value()) << what << " threw nothing";
                EXPECT_EQ(*attempt.result, expected->result) << what;
                EXPECT_EQ(attempt.description, expected->message) << what;
                // The surfaces' own checks throw interop exceptions; the
                // Direct3D calls' exceptions pass through unchanged.
                EXPECT_EQ(attempt.interopException,
                          std::string(expected->message).rfind("Failed", 0) == 0)
                    << what;
            } else {
                EXPECT_TRUE(attempt.made) << what << ": " << attempt.description;
                if (!kind.d12) {
                    EXPECT_EQ(attempt.miscFlags, static_cast<UINT>(D3D11_RESOURCE_MISC_SHARED))
                        << what << " did not fall back to the interop surface";
                }
                ASSERT_EQ(errors.size(), 1u) << what << "\n" << log.Dump();
                EXPECT_NE(errors[0].text.find(expected->message), std::string::npos)
                    << what << "\n"
                    << errors[0].text;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, SurfaceFaultGLTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<KindRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
