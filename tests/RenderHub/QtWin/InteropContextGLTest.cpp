#include <GL/glew.h>

#include "QtWin/InteropContext.h"

#include <future>
#include <optional>
#include <string>
#include <vector>

#include <QSettings>
#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"
#include "Kavrin/Proc/ICoreTracker.h"

#include "LogCapture.h"
#include "QtOgl/QtOglContext.h"
#include "QtOgl/QtOpenGL.h"
#include "QtWin/WinOglContext.h"
#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"

// The interop context and the GL thread's registry of it, against the emulated
// Direct3D: every decision of the initialisation, the tracker report, the
// registry switches and the lifetime rules. The binary owns the library's
// lifecycle so that it can look at a process without an OpenGL context first.
namespace {

using namespace Kavrin;
using Kavrin::Ogl::InteropContext;
using Kavrin::Ogl::RenderHub;
using Kavrin::Ogl::WinOpenGLContext;
using Kavrin::Proc::ICoreTracker;
using Kavrin::Test::LogCapture;
using Kavrin::Test::RunOnGL;
using ContextPtr = boost::intrusive_ptr<InteropContext>;
using DeviceType = InteropContext::DXDeviceType;

void NoProbe(const ContextPtr&) {}
void FailingProbe(const ContextPtr&) {
    KAVRIN_THROW_INTEROP("Probe", E_FAIL, "probe surface refused");
}

// The host settings the switches are read from ($XDG_CONFIG_HOME is the test's).
void SetSwitch(const char* name, std::optional<int> value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core");
    if (value) {
        settings.setValue(QString("OpenGL/") + name, *value);
    } else {
        settings.remove(QString("OpenGL/") + name);
    }
    settings.sync();
}

void ClearSwitches() {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core");
    settings.clear();
    settings.sync();
}

ContextPtr CreateOnGL(const boost::intrusive_ptr<DX::D11Device>& device = nullptr) {
    ContextPtr context;
    RunOnGL([&] { context = InteropContext::Create(device); });
    return context;
}

ICoreTracker::Values LastReport() {
    const auto events = ICoreTracker::GetTracker()->GetEvents();
    for (auto event = events.rbegin(); event != events.rend(); ++event) {
        if (event->name == ICoreTracker::CORE_EVENT_OGL_INFO) {
            return event->values;
        }
    }
    return {};
}

DX::Emulation::AdapterConfig Adapter(const std::string& name, DWORD luid) {
    auto adapter = DX::Emulation::MakeDefaultAdapter();
    adapter.description.name = name;
    adapter.description.luid = {luid, 0};
    adapter.glAdapter = false;
    return adapter;
}

std::string Status() {
    const auto report = LastReport();
    const auto found = report.find(ICoreTracker::CORE_OGL_DX_STATUS);
    return found != report.end() ? found->second : "";
}

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
        ClearSwitches();
        DX::Emulation::Reset();
        Ogl::Details::SetInteropProbes(&NoProbe, &NoProbe);
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
        ClearSwitches();
        DX::Emulation::Reset();
        Ogl::Details::SetInteropProbes(&NoProbe, &NoProbe);
        contextsBefore = InteropContext::GetCount();
    }
    void TearDown() override {
        RunOnGL([] {});  // deleters queued by the test have run
        EXPECT_EQ(InteropContext::GetCount(), contextsBefore);
        ClearSwitches();
        DX::Emulation::Reset();
        Ogl::Details::SetInteropProbes(&NoProbe, &NoProbe);
    }
    std::uint64_t contextsBefore = 0;
};

TEST_F(InteropContextGLTest, TheWorkersContextCarriesTheSharedInteropContext) {
    WinOpenGLContext* context = WinOpenGLContext::FindContext();
    ASSERT_NE(context, nullptr);
    const ContextPtr shared = context->GetInteropContext();
    ASSERT_TRUE(shared);
    EXPECT_EQ(InteropContext::GetShared(), shared);  // off the GL thread
    RunOnGL([&] { EXPECT_EQ(InteropContext::GetShared(), shared); });
    EXPECT_TRUE(shared->IsD11SharingSupported());
    EXPECT_TRUE(shared->IsD12SharingSupported());
    EXPECT_NE(shared->GetOglDevice(), nullptr);
    EXPECT_EQ(shared->GetAdapterLuid(), *DX::Emulation::GetGlDeviceLuid());
    EXPECT_EQ(Ogl::GetInteropDevice(DeviceType::Preferred, false), shared->GetD12Device());
    EXPECT_EQ(Ogl::GetInteropDevice(DeviceType::D11, false), shared->GetD11Device());
}

