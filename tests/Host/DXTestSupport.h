#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"

namespace Kavrin::Test {

// The result a DirectXException carries, S_OK when the call throws nothing.
inline HRESULT ResultOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const DX::DirectXException& error) {
        return error.GetResult();
    }
    return S_OK;
}

// Every DirectX stand-in case starts on the default machine and must leave no
// emulated object or handle behind.
class DXTest : public ::testing::Test {
protected:
    void SetUp() override {
        DX::Emulation::Reset();
        liveBefore = DX::GetLiveObjectCount();
        handlesBefore = DX::Emulation::GetOpenHandleCount();
    }

    void TearDown() override {
        DX::D12CommandAllocator::WaitAllComplete();
        std::string live;
        for (const std::string& object : DX::GetLiveObjects())
            live += object + "\n";
        EXPECT_EQ(DX::GetLiveObjectCount(), liveBefore) << live;
        EXPECT_EQ(DX::Emulation::GetOpenHandleCount(), handlesBefore);
        DX::Emulation::Reset();
    }

    static DX::DXGIAdapter FirstAdapter() {
        std::vector<DX::DXGIAdapter> adapters;
        DX::DXGIFactory::Create()->EnumerateAdapters(adapters, DX::DXGIEnumFlags::IncludeSoftware);
        EXPECT_FALSE(adapters.empty());
        return adapters.at(0);
    }

    static D3D11_TEXTURE2D_DESC Desc(UINT width, UINT height,
                                     DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM) {
        return {width,
                height,
                1,
                1,
                format,
                {1, 0},
                D3D11_USAGE_DEFAULT,
                D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET,
                0,
                0};
    }

    // Distinct bytes, so that a copy of the wrong rows or of nothing shows.
    static std::vector<std::byte> Pattern(std::size_t size, unsigned seed) {
        std::vector<std::byte> bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<std::byte>((i * 7 + seed * 31 + 1) & 0xFF);
        return bytes;
    }

    static DX::Emulation::AdapterConfig Adapter(const std::string& name, DWORD luidLow,
                                                std::vector<std::string> keywords) {
        DX::Emulation::AdapterConfig adapter;
        adapter.description.name = name;
        adapter.description.luid = {luidLow, 0};
        adapter.description.vendorKeywords = std::move(keywords);
        adapter.description.qualifier = 0x10DE00000001ull;
        adapter.description.vendorId = 0x10DE;
        return adapter;
    }

    std::size_t liveBefore = 0;
    std::size_t handlesBefore = 0;
};

}  // namespace Kavrin::Test
