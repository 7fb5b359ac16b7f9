#include "Kavrin/DX/D11SharedTexture2D.h"

#include "Kavrin/DX/DirectXException.h"
#include "Kavrin/DX/Emulation.h"

#include "Details/EmulatedObjects.h"
#include "Details/Faults.h"
#include "Details/HandleTable.h"
#include "Details/LiveObjects.h"

namespace Kavrin::DX {
namespace {

EmulatedKeyedMutex& KeyedMutexOf(ID3D11Texture2D* texture) {
    return *Details::AsEmulated(texture)->memory->GetKeyedMutex();
}

}  // namespace

boost::intrusive_ptr<D11SharedTexture2D> D11SharedTexture2D::Create(
    const boost::intrusive_ptr<D11Device>& device, const D3D11_TEXTURE2D_DESC& desc) {
    if (!device)
        KAVRIN_THROW_DX("Create", E_INVALIDARG, "No Direct3D 11 device for the shared texture");
    Details::ThrowIfFailing(Emulation::Step::D11CreateSharedTexture, "Create");
    D3D11_TEXTURE2D_DESC sharedDesc = desc;
    sharedDesc.MiscFlags = (desc.MiscFlags & ~UINT(D3D11_RESOURCE_MISC_SHARED)) |
                           D3D11_RESOURCE_MISC_SHARED_NTHANDLE |
                           D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX;
    return boost::intrusive_ptr<D11SharedTexture2D>(
        new D11SharedTexture2D(device->CreateTexture2D(sharedDesc, nullptr)));
}

D11SharedTexture2D::D11SharedTexture2D(CComPtr<ID3D11Texture2D> texture)
    : texture(std::move(texture)), liveId(Details::RegisterLive("D11SharedTexture2D", "")) {}

D11SharedTexture2D::~D11SharedTexture2D() {
    // Let other clients go on instead of waiting forever for a key nobody will release.
    EmulatedKeyedMutex& mutex = KeyedMutexOf(texture);
    const void* client = Details::AsEmulated(texture.p);
    if (mutex.GetOwner() == client)
        mutex.Release(client, mutex.GetKey());
    Details::UnregisterLive(liveId);
}

HANDLE D11SharedTexture2D::CreateSharedHandle(DWORD access) const {
    constexpr DWORD kAllowed = DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE;
    if (access == 0 || (access & ~kAllowed) != 0) {
        KAVRIN_THROW_DX("CreateSharedHandle", E_INVALIDARG,
                        "The access must be DXGI_SHARED_RESOURCE_READ and/or "
                        "DXGI_SHARED_RESOURCE_WRITE");
    }
    Details::ThrowIfFailing(Emulation::Step::D11CreateSharedHandle, "CreateSharedHandle");
    return Details::OpenHandle({Details::AsEmulated(texture.p)->memory, access});
}

bool D11SharedTexture2D::AcquireSync(UINT64 key, DWORD milliseconds) const {
    const HRESULT result =
        KeyedMutexOf(texture).Acquire(Details::AsEmulated(texture.p), key, milliseconds);
    if (result == static_cast<HRESULT>(WAIT_TIMEOUT))
        return false;
    if (result != S_OK)
        KAVRIN_THROW_DX("AcquireSync", result, "The keyed mutex is already held by this texture");
    return true;
}

void D11SharedTexture2D::ReleaseSync(UINT64 key) const {
    const HRESULT result = KeyedMutexOf(texture).Release(Details::AsEmulated(texture.p), key);
    if (result != S_OK)
        KAVRIN_THROW_DX("ReleaseSync", result, "The keyed mutex is not held by this texture");
}

}  // namespace Kavrin::DX
