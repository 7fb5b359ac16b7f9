// Direct3D 11 and 12 surfaces over every sharing path, each driver call failing
// in turn, and the emulated GL interop's own answers to misuse and mutex keys.
#include <GL/glew.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <variant>

#include <boost/intrusive_ptr.hpp>
#include <gmock/gmock.h>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/WaitableTimer.h"
#include "Kavrin/Win/GLInterop.h"

#include "../../Host/DXTestSupport.h"
#include "GlObjectCounter.h"
#include "GpuEval.h"
#include "LogCapture.h"
#include "QtWin/D11Surface.h"
#include "QtWin/D12Surface.h"
#include "QtWin/InteropContext.h"
#include "TestMain.h"
#include "TestTasks.h"
#include "interop/InteropTexture.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Test;
using DX::Emulation::Step;
using Ogl::D11Surface;
using Ogl::D12Surface;
using Ogl::D12SurfacePool;
using Ogl::InteropContext;
using Ogl::Details::GlObjectCounter;
using D12Ptr = boost::intrusive_ptr<D12Surface>;
using States = D12Surface::States;

constexpr unsigned kW = 16;
constexpr unsigned kH = 8;

// The sharing paths a case's interop context reports; Direct3D 12's come with 11's.
enum Sharing { kNone, kD11, kD12 };

constexpr auto R8 = DXGI_FORMAT_R8G8B8A8_UNORM;
constexpr auto B8 = DXGI_FORMAT_B8G8R8A8_UNORM;
constexpr auto R16 = DXGI_FORMAT_R16G16B16A16_UNORM;
constexpr auto R10 = DXGI_FORMAT_R10G10B10A2_UNORM;
constexpr auto F16 = DXGI_FORMAT_R16G16B16A16_FLOAT;
constexpr auto F32 = DXGI_FORMAT_R32G32B32A32_FLOAT;

// Memory-object sharing needs OpenGL 4.5, which the runs under lower limits lack.
bool GLHasSharing() {
    bool has = false;
    RunOnGL([&] { has = GLEW_VERSION_4_5; });
    return has;
}

Sharing BestSharing() { return GLHasSharing() ? kD12 : kNone; }

// Left half, right half, bottom-left quarter on top: components multiples of
// 1/255 and alphas differing, so swapped channels, rows or halves show.
Rgba PatternAt(unsigned x, unsigned y) {
    if (x < kW / 2 && y < kH / 2)
        return {1.0f, 0.0f, 128.0f / 255, 1.0f};
    if (x < kW / 2)
        return {51.0f / 255, 102.0f / 255, 153.0f / 255, 1.0f};
    return {204.0f / 255, 25.0f / 255, 76.0f / 255, 0.0f};
}

// The pattern as Direct3D stores it, rows in the order GL numbers them.
std::vector<std::byte> PatternBytes(DXGI_FORMAT format) {
    std::vector<Rgba> pixels;
    for (unsigned i = 0; i < kW * kH; ++i)
        pixels.push_back(PatternAt(i % kW, i / kW));
    return EncodeDXGI(format, pixels);
}

// Within `tolerance` of the stored pattern after the format's rounding.
::testing::AssertionResult NearPattern(DXGI_FORMAT format, const std::vector<Rgba>& got,
                                       float tolerance) {
    const std::vector<Rgba> wanted = DecodeDXGI(format, PatternBytes(format));
    if (got.size() != wanted.size())
        return ::testing::AssertionFailure() << got.size() << " pixels";
    for (std::size_t i = 0; i < got.size(); ++i) {
        for (int k = 0; k < 4; ++k) {
            if (!(std::fabs(got[i][k] - wanted[i][k]) <= tolerance))
                return ::testing::AssertionFailure()
                       << "pixel (" << i % kW << ", " << i / kW << ") component " << k << " is "
                       << got[i][k] << ", not " << wanted[i][k];
        }
    }
    return ::testing::AssertionSuccess();
}

