#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/DX/D3Device.h"
#include "Kavrin/DX/DXGIAdapter.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D11.h"

namespace Kavrin::DX {

class D11DeviceContext;

// A Direct3D 11 device (emulated in system memory) with its immediate context.
// Thread-safe; the immediate context is handed out only inside Encode, to one
// thread at a time.
class D11Device : public D3Device {
public:
    // A device on `adapter` at the highest level it offers up to 11.1. Throws
    // DirectXException: DXGI_ERROR_UNSUPPORTED without Direct3D 11 (level below 10.0),
    // or whatever the adapter's creation fails with.
    static boost::intrusive_ptr<D11Device> Create(const DXGIAdapter& adapter);
    ~D11Device() override;

    ID3D11Device* Get() const noexcept { return device.p; }
    // A new texture; `data` (may be null) gives its first level's rows.
    CComPtr<ID3D11Texture2D> CreateTexture2D(const D3D11_TEXTURE2D_DESC& desc,
                                             const D3D11_SUBRESOURCE_DATA* data) const;
    // ID3D11Fence / ID3D11Device5 support, needed to share fences with Direct3D 12.
    bool IsFencesSupported() const noexcept { return fencesSupported; }
    // Runs `fn` at once on the calling thread with the immediate context, which no
    // other thread can use meanwhile. Nested calls on the same thread are allowed.
    void Encode(const std::function<void(const boost::intrusive_ptr<D11DeviceContext>&)>& fn) const;

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    D11Device(std::shared_ptr<const AdapterDescription> adapter, D3D_FEATURE_LEVEL level,
              bool fencesSupported);

    RefCountImpl refCount;
    CComPtr<ID3D11Device> device;
    boost::intrusive_ptr<D11DeviceContext> context;
    bool fencesSupported;
    // Serialises Encode (the immediate context); recursive for nested Encode. Taken
    // first; the context's own calls take only leaf locks after it.
    mutable std::recursive_mutex contextMutex;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
