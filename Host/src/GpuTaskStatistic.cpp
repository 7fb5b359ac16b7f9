#include "Kavrin/Proc/GpuTaskStatistic.h"

#include <algorithm>

namespace Kavrin::Proc {

GpuTaskStatistic& GpuTaskStatistic::GetInstance() {
    static GpuTaskStatistic instance;
    return instance;
}

void GpuTaskStatistic::AddOglStat(const std::string& name, const Statistic& stat) {
    std::lock_guard lock(mutex);
    Summary& summary = stats[name];
    ++summary.count;
    summary.total.executionTime += stat.executionTime;
    summary.total.waitingTime += stat.waitingTime;
    summary.last = stat;
    summary.max.executionTime = std::max(summary.max.executionTime, stat.executionTime);
    summary.max.waitingTime = std::max(summary.max.waitingTime, stat.waitingTime);
}

std::optional<GpuTaskStatistic::Summary> GpuTaskStatistic::GetOglStat(
    const std::string& name) const {
    std::lock_guard lock(mutex);
    auto found = stats.find(name);
    if (found == stats.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::map<std::string, GpuTaskStatistic::Summary> GpuTaskStatistic::GetAll() const {
    std::lock_guard lock(mutex);
    return stats;
}

void GpuTaskStatistic::Clear() {
    std::lock_guard lock(mutex);
    stats.clear();
}

}  // namespace Kavrin::Proc
