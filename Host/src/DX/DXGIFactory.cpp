#include "Kavrin/DX/DXGIFactory.h"

#include "Kavrin/DX/Emulation.h"

#include "Details/LiveObjects.h"

namespace Kavrin::DX {

boost::intrusive_ptr<DXGIFactory> DXGIFactory::Create() {
    return boost::intrusive_ptr<DXGIFactory>(new DXGIFactory());
}

DXGIFactory::DXGIFactory() : liveId(Details::RegisterLive("DXGIFactory", "")) {}

DXGIFactory::~DXGIFactory() { Details::UnregisterLive(liveId); }

void DXGIFactory::EnumerateAdapters(std::vector<DXGIAdapter>& adapters, DXGIEnumFlags flags) const {
    adapters.clear();
    for (Emulation::AdapterConfig& adapter : Emulation::GetAdapters()) {
        if (adapter.description.software && flags != DXGIEnumFlags::IncludeSoftware)
            continue;
        adapters.emplace_back(
            std::make_shared<const AdapterDescription>(std::move(adapter.description)));
    }
}

}  // namespace Kavrin::DX
