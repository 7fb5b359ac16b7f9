#include "Kavrin/DX/EmulatedKeyedMutex.h"

#include <chrono>

#include "Kavrin/Win/DXGI.h"

namespace Kavrin::DX {

HRESULT EmulatedKeyedMutex::Acquire(const void* client, UINT64 wanted, DWORD milliseconds) {
    if (!client)
        return E_INVALIDARG;
    std::unique_lock lock(mutex);
    if (owner == client)
        return DXGI_ERROR_INVALID_CALL;
    const auto ready = [&] { return owner == nullptr && key == wanted; };
    if (milliseconds == INFINITE) {
        released.wait(lock, ready);
    } else if (!released.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return static_cast<HRESULT>(WAIT_TIMEOUT);
    }
    owner = client;
    key = wanted;
    return S_OK;
}

HRESULT EmulatedKeyedMutex::Release(const void* client, UINT64 next) {
    {
        std::lock_guard lock(mutex);
        if (!client || owner != client)
            return DXGI_ERROR_INVALID_CALL;
        owner = nullptr;
        key = next;
    }
    released.notify_all();
    return S_OK;
}

bool EmulatedKeyedMutex::IsAcquired() const {
    std::lock_guard lock(mutex);
    return owner != nullptr;
}

const void* EmulatedKeyedMutex::GetOwner() const {
    std::lock_guard lock(mutex);
    return owner;
}

UINT64 EmulatedKeyedMutex::GetKey() const {
    std::lock_guard lock(mutex);
    return key;
}

}  // namespace Kavrin::DX
