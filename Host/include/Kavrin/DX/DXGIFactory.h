#pragma once

#include <cstdint>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/DXGIAdapter.h"

namespace Kavrin::DX {

enum class DXGIEnumFlags : unsigned {
    // Hardware adapters only.
    Hardware = 0,
    // Software renderers too (llvmpipe, WARP), in their place in the list.
    IncludeSoftware = 1,
};

// Lists the (emulated) adapters of the machine, in the configured order
// (DX::Emulation::SetAdapters). Thread-safe.
class DXGIFactory : public IRefCountable {
public:
    static boost::intrusive_ptr<DXGIFactory> Create();
    ~DXGIFactory() override;

    // Replaces the contents of `adapters` with the adapters of the machine.
    void EnumerateAdapters(std::vector<DXGIAdapter>& adapters, DXGIEnumFlags flags) const;

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    DXGIFactory();

    RefCountImpl refCount;
    std::uint64_t liveId = 0;
};

}  // namespace Kavrin::DX
