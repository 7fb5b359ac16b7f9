#include "Kavrin/DX/D12Device.h"

#include "Kavrin/DX/D12CommandQueue.h"
#include "Kavrin/DX/DirectXException.h"
#include "Kavrin/DX/Emulation.h"

#include "Details/EmulatedObjects.h"
#include "Details/Faults.h"
#include "Details/HandleTable.h"
#include "Details/LiveObjects.h"

namespace Kavrin::DX {

bool D12Device::IsAvailable() { return Emulation::IsD12Available(); }

boost::intrusive_ptr<D12Device> D12Device::Create(const LUID& adapterLuid) {
    if (!IsAvailable())
        KAVRIN_THROW_DX("Create", DXGI_ERROR_UNSUPPORTED, "DirectX 12 is not available");
    const std::optional<Emulation::AdapterConfig> config = Emulation::FindAdapter(adapterLuid);
    if (!config) {
        KAVRIN_THROW_DX("Create", DXGI_ERROR_NOT_FOUND,
                        "No adapter with LUID " + std::to_string(adapterLuid.HighPart) + ":" +
                            std::to_string(adapterLuid.LowPart));
    }
    const std::string& name = config->description.name;
    if (FAILED(config->d12CreateResult)) {
        KAVRIN_THROW_DX("Create", config->d12CreateResult,
                        "Failed to create a DirectX 12 device on " + name);
    }
    if (config->featureLevel < D3D_FEATURE_LEVEL_11_0) {
        KAVRIN_THROW_DX("Create", DXGI_ERROR_UNSUPPORTED,
                        "DirectX 12 device interface or feature level is not supported on " + name);
    }
    return boost::intrusive_ptr<D12Device>(
        new D12Device(std::make_shared<const AdapterDescription>(config->description),
                      config->featureLevel, Emulation::GetD12SDKVersion()));
}

D12Device::D12Device(std::shared_ptr<const AdapterDescription> adapter, D3D_FEATURE_LEVEL level,
                     std::optional<unsigned> sdkVersion)
    : D3Device(adapter, level),
      sdkVersion(sdkVersion),
      queue(new D12CommandQueue(GetState())),
      liveId(Details::RegisterLive("D12Device", adapter->name)) {}

D12Device::~D12Device() { Details::UnregisterLive(liveId); }

std::optional<unsigned> D12Device::GetSDKVersion() const { return sdkVersion; }

CComPtr<ID3D12Resource> D12Device::CreateTexture2D(const D12Texture2DDesc& desc) const {
    CheckNotRemoved("CreateTexture2D");
    if (desc.heapType != D3D12_HEAP_TYPE_DEFAULT || desc.arraySize != 1 || desc.mipLevels != 1 ||
        desc.sampleDesc.Count != 1 || desc.width > 16384) {
        KAVRIN_THROW_DX("CreateTexture2D", E_INVALIDARG,
                        "The emulation holds default-heap textures of one level, one slice and "
                        "one sample, at most 16384 wide");
    }
    Details::ThrowIfFailing(Emulation::Step::D12CreateTexture2D, "CreateTexture2D");
    auto memory = std::make_shared<EmulatedTexture>(static_cast<UINT>(desc.width), desc.height,
                                                    desc.format, GetAdapterLuid(), false);
    const D3D12_RESOURCE_DESC resourceDesc{D3D12_RESOURCE_DIMENSION_TEXTURE2D,
                                           0,
                                           desc.width,
                                           desc.height,
                                           desc.arraySize,
                                           desc.mipLevels,
                                           desc.format,
                                           desc.sampleDesc,
                                           D3D12_TEXTURE_LAYOUT_UNKNOWN,
                                           desc.flags};
    return CComPtr<ID3D12Resource>(new Details::D12ResourceImpl(
        GetState(), resourceDesc, std::move(memory), desc.initialState));
}

CComPtr<ID3D12Resource> D12Device::OpenSharedResource(HANDLE handle) const {
    CheckNotRemoved("OpenSharedResource");
    const std::optional<Details::HandleEntry> entry = Details::LookupHandle(handle);
    const auto* memory =
        entry ? std::get_if<std::shared_ptr<EmulatedTexture>>(&entry->object) : nullptr;
    if (!memory) {
        KAVRIN_THROW_DX("OpenSharedResource", E_INVALIDARG,
                        "The handle does not name a shared resource");
    }
    if (!((*memory)->GetAdapterLuid() == GetAdapterLuid())) {
        KAVRIN_THROW_DX("OpenSharedResource", E_INVALIDARG,
                        "The shared resource belongs to another adapter");
    }
    Details::ThrowIfFailing(Emulation::Step::D12OpenSharedResource, "OpenSharedResource");
    // Opened textures are shared across APIs, so they allow simultaneous access and
    // start (and decay to) COMMON.
    const D3D12_RESOURCE_DESC desc{
        D3D12_RESOURCE_DIMENSION_TEXTURE2D,
        0,
        (*memory)->GetWidth(),
        (*memory)->GetHeight(),
        1,
        1,
        (*memory)->GetFormat(),
        {1, 0},
        D3D12_TEXTURE_LAYOUT_UNKNOWN,
        D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET | D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS};
    return CComPtr<ID3D12Resource>(
        new Details::D12ResourceImpl(GetState(), desc, *memory, D3D12_RESOURCE_STATE_COMMON));
}

HANDLE D12Device::CreateSharedHandle(ID3D12Resource* resource) const {
    CheckNotRemoved("CreateSharedHandle");
    const Details::D12ResourceImpl* emulated = Details::AsEmulated(resource);
    if (!emulated || !(emulated->device->Luid() == GetAdapterLuid())) {
        KAVRIN_THROW_DX("CreateSharedHandle", E_INVALIDARG,
                        "The resource is not one of this device");
    }
    Details::ThrowIfFailing(Emulation::Step::D12CreateSharedHandle, "CreateSharedHandle");
    return Details::OpenHandle({emulated->memory, GENERIC_ALL});
}

boost::intrusive_ptr<D12CompletionEvent> D12Device::CreateCompletionEvent(
    bitflags<D3D12_FENCE_FLAGS> flags) const {
    CheckNotRemoved("CreateCompletionEvent");
    Details::ThrowIfFailing(Emulation::Step::D12CreateCompletionEvent, "CreateCompletionEvent");
    auto fence =
        std::make_shared<EmulatedFence>(GetAdapterLuid(), flags.contains(D3D12_FENCE_FLAG_SHARED));
    return boost::intrusive_ptr<D12CompletionEvent>(
        new D12CompletionEvent(std::move(fence), flags));
}

}  // namespace Kavrin::DX
