#include "Kavrin/DX/D11Device.h"

#include <algorithm>

#include "Kavrin/DX/D11DeviceContext.h"
#include "Kavrin/DX/DirectXException.h"
#include "Kavrin/DX/Emulation.h"

#include "Details/EmulatedObjects.h"
#include "Details/Faults.h"
#include "Details/LiveObjects.h"

namespace Kavrin::DX {

boost::intrusive_ptr<D11Device> D11Device::Create(const DXGIAdapter& adapter) {
    const std::shared_ptr<const AdapterDescription>& description = adapter.GetDescription();
    const std::optional<Emulation::AdapterConfig> config =
        Emulation::FindAdapter(description->luid);
    if (!config) {
        KAVRIN_THROW_DX("Create", DXGI_ERROR_NOT_FOUND,
                        "The adapter " + description->name + " is no longer present");
    }
    if (FAILED(config->d11CreateResult)) {
        KAVRIN_THROW_DX("Create", config->d11CreateResult,
                        "Failed to create a DirectX 11 device on " + description->name);
    }
    // Direct3D 11 asks for the levels 11.1 down to 10.0.
    const D3D_FEATURE_LEVEL level = std::min(config->featureLevel, D3D_FEATURE_LEVEL_11_1);
    if (level < D3D_FEATURE_LEVEL_10_0) {
        KAVRIN_THROW_DX("Create", DXGI_ERROR_UNSUPPORTED,
                        "DirectX 11 device interface or feature level is not supported on " +
                            description->name);
    }
    return boost::intrusive_ptr<D11Device>(
        new D11Device(description, level, config->fencesSupported));
}

D11Device::D11Device(std::shared_ptr<const AdapterDescription> adapter, D3D_FEATURE_LEVEL level,
                     bool fencesSupported)
    : D3Device(adapter, level),
      device(new Details::D11DeviceImpl(GetState(), level)),
      context(new D11DeviceContext(device.p)),
      fencesSupported(fencesSupported),
      liveId(Details::RegisterLive("D11Device", adapter->name)) {}

D11Device::~D11Device() { Details::UnregisterLive(liveId); }

CComPtr<ID3D11Texture2D> D11Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC& desc,
                                                    const D3D11_SUBRESOURCE_DATA* data) const {
    CheckNotRemoved("CreateTexture2D");
    if (desc.MipLevels != 1 || desc.ArraySize != 1 || desc.SampleDesc.Count != 1) {
        KAVRIN_THROW_DX("CreateTexture2D", E_INVALIDARG,
                        "The emulation holds textures of one level, one slice and one sample "
                        "only; set MipLevels, ArraySize and SampleDesc.Count to 1");
    }
    const bool shared = desc.MiscFlags & D3D11_RESOURCE_MISC_SHARED;
    const bool keyed = desc.MiscFlags & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX;
    const bool ntHandle = desc.MiscFlags & D3D11_RESOURCE_MISC_SHARED_NTHANDLE;
    if ((shared && keyed) || (ntHandle && !shared && !keyed)) {
        KAVRIN_THROW_DX("CreateTexture2D", E_INVALIDARG,
                        "D3D11_RESOURCE_MISC_SHARED_NTHANDLE needs exactly one of "
                        "D3D11_RESOURCE_MISC_SHARED and D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX");
    }
    if (desc.Usage == D3D11_USAGE_IMMUTABLE && !data) {
        KAVRIN_THROW_DX("CreateTexture2D", E_INVALIDARG,
                        "An immutable texture needs its initial data");
    }
    Details::ThrowIfFailing(Emulation::Step::D11CreateTexture2D, "CreateTexture2D");
    auto memory = std::make_shared<EmulatedTexture>(desc.Width, desc.Height, desc.Format,
                                                    GetAdapterLuid(), keyed);
    if (data) {
        if (!data->pSysMem || data->SysMemPitch < memory->GetRowPitch()) {
            KAVRIN_THROW_DX("CreateTexture2D", E_INVALIDARG,
                            "The initial data needs a pointer and a pitch of at least " +
                                std::to_string(memory->GetRowPitch()) + " bytes");
        }
        memory->WriteRows(data->pSysMem, data->SysMemPitch);
    }
    return CComPtr<ID3D11Texture2D>(new Details::D11TextureImpl(device, desc, std::move(memory)));
}

void D11Device::Encode(
    const std::function<void(const boost::intrusive_ptr<D11DeviceContext>&)>& fn) const {
    std::lock_guard lock(contextMutex);
    D11DeviceContext& owned = *context;
    if (owned.encodingDepth++ == 0)
        owned.encodingThread.store(std::this_thread::get_id());
    const auto leave = [&owned] {
        if (--owned.encodingDepth == 0)
            owned.encodingThread.store(std::thread::id{});
    };
    try {
        fn(context);
    } catch (...) {
        leave();
        throw;
    }
    leave();
}

}  // namespace Kavrin::DX
