#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D11.h"

namespace Kavrin::DX {

class D11CompletionEvent;

// The immediate context of a D11Device. Work runs at once (the emulation has no
// deferred GPU). Usable only inside the device's Encode, on the encoding thread;
// other use throws std::logic_error.
class D11DeviceContext : public IRefCountable {
public:
    explicit D11DeviceContext(ID3D11Device* device);
    ~D11DeviceContext() override;

    // Copies all of `source` into `destination`: both textures of this device with the
    // same size and format. A texture with a keyed mutex must be acquired through its
    // D11SharedTexture2D first. Throws DirectXException (E_INVALIDARG,
    // DXGI_ERROR_INVALID_CALL) otherwise.
    void CopyResource(ID3D11Resource* destination, ID3D11Resource* source);
    // Takes the event's next fence value and signals it.
    void Signal(const boost::intrusive_ptr<D11CompletionEvent>& event);

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    friend class D11Device;
    void CheckEncoding(const char* function) const;

    RefCountImpl refCount;
    CComPtr<ID3D11Device> device;
    // The thread inside Encode and its nesting depth; changed under the device's
    // context mutex only.
    std::atomic<std::thread::id> encodingThread{};
    unsigned encodingDepth = 0;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