// Paints the pattern into the bound framebuffer: halves, then the quarter over them.
void PaintPattern() {
    glEnable(GL_SCISSOR_TEST);
    for (const auto [x, width, height] :
         {std::array<GLint, 3>{0, kW / 2, kH}, {kW / 2, kW / 2, kH}, {0, kW / 2, kH / 2}}) {
        const Rgba c = PatternAt(x, height - 1);
        glScissor(x, 0, width, height);
        glClearColor(c[0], c[1], c[2], c[3]);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    glDisable(GL_SCISSOR_TEST);
}

// What `draw` puts into an RGBA32F target of the surface size cleared to grey.
std::vector<Rgba> DrawnBy(const std::function<void(const Ogl::ShaderStorage&)>& draw) {
    std::vector<glm::vec4> pixels;
    WithStorage([&](const Ogl::ShaderStorage& storage) {
        const auto target = FloatTexture(kW, kH);
        storage.FBO().Attach(*target);
        glDisable(GL_BLEND);
        glClearColor(0.5f, 0.5f, 0.5f, 0.5f);
        glClear(GL_COLOR_BUFFER_BIT);
        draw(storage);
        pixels = ReadFloat(*target, storage);
    });
    std::vector<Rgba> rgba;
    for (const glm::vec4& pixel : pixels)
        rgba.push_back({pixel.r, pixel.g, pixel.b, pixel.a});
    return rgba;
}

// The ERROR lines of `log` that contain `text` and `also`.
int Errors(const LogCapture& log, const std::string& text = "", const std::string& also = "") {
    const auto lines = log.Lines();
    return std::count_if(lines.begin(), lines.end(), [&](const LogCapture::Line& line) {
        return line.severity == google::GLOG_ERROR && line.text.find(text) != std::string::npos &&
               line.text.find(also) != std::string::npos;
    });
}

constexpr auto* InteropFailureOf = &FailureOf<Ogl::InteropException>;

// Between uses a keyed mutex is free and was released with key 0, the key both
// sides acquire with: any other key would leave the next acquire waiting for ever.
::testing::AssertionResult HandedOnWithKeyZero(const std::shared_ptr<DX::EmulatedTexture>& memory) {
    DX::EmulatedKeyedMutex* mutex = memory ? memory->GetKeyedMutex() : nullptr;
    if (mutex != nullptr && (mutex->IsAcquired() || mutex->GetKey() != 0))
        return ::testing::AssertionFailure()
               << "keyed mutex " << (mutex->IsAcquired() ? "held" : "free") << " with key "
               << mutex->GetKey();
    return ::testing::AssertionSuccess();
}

// A timer the test fires by hand; the pool's purge then runs on the test thread.
struct ManualTimer : Core::WaitableTimer {
    explicit ManualTimer(Callback callback) : WaitableTimer(callback), Fire(callback) {}
    void StartPeriodic(const std::chrono::milliseconds& to) override {
        ++starts, period = to, SetRunning(true);
    }
    void Stop(bool) override { ++stops, SetRunning(false); }

    Callback Fire;
    std::chrono::milliseconds period{0};
    int starts = 0, stops = 0;
};

// Registered before the binary's library environment, so torn down after the
// library deinitialised: by then every interop and GL object must be gone.
// Direct3D objects, open handles, GL interop objects and counted GL objects.
auto Counts() {
    return std::tuple(DX::GetLiveObjectCount(), DX::Emulation::GetOpenHandleCount(),
                      DX::GetLiveGLInteropObjectCount(), GlObjectCounter::Take());
}

class NothingLeftAfterDeinitialize : public ::testing::Environment {
public:
    void TearDown() override {
        EXPECT_EQ(DX::ReportDirectXLeaks(), 0u);
        EXPECT_EQ(Counts(), decltype(Counts())());
    }
};
[[maybe_unused]] ::testing::Environment* const nothingLeft =
    ::testing::AddGlobalTestEnvironment(new NothingLeftAfterDeinitialize);

// Every case starts on the default machine with the real probe surfaces and must
// leave nothing of Counts() and no GL error behind.
class SurfaceGLTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A keyed mutex or fence left waiting hangs for ever: fail within seconds.
        LimitCurrentTest(std::chrono::seconds(30));
        DX::Emulation::Reset();
        Ogl::Details::SetInteropProbes({}, {});
        RunOnGL([&] { before = Counts(); });
    }

    void TearDown() override {
        // A test's clock reads its own stack, which is gone by now.
        Core::SetClockSource({});
        Drop();
        Core::WaitableTimer::SetFactory({});
        ExpectNothingLeft("at the end");
        RunOnGL([] { EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR)); });
        DX::Emulation::Reset();
    }

    void ExpectNothingLeft(const std::string& what) {
        RunOnGL([] {});  // deleters queued by releases elsewhere have run
        DX::D12CommandAllocator::WaitAllComplete();
        RunOnGL([&] {
            EXPECT_EQ(Counts(), before) << what << "\n"
                                        << ::testing::PrintToString(DX::GetLiveObjects());
        });
    }

    // A context of the given level (hiding the extension the next one needs), and
    // for Direct3D 12 a pool and the host's allocator.
    void MakeContext(Sharing sharing, bool d12 = false,
                     DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM) {
        RunOnGL([&] {
            DX::Emulation::SetExtensionMissing("GL_EXT_win32_keyed_mutex", sharing == kNone);
            DX::Emulation::SetExtensionMissing("GL_EXT_semaphore_win32", sharing != kD12);
            context = InteropContext::Create(nullptr);
            DX::Emulation::SetExtensionMissing("GL_EXT_win32_keyed_mutex", false);
            DX::Emulation::SetExtensionMissing("GL_EXT_semaphore_win32", false);
            ASSERT_TRUE(context);
            ASSERT_EQ(std::pair(context->IsD11SharingSupported(), context->IsD12SharingSupported()),
                      std::pair(sharing != kNone, sharing == kD12));
        });
        if (d12 && context) {
            pool = new D12SurfacePool(kW, kH, format);
            allocator = DX::D12CommandAllocator::Create(context->GetD12Device());
        }
    }

    D12Ptr NewSurface() {
        D12Ptr surface;
        RunOnGL([&] { surface = pool->CreateSurface(context); });
        return surface;
    }

    // The surface of the row's API, or why it was refused.
    std::optional<Failure> MakeSurface(bool use12, Sharing sharing, DXGI_FORMAT format) {
        MakeContext(sharing, use12, format);
        return InteropFailureOf([&] {
            if (use12)
                d12 = NewSurface();
            else
                RunOnGL([&] { d11 = D11Surface::Create(kW, kH, format, context); });
        });
    }

    void Drop() {
        allocator.reset();
        RunOnGL([&] {
            d11.reset();
            d12.reset();
            pool.reset();
            context.reset();
        });
    }

    void Render(const std::function<void()>& draw) {
        RunOnGL([&] {
            d12 ? d12->BindFrameBuffer(draw, std::nullopt)
                : d11->BindFrameBuffer(draw, std::nullopt);
        });
    }

    std::shared_ptr<DX::EmulatedTexture> Memory() const {
        if (d12)
            return DX::Emulation::GetTextureMemory(d12->GetTexture().p);
        std::shared_ptr<DX::EmulatedTexture> memory;
        d11->Encode([&](const auto&, const CComPtr<ID3D11Texture2D>& texture) {
            memory = DX::Emulation::GetTextureMemory(texture.p);
        });
        return memory;
    }

    CComPtr<ID3D12Resource> HostResource(DXGI_FORMAT format) const {
        return context->GetD12Device()->CreateTexture2D(
            {.width = kW, .height = kH, .format = format});
    }

    // The host's side: Direct3D 11 inside Encode, Direct3D 12 through a copy after
    // the surface's fence (reading) or signalling it (writing).
    void HostWrite(DXGI_FORMAT format, const std::vector<std::byte>& bytes) {
        const auto memory = Memory();
        if (!d12)
            return d11->Encode([&](const auto&, const auto&) { memory->Write(bytes); });
        const auto source = HostResource(format);
        DX::Emulation::GetTextureMemory(source.p)->Write(bytes);
        d12->CopyFrom(allocator, source, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_COMMON);
        const auto& queue = context->GetD12Device()->GetQueue();
        queue->ExecuteCommandLists(allocator->TakeClosedLists());
        const UINT64 written = d12->GetEvent()->PreIncrementValue();
        queue->Signal(d12->GetEvent(), written);
        EXPECT_TRUE(d12->GetEvent()->Wait(written, 10000));
    }

    std::vector<std::byte> HostRead(DXGI_FORMAT format) {
        std::vector<std::byte> bytes;
        if (!d12) {
            const auto memory = Memory();
            d11->Encode([&](const auto&, const auto&) { bytes = memory->ReadAll(); });
            return bytes;
        }
        const auto destination = HostResource(format);
        d12->CopyTo(allocator, destination, D3D12_RESOURCE_STATE_COMMON,
                    D3D12_RESOURCE_STATE_COMMON);
        const auto& queue = context->GetD12Device()->GetQueue();
        queue->Wait(d12->GetEvent(), d12->GetEvent()->GetValue());
        queue->ExecuteCommandLists(allocator->TakeClosedLists());
        auto done = context->GetD12Device()->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
        queue->Signal(done, 1);
        EXPECT_TRUE(done->Wait(1, 10000)) << "the queue did not finish";
        return DX::Emulation::GetTextureMemory(destination.p)->ReadAll();
    }

    void CrossPatterns(bool use12, Sharing sharing, DXGI_FORMAT format, int path);

    decltype(Counts()) before;
    boost::intrusive_ptr<InteropContext> context;
    boost::intrusive_ptr<D11Surface> d11;
    boost::intrusive_ptr<D12SurfacePool> pool;
    D12Ptr d12;
    boost::intrusive_ptr<DX::D12CommandAllocator> allocator;
};

