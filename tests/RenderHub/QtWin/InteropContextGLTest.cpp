#include <GL/glew.h>

#include "QtWin/InteropContext.h"

#include <QSettings>

#include "Kavrin/Proc/ICoreTracker.h"

#include "../../Host/DXTestSupport.h"
#include "LogCapture.h"
#include "QtOgl/QtOglContext.h"
#include "QtOgl/QtOpenGL.h"
#include "QtWin/WinOglContext.h"
#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"

// The interop context and its GL-thread registry on the emulated Direct3D. The binary
// owns the library's lifecycle, to see a process without an OpenGL context first.
namespace {

using namespace Kavrin;
using Kavrin::Ogl::InteropContext;
using Kavrin::Ogl::RenderHub;
using Kavrin::Ogl::WinOpenGLContext;
using Kavrin::Proc::ICoreTracker;
using Kavrin::Test::Failure;
using Kavrin::Test::GlTaskCount;
using Kavrin::Test::LogCapture;
using Kavrin::Test::RunOnGL;
using ContextPtr = boost::intrusive_ptr<InteropContext>;
using DeviceType = InteropContext::DXDeviceType;
using AdapterConfig = DX::Emulation::AdapterConfig;

void NoProbe(const ContextPtr&) {}
void FailingProbe(const ContextPtr&) {
    KAVRIN_THROW_INTEROP("Probe", E_FAIL, "probe surface refused");
}

// The host settings the switches are read from ($XDG_CONFIG_HOME is the test's);
// no name clears them all.
void SetSwitch(const char* name = nullptr, std::optional<int> value = std::nullopt) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core");
    if (name == nullptr)
        settings.clear();
    else if (value)
        settings.setValue(QString("OpenGL/") + name, *value);
    else
        settings.remove(QString("OpenGL/") + name);
    settings.sync();
}

// The default machine with stand-in probes and no switches.
void Fresh() {
    SetSwitch();
    DX::Emulation::Reset();
    Ogl::Details::SetInteropProbes(&NoProbe, &NoProbe);
}

ContextPtr CreateOnGL() {
    ContextPtr context;
    RunOnGL([&] { context = InteropContext::Create(nullptr); });
    return context;
}

ICoreTracker::Values LastReport() {
    const auto events = ICoreTracker::GetTracker()->GetEvents();
    const auto last = std::find_if(events.rbegin(), events.rend(), [](const auto& event) {
        return event.name == ICoreTracker::CORE_EVENT_OGL_INFO;
    });
    return last == events.rend() ? ICoreTracker::Values() : last->values;
}

AdapterConfig Adapter(const std::string& name, DWORD luid,
                      const std::function<void(AdapterConfig&)>& set = {}) {
    auto adapter = DX::Emulation::MakeDefaultAdapter();
    adapter.description.name = name;
    adapter.description.luid = {luid, 0};
    adapter.glAdapter = false;
    if (set)
        set(adapter);
    return adapter;
}

constexpr auto* InteropErrorOf = &Kavrin::Test::FailureOf<Ogl::InteropException>;

TEST(InteropRegistryWithoutContextTest, FindsNothingAndNeverTheDetectionContext) {
    Kavrin::Test::EnsureGuiApplication();
    EXPECT_EQ(WinOpenGLContext::FindContext(), nullptr);
    EXPECT_EQ(Ogl::GetInteropDevice(DeviceType::D11, true), nullptr);
    EXPECT_EQ(InteropContext::GetShared(), nullptr);
    // A plain context (as detection makes) is registered but is no interop one.
    Ogl::QtOglContext plain(nullptr, false);
    ASSERT_TRUE(plain.IsValid());
    EXPECT_EQ(WinOpenGLContext::FindContext(), nullptr);
    EXPECT_EQ(Ogl::GetInteropDevice(DeviceType::Preferred, false), nullptr);
}

class InteropContextGLTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Kavrin::Test::EnsureGuiApplication();
        Fresh();
        RenderHub::GetInstance().Initialize();
        ASSERT_TRUE(RenderHub::GetInstance().IsInitialized());
    }
    static void TearDownTestSuite() {
        RenderHub::GetInstance().Deinitialize();
        Ogl::Details::SetInteropProbes({}, {});
        EXPECT_EQ(InteropContext::GetCount(), 0u);
        EXPECT_EQ(DX::GetLiveObjectCount(), 0u);
    }
    void SetUp() override {
        Fresh();
        contextsBefore = InteropContext::GetCount();
    }
    void TearDown() override {
        RunOnGL([] {});  // deleters queued by the test have run
        EXPECT_EQ(InteropContext::GetCount(), contextsBefore);
        Fresh();
    }
    std::uint64_t contextsBefore = 0;
};

// What the initialisation makes of each machine: the status, and for a context the
// sharing its probes confirmed and the adapter reported (Direct3D 12's if any).
struct MachineRow {
    const char* what;
    std::function<void()> setup;  // on the default machine with stand-in probes
    const char* status;
    const char* sharing = nullptr;  // when a context is made
    bool d11Sharing = false;
    bool d12Device = false;
    bool d12Sharing = false;
    const char* logged = nullptr;  // an ERROR line
};

void Missing(const char* extension) { DX::Emulation::SetExtensionMissing(extension, true); }
void RealProbes() { Ogl::Details::SetInteropProbes({}, {}); }
// A machine of the given adapters, each a name, LUID and change to the default.
using AdapterRow = std::tuple<const char*, DWORD, std::function<void(AdapterConfig&)>>;
std::function<void()> Adapters(std::vector<AdapterRow> rows, bool realProbes = false) {
    return [=] {
        std::vector<AdapterConfig> adapters;
        for (const auto& [name, luid, set] : rows)
            adapters.push_back(Adapter(name, luid, set));
        DX::Emulation::SetGlLuidUnknown(true);  // told apart by vendor keywords
        DX::Emulation::SetAdapters(adapters);
        if (realProbes)
            RealProbes();
    };
}

constexpr char kAvailable[] = "INTEROP_AVAILABLE";
const auto kD11Fails = [](AdapterConfig& a) { a.d11CreateResult = E_FAIL; };
const auto kLinkFails = [](AdapterConfig& a) { a.linkResult = E_FAIL; };
const auto kUnsupported = [](AdapterConfig& a) { a.linkResult = HRESULT(0x80070032); };

const MachineRow kMachines[] = {
    {"real probes", RealProbes, kAvailable, "3", true, true, true},
    {"no memory objects: only WGL_NV_DX_interop links",
     [] { RealProbes(), Missing("GL_EXT_memory_object_win32"); }, kAvailable, "0", false, true},
    {"feature level 11.0: no keyed mutexes, no 11.1 fences for Direct3D 12",
     Adapters({{"old", 1, [](auto& a) { a.featureLevel = D3D_FEATURE_LEVEL_11_0; }}}, true),
     kAvailable, "0"},
    {"no keyed mutexes", [] { Missing("GL_EXT_win32_keyed_mutex"); }, kAvailable, "0", false, true},
    {"the Direct3D 12 probe fails", [] { Ogl::Details::SetInteropProbes(&NoProbe, &FailingProbe); },
     kAvailable, "1", true, true},
    {"no semaphores: the Direct3D 12 probe is not asked",
     [] {
         Missing("GL_EXT_semaphore_win32");
         Ogl::Details::SetInteropProbes(&NoProbe, [](const ContextPtr&) { ADD_FAILURE(); });
     },
     kAvailable, "1", true, true},
    {"no WGL_NV_DX_interop2", [] { Missing("WGL_NV_DX_interop2"); }, "INTEROP_UNSUPPORTED"},
    {"forced off", [] { SetSwitch("DisableDirectX", 1); }, "FORCED_OFF"},
    {"switched on by 0", [] { SetSwitch("DisableDirectX", 0); }, kAvailable, "3", true, true, true},
    {"Direct3D 12 switched off", [] { SetSwitch("DisableDirectX12", 1); }, kAvailable, "1", true},
    {"each failure word once",
     Adapters({{"first", 11, kD11Fails}, {"second", 12, kLinkFails}, {"third", 13, kLinkFails}}),
     "DIRECTX_FAILED, INTEROP_FAILED"},
    {"links unsupported", Adapters({{"third", 13, kUnsupported}, {"fourth", 14, kUnsupported}}),
     "INTEROP_UNSUPPORTED"},
    {"devices unsupported",
     Adapters({{"unsupported", 15, [](auto& a) { a.d11CreateResult = DXGI_ERROR_UNSUPPORTED; }},
               {"first", 11, kD11Fails}}),
     "DIRECTX_FAILED, DIRECTX_UNSUPPORTED"},
    {"no candidate: an unknown vendor, an adapter to skip, another vendor's keywords",
     Adapters({{"unknown", 16, [](auto& a) { a.description.vendorKeywords.clear(); }},
               {"skipped", 17, [](auto& a) { a.description.qualifier = 0; }},
               {"other", 18, [](auto& a) { a.description.vendorKeywords = {"nvidia"}; }}}),
     "INTEROP_FAILED"},
    {"the probe surface failing is a failed link",
     [] { Ogl::Details::SetInteropProbes(&FailingProbe, &NoProbe); }, "INTEROP_FAILED", nullptr,
     false, false, false, "The right interop GPU adapter not found"},
    {"no d3dcompiler", [] { DX::Emulation::SetCompilerLoaded(false); }, "D3COMPILER_FAILED",
     nullptr, false, false, false,
     "The DirectX can't start because d3dcompiler_47.dll is missing from your computer"},
};