TEST_F(InteropContextGLTest, ReportsAnAvailableInteropWithSharingStatus3) {
    LogCapture log;
    const ContextPtr context = CreateOnGL();
    ASSERT_TRUE(context);
    const auto report = LastReport();
    const auto d12 = context->GetD12Device();
    ASSERT_TRUE(d12);
    EXPECT_EQ(report.at(ICoreTracker::CORE_OGL_DX_STATUS), "INTEROP_AVAILABLE");
    EXPECT_EQ(report.at(ICoreTracker::CORE_OGL_DX_SHARING_STATUS), "3");
    EXPECT_EQ(report.at(ICoreTracker::CORE_GPU_BRAND_STR), d12->GetAdapterName());
    EXPECT_EQ(report.at(ICoreTracker::CORE_GPU_DRIVER_VERSION), d12->GetDriverVersion());
    EXPECT_EQ(report.at(ICoreTracker::CORE_DIRECTX_LEVEL), d12->GetLevelName());
    EXPECT_EQ(report.at(ICoreTracker::CORE_DIRECTX12_VERSION), "610");
    EXPECT_EQ(report.at(ICoreTracker::CORE_OGL_CAPABILITY),
              RenderHub::GetInstance().GetInformation()->CapabilityName());
    EXPECT_EQ(report.count(ICoreTracker::CORE_OGL_DEVICE_NAME), 0u);
    EXPECT_TRUE(log.Has(google::GLOG_INFO, "Interop adapter: " + d12->GetAdapterName() +
                                               "; DirectX " + d12->GetLevelName() +
                                               "; Sharing status: 3"))
        << log.Dump();
}

TEST_F(InteropContextGLTest, RealProbeSurfacesConfirmEveryPathOfTheEmulation) {
    Ogl::Details::SetInteropProbes({}, {});
    ContextPtr context = CreateOnGL();
    ASSERT_TRUE(context);
    EXPECT_EQ(LastReport().at(ICoreTracker::CORE_OGL_DX_SHARING_STATUS), "3");
    EXPECT_TRUE(context->IsD12SharingSupported());
    context.reset();
    // Without memory objects only WGL_NV_DX_interop links, and nothing is shared.
    DX::Emulation::SetExtensionMissing("GL_EXT_memory_object_win32", true);
    context = CreateOnGL();
    ASSERT_TRUE(context);
    EXPECT_EQ(LastReport().at(ICoreTracker::CORE_OGL_DX_SHARING_STATUS), "0");
    EXPECT_EQ(context->GetInteropDevice(DeviceType::Preferred), context->GetD11Device());
    context.reset();
    // A feature level 11.0 device: no keyed-mutex sharing, and no Direct3D 12
    // device (its fences need 11.1).
    DX::Emulation::Reset();
    auto adapter = DX::Emulation::MakeDefaultAdapter();
    adapter.featureLevel = D3D_FEATURE_LEVEL_11_0;
    DX::Emulation::SetAdapters({adapter});
    context = CreateOnGL();
    ASSERT_TRUE(context);
    EXPECT_FALSE(context->IsD11SharingSupported());
    EXPECT_FALSE(context->GetD12Device());
}

TEST_F(InteropContextGLTest, SharingStatusFollowsExtensionsAndTheDirect3D12Probe) {
    // Without keyed mutexes neither sharing path is taken.
    DX::Emulation::SetExtensionMissing("GL_EXT_win32_keyed_mutex", true);
    ContextPtr context = CreateOnGL();
    ASSERT_TRUE(context);
    EXPECT_EQ(LastReport().at(ICoreTracker::CORE_OGL_DX_SHARING_STATUS), "0");
    EXPECT_EQ(context->GetInteropDevice(DeviceType::Preferred), context->GetD11Device());
    context.reset();

    // The D3D12 probe fails: D3D11 sharing stays, and Preferred is the D3D11 device.
    DX::Emulation::Reset();
    Ogl::Details::SetInteropProbes(&NoProbe, &FailingProbe);
    context = CreateOnGL();
    ASSERT_TRUE(context);
    EXPECT_EQ(LastReport().at(ICoreTracker::CORE_OGL_DX_SHARING_STATUS), "1");
    ASSERT_TRUE(context->GetD12Device());
    EXPECT_FALSE(context->IsD12SharingSupported());
    EXPECT_EQ(context->GetInteropDevice(DeviceType::Preferred), context->GetD11Device());
    EXPECT_EQ(context->GetInteropDevice(DeviceType::D12), context->GetD12Device());
    EXPECT_EQ(context->GetInteropDevice(static_cast<DeviceType>(7)), context->GetD11Device());
    context.reset();

    // No semaphores: no D3D12 sharing, without the probe being asked.
    DX::Emulation::Reset();
    DX::Emulation::SetExtensionMissing("GL_EXT_semaphore_win32", true);
    int probes = 0;
    Ogl::Details::SetInteropProbes(&NoProbe, [&](const ContextPtr&) { ++probes; });
    context = CreateOnGL();
    ASSERT_TRUE(context);
    EXPECT_EQ(LastReport().at(ICoreTracker::CORE_OGL_DX_SHARING_STATUS), "1");
    EXPECT_EQ(probes, 0);
}