// Each path's formats by the surface they get: the path's own, the Direct3D 11
// interop one after an ERROR line, or none.
enum Path { AsAsked, FallsBack, Refused };

struct FormatRow {
    bool d12;
    Sharing sharing;
    std::array<std::vector<DXGI_FORMAT>, 3> formats;  // by Path
};

const FormatRow kFormatRows[] = {
    {false, kNone, {{{R8, B8, R10, F16, F32}, {}, {R16}}}},
    {false, kD11, {{{R8, F16, F32}, {B8, R10}, {R16}}}},
    {true, kD12, {{{R8, R16, R10, F16, F32}, {}, {B8}}}},
    // Without Direct3D 12 sharing, over each Direct3D 11 path.
    {true, kD11, {{{R8, F32}, {}, {}}}},
    {true, kNone, {{{R8, B8, F16}, {}, {}}}},
};

// GL renders reach the host (one fence value each on Direct3D 12) and host writes
// reach GL drawing in every format of every path, mutexes handed on with key 0.
TEST_F(SurfaceGLTest, PatternsCrossInBothDirectionsInEveryFormatOfEveryPath) {
    for (const FormatRow& row : kFormatRows) {
        if (row.sharing != kNone && !GLHasSharing())
            continue;  // memory-object sharing needs OpenGL 4.5
        for (Path path : {AsAsked, FallsBack, Refused}) {
            for (DXGI_FORMAT format : row.formats[path]) {
                SCOPED_TRACE(::testing::Message() << (row.d12 ? "D3D12" : "D3D11") << " on "
                                                  << int(row.sharing) << ", format " << format);
                CrossPatterns(row.d12, row.sharing, format, path);
                Drop();
                ExpectNothingLeft("after the row");
            }
        }
    }
}

