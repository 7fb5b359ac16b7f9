#include "Details/EmulatedObjects.h"

#include "Details/LiveObjects.h"

namespace Kavrin::DX::Details {
namespace {

// UTF-8 of a wide (UTF-32 here) name, for logs and leak reports.
std::string ToUtf8(LPCWSTR text) {
    std::string result;
    for (; text && *text; ++text) {
        const auto c = static_cast<char32_t>(*text);
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            result += static_cast<char>(0xE0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (c >> 18));
            result += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

std::string SizeText(UINT64 width, UINT height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

D11DeviceImpl::D11DeviceImpl(std::shared_ptr<DeviceState> state, D3D_FEATURE_LEVEL level)
    : state(std::move(state)),
      level(level),
      liveId(RegisterLive("ID3D11Device", this->state->adapter->name)) {}

D11DeviceImpl::~D11DeviceImpl() { UnregisterLive(liveId); }

D11TextureImpl::D11TextureImpl(CComPtr<ID3D11Device> device, const D3D11_TEXTURE2D_DESC& desc,
                               std::shared_ptr<EmulatedTexture> memory)
    : device(std::move(device)),
      desc(desc),
      memory(std::move(memory)),
      liveId(RegisterLive("ID3D11Texture2D", SizeText(desc.Width, desc.Height))) {}

D11TextureImpl::~D11TextureImpl() { UnregisterLive(liveId); }

D12ResourceImpl::D12ResourceImpl(std::shared_ptr<DeviceState> device,
                                 const D3D12_RESOURCE_DESC& desc,
                                 std::shared_ptr<EmulatedTexture> memory,
                                 D3D12_RESOURCE_STATES state)
    : device(std::move(device)),
      desc(desc),
      memory(std::move(memory)),
      name(SizeText(desc.Width, desc.Height)),
      state(state),
      liveId(RegisterLive("ID3D12Resource", name)) {}

D12ResourceImpl::~D12ResourceImpl() { UnregisterLive(liveId); }

HRESULT D12ResourceImpl::SetName(LPCWSTR newName) {
    if (!newName)
        return E_INVALIDARG;
    std::string text = ToUtf8(newName);
    {
        std::lock_guard lock(mutex);
        name = text;
    }
    RenameLive(liveId, std::move(text));
    return S_OK;
}

std::string D12ResourceImpl::GetName() const {
    std::lock_guard lock(mutex);
    return name;
}

D3D12_RESOURCE_STATES D12ResourceImpl::GetState() const {
    std::lock_guard lock(mutex);
    return state;
}

void D12ResourceImpl::SetState(D3D12_RESOURCE_STATES newState) {
    std::lock_guard lock(mutex);
    state = newState;
}

D11TextureImpl* AsEmulated(ID3D11Resource* resource) {
    return dynamic_cast<D11TextureImpl*>(resource);
}

D12ResourceImpl* AsEmulated(ID3D12Resource* resource) {
    return dynamic_cast<D12ResourceImpl*>(resource);
}

}  // namespace Kavrin::DX::Details