TEST_F(InteropContextGLTest, SwitchesAreReadAfreshEachTime) {
    SetSwitch("DisableDirectX", 1);
    EXPECT_FALSE(CreateOnGL());
    const auto report = LastReport();
    EXPECT_EQ(report.at(ICoreTracker::CORE_OGL_DX_STATUS), "FORCED_OFF");
    const auto information = RenderHub::GetInstance().GetInformation();
    EXPECT_EQ(report.at(ICoreTracker::CORE_OGL_VERSION), information->VersionText());
    EXPECT_EQ(report.at(ICoreTracker::CORE_OGL_CAPABILITY), information->CapabilityName());
    EXPECT_EQ(report.at(ICoreTracker::CORE_OGL_DEVICE_NAME), information->renderer);

    SetSwitch("DisableDirectX", 0);
    EXPECT_TRUE(CreateOnGL());
    SetSwitch("DisableDirectX", std::nullopt);
    EXPECT_TRUE(CreateOnGL());
    ClearSwitches();  // no key at all
    EXPECT_TRUE(CreateOnGL());

    SetSwitch("DisableDirectX12", 1);
    const ContextPtr withoutD12 = CreateOnGL();
    ASSERT_TRUE(withoutD12);
    EXPECT_FALSE(withoutD12->GetD12Device());
    EXPECT_EQ(LastReport().count(ICoreTracker::CORE_DIRECTX12_VERSION), 0u);

    EXPECT_TRUE(Ogl::IsDirectXPlayerEnabled());
    SetSwitch("DisableDirectXPlayer", 3);
    EXPECT_FALSE(Ogl::IsDirectXPlayerEnabled());
    SetSwitch("DisableDirectXPlayer", 0);
    EXPECT_TRUE(Ogl::IsDirectXPlayerEnabled());
}

TEST_F(InteropContextGLTest, MachineFailuresAreReportedNotThrown) {
    DX::Emulation::SetExtensionMissing("WGL_NV_DX_interop2", true);
    EXPECT_FALSE(CreateOnGL());
    EXPECT_EQ(Status(), "INTEROP_UNSUPPORTED");

    DX::Emulation::Reset();
    DX::Emulation::SetCompilerLoaded(false);
    LogCapture log;
    EXPECT_FALSE(CreateOnGL());
    EXPECT_EQ(Status(), "D3COMPILER_FAILED");
    EXPECT_TRUE(log.Has(google::GLOG_ERROR,
                        "The DirectX can't start because d3dcompiler_47.dll "
                        "is missing from your computer"));
}