void SurfaceGLTest::CrossPatterns(bool use12, Sharing sharing, DXGI_FORMAT format, int path) {
    LogCapture log;
    const auto failure = MakeSurface(use12, sharing, format);
    if (path == Refused) {
        EXPECT_EQ(failure, Failure("Unsupported DXGI format for interop", HRESULT(0x80004001),
                                   use12 ? "D12SharingSurfaceImpl" : "Create"));
        return;
    }
    ASSERT_FALSE(failure) << std::get<0>(*failure);
    EXPECT_EQ(Errors(log, "Unsupported DXGI format for interop", "D11SharingSurface"),
              path == FallsBack ? 1 : 0)
        << log.Dump();
    if (use12) {
        EXPECT_EQ(std::tuple(d12->GetWidth(), d12->GetHeight(), d12->GetFormat()),
                  std::tuple(kW, kH, format));
        const auto objects = DX::GetLiveObjects();
        EXPECT_EQ(std::count(objects.begin(), objects.end(),
                             "ID3D12Resource 'Shared DirectX 12 with OpenGL texture'"),
                  1);
    } else {
        D3D11_TEXTURE2D_DESC desc{};
        d11->Encode([&](const auto&, const CComPtr<ID3D11Texture2D>& t) { t->GetDesc(&desc); });
        const bool shares = sharing != kNone && path == AsAsked;
        EXPECT_EQ(desc.MiscFlags, shares ? D3D11_RESOURCE_MISC_SHARED_NTHANDLE |
                                               D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX
                                         : UINT(D3D11_RESOURCE_MISC_SHARED));
        // Textures for the caller's own use: like the surface, or as described.
        d11->CreateTexture2D(D3D11_BIND_SHADER_RESOURCE)->GetDesc(&desc);
        EXPECT_EQ(std::tuple(desc.Width, desc.Height, desc.Format, desc.BindFlags, desc.MiscFlags,
                             desc.MipLevels, desc.ArraySize),
                  std::tuple(kW, kH, format, UINT(D3D11_BIND_SHADER_RESOURCE), 0u, 1u, 1u));
        d11->CreateTexture2D(Desc(3, 5))->GetDesc(&desc);
        EXPECT_EQ(std::tuple(desc.Width, desc.Height, desc.Format), std::tuple(3u, 5u, R8));
    }
    const auto memory = Memory();
    ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after creation";
    if (!use12) {
        EXPECT_THROW(d11->Encode([](const auto&, const auto&) { throw std::runtime_error("x"); }),
                     std::runtime_error);
        ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after work that threw";
    }

    // Off the creating context every use is refused and changes nothing.
    const UINT64 fence = use12 ? d12->GetEvent()->GetValue() : 0;
    const auto otherContext = [](const char* function) {
        return Failure("The surface creation context and the current OpenGL context are different",
                       E_FAIL, function);
    };
    EXPECT_EQ(InteropFailureOf([&] {
                  use12 ? d12->BindFrameBuffer(&PaintPattern, std::nullopt)
                        : d11->BindFrameBuffer(&PaintPattern, std::nullopt);
              }),
              otherContext("BindFrameBuffer"));
    if (!use12) {
        EXPECT_EQ(InteropFailureOf([&] { d11->Destroy(); }), otherContext("Destroy"));
    }
    std::array<GLint, 4> viewport{};
    Render([&] {
        glGetIntegerv(GL_VIEWPORT, viewport.data());
        PaintPattern();
    });
    EXPECT_EQ(viewport, (std::array<GLint, 4>{0, 0, kW, kH}));
    ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after GL";
    EXPECT_TRUE(NearPattern(format, DecodeDXGI(format, HostRead(format)), ToleranceOf(format)))
        << "GL to host";
    if (use12) {
        EXPECT_EQ(std::pair(d12->GetEvent()->GetValue(), d12->GetEvent()->GetCompletedValue()),
                  std::pair(fence + 1, fence + 1));
    }

    Render([] {  // what the host writes must replace this
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    });
    HostWrite(format, PatternBytes(format));
    ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after the host";
    const auto drawn = DrawnBy([&](const Ogl::ShaderStorage& storage) {
        use12 ? d12->Draw(storage, {1.0f, 1.0f}) : d11->Draw(storage, {1.0f, 1.0f});
    });
    EXPECT_TRUE(NearPattern(format, drawn, ToleranceOf(format) + 1e-5f)) << "host to GL";
    ASSERT_TRUE(HandedOnWithKeyZero(memory)) << "after GL drawing";
    if (use12)
        return;
    // Destroy frees its objects once; the fixture's counts show a double or no free.
    RunOnGL([&] {
        const long textures = GlObjectCounter::Live(GlObjectCounter::Texture);
        const std::size_t interop = DX::GetLiveGLInteropObjectCount();
        const std::size_t live = DX::GetLiveObjectCount();
        for (int time = 0; time < 2; ++time) {
            d11->Destroy();
            EXPECT_EQ(std::tuple(d11->GetTexture(), GlObjectCounter::Live(GlObjectCounter::Texture),
                                 DX::GetLiveGLInteropObjectCount()),
                      std::tuple(0u, textures - 1, interop - 1));
            EXPECT_LT(DX::GetLiveObjectCount(), live);
        }
    });
}

GLint FramebufferBinding() {
    GLint bound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    return bound;
}

