#pragma once

// Shared by the Direct3D surface suites: interop contexts of each sharing level,
// a known pattern rendered with GL or written by Direct3D, and its bytes in
// every surface format.
#include <GL/glew.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <boost/intrusive_ptr.hpp>
#include <glm/gtc/packing.hpp>
#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"
#include "Kavrin/Win/GLInterop.h"

#include "GlObjectCounter.h"
#include "QtOgl/QtOpenGL.h"
#include "QtWin/D11Surface.h"
#include "QtWin/D12Surface.h"
#include "QtWin/InteropContext.h"
#include "ShaderStorage.h"
#include "TestMain.h"
#include "TestTasks.h"

namespace Kavrin::Test {

constexpr unsigned kSurfaceWidth = 16;
constexpr unsigned kSurfaceHeight = 8;

// Which sharing paths the interop context of a case reports.
enum class Sharing { None, D11, D11AndD12 };

// Whether this GL context can take the memory-object sharing paths: they need
// OpenGL 4.5, which the suite's runs under lower limits do not have.
inline bool GLHasSharing() {
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
inline Sharing BestSharing() { return GLHasSharing() ? Sharing::D11AndD12 : Sharing::None; }

#define KAVRIN_SKIP_WITHOUT_SHARING(sharing)                                           \
    if ((sharing) != ::Kavrin::Test::Sharing::None && !::Kavrin::Test::GLHasSharing()) \
    GTEST_SKIP() << "memory-object sharing needs OpenGL 4.5; this context is "         \
                    "older"

// A shared-kind interop context on the GL thread with the given sharing level,
// reached by hiding the GL extension the next level needs. GL thread.
inline boost::intrusive_ptr<Ogl::InteropContext> MakeInteropContext(Sharing sharing) {
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
inline Rgba PatternAt(unsigned x, unsigned y) {
    if (x < kSurfaceWidth / 2 && y < kSurfaceHeight / 2) {
        return {1.0f, 0.0f, 128.0f / 255, 1.0f};
    }
    if (x < kSurfaceWidth / 2) {
        return {51.0f / 255, 102.0f / 255, 153.0f / 255, 1.0f};
    }
    return {204.0f / 255, 25.0f / 255, 76.0f / 255, 0.0f};
}

// Paints the pattern into the bound framebuffer with scissored clears.
inline void PaintPattern() {
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

inline Layout LayoutOf(DXGI_FORMAT format) {
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
inline std::vector<std::byte> PatternBytes(DXGI_FORMAT format) {
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
inline std::vector<Rgba> DecodeImage(DXGI_FORMAT format, const std::vector<std::byte>& bytes) {
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
inline void ExpectImagesNear(const std::vector<Rgba>& got, const std::vector<Rgba>& wanted,
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
inline std::vector<Rgba> StoredPattern(DXGI_FORMAT format) {
    return DecodeImage(format, PatternBytes(format));
}

// Tolerances: exact codes for 8-bit (the pixel-exact case), one code for the
// wider integer formats (GL's own rounding), half and float rounding.
inline float ToleranceOf(DXGI_FORMAT format) {
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

}  // namespace Kavrin::Test
