#pragma once

#include <cstdint>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/D11Device.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D11.h"

namespace Kavrin::DX {

// A Direct3D 11 texture shared through NT handles and guarded by a keyed mutex
// (the creation adds D3D11_RESOURCE_MISC_SHARED_NTHANDLE | SHARED_KEYEDMUTEX).
// Thread-safe; the keyed mutex is held by this object as one client, from any
// thread.
class D11SharedTexture2D : public IRefCountable {
public:
    static boost::intrusive_ptr<D11SharedTexture2D> Create(
        const boost::intrusive_ptr<D11Device>& device, const D3D11_TEXTURE2D_DESC& desc);
    ~D11SharedTexture2D() override;

    const CComPtr<ID3D11Texture2D>& GetTexture() const noexcept { return texture; }
    // A new handle in the process's handle table; the caller closes it with CloseHandle.
    // `access`: DXGI_SHARED_RESOURCE_READ and/or DXGI_SHARED_RESOURCE_WRITE.
    HANDLE CreateSharedHandle(DWORD access) const;
    // Waits up to `milliseconds` (INFINITE: forever) until the mutex is released with
    // `key`, then holds it. False on timeout. Throws DirectXException
    // DXGI_ERROR_INVALID_CALL when this object already holds it.
    bool AcquireSync(UINT64 key, DWORD milliseconds) const;
    // Releases the mutex, handing it to whoever acquires with `key`. Throws
    // DirectXException DXGI_ERROR_INVALID_CALL when this object does not hold it.
    void ReleaseSync(UINT64 key) const;

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    D11SharedTexture2D(CComPtr<ID3D11Texture2D> texture);

    RefCountImpl refCount;
    CComPtr<ID3D11Texture2D> texture;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
