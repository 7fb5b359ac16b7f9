#include "Kavrin/DX/D3Device.h"

#include "Details/DeviceState.h"

namespace Kavrin::DX {

D3Device::D3Device(std::shared_ptr<const AdapterDescription> adapter,
                   D3D_FEATURE_LEVEL featureLevel)
    : adapter(adapter), featureLevel(featureLevel), state(Details::MakeDeviceState(adapter)) {}

D3Device::~D3Device() = default;

std::string D3Device::GetLevelName() const {
    const unsigned level = featureLevel;
    return std::to_string(level >> 12) + "." + std::to_string((level >> 8) & 0xF);
}

HRESULT D3Device::GetDeviceRemovedReason() const { return state->removedReason.load(); }

void D3Device::CheckNotRemoved(const char* function) const {
    Details::CheckNotRemoved(*state, function);
}

}  // namespace Kavrin::DX
