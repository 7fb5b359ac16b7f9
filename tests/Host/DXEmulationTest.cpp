// The configurable machine of the DirectX stand-in, its injected device failures,
// and the Windows types and helpers whose behaviour the interop code relies on.
#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"

#include "DXTestSupport.h"

namespace {

using namespace Kavrin::DX;
using Kavrin::Test::DXTest;
using Kavrin::Test::ResultOf;

std::vector<DXGIAdapter> Enumerate(DXGIEnumFlags flags = DXGIEnumFlags::IncludeSoftware) {
    std::vector<DXGIAdapter> adapters{DXGIAdapter(nullptr)};  // replaced, not appended to
    DXGIFactory::Create()->EnumerateAdapters(adapters, flags);
    return adapters;
}

using DXAdapterTest = DXTest;

TEST_F(DXAdapterTest, DefaultMachineFollowsTheGlDriver) {
    auto adapters = Enumerate();
    ASSERT_EQ(adapters.size(), 1u);
    const AdapterDescription& description = *adapters[0].GetDescription();
    EXPECT_EQ(description.name, "llvmpipe");
    EXPECT_NE(description.qualifier, 0u);
    EXPECT_EQ(description.GetDriverVersion(), "22.3.6.0");
    // The interop code keeps an adapter whose keyword occurs in the lower-cased GL_VENDOR.
    ASSERT_FALSE(description.vendorKeywords.empty());
    for (const std::string& keyword : description.vendorKeywords)
        EXPECT_NE(std::string("mesa/x.org").find(keyword), std::string::npos) << keyword;
    EXPECT_TRUE(*Emulation::GetGlDeviceLuid() == description.luid);
    EXPECT_TRUE(Enumerate(DXGIEnumFlags::Hardware).empty()) << "llvmpipe is software";

    Emulation::SetGlDriverStrings("NVIDIA Corporation", "NVIDIA GeForce RTX 3060/PCIe/SSE2");
    adapters = Enumerate();
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].GetDescription()->name, "NVIDIA GeForce RTX 3060/PCIe/SSE2");
    const auto& keywords = adapters[0].GetDescription()->vendorKeywords;
    EXPECT_NE(std::find(keywords.begin(), keywords.end(), "nvidia"), keywords.end());
}

TEST_F(DXAdapterTest, ConfiguredListComesInOrderWithTheGlAdapterMarked) {
    auto first = Adapter("First GPU", 0x10, {"nvidia"});
    first.description.driverVersion = (31ull << 48) | (0ull << 32) | (15ull << 16) | 3623;
    auto unknown = Adapter("Unknown GPU", 0x20, {});
    unknown.description.qualifier = 0;
    unknown.glAdapter = true;
    Emulation::SetAdapters({first, unknown});
    const auto adapters = Enumerate(DXGIEnumFlags::Hardware);
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].GetDescription()->name, "First GPU");
    EXPECT_EQ(adapters[1].GetDescription()->qualifier, 0u);
    EXPECT_TRUE(*Emulation::GetGlDeviceLuid() == (LUID{0x20, 0}));
    auto device = D11Device::Create(adapters[0]);
    EXPECT_EQ(device->GetAdapterName(), "First GPU");
    EXPECT_TRUE(device->GetAdapterLuid() == (LUID{0x10, 0}));
    EXPECT_EQ(device->GetDriverVersion(), "31.0.15.3623");
    EXPECT_TRUE(*Emulation::GetDeviceLuid(device->Get()) == (LUID{0x10, 0}));

    Emulation::Reset();
    EXPECT_EQ(Enumerate()[0].GetDescription()->name, "llvmpipe");
    Emulation::SetGlLuidUnknown(true);
    EXPECT_FALSE(Emulation::GetGlDeviceLuid());
    auto adapter = Emulation::MakeDefaultAdapter();
    adapter.glAdapter = false;
    Emulation::SetGlLuidUnknown(false);
    Emulation::SetAdapters({adapter});
    EXPECT_FALSE(Emulation::GetGlDeviceLuid()) << "no adapter carries GL";
}

