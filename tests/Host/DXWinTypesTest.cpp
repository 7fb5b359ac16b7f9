// Windows names must carry the Windows values: the interop code compares HRESULTs
// and passes flags by number.
#include <type_traits>

#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"

#include "DXTestSupport.h"

namespace {

using Kavrin::Test::DXTest;

TEST(DXWinTypesTest, ResultCodesHaveTheWindowsValues) {
    static_assert(sizeof(HRESULT) == 4 && std::is_signed_v<HRESULT>);
    EXPECT_EQ(static_cast<std::uint32_t>(E_FAIL), 0x80004005u);
    EXPECT_EQ(static_cast<std::uint32_t>(E_NOTIMPL), 0x80004001u);
    EXPECT_EQ(static_cast<std::uint32_t>(E_INVALIDARG), 0x80070057u);
    EXPECT_EQ(static_cast<std::uint32_t>(DXGI_ERROR_UNSUPPORTED), 0x887A0004u);
    EXPECT_EQ(static_cast<std::uint32_t>(DXGI_ERROR_DEVICE_REMOVED), 0x887A0005u);
    EXPECT_EQ(INFINITE, 0xFFFFFFFFu);
    EXPECT_TRUE(FAILED(E_FAIL));
    EXPECT_TRUE(SUCCEEDED(S_OK));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_FALSE(SUCCEEDED(DXGI_ERROR_UNSUPPORTED));
}

TEST(DXWinTypesTest, Win32ErrorsBecomeFacilityWin32Results) {
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)), 0x80070032u);
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_OPEN_FAILED)), 0x8007006Eu);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    // Values that already are failure HRESULTs pass unchanged.
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<DWORD>(E_FAIL)), E_FAIL);
    // Only the low 16 bits of a Win32 code survive.
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(0x12345)), 0x80072345u);
}

TEST(DXWinTypesTest, FlagsAndFormatsHaveTheWindowsValues) {
    EXPECT_EQ(DXGI_FORMAT_R32G32B32A32_FLOAT, 2u);
    EXPECT_EQ(DXGI_FORMAT_R16G16B16A16_FLOAT, 10u);
    EXPECT_EQ(DXGI_FORMAT_R16G16B16A16_UNORM, 11u);
    EXPECT_EQ(DXGI_FORMAT_R10G10B10A2_UNORM, 24u);
    EXPECT_EQ(DXGI_FORMAT_R8G8B8A8_UNORM, 28u);
    EXPECT_EQ(DXGI_FORMAT_B8G8R8A8_UNORM, 87u);
    EXPECT_EQ(D3D_FEATURE_LEVEL_11_1, 0xB100u);
    EXPECT_EQ(D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET, 0x28u);
    EXPECT_EQ(D3D11_RESOURCE_MISC_SHARED, 0x2u);
    EXPECT_EQ(D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX, 0x100u);
    EXPECT_EQ(D3D11_RESOURCE_MISC_SHARED_NTHANDLE, 0x800u);
    EXPECT_EQ(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE, 0x80000001u);
    EXPECT_EQ(D3D12_RESOURCE_STATE_COPY_DEST, 0x400u);
    EXPECT_EQ(D3D12_RESOURCE_STATE_COPY_SOURCE, 0x800u);
    EXPECT_EQ(D3D12_RESOURCE_STATE_GENERIC_READ, 0xAC3u);
    EXPECT_EQ(
        D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET | D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS,
        0x21u);
    EXPECT_EQ(D3D12_FENCE_FLAG_SHARED, 1u);
    EXPECT_EQ(D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, 0xFFFFFFFFu);
    // The combined flags keep their enumeration type, as with the Windows operators.
    static_assert(std::is_same_v<decltype(D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET |
                                          D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS),
                                 D3D12_RESOURCE_FLAGS>);
}

TEST(DXWinTypesTest, BitflagsCombineAndTest) {
    using States = Kavrin::bitflags<D3D12_RESOURCE_STATES>;
    States states = States(D3D12_RESOURCE_STATE_COPY_SOURCE) | D3D12_RESOURCE_STATE_COPY_DEST;
    EXPECT_EQ(states.value(), 0xC00u);
    EXPECT_TRUE(states.contains(D3D12_RESOURCE_STATE_COPY_DEST));
    EXPECT_FALSE(states.contains(D3D12_RESOURCE_STATE_GENERIC_READ));
    EXPECT_TRUE(states.intersects(D3D12_RESOURCE_STATE_GENERIC_READ));
    states &= ~States(D3D12_RESOURCE_STATE_COPY_SOURCE);
    EXPECT_EQ(states, States(D3D12_RESOURCE_STATE_COPY_DEST));
    EXPECT_FALSE(States());
    EXPECT_NE(States(D3D12_RESOURCE_STATE_COMMON), States(D3D12_RESOURCE_STATE_COPY_DEST));
}

TEST(DXWinTypesTest, LuidsCompareBothHalves) {
    EXPECT_TRUE((LUID{1, 2} == LUID{1, 2}));
    EXPECT_FALSE((LUID{1, 2} == LUID{1, 3}));
    EXPECT_FALSE((LUID{0, 2} == LUID{1, 2}));
}

TEST(DXWinTypesTest, ResultDescriptionsNameTheCode) {
    auto [code, text] = Kavrin::DX::GetResultInfo(DXGI_ERROR_UNSUPPORTED);
    EXPECT_EQ(code, "DXGI_ERROR_UNSUPPORTED (0x887A0004)");
    EXPECT_NE(text.find("not supported"), std::string::npos) << text;
    EXPECT_EQ(Kavrin::DX::GetResultInfo(static_cast<HRESULT>(0x80071234)).first, "0x80071234");
}

using DXComPtrTest = DXTest;

TEST_F(DXComPtrTest, HoldsOneReferenceAndReleasesTheLast) {
    auto device = Kavrin::DX::D11Device::Create(FirstAdapter());
    const std::size_t live = Kavrin::DX::GetLiveObjectCount();
    {
        CComPtr<ID3D11Texture2D> first = device->CreateTexture2D(Desc(2, 2), nullptr);
        EXPECT_EQ(Kavrin::DX::GetLiveObjectCount(), live + 2);  // the texture and its memory
        CComPtr<ID3D11Texture2D> copy = first;
        EXPECT_EQ(first->AddRef(), 3u);
        EXPECT_EQ(first->Release(), 2u);
        CComPtr<ID3D11Texture2D> moved = std::move(copy);
        EXPECT_EQ(copy.p, nullptr);
        EXPECT_EQ(moved.p, first.p);
        ID3D11Texture2D* detached = moved.Detach();
        EXPECT_EQ(detached->Release(), 1u);
        first = nullptr;
        EXPECT_EQ(Kavrin::DX::GetLiveObjectCount(), live);
    }
}

}  // namespace
