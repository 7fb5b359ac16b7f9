#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace Kavrin::DX {

// Logs one WARNING line per emulated DirectX object still alive (devices, textures,
// resources, fences, events, lists, queues, factories) and returns how many there
// are; logs nothing when none is. Thread-safe.
std::size_t ReportDirectXLeaks();

// The number of emulated DirectX objects alive now. Thread-safe.
std::size_t GetLiveObjectCount();

// "Kind 'name'" of every live object, oldest first. Thread-safe.
std::vector<std::string> GetLiveObjects();

}  // namespace Kavrin::DX