TEST_F(DXAdapterTest, DeviceCreationFailsAsConfigured) {
    auto old = Adapter("Old GPU", 1, {"intel"});
    old.featureLevel = D3D_FEATURE_LEVEL_9_3;
    auto failing = Adapter("Failing GPU", 2, {"amd"});
    failing.d11CreateResult = E_OUTOFMEMORY;
    auto refused = Adapter("Refusing GPU", 3, {"amd"});
    refused.d11CreateResult = DXGI_ERROR_UNSUPPORTED;
    Emulation::SetAdapters({old, failing, refused});
    const auto adapters = Enumerate();
    ASSERT_EQ(adapters.size(), 3u);
    const std::tuple<int, HRESULT, const char*> cases[] = {
        {0, DXGI_ERROR_UNSUPPORTED, "DXGI_ERROR_UNSUPPORTED"},
        {1, E_OUTOFMEMORY, "Failing GPU"},
        {2, DXGI_ERROR_UNSUPPORTED, "DXGI_ERROR_UNSUPPORTED"}};
    for (const auto& [index, result, text] : cases) {
        try {
            D11Device::Create(adapters[index]);
            ADD_FAILURE() << "the injected failure did not happen";
        } catch (const DirectXException& error) {
            EXPECT_EQ(error.GetResult(), result);
            EXPECT_NE((error.GetResultDescription() + error.GetErrorDescription()).find(text),
                      std::string::npos);
        }
    }
    Emulation::SetAdapters({});  // the adapter vanishes after enumeration
    EXPECT_EQ(ResultOf([&] { D11Device::Create(adapters[0]); }), DXGI_ERROR_NOT_FOUND);

    Emulation::Reset();
    const LUID luid = *Emulation::GetGlDeviceLuid();
    EXPECT_EQ(D12Device::Create(luid)->GetSDKVersion(), 610u);
    Emulation::SetD12SDKVersion(std::nullopt);
    EXPECT_FALSE(D12Device::Create(luid)->GetSDKVersion());
    Emulation::SetD12Available(false);
    EXPECT_FALSE(D12Device::IsAvailable());
    EXPECT_EQ(ResultOf([&] { D12Device::Create(luid); }), DXGI_ERROR_UNSUPPORTED);
    Emulation::SetD12Available(true);
    auto adapter = Emulation::MakeDefaultAdapter();
    adapter.d12CreateResult = DXGI_ERROR_DRIVER_INTERNAL_ERROR;
    Emulation::SetAdapters({adapter});
    EXPECT_EQ(ResultOf([&] { D12Device::Create(luid); }), DXGI_ERROR_DRIVER_INTERNAL_ERROR);
    EXPECT_EQ(ResultOf([&] { D12Device::Create(LUID{0x999, 9}); }), DXGI_ERROR_NOT_FOUND);
}

TEST_F(DXAdapterTest, RemovalHitsLiveDevicesOfThatAdapterOnly) {
    Emulation::SetAdapters({Emulation::MakeDefaultAdapter(), Adapter("Other GPU", 0x77, {"amd"})});
    const auto adapters = Enumerate();
    auto d11 = D11Device::Create(adapters[0]);
    auto d12 = D12Device::Create(d11->GetAdapterLuid());
    auto unaffected = D11Device::Create(adapters[1]);
    auto list = D12CommandAllocator::Create(d12)->CreateCommandList();
    list->Close();
    Emulation::RemoveDevices(d11->GetAdapterLuid(), DXGI_ERROR_DEVICE_HUNG);
    EXPECT_EQ(d11->Get()->GetDeviceRemovedReason(), DXGI_ERROR_DEVICE_HUNG);
    EXPECT_EQ(d12->GetDeviceRemovedReason(), DXGI_ERROR_DEVICE_HUNG);
    EXPECT_EQ(unaffected->GetDeviceRemovedReason(), S_OK);
    EXPECT_EQ(ResultOf([&] { d11->CreateTexture2D(Desc(2, 2), nullptr); }), DXGI_ERROR_DEVICE_HUNG);
    EXPECT_EQ(ResultOf([&] { d12->GetQueue()->ExecuteCommandLists({list}); }),
              DXGI_ERROR_DEVICE_HUNG);
    EXPECT_EQ(D11Device::Create(adapters[0])->GetDeviceRemovedReason(), S_OK) << "made after";
}

