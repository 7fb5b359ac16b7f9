#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/AdapterDescription.h"
#include "Kavrin/Win/D3D11.h"

namespace Kavrin::DX {

namespace Details {
struct DeviceState;
}

// Base of the Direct3D 11 and 12 devices: the adapter they run on and whether
// they are still usable. Thread-safe.
class D3Device : public IRefCountable {
public:
    ~D3Device() override;

    const std::string& GetAdapterName() const noexcept { return adapter->name; }
    LUID GetAdapterLuid() const noexcept { return adapter->luid; }
    std::string GetDriverVersion() const { return adapter->GetDriverVersion(); }
    // The feature level as "11.1".
    std::string GetLevelName() const;
    D3D_FEATURE_LEVEL GetFeatureLevel() const noexcept { return featureLevel; }
    // S_OK while usable; the removal reason (DXGI_ERROR_DEVICE_REMOVED, ...) after
    // the device was lost.
    virtual HRESULT GetDeviceRemovedReason() const;

protected:
    D3Device(std::shared_ptr<const AdapterDescription> adapter, D3D_FEATURE_LEVEL featureLevel);
    // Throws DirectXException with the removal reason when the device was lost.
    void CheckNotRemoved(const char* function) const;
    const std::shared_ptr<Details::DeviceState>& GetState() const noexcept { return state; }

private:
    std::shared_ptr<const AdapterDescription> adapter;
    D3D_FEATURE_LEVEL featureLevel;
    std::shared_ptr<Details::DeviceState> state;
};

}  // namespace Kavrin::DX
