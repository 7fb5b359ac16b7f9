// Windows types and helpers whose behaviour the interop code relies on.
#include <sstream>

#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"

#include "DXTestSupport.h"

namespace {

using Kavrin::Test::DXTest;

TEST(DXWinTypesTest, ResultsWin32ErrorsBitflagsAndLuids) {
    EXPECT_TRUE(FAILED(E_FAIL) && SUCCEEDED(S_OK) && SUCCEEDED(S_FALSE));
    EXPECT_FALSE(SUCCEEDED(DXGI_ERROR_UNSUPPORTED));
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
    EXPECT_NE(States(D3D12_RESOURCE_STATE_COMMON), States(D3D12_RESOURCE_STATE_COPY_DEST));

    EXPECT_TRUE((LUID{1, 2} == LUID{1, 2}));
    EXPECT_FALSE((LUID{1, 2} == LUID{1, 3}) || (LUID{0, 2} == LUID{1, 2}));

    // Results are named by their Windows SDK values.
    std::istringstream named(
        "E_FAIL 0x80004005 E_NOTIMPL 0x80004001 E_INVALIDARG 0x80070057 DXGI_ERROR_UNSUPPORTED "
        "0x887A0004 DXGI_ERROR_DEVICE_REMOVED 0x887A0005 HRESULT_FROM_WIN32(ERROR_OPEN_FAILED) "
        "0x8007006E");
    std::string name;
    std::string value;
    while (named >> name >> value) {
        const auto [code, text] =
            Kavrin::DX::GetResultInfo(static_cast<HRESULT>(std::stoul(value, nullptr, 16)));
        EXPECT_EQ(code, name + " (" + value + ")");
        EXPECT_FALSE(text.empty()) << name;
    }
    EXPECT_NE(Kavrin::DX::GetResultInfo(DXGI_ERROR_UNSUPPORTED).second.find("not supported"),
              std::string::npos);
    EXPECT_EQ(Kavrin::DX::GetResultInfo(static_cast<HRESULT>(0x80071234)).first, "0x80071234");
}

using DXComPtrTest = DXTest;

TEST_F(DXComPtrTest, HoldsOneReferenceAndReleasesTheLast) {
    auto device = Kavrin::DX::D11Device::Create(FirstAdapter());
    const std::size_t live = Kavrin::DX::GetLiveObjectCount();
    CComPtr<ID3D11Texture2D> first = device->CreateTexture2D(Desc(2, 2), nullptr);
    EXPECT_EQ(Kavrin::DX::GetLiveObjectCount(), live + 2);  // the texture and its memory
    CComPtr<ID3D11Texture2D> copy = first;
    EXPECT_EQ(first->AddRef(), 3u);
    EXPECT_EQ(first->Release(), 2u);
    CComPtr<ID3D11Texture2D> moved = std::move(copy);
    EXPECT_EQ(copy.p, nullptr);
    EXPECT_EQ(moved.p, first.p);
    EXPECT_EQ(moved.Detach()->Release(), 1u);
    first = nullptr;
    EXPECT_EQ(Kavrin::DX::GetLiveObjectCount(), live);
}

}  // namespace