TEST(DXWinTypesTest, ResultsWin32ErrorsBitflagsAndLuids) {
    EXPECT_TRUE(FAILED(E_FAIL) && SUCCEEDED(S_OK) && SUCCEEDED(S_FALSE));
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)), 0x80070032u);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<DWORD>(E_FAIL)), E_FAIL);  // already an HRESULT
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(0x12345)), 0x80072345u);  // low 16 bits

    using States = Kavrin::bitflags<D3D12_RESOURCE_STATES>;
    States states = States(D3D12_RESOURCE_STATE_COPY_SOURCE) | D3D12_RESOURCE_STATE_COPY_DEST;
    EXPECT_EQ(states.value(), 0xC00u);
    EXPECT_TRUE(states.contains(D3D12_RESOURCE_STATE_COPY_DEST));
    EXPECT_FALSE(states.contains(D3D12_RESOURCE_STATE_GENERIC_READ));
    EXPECT_TRUE(states.intersects(D3D12_RESOURCE_STATE_GENERIC_READ));
    states &= ~States(D3D12_RESOURCE_STATE_COPY_SOURCE);
    EXPECT_EQ(states, States(D3D12_RESOURCE_STATE_COPY_DEST));
    EXPECT_FALSE(States());
    EXPECT_FALSE((LUID{1, 2} == LUID{1, 3}) || (LUID{0, 2} == LUID{1, 2}));

    // Results are named by their Windows SDK values.
    const std::pair<const char*, std::uint32_t> named[] = {
        {"E_FAIL (0x80004005)", 0x80004005},
        {"E_NOTIMPL (0x80004001)", 0x80004001},
        {"E_INVALIDARG (0x80070057)", 0x80070057},
        {"DXGI_ERROR_UNSUPPORTED (0x887A0004)", 0x887A0004},
        {"DXGI_ERROR_DEVICE_REMOVED (0x887A0005)", 0x887A0005},
        {"HRESULT_FROM_WIN32(ERROR_OPEN_FAILED) (0x8007006E)", 0x8007006E},
        {"0x80071234", 0x80071234}};
    for (const auto& [code, value] : named) {
        const auto [name, text] = GetResultInfo(static_cast<HRESULT>(value));
        EXPECT_EQ(name, code);
        EXPECT_TRUE(!text.empty() || value == 0x80071234u) << code;
    }
    EXPECT_NE(GetResultInfo(DXGI_ERROR_UNSUPPORTED).second.find("not supported"),
              std::string::npos);
}

TEST_F(DXAdapterTest, ComPtrHoldsOneReferenceAndReleasesTheLast) {
    auto device = D11Device::Create(FirstAdapter());
    const std::size_t live = GetLiveObjectCount();
    CComPtr<ID3D11Texture2D> first = device->CreateTexture2D(Desc(2, 2), nullptr);
    EXPECT_EQ(GetLiveObjectCount(), live + 2);  // the texture and its memory
    CComPtr<ID3D11Texture2D> copy = first;
    EXPECT_EQ(first->AddRef(), 3u);
    EXPECT_EQ(first->Release(), 2u);
    CComPtr<ID3D11Texture2D> moved = std::move(copy);
    EXPECT_EQ(copy.p, nullptr);
    EXPECT_EQ(moved.Detach()->Release(), 1u);
    first = nullptr;
    EXPECT_EQ(GetLiveObjectCount(), live);
}

}  // namespace
