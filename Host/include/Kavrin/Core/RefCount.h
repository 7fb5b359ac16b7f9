#pragma once

#include <atomic>

namespace Kavrin {

// Interface of every reference-counted host and library object; held by
// boost::intrusive_ptr. Thread-safe: counts may change on any thread.
class IRefCountable {
public:
    virtual ~IRefCountable() = default;
    virtual unsigned AddRef() const = 0;
    virtual unsigned GetRefCount() const = 0;
    // Deletes the object when the count reaches 0; returns the new count.
    virtual unsigned Release() const = 0;
};

// The atomic counter behind IRefCountable implementations. Thread-safe.
class RefCountImpl {
public:
    RefCountImpl() = default;
    // A copied object starts with its own count.
    RefCountImpl(const RefCountImpl&) noexcept {}
    RefCountImpl& operator=(const RefCountImpl&) noexcept { return *this; }

    unsigned AddRef() const noexcept { return count.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Returns the new count; the caller deletes the object at 0.
    unsigned Release() const noexcept { return count.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    unsigned Get() const noexcept { return count.load(std::memory_order_acquire); }

private:
    mutable std::atomic<unsigned> count{0};
};

inline void intrusive_ptr_add_ref(const IRefCountable* object) { object->AddRef(); }
inline void intrusive_ptr_release(const IRefCountable* object) { object->Release(); }

}  // namespace Kavrin

// Implements the IRefCountable slots on top of a RefCountImpl member.
#define KAVRIN_IMPLEMENT_REFCOUNT(counter)                          \
    unsigned AddRef() const override { return counter.AddRef(); }   \
    unsigned GetRefCount() const override { return counter.Get(); } \
    unsigned Release() const override {                             \
        const unsigned remaining = counter.Release();               \
        if (remaining == 0)                                         \
            delete this;                                            \
        return remaining;                                           \
    }
