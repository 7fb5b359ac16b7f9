#pragma once

#include <atomic>
#include <memory>

#include "Kavrin/DX/AdapterDescription.h"
#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::DX::Details {

// What every object of one device shares: the adapter and whether the device was lost.
struct DeviceState {
    explicit DeviceState(std::shared_ptr<const AdapterDescription> adapter)
        : adapter(std::move(adapter)) {}

    LUID Luid() const { return adapter->luid; }

    const std::shared_ptr<const AdapterDescription> adapter;
    std::atomic<HRESULT> removedReason{S_OK};
};

// Registers a live device for Emulation::RemoveDevices. Thread-safe.
std::shared_ptr<DeviceState> MakeDeviceState(std::shared_ptr<const AdapterDescription> adapter);
void RemoveDevices(const LUID& adapter, HRESULT reason);

// Throws DirectXException with the removal reason when the device was lost.
void CheckNotRemoved(const DeviceState& device, const char* function);

}  // namespace Kavrin::DX::Details