// The interop surface and every surface's base: nested uses fail keeping the outer
// lock; access changes only between rendering and drawing; rendering binds its own
// framebuffer and viewport and restores the caller's on every way out; Draw
// centres a quad of the given scale; a release off the GL thread queues a deleter.
TEST_F(SurfaceGLTest, InteropSurfaceLocksOncePerUseAndBindsDrawsAndDeletesOnTheGlThread) {
    MakeSurface(false, kNone, R8);
    std::optional<Failure> nested, drawInside;
    std::vector<std::size_t> changes;
    WithStorage([&](const Ogl::ShaderStorage& storage) {
        const auto& framebuffers = Ogl::Details::GetFramebufferFunctions();
        framebuffers.BindFramebuffer(GL_FRAMEBUFFER, storage.FBO().GetFramebuffer());
        const GLint previous = FramebufferBinding();
        std::array<GLint, 4> viewport{};
        GLint inside = previous;
        d11->BindFrameBuffer(
            [&] {
                glGetIntegerv(GL_VIEWPORT, viewport.data());
                inside = FramebufferBinding();
                nested =
                    InteropFailureOf([&] { d11->BindFrameBuffer(&PaintPattern, std::nullopt); });
                drawInside = InteropFailureOf([&] { d11->Draw(storage, {1.0f, 1.0f}); });
            },
            Ogl::GLViewport{10, 20, 100, 50});
        EXPECT_EQ(viewport, (std::array<GLint, 4>{10, 20, 100, 50}));
        EXPECT_NE(inside, previous);
        for (const std::function<void()>& use : {std::function<void()>([] { throw 1; }), {}}) {
            EXPECT_EQ(FramebufferBinding(), previous);
            EXPECT_ANY_THROW(d11->BindFrameBuffer(use, std::nullopt));
        }
        EXPECT_EQ(FramebufferBinding(), previous);
        framebuffers.BindFramebuffer(GL_FRAMEBUFFER, 0);
        for (bool render : {true, false, false, true, true}) {
            const std::size_t before = DX::GetWglObjectAccessCallCount();
            render ? d11->BindFrameBuffer(&PaintPattern, std::nullopt)
                   : d11->Draw(storage, {1.0f, 1.0f});
            changes.push_back(DX::GetWglObjectAccessCallCount() - before);
        }
    });
    EXPECT_EQ(changes, (std::vector<std::size_t>{0, 1, 0, 1, 0}));
    const HRESULT busy = HRESULT_FROM_WIN32(ERROR_BUSY);
    EXPECT_EQ(nested, Failure("Surface is already locked", busy, "Lock"));
    EXPECT_EQ(drawInside, Failure("Failed to change access mode to surface", busy, "Lock"));
    EXPECT_EQ(HostRead(R8), PatternBytes(R8)) << "after the failures";
    const auto drawn = DrawnBy([&](const auto& storage) { d11->Draw(storage, {0.5f, 0.5f}); });
    for (unsigned i = 0; i < kW * kH; ++i) {
        const unsigned x = i % kW;
        const unsigned y = i / kW;
        const bool middle = x >= kW / 4 && x < kW * 3 / 4 && y >= kH / 4 && y < kH * 3 / 4;
        EXPECT_EQ(drawn[i] != (Rgba{0.5f, 0.5f, 0.5f, 0.5f}), middle) << x << ", " << y;
    }
    const auto before = GlTaskCount("InteropTextureDeleter");
    LogCapture log;
    d11.reset();  // here, off the GL thread
    RunOnGL([] {});
    EXPECT_EQ(GlTaskCount("InteropTextureDeleter"), before + 1);
    EXPECT_EQ(Errors(log), 0) << log.Dump();
#ifdef NDEBUG  // a base whose subclass forgot its texture reports it; debug builds abort
    struct Forgetful : Ogl::InteropTexture {
        Forgetful() : InteropTexture(1, 1) { glGenTextures(1, &texture); }
    };
    GLuint leaked = 0;
    RunOnGL([&] { leaked = boost::intrusive_ptr<Forgetful>(new Forgetful)->GetTexture(); });
    EXPECT_TRUE(log.Has(google::GLOG_ERROR, "The texture must be deleted in descendant class"));
    RunOnGL([&] { glDeleteTextures(1, &leaked); });
#endif
    // Without a context nothing is made.
    const auto nullContext = ::testing::ThrowsMessage<std::invalid_argument>(
        ::testing::StrEq("Interop context is null"));
    RunOnGL([&] {
        EXPECT_THAT([] { D11Surface::Create(kW, kH, R8, nullptr); }, nullContext);
        EXPECT_THAT([] { boost::intrusive_ptr(new D12SurfacePool(kW, kH, R8))->CreateSurface({}); },
                    nullContext);
    });
}

// Returned surfaces are handed out newest first and purged oldest first once five
// seconds idle; the purge timer runs only while something is idle.
TEST_F(SurfaceGLTest, PoolReusesTheNewestAndExpiresAfterFiveSeconds) {
    ManualTimer* timer = nullptr;
    Core::WaitableTimer::SetFactory([&](Core::WaitableTimer::Callback callback) {
        auto made = std::make_unique<ManualTimer>(std::move(callback));
        timer = made.get();
        return made;
    });
    std::atomic<std::int64_t> now{1'000'000'000'000};
    Core::SetClockSource([&] { return now.load(); });
    MakeContext(BestSharing(), true);
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->IsRunning()) << "no idle surface yet";
    D12Ptr a = NewSurface();
    D12Ptr b = NewSurface();
    const CComPtr<ID3D12Resource> resourceA = a->GetTexture();
    const CComPtr<ID3D12Resource> resourceB = b->GetTexture();
    const auto reused = [&] {
        b = NewSurface();
        a = NewSurface();
        return std::pair(a->GetTexture() == resourceA, b->GetTexture() == resourceB);
    };
    a.reset();
    EXPECT_TRUE(timer->IsRunning()) << "started by the first return";
    EXPECT_EQ(timer->period, std::chrono::milliseconds(5000));
    now += 4'999'999'999;
    b.reset();
    timer->Fire();  // A one nanosecond short of expiry
    EXPECT_EQ(timer->starts, 1) << "still running from the first return";
    EXPECT_EQ(reused(), std::pair(true, true));

    a.reset();
    now += 2'000'000'000;
    b.reset();
    now += 3'500'000'000;
    timer->Fire();  // A expired, B not yet
    EXPECT_TRUE(timer->IsRunning()) << "B is still idle";
    RunOnGL([] {});  // the purged surface's deletion is queued to the GL thread
    EXPECT_EQ(reused(), std::pair(false, true));
    EXPECT_NE(a->GetTexture().p, resourceB.p);
    a.reset();
    b.reset();
    now += 5'000'000'000;
    timer->Fire();
    EXPECT_FALSE(timer->IsRunning()) << "stopped once nothing is idle";
    EXPECT_EQ(timer->stops, 1);
    RunOnGL([] {});
    b = NewSurface();
    EXPECT_NE(b->GetTexture().p, resourceB.p);
    // A surface keeps its pool alive; its return then frees it with the pool.
    pool.reset();
    EXPECT_EQ(b->GetWidth(), kW);
    b.reset();
}