// Every context made here is released off the GL thread: one deleter queued each.
TEST_F(InteropContextGLTest, EachMachineGetsItsStatusAndSharingPaths) {
    const auto deletersBefore = GlTaskCount("InteropContextDeleter");
    int made = 0;
    for (const MachineRow& row : kMachines) {
        Fresh();
        row.setup();
        LogCapture log;
        ContextPtr context = CreateOnGL();
        SCOPED_TRACE(row.what);
        auto report = LastReport();
        EXPECT_EQ(report[ICoreTracker::CORE_OGL_DX_STATUS], row.status);
        EXPECT_TRUE(!row.logged || log.Has(google::GLOG_ERROR, row.logged)) << log.Dump();
        ASSERT_EQ(bool(context), row.sharing != nullptr);
        using T = ICoreTracker;
        const auto information = RenderHub::GetInstance().GetInformation();
        if (!context) {  // GL's own details instead
            EXPECT_EQ(std::tuple(report[T::CORE_OGL_VERSION], report[T::CORE_OGL_CAPABILITY],
                                 report[T::CORE_OGL_DEVICE_NAME]),
                      std::tuple(information->VersionText(), information->CapabilityName(),
                                 information->renderer));
            continue;
        }
        EXPECT_EQ(InteropContext::GetCount(), contextsBefore + 1);
        ++made;
        using DevicePtr = boost::intrusive_ptr<DX::D3Device>;
        const DevicePtr d12 = context->GetD12Device();
        const DevicePtr reported = d12 ? d12 : DevicePtr(context->GetD11Device());
        // Only Direct3D 12 has a version, and GL's device name is left out.
        report.try_emplace(ICoreTracker::CORE_DIRECTX12_VERSION, "none");
        report.try_emplace(ICoreTracker::CORE_OGL_DEVICE_NAME, "none");
        EXPECT_EQ(
            std::tuple(report.at(T::CORE_OGL_DX_SHARING_STATUS), report.at(T::CORE_GPU_BRAND_STR),
                       report.at(T::CORE_GPU_DRIVER_VERSION), report.at(T::CORE_DIRECTX_LEVEL),
                       report.at(T::CORE_DIRECTX12_VERSION), report.at(T::CORE_OGL_CAPABILITY),
                       report.at(T::CORE_OGL_DEVICE_NAME)),
            std::tuple(std::string(row.sharing), reported->GetAdapterName(),
                       reported->GetDriverVersion(), reported->GetLevelName(),
                       std::string(d12 ? "610" : "none"), information->CapabilityName(),
                       std::string("none")));
        EXPECT_TRUE(log.Has(google::GLOG_INFO, "Interop adapter: " + reported->GetAdapterName() +
                                                   "; DirectX " + reported->GetLevelName() +
                                                   "; Sharing status: " + row.sharing))
            << log.Dump();
        EXPECT_EQ(std::tuple(context->IsD11SharingSupported(), bool(d12),
                             context->IsD12SharingSupported()),
                  std::tuple(row.d11Sharing, row.d12Device, row.d12Sharing));
        const DevicePtr preferred = row.d12Sharing ? d12 : DevicePtr(context->GetD11Device());
        for (DeviceType type : {DeviceType::Preferred, static_cast<DeviceType>(7)})
            EXPECT_EQ(context->GetInteropDevice(type), preferred);
        EXPECT_EQ(context->GetInteropDevice(DeviceType::D12), context->GetD12Device());
    }
    RunOnGL([] {});
    EXPECT_EQ(GlTaskCount("InteropContextDeleter"), deletersBefore + made);
    const auto player = [](std::optional<int> value) {
        SetSwitch("DisableDirectXPlayer", value);
        return Ogl::IsDirectXPlayerEnabled();
    };
    EXPECT_EQ((std::vector<bool>{player(std::nullopt), player(3), player(0)}),
              (std::vector<bool>{true, false, true}));
}

