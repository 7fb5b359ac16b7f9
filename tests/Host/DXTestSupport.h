#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <glm/gtc/packing.hpp>
#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

namespace Kavrin::Test {

// The description, HRESULT and throwing function of the `E` a call throws.
using Failure = std::tuple<std::string, HRESULT, std::string>;

template <class E = DX::DirectXException>
std::optional<Failure> FailureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& error) {
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        return Failure{error.GetErrorDescription(), error.GetResult(), function ? *function : ""};
    }
    return std::nullopt;
}

// The result a DirectXException carries, S_OK when the call throws nothing.
inline HRESULT ResultOf(const std::function<void()>& call) {
    const auto failure = FailureOf(call);
    return failure ? std::get<1>(*failure) : S_OK;
}

inline std::vector<DX::DXGIAdapter> Enumerate(
    DX::DXGIEnumFlags flags = DX::DXGIEnumFlags::IncludeSoftware) {
    std::vector<DX::DXGIAdapter> adapters{DX::DXGIAdapter(nullptr)};  // replaced, not appended to
    DX::DXGIFactory::Create()->EnumerateAdapters(adapters, flags);
    return adapters;
}

// How many GL-thread tasks of this name have run, e.g. deleters queued off it.
inline std::uint64_t GlTaskCount(const std::string& name) {
    const auto summary = Proc::GpuTaskStatistic::GetInstance().GetOglStat(name);
    return summary ? summary->count : 0;
}

inline DX::DXGIAdapter FirstAdapter() { return Enumerate().at(0); }

inline D3D11_TEXTURE2D_DESC Desc(UINT width, UINT height,
                                 DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width, desc.Height = height, desc.MipLevels = desc.ArraySize = 1;
    desc.Format = format, desc.SampleDesc = {1, 0}, desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    return desc;
}

// Pixels as the DXGI format defines them: R, G, B, A little-endian bit fields at
// their offsets, unsigned normalised (rounded to nearest), half or single float.
using Rgba = std::array<float, 4>;

struct DXGILayout {
    enum Kind { Unorm, Half, Float } kind;
    unsigned pixelBytes;
    std::array<unsigned, 4> bits;
    std::array<unsigned, 4> offsets;
};

inline DXGILayout DXGILayoutOf(DXGI_FORMAT format) {
    using L = DXGILayout;
    static const std::map<DXGI_FORMAT, DXGILayout> layouts = {
        {DXGI_FORMAT_R8G8B8A8_UNORM, {L::Unorm, 4, {8, 8, 8, 8}, {0, 8, 16, 24}}},
        {DXGI_FORMAT_B8G8R8A8_UNORM, {L::Unorm, 4, {8, 8, 8, 8}, {16, 8, 0, 24}}},
        {DXGI_FORMAT_R16G16B16A16_UNORM, {L::Unorm, 8, {16, 16, 16, 16}, {0, 16, 32, 48}}},
        {DXGI_FORMAT_R10G10B10A2_UNORM, {L::Unorm, 4, {10, 10, 10, 2}, {0, 10, 20, 30}}},
        {DXGI_FORMAT_R16G16B16A16_FLOAT, {L::Half, 8, {16, 16, 16, 16}, {0, 16, 32, 48}}},
        {DXGI_FORMAT_R32G32B32A32_FLOAT, {L::Float, 16, {32, 32, 32, 32}, {0, 32, 64, 96}}}};
    return layouts.at(format);
}

// What a GL read of the stored pixels may differ by: one code of the integer
// formats wider than 8 bits (GL's own rounding), half rounding, nothing else.
inline float ToleranceOf(DXGI_FORMAT format) {
    const DXGILayout layout = DXGILayoutOf(format);
    const unsigned bits = layout.kind == DXGILayout::Unorm ? layout.bits[0] : 0;
    return layout.kind == DXGILayout::Half
               ? 1e-3f
               : 1e-6f + (bits > 8 ? 1.0f / float((1u << bits) - 1) : 0);
}

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