// Copies transition the host resource only away from the copy state, and the
// lists pass the host queue's state checks as they are.
TEST_F(SurfaceGLTest, CopiesRecordBarriersOnlyAwayFromTheCopyState) {
    MakeSurface(true, BestSharing(), R8);
    const auto host = HostResource(R8);
    using Barriers = std::vector<std::pair<UINT, UINT>>;
    constexpr UINT kCommon = D3D12_RESOURCE_STATE_COMMON;
    constexpr UINT kSource = D3D12_RESOURCE_STATE_COPY_SOURCE;
    constexpr UINT kDest = D3D12_RESOURCE_STATE_COPY_DEST;
    constexpr UINT kShader = D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE;
    const std::tuple<bool, UINT, UINT, Barriers> cases[] = {
        {true, kSource, kSource, {}},
        {true, kCommon, kCommon, {{kCommon, kSource}, {kSource, kCommon}}},
        {true, kShader, kSource, {{kShader, kSource}}},
        {true, kSource, kShader, {{kSource, kShader}}},
        {false, kDest, kDest, {}},
        {false, kCommon, kCommon, {{kCommon, kDest}, {kDest, kCommon}}},
        {false, kCommon, kDest, {{kCommon, kDest}}},
    };
    for (const auto& [into, before, after, wanted] : cases) {
        const States from(static_cast<D3D12_RESOURCE_STATES>(before));
        const States to(static_cast<D3D12_RESOURCE_STATES>(after));
        into ? d12->CopyFrom(allocator, host, from, to) : d12->CopyTo(allocator, host, from, to);
        const auto lists = allocator->TakeClosedLists();
        ASSERT_EQ(lists.size(), 1u) << "one closed list per copy";
        Barriers barriers;  // the copies' data: the format sweep
        for (const DX::D12Command& command : lists[0]->GetCommands()) {
            if (const auto* barrier = std::get_if<DX::D12BarrierCommand>(&command)) {
                const auto& b = barrier->barrier;
                EXPECT_EQ(
                    std::tuple(b.Type, b.Flags, b.Transition.pResource, b.Transition.Subresource),
                    std::tuple(D3D12_RESOURCE_BARRIER_TYPE_TRANSITION,
                               D3D12_RESOURCE_BARRIER_FLAG_NONE, host.p,
                               D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES));
                barriers.emplace_back(b.Transition.StateBefore, b.Transition.StateAfter);
            }
        }
        EXPECT_EQ(barriers, wanted)
            << (into ? "CopyFrom " : "CopyTo ") << before << " -> " << after;
    }
}

constexpr Step kSteps[] = {
    Step::D11CreateTexture2D,       Step::D11CreateSharedTexture, Step::D11CreateSharedHandle,
    Step::D12CreateTexture2D,       Step::D12CreateSharedHandle,  Step::D12OpenSharedResource,
    Step::D12CreateCompletionEvent, Step::D11OpenSharedEvent,     Step::WglRegisterObject,
    Step::GlCreateMemoryObjects,    Step::GlImportMemory,         Step::GlTextureStorageMem,
    Step::GlGenSemaphores,          Step::GlImportSemaphore,
};

// Every call each kind makes creating a surface, in order, with the HRESULT and
// message its failure throws (or logs at ERROR where the kind falls back to an
// interop surface). A call not listed must never be reached.
struct Call {
    Step step;
    HRESULT result;
    const char* message;
};

struct Kind {
    const char* name;
    Sharing sharing;
    bool d12;
    bool throws;
};

struct KindRow {
    Kind kind;
    std::vector<Call> calls;
};

constexpr HRESULT kOom = E_OUTOFMEMORY;
constexpr HRESULT kWglOom = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
constexpr const char* kBind = "Failed to bind OpenGL texture with DirectX texture";
constexpr const char* kMemoryObject = "Failed to create OpenGL memory object";
constexpr const char* kD11Storage = "Failed to create OpenGL texture on DirectX 11 memory";
constexpr const char* kD11Texture = "D11Device::CreateTexture2D failed";
constexpr const char* kD12Event = "D12Device::CreateCompletionEvent failed";
using S = Step;

const KindRow kKinds[] = {
    {{"D11Interop", kNone, false, true},
     {{S::D11CreateTexture2D, kOom, kD11Texture}, {S::WglRegisterObject, kWglOom, kBind}}},
    {{"D11Sharing", kD11, false, false},
     {{S::D11CreateSharedTexture, kOom, "D11SharedTexture2D::Create failed"},
      {S::D11CreateTexture2D, kOom, kD11Texture},
      {S::D11CreateSharedHandle, kOom, "D11SharedTexture2D::CreateSharedHandle failed"},
      {S::GlCreateMemoryObjects, E_FAIL, kMemoryObject},
      {S::GlImportMemory, E_FAIL, kD11Storage},
      {S::GlTextureStorageMem, E_FAIL, kD11Storage}}},
    {{"D12Sharing", kD12, true, true},
     {{S::D12CreateCompletionEvent, kOom, kD12Event},
      {S::D12CreateTexture2D, kOom, "D12Device::CreateTexture2D failed"},
      {S::D12CreateSharedHandle, kOom, "D12Device::CreateSharedHandle failed"},
      {S::GlCreateMemoryObjects, E_FAIL, kMemoryObject},
      {S::GlImportMemory, E_FAIL, "Failed to import DirectX 12 memory object"},
      {S::GlTextureStorageMem, E_FAIL, "Failed to create OpenGL texture on DirectX 12 memory"},
      {S::GlGenSemaphores, E_FAIL, "Failed to create OpenGL semaphore"},
      {S::GlImportSemaphore, E_FAIL, "Failed to import DirectX 12 fence"}}},
    // The inner Direct3D 11 interop surface, then the keyed-mutex texture Direct3D 12 opens.
    {{"D12OverD11Interop", kNone, true, true},
     {{S::D12CreateCompletionEvent, kOom, kD12Event},
      {S::D11CreateTexture2D, kOom, kD11Texture},
      {S::WglRegisterObject, kWglOom, kBind},
      {S::D11OpenSharedEvent, kOom, "D11CompletionEvent::OpenShared failed"},
      {S::D11CreateSharedTexture, kOom, "D11SharedTexture2D::Create failed"},
      {S::D11CreateTexture2D, kOom, kD11Texture},
      {S::D11CreateSharedHandle, kOom, "D11SharedTexture2D::CreateSharedHandle failed"},
      {S::D12OpenSharedResource, kOom, "D12Device::OpenSharedResource failed"}}},
};