TEST_F(InteropContextGLTest, ACallersDeviceIsLinkedOnItsOwnAdapterOnly) {
    auto own = DX::Emulation::MakeDefaultAdapter();
    own.description.luid.HighPart = 0x7F000001;  // every byte of GL's LUID counts
    DX::Emulation::SetAdapters({own, Adapter("second", 99)});
    const auto adapters = Kavrin::Test::Enumerate();
    ASSERT_EQ(adapters.size(), 2u);
    const auto ownDevice = DX::D11Device::Create(adapters[0]);
    const auto otherDevice = DX::D11Device::Create(adapters[1]);
    const std::size_t reports = ICoreTracker::GetTracker()->GetEvents().size();
    const ContextPtr linked = InteropContext::Create(ownDevice);  // from this thread
    ASSERT_TRUE(linked);
    EXPECT_EQ(std::tuple(linked->GetD11Device() == ownDevice, bool(linked->GetD12Device()),
                         linked->IsD12SharingSupported()),
              std::tuple(true, false, false));
    EXPECT_EQ(ICoreTracker::GetTracker()->GetEvents().size(), reports);  // callers never report

    // Refused alike from this thread and on the GL thread.
    const Failure mismatch{"OpenGL context adapter and DirectX device adapter are different",
                           HRESULT_FROM_WIN32(ERROR_OPEN_FAILED), "InitializeInterop"};
    EXPECT_EQ(InteropErrorOf([&] { InteropContext::Create(otherDevice); }), mismatch);
    RunOnGL(
        [&] { EXPECT_EQ(InteropErrorOf([&] { InteropContext::Create(otherDevice); }), mismatch); });
    // The link failing returns null, nothing thrown.
    DX::Emulation::SetAdapters({Adapter("unlinkable", 1, [](auto& a) {
        a.glAdapter = true;
        a.linkResult = E_FAIL;
    })});
    EXPECT_FALSE(InteropContext::Create(DX::D11Device::Create(Kavrin::Test::Enumerate().at(0))));
}

