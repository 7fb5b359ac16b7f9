#pragma once

#include <condition_variable>
#include <mutex>

#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::DX {

// The keyed mutex of a shared texture. Clients (a Direct3D 11 texture object, a GL
// memory object) are told apart by an opaque pointer. The mutex starts free with key
// 0; Acquire(key) waits until it is free and was released with `key`; Release(key)
// frees it and names the key of the next owner. Thread-safe.
class EmulatedKeyedMutex {
public:
    // S_OK when acquired, WAIT_TIMEOUT when `milliseconds` (INFINITE: no limit) passed
    // first, DXGI_ERROR_INVALID_CALL when `client` already holds it.
    HRESULT Acquire(const void* client, UINT64 key, DWORD milliseconds);
    // S_OK, or DXGI_ERROR_INVALID_CALL when `client` does not hold it.
    HRESULT Release(const void* client, UINT64 key);

    bool IsAcquired() const;
    // The holder; null when free.
    const void* GetOwner() const;
    // The key it was last acquired or released with.
    UINT64 GetKey() const;

private:
    // Guards the fields below; a leaf lock.
    mutable std::mutex mutex;
    std::condition_variable released;
    const void* owner = nullptr;
    UINT64 key = 0;
};

}  // namespace Kavrin::DX