// Every call of every step of every kind, failing in turn until a call past the
// last one: the creation throws or falls back as listed, and leaves nothing behind.
TEST_F(SurfaceGLTest, EachFailingCallLeavesNothingBehind) {
    for (const auto& [kind, calls] : kKinds) {
        if (kind.sharing != kNone && !GLHasSharing())
            continue;
        for (Step step : kSteps) {
            for (unsigned skip = 0;; ++skip) {
                const Call* expected = nullptr;
                unsigned seen = 0;  // earlier calls of the step
                for (const Call& call : calls)
                    expected = call.step == step && seen++ == skip ? &call : expected;
                SCOPED_TRACE(std::string(kind.name) + ", " + DX::Emulation::StepName(step) +
                             " call " + std::to_string(skip + 1));
                LogCapture log;
                MakeContext(kind.sharing, kind.d12);
                ASSERT_TRUE(context);
                std::optional<Failure> interop, direct;
                bool pending = false;
                RunOnGL([&] {
                    DX::Emulation::FailNext(step, step == Step::WglRegisterObject ? kWglOom : kOom,
                                            skip);
                    direct = FailureOf([&] {
                        interop = InteropFailureOf([&] {
                            kind.d12 ? void(d12 = pool->CreateSurface(context))
                                     : void(d11 = D11Surface::Create(kW, kH, R8, context));
                        });
                    });
                    pending = DX::Emulation::IsFailurePending(step);
                    DX::Emulation::Reset();
                    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
                });
                const bool made = d11 || d12;
                D3D11_TEXTURE2D_DESC desc{};
                if (d11)
                    d11->Encode([&](const auto&, const auto& t) { t->GetDesc(&desc); });
                Drop();
                EXPECT_EQ(Errors(log, "All interop surfaces must be destroyed"), 0);
                ExpectNothingLeft("after the failure");
                // Past the last call nothing consumed the failure.
                EXPECT_EQ(pending, !expected)
                    << (expected ? "never reached" : "reached, not listed");
                if (!expected) {
                    EXPECT_TRUE(made && Errors(log) == 0) << log.Dump();
                    break;
                }
                EXPECT_EQ(made, !kind.throws);
                if (kind.throws) {
                    // Own checks throw interop exceptions, Direct3D's pass through.
                    const auto thrown = interop ? interop : direct;
                    ASSERT_TRUE(thrown);
                    EXPECT_EQ(std::tuple(std::get<1>(*thrown), std::get<0>(*thrown), bool(interop)),
                              std::tuple(expected->result, std::string(expected->message),
                                         std::string(expected->message).rfind("Failed", 0) == 0));
                    continue;
                }
                // Direct3D 11 fell back to the interop surface.
                EXPECT_EQ(desc.MiscFlags, UINT(D3D11_RESOURCE_MISC_SHARED));
                EXPECT_EQ(std::pair(Errors(log), Errors(log, expected->message)), std::pair(1, 1))
                    << log.Dump();
            }
        }
    }
}

// The GL side of the emulation where the surfaces do not reach it.

GLuint NewTexture() {
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    return name;
}

void ExpectFailure(bool succeeded, DWORD error, const char* what) {
    EXPECT_FALSE(succeeded) << what;
    EXPECT_EQ(GetLastError(), error) << what;
}

// A keyed-mutex texture of the host shared through a handle, and the GL objects
// importing it.
struct HostShared {
    boost::intrusive_ptr<DX::D11Device> device = DX::D11Device::Create(FirstAdapter());
    boost::intrusive_ptr<DX::D11SharedTexture2D> shared =
        DX::D11SharedTexture2D::Create(device, Desc(4, 2));
    HANDLE handle =
        shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE);
    GLuint texture = 0;
    GLuint memory = 0;
    ~HostShared() {
        RunOnGL([&] {
            glDeleteMemoryObjectsEXT(1, &memory);  // gives a held mutex back
            glDeleteTextures(1, &texture);
        });
        CloseHandle(handle);
    }
};

