// Surface creation with each driver call of the DirectX stand-in failing in
// turn: the failure reaches the caller with the driver's HRESULT, or the
// Direct3D 11 sharing surface falls back to the interop one, and the half-made
// surface leaves no Direct3D object, handle, GL object or registration behind.
#include <GL/glew.h>

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