TEST_F(InteropContextGLTest, FailureWordsOfTheAdapterSearchAreJoinedOnce) {
    // Adapters are told apart by vendor keywords when GL does not say its LUID.
    DX::Emulation::SetGlLuidUnknown(true);
    auto first = Adapter("first", 11);
    first.d11CreateResult = E_FAIL;
    auto second = Adapter("second", 12);
    second.linkResult = E_FAIL;
    DX::Emulation::SetAdapters({first, second});
    EXPECT_FALSE(CreateOnGL());
    EXPECT_EQ(Status(), "DIRECTX_FAILED, INTEROP_FAILED");

    auto third = Adapter("third", 13);
    third.linkResult = static_cast<HRESULT>(0x80070032);
    auto fourth = third;
    fourth.description.luid = {14, 0};
    DX::Emulation::SetAdapters({third, fourth});
    EXPECT_FALSE(CreateOnGL());
    EXPECT_EQ(Status(), "INTEROP_UNSUPPORTED");

    auto unsupported = Adapter("unsupported", 15);
    unsupported.d11CreateResult = DXGI_ERROR_UNSUPPORTED;
    DX::Emulation::SetAdapters({unsupported, first});
    EXPECT_FALSE(CreateOnGL());
    EXPECT_EQ(Status(), "DIRECTX_FAILED, DIRECTX_UNSUPPORTED");

    // No candidate: an unknown vendor, an adapter to skip, keywords of another vendor.
    auto unknown = Adapter("unknown", 16);
    unknown.description.vendorKeywords.clear();
    auto skipped = Adapter("skipped", 17);
    skipped.description.qualifier = 0;
    auto other = Adapter("other", 18);
    other.description.vendorKeywords = {"nvidia"};
    DX::Emulation::SetAdapters({unknown, skipped, other});
    EXPECT_FALSE(CreateOnGL());
    EXPECT_EQ(Status(), "INTEROP_FAILED");

    // The probe surface failing is a failed link.
    DX::Emulation::Reset();
    Ogl::Details::SetInteropProbes(&FailingProbe, &NoProbe);
    LogCapture log;
    EXPECT_FALSE(CreateOnGL());
    EXPECT_EQ(Status(), "INTEROP_FAILED");
    EXPECT_TRUE(log.Has(google::GLOG_ERROR, "The right interop GPU adapter not found"));
}

TEST_F(InteropContextGLTest, ACallersDeviceIsLinkedOnItsOwnAdapterOnly) {
    std::vector<DX::DXGIAdapter> adapters;
    auto second = Adapter("second", 99);
    DX::Emulation::SetAdapters({DX::Emulation::MakeDefaultAdapter(), second});
    DX::DXGIFactory::Create()->EnumerateAdapters(adapters, DX::DXGIEnumFlags::IncludeSoftware);
    ASSERT_EQ(adapters.size(), 2u);
    const auto ownDevice = DX::D11Device::Create(adapters[0]);
    const auto otherDevice = DX::D11Device::Create(adapters[1]);

    const std::size_t reports = ICoreTracker::GetTracker()->GetEvents().size();
    const ContextPtr linked = InteropContext::Create(ownDevice);  // from this thread
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->GetD11Device(), ownDevice);
    EXPECT_FALSE(linked->GetD12Device());
    EXPECT_FALSE(linked->IsD12SharingSupported());
    EXPECT_EQ(ICoreTracker::GetTracker()->GetEvents().size(), reports);  // callers never report

    EXPECT_THROW(InteropContext::Create(otherDevice), std::future_error);
    RunOnGL([&] {
        try {
            InteropContext::Create(otherDevice);
            ADD_FAILURE() << "another adapter's device was linked";
        } catch (const Ogl::InteropException& error) {
            EXPECT_EQ(error.GetResult(), static_cast<HRESULT>(0x8007006E));
            EXPECT_EQ(error.GetErrorDescription(),
                      "OpenGL context adapter and DirectX device adapter are different");
            EXPECT_STREQ(error.what(), "OpenGL interop exception");
        }
    });

    // The link failing returns null, nothing thrown.
    auto unlinkable = DX::Emulation::MakeDefaultAdapter();
    unlinkable.linkResult = E_FAIL;
    DX::Emulation::SetAdapters({unlinkable});
    adapters.clear();
    DX::DXGIFactory::Create()->EnumerateAdapters(adapters, DX::DXGIEnumFlags::IncludeSoftware);
    EXPECT_FALSE(InteropContext::Create(DX::D11Device::Create(adapters[0])));
}

TEST_F(InteropContextGLTest, TheLastReleaseOffTheGlThreadDestroysOnIt) {
    auto& statistics = Proc::GpuTaskStatistic::GetInstance();
    const auto deleters = [&] {
        const auto summary = statistics.GetOglStat("InteropContextDeleter");
        return summary ? summary->count : 0;
    };
    const auto before = deleters();
    ContextPtr context = CreateOnGL();
    ASSERT_TRUE(context);
    EXPECT_EQ(InteropContext::GetCount(), contextsBefore + 1);
    context.reset();  // here, off the GL thread
    RunOnGL([] {});
    EXPECT_EQ(deleters(), before + 1);
    EXPECT_EQ(InteropContext::GetCount(), contextsBefore);
}