// Only the key of the last release acquires, from either side, waiting if need be;
// others time out (briefly, so a wrong key fails fast). A dying holder keeps the key.
TEST_F(SurfaceGLTest, KeyedMutexGoesOnlyToTheKeyReleasedWithAndMisuseSetsErrors) {
    HostShared host;
    const auto memory = DX::Emulation::GetTextureMemory(host.shared->GetTexture().p);
    DX::EmulatedKeyedMutex& mutex = *memory->GetKeyedMutex();
    const auto gl = [&](bool acquire, UINT64 key, GLuint timeout = 10) {
        GLboolean done = GL_FALSE;
        RunOnGL([&] {
            done = acquire ? glAcquireKeyedMutexWin32EXT(host.memory, key, timeout)
                           : glReleaseKeyedMutexWin32EXT(host.memory, key);
        });
        return done == GL_TRUE;
    };
    RunOnGL([&] {
        host.texture = NewTexture();
        glCreateMemoryObjectsEXT(1, &host.memory);
        glImportMemoryWin32HandleEXT(host.memory, 0, GL_HANDLE_TYPE_D3D11_IMAGE_EXT, host.handle);
        glTextureStorageMem2DEXT(host.texture, 1, GL_RGBA8, 4, 2, host.memory, 0);
    });
    ASSERT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_FALSE(gl(true, 1)) << "released with 0";
    ASSERT_TRUE(gl(true, 0));
    EXPECT_FALSE(host.shared->AcquireSync(0, 10)) << "GL holds it";
    ASSERT_TRUE(gl(false, 1));
    EXPECT_FALSE(gl(false, 1)) << "not held";
    EXPECT_FALSE(host.shared->AcquireSync(0, 10)) << "released with 1";
    ASSERT_TRUE(host.shared->AcquireSync(1, 0));
    EXPECT_EQ(mutex.GetOwner(), static_cast<const void*>(host.shared->GetTexture().p));
    EXPECT_FALSE(gl(true, 1)) << "Direct3D holds it";
    std::atomic<bool> waited{false};
    std::thread waiter([&] { waited = gl(true, 2, 10000); });
    host.shared->ReleaseSync(2);
    waiter.join();
    EXPECT_TRUE(waited.load());
    ASSERT_TRUE(gl(false, 3));
    ASSERT_TRUE(host.shared->AcquireSync(3, 0));
    host.shared.reset();
    EXPECT_EQ(std::pair(mutex.IsAcquired(), mutex.GetKey()), std::pair(false, UINT64{3}));
    ASSERT_TRUE(gl(true, 3)) << "the holder's end kept the key";
    RunOnGL([&] { glDeleteMemoryObjectsEXT(1, &host.memory); });
    EXPECT_EQ(std::pair(mutex.IsAcquired(), mutex.GetKey()), std::pair(false, UINT64{3}));

    // Imports and keyed mutexes report misuse through glGetError.
    ASSERT_TRUE(CloseHandle(host.handle));
    RunOnGL([&] {
        glCreateMemoryObjectsEXT(1, &host.memory);
        glImportMemoryWin32HandleEXT(host.memory, 0, GL_HANDLE_TYPE_D3D11_IMAGE_EXT, host.handle);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_VALUE));  // closed handle
        glImportMemoryWin32HandleEXT(host.memory, 0, GL_HANDLE_TYPE_D3D12_FENCE_EXT, host.handle);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_ENUM));
        EXPECT_EQ(glAcquireKeyedMutexWin32EXT(host.memory, 0, 0), GL_FALSE);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_OPERATION));  // nothing imported
        // Other names than the interop ones are the driver's.
        EXPECT_TRUE(DX::IsGLExtensionSupported("GL_VERSION_3_0"));
        EXPECT_FALSE(DX::IsGLExtensionSupported("GL_NV_no_such_extension"));
    });

    // WGL objects: locking a locked one and changing access are the surfaces' tests.
    const CComPtr<ID3D11Texture2D> d3dTexture = host.device->CreateTexture2D(Desc(4, 2), nullptr);
    auto otherDevice = DX::D11Device::Create(FirstAdapter());
    RunOnGL([&] {
        const GLuint texture = NewTexture();
        HANDLE wgl = wglDXOpenDeviceNV(host.device->Get());
        HANDLE otherWgl = wglDXOpenDeviceNV(otherDevice->Get());
        HANDLE object = wglDXRegisterObjectNV(wgl, d3dTexture.p, texture, GL_TEXTURE_2D,
                                              WGL_ACCESS_WRITE_DISCARD_NV);
        ASSERT_NE(object, nullptr);
        ExpectFailure(wglDXRegisterObjectNV(otherWgl, d3dTexture.p, texture, GL_TEXTURE_2D,
                                            WGL_ACCESS_READ_ONLY_NV) != nullptr,
                      ERROR_INVALID_DATA, "another device's texture");
        ASSERT_TRUE(wglDXLockObjectsNV(wgl, 1, &object));
        ExpectFailure(wglDXUnregisterObjectNV(wgl, object), ERROR_BUSY, "unregister locked");
        ASSERT_TRUE(wglDXUnlockObjectsNV(wgl, 1, &object));
        ExpectFailure(wglDXUnlockObjectsNV(wgl, 1, &object), ERROR_NOT_LOCKED, "unlock twice");
        ExpectFailure(wglDXLockObjectsNV(otherWgl, 1, &object), ERROR_INVALID_DATA, "other");
        ExpectFailure(wglDXLockObjectsNV(nullptr, 1, &object), ERROR_INVALID_HANDLE, "no device");
        DX::Emulation::RemoveDevices(FirstAdapter().GetDescription()->luid);
        ExpectFailure(wglDXLockObjectsNV(wgl, 1, &object), ERROR_LOCK_FAILED, "removed");
        EXPECT_TRUE(wglDXUnregisterObjectNV(wgl, object));
        EXPECT_TRUE(wglDXCloseDeviceNV(wgl) && wglDXCloseDeviceNV(otherWgl));
        ExpectFailure(wglDXCloseDeviceNV(wgl), ERROR_INVALID_HANDLE, "close twice");
        glDeleteTextures(1, &texture);
    });
    // Without the extension no device opens (link results: the context tests).
    DX::Emulation::SetExtensionMissing("WGL_NV_DX_interop", true);
    auto fresh = DX::D11Device::Create(FirstAdapter());
    RunOnGL([&] {
        ExpectFailure(wglDXOpenDeviceNV(fresh->Get()) != nullptr, ERROR_NOT_SUPPORTED, "no ext");
    });
}

}  // namespace
