#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <glm/gtc/packing.hpp>
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
        EXPECT_EQ(DX::GetLiveObjectCount(), liveBefore)
            << ::testing::PrintToString(DX::GetLiveObjects());
        EXPECT_EQ(DX::Emulation::GetOpenHandleCount(), handlesBefore);
        DX::Emulation::Reset();
    }

public:
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

protected:
    std::size_t liveBefore = 0;
    std::size_t handlesBefore = 0;
};

// Pixels as Direct3D stores them, written from the DXGI format's definition:
// each of R, G, B, A a little-endian bit field, unsigned normalised (rounded to
// nearest), half or single float. `tolerance` is what a GL read of them may
// differ by: one code of the wider integer formats (GL's own rounding), half
// rounding, nothing for 8 bits and floats.
using Rgba = std::array<float, 4>;

struct DXGILayout {
    enum Kind { Unorm, Half, Float } kind;
    unsigned pixelBytes;
    std::array<unsigned, 4> bits;
    std::array<unsigned, 4> offsets;
    float tolerance = 1e-6f;
};

inline DXGILayout DXGILayoutOf(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R8G8B8A8_UNORM:
            return {DXGILayout::Unorm, 4, {8, 8, 8, 8}, {0, 8, 16, 24}};
        case DXGI_FORMAT_B8G8R8A8_UNORM:
            return {DXGILayout::Unorm, 4, {8, 8, 8, 8}, {16, 8, 0, 24}};
        case DXGI_FORMAT_R16G16B16A16_UNORM:
            return {DXGILayout::Unorm, 8, {16, 16, 16, 16}, {0, 16, 32, 48}, 1.0f / 65535 + 1e-6f};
        case DXGI_FORMAT_R10G10B10A2_UNORM:
            return {DXGILayout::Unorm, 4, {10, 10, 10, 2}, {0, 10, 20, 30}, 1.0f / 1023 + 1e-6f};
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
            return {DXGILayout::Half, 8, {16, 16, 16, 16}, {0, 16, 32, 48}, 1e-3f};
        default:
            EXPECT_EQ(format, DXGI_FORMAT_R32G32B32A32_FLOAT) << "no layout";
            return {DXGILayout::Float, 16, {32, 32, 32, 32}, {0, 32, 64, 96}};
    }
}

inline float ToleranceOf(DXGI_FORMAT format) { return DXGILayoutOf(format).tolerance; }

// Bit `bit` of component `k` of pixel `i`, counted from the first byte.
inline std::size_t BitAt(const DXGILayout& layout, std::size_t i, int k, unsigned bit) {
    return i * layout.pixelBytes * 8 + layout.offsets[k] + bit;
}

inline std::vector<std::byte> EncodeDXGI(DXGI_FORMAT format, const std::vector<Rgba>& pixels) {
    const DXGILayout layout = DXGILayoutOf(format);
    std::vector<std::byte> bytes(pixels.size() * layout.pixelBytes);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        for (int k = 0; k < 4; ++k) {
            const float v = pixels[i][k];
            std::uint32_t field = glm::packHalf1x16(v);
            if (layout.kind == DXGILayout::Unorm)
                field = static_cast<std::uint32_t>(std::lround(v * ((1ull << layout.bits[k]) - 1)));
            else if (layout.kind == DXGILayout::Float)
                std::memcpy(&field, &v, 4);
            for (unsigned bit = 0; bit < layout.bits[k]; ++bit) {
                const std::size_t at = BitAt(layout, i, k, bit);
                bytes[at / 8] |= std::byte((field >> bit & 1u) << (at % 8));
            }
        }
    }
    return bytes;
}

inline std::vector<Rgba> DecodeDXGI(DXGI_FORMAT format, const std::vector<std::byte>& bytes) {
    const DXGILayout layout = DXGILayoutOf(format);
    std::vector<Rgba> pixels(bytes.size() / layout.pixelBytes);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        for (int k = 0; k < 4; ++k) {
            std::uint32_t field = 0;
            for (unsigned bit = 0; bit < layout.bits[k]; ++bit) {
                const std::size_t at = BitAt(layout, i, k, bit);
                field |= (std::to_integer<std::uint32_t>(bytes[at / 8]) >> (at % 8) & 1u) << bit;
            }
            float& v = pixels[i][k];
            if (layout.kind == DXGILayout::Unorm)
                v = float(field) / float((1ull << layout.bits[k]) - 1);
            else if (layout.kind == DXGILayout::Half)
                v = glm::unpackHalf1x16(static_cast<std::uint16_t>(field));
            else
                std::memcpy(&v, &field, 4);
        }
    }
    return pixels;
}

}  // namespace Kavrin::Test
