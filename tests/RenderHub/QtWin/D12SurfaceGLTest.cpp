// Direct3D 12 surfaces and their pool: GL renders reach Direct3D 12 through
// CopyTo, Direct3D 12 copies reach GL drawing, frames land in the surface, the
// pool reuses newest first and expires idle surfaces, and copies record the
// barriers the states ask for.
#include <GL/glew.h>

#include "QtWin/D12Surface.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/WaitableTimer.h"
#include "Kavrin/DX/DirectX.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/DataVideoCPU.h"

#include "Frame.h"
#include "InteropSurfaceTestSupport.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Test;
using Kavrin::Ogl::D12Surface;
using Kavrin::Ogl::D12SurfacePool;
using Kavrin::Ogl::InteropContext;

using ContextPtr = boost::intrusive_ptr<InteropContext>;
using PoolPtr = boost::intrusive_ptr<D12SurfacePool>;
using SurfacePtr = boost::intrusive_ptr<D12Surface>;
using States = D12Surface::States;

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
    SurfacePtr NewSurface() {
        SurfacePtr surface;
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
    std::vector<std::byte> RenderAndCopyOut(const SurfacePtr& surface, DXGI_FORMAT format) {
        RunOnGL([&] { surface->BindFrameBuffer(&PaintPattern, std::nullopt); });
        const auto destination = HostResource(format);
        surface->CopyTo(allocator, destination, D3D12_RESOURCE_STATE_COMMON,
                        D3D12_RESOURCE_STATE_COMMON);
        ExecuteAfter(surface->GetEvent());
        return DX::Emulation::GetTextureMemory(destination.p)->ReadAll();
    }

    // Copies the pattern into the surface on the host, signals the surface's
    // event after it and draws the surface with GL.
    std::vector<Rgba> CopyInAndDraw(const SurfacePtr& surface, DXGI_FORMAT format) {
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

struct FormatRow {
    Sharing sharing;
    DXGI_FORMAT format;
    const char* name;
    bool refused = false;  // by the sharing path, which has no such format
};

void PrintTo(const FormatRow& row, std::ostream* os) { *os << row.name; }

class D12SurfaceFormatGLTest : public D12SurfaceGLTest,
                               public ::testing::WithParamInterface<FormatRow> {};

// GL renders reach the host through CopyTo, one fence value per render, and
// host copies reach GL drawing; every implementation names its resource.
TEST_P(D12SurfaceFormatGLTest, PatternsCrossInBothDirections) {
    const FormatRow row = GetParam();
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
    const SurfacePtr surface = NewSurface();
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
        FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R8G8B8A8_UNORM, "SharingRGBA8"},
        FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R16G16B16A16_UNORM, "SharingRGBA16"},
        FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R10G10B10A2_UNORM, "SharingRGB10A2"},
        FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R16G16B16A16_FLOAT, "SharingRGBA16F"},
        FormatRow{Sharing::D11AndD12, DXGI_FORMAT_R32G32B32A32_FLOAT, "SharingRGBA32F"},
        FormatRow{Sharing::D11AndD12, DXGI_FORMAT_B8G8R8A8_UNORM, "SharingBGRA8", true},
        // Without Direct3D 12 sharing, over each Direct3D 11 path.
        FormatRow{Sharing::D11, DXGI_FORMAT_R8G8B8A8_UNORM, "OverD11SharingRGBA8"},
        FormatRow{Sharing::D11, DXGI_FORMAT_R32G32B32A32_FLOAT, "OverD11SharingRGBA32F"},
        FormatRow{Sharing::None, DXGI_FORMAT_R8G8B8A8_UNORM, "OverD11InteropRGBA8"},
        FormatRow{Sharing::None, DXGI_FORMAT_B8G8R8A8_UNORM, "OverD11InteropBGRA8"},
        FormatRow{Sharing::None, DXGI_FORMAT_R16G16B16A16_FLOAT, "OverD11InteropRGBA16F"}),
    [](const ::testing::TestParamInfo<FormatRow>& info) { return std::string(info.param.name); });

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
    const SurfacePtr surface = NewSurface();
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

    SurfacePtr surface = NewSurface();
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
    SurfacePtr a = NewSurface();
    SurfacePtr b = NewSurface();
    const CComPtr<ID3D12Resource> resourceA = a->GetTexture();
    const CComPtr<ID3D12Resource> resourceB = b->GetTexture();
    ASSERT_NE(resourceA.p, resourceB.p);
    a.reset();
    now += 2'000'000'000;
    b.reset();
    SurfacePtr next = NewSurface();
    EXPECT_EQ(next->GetTexture().p, resourceB.p) << "B was returned last";
    next.reset();

    // Now A expires (returned first), B not yet: only A goes.
    now += 3'500'000'000;
    timer_->Fire();
    EXPECT_TRUE(timer_->IsRunning()) << "B is still idle";
    next = NewSurface();
    EXPECT_EQ(next->GetTexture().p, resourceB.p);
    SurfacePtr fresh = NewSurface();
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
    const SurfacePtr surface = NewSurface();
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
    const SurfacePtr surface = NewSurface();
    // No GL context is current on this thread.
    const auto failure =
        InteropFailureOf([&] { surface->BindFrameBuffer(&PaintPattern, std::nullopt); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description,
              "The surface creation context and the current OpenGL context are different");
    EXPECT_EQ(failure->function, "BindFrameBuffer");
    EXPECT_EQ(surface->GetEvent()->GetValue(), 0u) << "nothing was signalled";
}

}  // namespace
