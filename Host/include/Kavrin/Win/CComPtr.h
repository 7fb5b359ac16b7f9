#pragma once

#include <cassert>
#include <utility>

#include "Kavrin/Win/Unknwn.h"

// Owning pointer to a reference-counted Windows interface, like ATL's: it holds one
// reference, `p` is the raw pointer. Not thread-safe as an object; the counts it
// changes are.
template <class T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    CComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference on `pointer`.
    CComPtr(T* pointer) noexcept : p(pointer) {
        if (p)
            p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    template <class U>
    CComPtr(const CComPtr<U>& other) noexcept : CComPtr(static_cast<T*>(other.p)) {}
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* pointer) noexcept {
        CComPtr(pointer).Swap(*this);
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
    CComPtr& operator=(CComPtr&& other) noexcept {
        CComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    CComPtr& operator=(std::nullptr_t) noexcept {
        Release();
        return *this;
    }

    // Drops the reference, if any.
    void Release() noexcept {
        if (T* old = std::exchange(p, nullptr))
            old->Release();
    }
    // Takes over a reference the caller already owns.
    void Attach(T* pointer) noexcept {
        Release();
        p = pointer;
    }
    // Hands the reference to the caller.
    T* Detach() noexcept { return std::exchange(p, nullptr); }
    void Swap(CComPtr& other) noexcept { std::swap(p, other.p); }

    operator T*() const noexcept { return p; }
    T& operator*() const noexcept { return *p; }
    T* operator->() const noexcept {
        assert(p != nullptr);
        return p;
    }
    // For out-parameters; the pointer must be empty so no reference is lost.
    T** operator&() noexcept {
        assert(p == nullptr);
        return &p;
    }

    T* p = nullptr;
};