// The worker's context carries the shared interop context. A removed device drops
// it; each later call with `create` tries to make a new one.
TEST_F(InteropContextGLTest, TheWorkersInteropContextIsSharedAndDroppedWithItsDevice) {
    WinOpenGLContext* context = WinOpenGLContext::FindContext();
    ASSERT_NE(context, nullptr);
    const ContextPtr shared = context->GetInteropContext();
    ASSERT_TRUE(shared);
    EXPECT_EQ(InteropContext::GetShared(), shared);  // off the GL thread
    RunOnGL([&] { EXPECT_EQ(InteropContext::GetShared(), shared); });
    EXPECT_TRUE(shared->IsD11SharingSupported() && shared->IsD12SharingSupported() &&
                shared->GetOglDevice() != nullptr &&
                shared->GetAdapterLuid() == *DX::Emulation::GetGlDeviceLuid());
    EXPECT_EQ(Ogl::GetInteropDevice(DeviceType::Preferred, false), shared->GetD12Device());
    const auto d11 = [](bool create) { return Ogl::GetInteropDevice(DeviceType::D11, create); };
    const auto removeAll = [] { DX::Emulation::RemoveDevices(*DX::Emulation::GetGlDeviceLuid()); };
    const auto device = d11(false);
    ASSERT_EQ(device, shared->GetD11Device());
    removeAll();
    EXPECT_FALSE(d11(false));
    EXPECT_FALSE(context->GetInteropContext());
    EXPECT_FALSE(d11(false)) << "no new attempt";
    const auto fresh = d11(true);
    ASSERT_TRUE(fresh);
    EXPECT_TRUE(fresh != device && fresh->GetDeviceRemovedReason() == S_OK &&
                context->GetInteropContext() && d11(false) == fresh);

    removeAll();
    SetSwitch("DisableDirectX", 1);
    const std::size_t reports = ICoreTracker::GetTracker()->GetEvents().size();
    EXPECT_FALSE(d11(true) || d11(true));
    EXPECT_EQ(ICoreTracker::GetTracker()->GetEvents().size(), reports + 2);
    SetSwitch();
    ASSERT_TRUE(d11(true));

    // No Direct3D 12 device: nothing to check, nothing dropped.
    SetSwitch("DisableDirectX12", 1);
    removeAll();
    ASSERT_TRUE(d11(true));
    EXPECT_TRUE(!Ogl::GetInteropDevice(DeviceType::D12, false) && context->GetInteropContext());
    SetSwitch();  // leave the worker's context as the other cases expect it
    removeAll();
    ASSERT_TRUE(d11(true));
    EXPECT_TRUE(Ogl::GetInteropDevice(DeviceType::D12, false));
}

// Errors of the registry, one table: each call's InteropException.
TEST_F(InteropContextGLTest, RegistryRefusesAmbiguousAndMissingContexts) {
    {
        Ogl::QtOglContext second(nullptr, false);
        ASSERT_TRUE(second.IsValid());
        for (const auto& call : std::vector<std::function<void()>>{
                 [] { WinOpenGLContext::FindContext(); },
                 [] { Ogl::GetInteropDevice(DeviceType::D11, false); },
                 [] { InteropContext::GetShared(); }}) {
            EXPECT_EQ(InteropErrorOf(call),
                      Failure("Failed to get DirectX device due to multiple OpenGL contexts found",
                              E_FAIL, "FindContext"));
        }
    }
    RunOnGL([] {
        Ogl::QtOglContext* current = Ogl::QtOglContext::GetCurrent();
        ASSERT_NE(current, nullptr);
        current->GetContext()->doneCurrent();
        EXPECT_EQ(InteropErrorOf([] { InteropContext::GetShared(); }),
                  Failure("No current OpenGL context", E_FAIL, "GetShared"));
        EXPECT_STREQ(Ogl::InteropException().what(), "OpenGL interop exception");
        ASSERT_TRUE(current->MakeCurrent());
    });
}

TEST_F(InteropContextGLTest, ContractViolationsOfTheDestructorsAreLogged) {
    LogCapture log;
    ContextPtr context = CreateOnGL();
    ASSERT_TRUE(context);
    // Only misuse leaves a surface registered: surfaces hold a reference each.
    context->RegisterSurface(reinterpret_cast<Ogl::InteropSurface*>(&log));
    RunOnGL([&] { context.reset(); });
    const ContextPtr alive = CreateOnGL();
    ASSERT_TRUE(alive);
    {
        WinOpenGLContext other(nullptr, false);
        ASSERT_TRUE(other.IsValid());
    }
    for (const char* text : {"All interop surfaces must be destroyed before the interop context "
                             "is destroyed",
                             "All interop contexts must be destroyed before the OpenGL context "
                             "is destroyed"})
        EXPECT_TRUE(log.Has(google::GLOG_ERROR, text)) << text;
}

}  // namespace