TEST_F(InteropContextGLTest, ARemovedDeviceDropsTheInteropContext) {
    WinOpenGLContext* context = WinOpenGLContext::FindContext();
    ASSERT_NE(context, nullptr);
    const auto device = Ogl::GetInteropDevice(DeviceType::D11, false);
    ASSERT_TRUE(device);
    DX::Emulation::RemoveDevices(device->GetAdapterLuid());
    EXPECT_FALSE(Ogl::GetInteropDevice(DeviceType::D11, false));
    EXPECT_FALSE(context->GetInteropContext());
    EXPECT_FALSE(Ogl::GetInteropDevice(DeviceType::D11, false));  // no new attempt

    const auto fresh = Ogl::GetInteropDevice(DeviceType::D11, true);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh, device);
    EXPECT_EQ(fresh->GetDeviceRemovedReason(), S_OK);
    ASSERT_TRUE(context->GetInteropContext());
    EXPECT_EQ(Ogl::GetInteropDevice(DeviceType::D11, false), fresh);

    // With interop failing, every call with `create` tries again.
    DX::Emulation::RemoveDevices(fresh->GetAdapterLuid());
    SetSwitch("DisableDirectX", 1);
    const std::size_t reports = ICoreTracker::GetTracker()->GetEvents().size();
    EXPECT_FALSE(Ogl::GetInteropDevice(DeviceType::D11, true));
    EXPECT_FALSE(Ogl::GetInteropDevice(DeviceType::D11, true));
    EXPECT_EQ(ICoreTracker::GetTracker()->GetEvents().size(), reports + 2);
    ClearSwitches();
    ASSERT_TRUE(Ogl::GetInteropDevice(DeviceType::D11, true));

    // No Direct3D 12 device: nothing to check, nothing dropped.
    SetSwitch("DisableDirectX12", 1);
    DX::Emulation::RemoveDevices(fresh->GetAdapterLuid());
    ASSERT_TRUE(Ogl::GetInteropDevice(DeviceType::D11, true));
    EXPECT_FALSE(Ogl::GetInteropDevice(DeviceType::D12, false));
    EXPECT_TRUE(context->GetInteropContext());
    // Leave the worker's context as the other cases expect it.
    ClearSwitches();
    DX::Emulation::RemoveDevices(fresh->GetAdapterLuid());
    ASSERT_TRUE(Ogl::GetInteropDevice(DeviceType::D11, true));
    EXPECT_TRUE(Ogl::GetInteropDevice(DeviceType::D12, false));
}

TEST_F(InteropContextGLTest, TwoOpenGLContextsMakeTheDeviceAmbiguous) {
    Ogl::QtOglContext second(nullptr, false);
    ASSERT_TRUE(second.IsValid());
    const auto expectAmbiguous = [](const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const Ogl::InteropException& error) {
            EXPECT_EQ(error.GetErrorDescription(),
                      "Failed to get DirectX device due to multiple OpenGL contexts found");
        }
    };
    expectAmbiguous([] { WinOpenGLContext::FindContext(); });
    expectAmbiguous([] { Ogl::GetInteropDevice(DeviceType::D11, false); });
    expectAmbiguous([] { InteropContext::GetShared(); });
}

TEST_F(InteropContextGLTest, ContractViolationsOfTheDestructorsAreLogged) {
    LogCapture log;
    ContextPtr context = CreateOnGL();
    ASSERT_TRUE(context);
    // Only misuse leaves a surface registered: surfaces hold a reference each.
    auto* stray = reinterpret_cast<Ogl::InteropSurface*>(&log);
    context->RegisterSurface(stray);
    RunOnGL([&] { context.reset(); });
    EXPECT_TRUE(log.Has(google::GLOG_ERROR,
                        "All interop surfaces must be destroyed before the "
                        "interop context is destroyed"));

    const ContextPtr alive = CreateOnGL();
    ASSERT_TRUE(alive);
    {
        WinOpenGLContext other(nullptr, false);
        ASSERT_TRUE(other.IsValid());
    }
    EXPECT_TRUE(log.Has(google::GLOG_ERROR,
                        "All interop contexts must be destroyed before the "
                        "OpenGL context is destroyed"));
}

TEST_F(InteropContextGLTest, GetSharedOnTheGlThreadNeedsACurrentContext) {
    RunOnGL([] {
        Ogl::QtOglContext* current = Ogl::QtOglContext::GetCurrent();
        ASSERT_NE(current, nullptr);
        current->GetContext()->doneCurrent();
        try {
            InteropContext::GetShared();
            ADD_FAILURE() << "no context is current";
        } catch (const Ogl::InteropException& error) {
            EXPECT_EQ(error.GetErrorDescription(), "No current OpenGL context");
            EXPECT_EQ(error.GetResult(), E_FAIL);
        }
        ASSERT_TRUE(current->MakeCurrent());
    });
}

}  // namespace
