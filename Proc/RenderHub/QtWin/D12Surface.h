#pragma once

#include <GL/glew.h>

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/Core/WaitableTimer.h"
#include "Kavrin/DX/D12CommandAllocator.h"
#include "Kavrin/DX/D12CompletionEvent.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D12.h"
#include "Kavrin/Win/DXGI.h"
#include "Kavrin/Win/bitflags.h"

#include "QtWin/InteropContext.h"

namespace Kavrin::Ogl {

class ShaderStorage;
class D12SurfacePool;

// The work behind a D12Surface: a Direct3D 12 resource the host sees, a GL
// texture the library uses, and a shared completion event that orders the two.
// Made and destroyed on the GL thread; reference counts change on any thread.
class D12InteropSurface : public InteropSurface {
public:
    // Deletes the GL texture, if any, and releases the resource.
    void Destroy() override;

    const CComPtr<ID3D12Resource>& GetD3DTexture() const { return d3dTexture; }
    const boost::intrusive_ptr<DX::D12CompletionEvent>& GetEvent() const { return event; }

protected:
    // Creates the shared event on the context's Direct3D 12 device.
    D12InteropSurface(unsigned width, unsigned height, DXGI_FORMAT format,
                      const boost::intrusive_ptr<InteropContext>& context);

    CComPtr<ID3D12Resource> d3dTexture;
    boost::intrusive_ptr<DX::D12CompletionEvent> event;
};

// One pooled image used by the host as a Direct3D 12 resource and rendered or
// drawn by the library with GL. The last release hands the implementation back
// to the pool. CopyFrom/CopyTo run on the host's recording thread,
// BindFrameBuffer/Draw on the GL thread; the rest on any thread.
class D12Surface : public IRefCountable {
public:
    using States = bitflags<D3D12_RESOURCE_STATES>;

    // Records, on a new list of `allocator`, a copy of `source` into the surface,
    // with transitions of `source` into and out of the copy-source state where
    // its states differ from it. The host executes the closed list.
    void CopyFrom(const boost::intrusive_ptr<DX::D12CommandAllocator>& allocator,
                  const CComPtr<ID3D12Resource>& source, States stateBefore, States stateAfter);
    // The same the other way, through the copy-destination state of `destination`.
    // Wait on GetEvent() for its value before executing it.
    void CopyTo(const boost::intrusive_ptr<DX::D12CommandAllocator>& allocator,
                const CComPtr<ID3D12Resource>& destination, States stateBefore,
                States stateAfter) const;

    // Renders with GL into the surface; the event's value rises by one for the
    // sharing implementation. GL thread.
    void BindFrameBuffer(const std::function<void()>& draw,
                         const std::optional<GLViewport>& viewport) const;
    // Draws the surface on a centred quad ({1, 1} covers the viewport). GL thread.
    void Draw(const ShaderStorage& storage, const std::array<float, 2>& scale) const;

    const boost::intrusive_ptr<DX::D12CompletionEvent>& GetEvent() const;
    const CComPtr<ID3D12Resource>& GetTexture() const;
    unsigned GetWidth() const;
    unsigned GetHeight() const;
    DXGI_FORMAT GetFormat() const;

    unsigned AddRef() const override;
    unsigned GetRefCount() const override;
    unsigned Release() const override;

private:
    friend class D12SurfacePool;
    D12Surface(boost::intrusive_ptr<D12InteropSurface>&& impl,
               boost::intrusive_ptr<D12SurfacePool>&& pool);
    ~D12Surface() override;

    boost::intrusive_ptr<D12InteropSurface> impl;
    boost::intrusive_ptr<D12SurfacePool> pool;
    RefCountImpl refCount;
};

// Surfaces of one size and format. Released surfaces wait here, newest handed
// out first, and are freed after 5 seconds of idleness by a timer that runs only
// while some wait. Thread-safe; CreateSurface runs on the GL thread when it has
// to make a new surface.
class D12SurfacePool : public IRefCountable {
public:
    D12SurfacePool(unsigned width, unsigned height, DXGI_FORMAT format);
    ~D12SurfacePool() override;
    D12SurfacePool(const D12SurfacePool&) = delete;
    D12SurfacePool& operator=(const D12SurfacePool&) = delete;

    // An idle surface when there is one (it keeps its own context), else a new
    // one on `context`: the sharing implementation when the context supports
    // Direct3D 12 sharing. Throws InteropException.
    boost::intrusive_ptr<D12Surface> CreateSurface(
        const boost::intrusive_ptr<InteropContext>& context);

    unsigned GetWidth() const { return width; }
    unsigned GetHeight() const { return height; }
    DXGI_FORMAT GetFormat() const { return format; }

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    friend class D12Surface;

    struct Entry {
        boost::intrusive_ptr<D12InteropSurface> surface;
        std::int64_t expiry;  // steady-clock nanoseconds
    };

    void ReuseSurface(const D12Surface* surface);
    void PurgeSurfaces();

    RefCountImpl refCount;
    const unsigned width;
    const unsigned height;
    const DXGI_FORMAT format;
    std::unique_ptr<Core::WaitableTimer> purgeTimer;
    // Guards `idle` and starting or stopping the timer; the timer's own lock may
    // be taken under it. Never held while a surface is released.
    std::mutex mutex;
    std::list<Entry> idle;
};

}  // namespace Kavrin::Ogl
