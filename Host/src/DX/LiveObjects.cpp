#include "Details/LiveObjects.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <glog/logging.h>

#include "Kavrin/DX/ReportDirectXLeaks.h"

namespace Kavrin::DX {
namespace {

struct Registry {
    // Guards the fields below; a leaf lock.
    std::mutex mutex;
    std::uint64_t nextId = 1;
    // Ordered by id, so by age.
    std::map<std::uint64_t, std::pair<std::string, std::string>> objects;
};

Registry& GetRegistry() {
    static Registry* registry = new Registry();  // never destroyed: objects may outlive statics
    return *registry;
}

std::string Describe(const std::pair<std::string, std::string>& object) {
    return object.first + " '" + object.second + "'";
}

}  // namespace

namespace Details {

std::uint64_t RegisterLive(std::string kind, std::string name) {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    const std::uint64_t id = registry.nextId++;
    registry.objects.emplace(id, std::make_pair(std::move(kind), std::move(name)));
    return id;
}

void RenameLive(std::uint64_t id, std::string name) {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    if (auto found = registry.objects.find(id); found != registry.objects.end())
        found->second.second = std::move(name);
}

void UnregisterLive(std::uint64_t id) {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    registry.objects.erase(id);
}

}  // namespace Details

std::vector<std::string> GetLiveObjects() {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    std::vector<std::string> result;
    result.reserve(registry.objects.size());
    for (const auto& [id, object] : registry.objects)
        result.push_back(Describe(object));
    return result;
}

std::size_t GetLiveObjectCount() {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    return registry.objects.size();
}

std::size_t ReportDirectXLeaks() {
    // Copied first: logging under the registry lock could reach a sink that makes objects.
    const std::vector<std::string> objects = GetLiveObjects();
    for (const std::string& object : objects)
        LOG(WARNING) << "Live DirectX object: " << object;
    if (!objects.empty())
        LOG(WARNING) << "DirectX objects still alive: " << objects.size();
    return objects.size();
}

}  // namespace Kavrin::DX
