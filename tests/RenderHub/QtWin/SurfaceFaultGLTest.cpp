// Surface creation with each driver call of the DirectX stand-in failing in
// turn: the failure reaches the caller with the driver's HRESULT, or the
// Direct3D 11 sharing surface falls back to the interop one, and the half-made
// surface leaves no Direct3D object, handle, GL object or registration behind.
#include <GL/glew.h>

#include <cctype>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"
#include "Kavrin/Win/GLInterop.h"

#include "InteropSurfaceTestSupport.h"
#include "LogCapture.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Test;
using DX::Emulation::Step;
using Ogl::D11Surface;
using Ogl::D12Surface;
using Ogl::D12SurfacePool;
using Ogl::InteropContext;

// The surfaces under test and the context each is made on.
enum class Kind { D11Interop, D11Sharing, D12Sharing, D12OverD11Interop, D12OverD11Sharing };

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::D11Interop:
            return "D11Interop";
        case Kind::D11Sharing:
            return "D11Sharing";
        case Kind::D12Sharing:
            return "D12Sharing";
        case Kind::D12OverD11Interop:
            return "D12OverD11Interop";
        default:
            return "D12OverD11Sharing";
    }
}

Sharing SharingOf(Kind kind) {
    switch (kind) {
        case Kind::D11Interop:
        case Kind::D12OverD11Interop:
            return Sharing::None;
        case Kind::D12Sharing:
            return Sharing::D11AndD12;
        default:
            return Sharing::D11;
    }
}

bool IsD12(Kind kind) { return kind != Kind::D11Interop && kind != Kind::D11Sharing; }

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

struct Case {
    Kind kind;
    Step step;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << KindName(c.kind) << " " << DX::Emulation::StepName(c.step);
}

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

class SurfaceFaultGLTest : public InteropSurfaceTest, public ::testing::WithParamInterface<Case> {
protected:
    // Makes the context, arms the failure, creates one surface and drops all of it.
    Attempt Run(Kind kind, Step step, unsigned skip) {
        Attempt attempt;
        RunOnGL([&] {
            boost::intrusive_ptr<InteropContext> context = MakeInteropContext(SharingOf(kind));
            ASSERT_TRUE(context);
            ASSERT_EQ(context->IsD11SharingSupported(), SharingOf(kind) != Sharing::None);
            ASSERT_EQ(context->IsD12SharingSupported(), SharingOf(kind) == Sharing::D11AndD12);
            ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
            boost::intrusive_ptr<D11Surface> d11;
            boost::intrusive_ptr<D12SurfacePool> pool;
            boost::intrusive_ptr<D12Surface> d12;
            DX::Emulation::FailNext(step, InjectedResult(step), skip);
            try {
                if (IsD12(kind)) {
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

    // Nothing beyond what SetUp counted.
    void ExpectNothingLeft(const std::string& what) {
        RunOnGL([] {});
        RunOnGL([&] {
            EXPECT_EQ(DX::GetLiveObjectCount(), liveBefore) << what;
            EXPECT_EQ(DX::Emulation::GetOpenHandleCount(), handlesBefore) << what;
            EXPECT_EQ(DX::GetLiveGLInteropObjectCount(), glInteropBefore) << what;
            EXPECT_EQ(Ogl::Details::GlObjectCounter::Take(), glObjectsBefore) << what;
        });
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

TEST_P(SurfaceFaultGLTest, FailureLeavesNothingBehind) {
    const Case c = GetParam();
    KAVRIN_SKIP_WITHOUT_SHARING(SharingOf(c.kind));
    const bool d11Kind = !IsD12(c.kind);
    unsigned skip = 0;
    for (;; ++skip) {
        const Expectation* expected = nullptr;
        for (const Expectation& e : kExpectations) {
            if (e.kind == c.kind && e.step == c.step && e.skip == skip) {
                expected = &e;
            }
        }
        const std::string what = std::string(KindName(c.kind)) + ", " +
                                 DX::Emulation::StepName(c.step) + " call " +
                                 std::to_string(skip + 1);
        LogCapture log;
        const Attempt attempt = Run(c.kind, c.step, skip);
        if (HasFatalFailure()) {
            return;
        }
        EXPECT_EQ(log.Count(google::GLOG_ERROR, kSurfacesLeft), 0) << what;
        ExpectNothingLeft(what);
        const std::vector<LogCapture::Line> errors = ErrorsOf(log);

        if (expected == nullptr) {
            // Past the last call of the step: nothing consumed the failure.
            EXPECT_TRUE(attempt.stillPending) << what << " was reached but is not listed";
            EXPECT_TRUE(attempt.made) << what << ": " << attempt.description;
            EXPECT_TRUE(attempt.glErrors.empty()) << what;
            EXPECT_TRUE(errors.empty()) << what << "\n" << log.Dump();
            break;
        }
        EXPECT_FALSE(attempt.stillPending) << what << " was never reached";
        switch (expected->outcome) {
            case Outcome::Throws:
                EXPECT_FALSE(attempt.made) << what;
                ASSERT_TRUE(attempt.result.has_value()) << what << " threw nothing";
                EXPECT_EQ(*attempt.result, expected->result) << what;
                EXPECT_EQ(attempt.description, expected->message) << what;
                // The surfaces' own checks throw interop exceptions; the
                // Direct3D calls' exceptions pass through unchanged.
                EXPECT_EQ(attempt.interopException,
                          std::string(expected->message).rfind("Failed", 0) == 0)
                    << what;
                EXPECT_TRUE(attempt.glErrors.empty()) << what;
                break;
            case Outcome::FallsBack: {
                EXPECT_TRUE(attempt.made) << what << ": " << attempt.description;
                if (d11Kind) {
                    EXPECT_EQ(attempt.miscFlags, static_cast<UINT>(D3D11_RESOURCE_MISC_SHARED))
                        << what << " did not fall back to the interop surface";
                }
                ASSERT_EQ(errors.size(), 1u) << what << "\n" << log.Dump();
                EXPECT_NE(errors[0].text.find(expected->message), std::string::npos)
                    << what << "\n"
                    << errors[0].text;
                EXPECT_TRUE(attempt.glErrors.empty()) << what;
                break;
            }
        }
    }
    if (skip == 0) {
        GTEST_SKIP() << KindName(c.kind) << " never calls " << DX::Emulation::StepName(c.step);
    }
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (Kind kind : {Kind::D11Interop, Kind::D11Sharing, Kind::D12Sharing, Kind::D12OverD11Interop,
                      Kind::D12OverD11Sharing}) {
        for (Step step : kSteps) {
            cases.push_back({kind, step});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, SurfaceFaultGLTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name = std::string(KindName(info.param.kind)) + "_" +
                                                DX::Emulation::StepName(info.param.step);
                             std::string clean;
                             for (char ch : name) {
                                 if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '_') {
                                     clean += ch;
                                 }
                             }
                             return clean;
                         });

// The table lists only calls that exist and in order: each step of each kind
// from its first call on, without gaps.
TEST(SurfaceFaultTableTest, ListsEachCallOnceFromTheFirst) {
    for (const Expectation& e : kExpectations) {
        int same = 0;
        bool previous = e.skip == 0;
        for (const Expectation& other : kExpectations) {
            if (other.kind == e.kind && other.step == e.step) {
                same += other.skip == e.skip;
                previous = previous || other.skip + 1 == e.skip;
            }
        }
        EXPECT_EQ(same, 1) << KindName(e.kind) << " " << DX::Emulation::StepName(e.step);
        EXPECT_TRUE(previous) << KindName(e.kind) << " " << DX::Emulation::StepName(e.step);
    }
}

}  // namespace
