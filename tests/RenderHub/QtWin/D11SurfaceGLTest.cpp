// Direct3D 11 surfaces over both sharing paths: GL renders reach Direct3D 11,
// Direct3D 11 writes reach GL, and the edge cases of locking, formats and
// destruction.
#include <GL/glew.h>

#include "QtWin/D11Surface.h"

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"
#include "Kavrin/Win/GLInterop.h"

#include "InteropSurfaceTestSupport.h"
#include "LogCapture.h"
#include "ShaderStorage.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Test;
using Kavrin::Ogl::D11Surface;
using Kavrin::Ogl::InteropContext;

using ContextPtr = boost::intrusive_ptr<InteropContext>;
using SurfacePtr = boost::intrusive_ptr<D11Surface>;

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
    SurfacePtr surface;
};

// Which surface a format gets on a context: the one of the context's path, the
// interop one after an ERROR line (outside the sharing path's formats), or none.
enum class Path { AsAsked, FallsBack, Refused };

struct FormatRow {
    Sharing sharing;
    DXGI_FORMAT format;
    Path path;
    const char* name;
};

void PrintTo(const FormatRow& row, std::ostream* os) { *os << row.name; }

class D11SurfaceFormatGLTest : public D11SurfaceGLTest,
                               public ::testing::WithParamInterface<FormatRow> {};

// Direct3D writes reach GL drawing, and GL rendering reaches Direct3D over
// bytes cleared first; the keyed mutex is handed on with key 0 at each turn.
TEST_P(D11SurfaceFormatGLTest, PatternsCrossInBothDirections) {
    const FormatRow row = GetParam();
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
        FormatRow{Sharing::None, DXGI_FORMAT_R8G8B8A8_UNORM, Path::AsAsked, "InteropRGBA8"},
        FormatRow{Sharing::None, DXGI_FORMAT_B8G8R8A8_UNORM, Path::AsAsked, "InteropBGRA8"},
        FormatRow{Sharing::None, DXGI_FORMAT_R10G10B10A2_UNORM, Path::AsAsked, "InteropRGB10A2"},
        FormatRow{Sharing::None, DXGI_FORMAT_R16G16B16A16_FLOAT, Path::AsAsked, "InteropRGBA16F"},
        FormatRow{Sharing::None, DXGI_FORMAT_R32G32B32A32_FLOAT, Path::AsAsked, "InteropRGBA32F"},
        FormatRow{Sharing::None, DXGI_FORMAT_R16G16B16A16_UNORM, Path::Refused, "InteropRGBA16"},
        FormatRow{Sharing::D11, DXGI_FORMAT_R8G8B8A8_UNORM, Path::AsAsked, "SharingRGBA8"},
        FormatRow{Sharing::D11, DXGI_FORMAT_R16G16B16A16_FLOAT, Path::AsAsked, "SharingRGBA16F"},
        FormatRow{Sharing::D11, DXGI_FORMAT_R32G32B32A32_FLOAT, Path::AsAsked, "SharingRGBA32F"},
        FormatRow{Sharing::D11, DXGI_FORMAT_B8G8R8A8_UNORM, Path::FallsBack, "SharingBGRA8"},
        FormatRow{Sharing::D11, DXGI_FORMAT_R10G10B10A2_UNORM, Path::FallsBack, "SharingRGB10A2"},
        FormatRow{Sharing::D11, DXGI_FORMAT_R16G16B16A16_UNORM, Path::Refused, "SharingRGBA16"}),
    [](const ::testing::TestParamInfo<FormatRow>& info) { return std::string(info.param.name); });

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

}  // namespace
