#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace Kavrin::Proc {

// Process-wide collector of GPU task timings, by task name. Thread-safe.
class GpuTaskStatistic {
public:
    struct Statistic {
        std::uint64_t executionTime = 0;  // ns
        std::uint64_t waitingTime = 0;    // ns
    };
    struct Summary {
        std::uint64_t count = 0;
        Statistic total;
        Statistic last;
        Statistic max;
    };

    static GpuTaskStatistic& GetInstance();

    void AddOglStat(const std::string& name, const Statistic& stat);

    std::optional<Summary> GetOglStat(const std::string& name) const;
    std::map<std::string, Summary> GetAll() const;
    void Clear();

private:
    GpuTaskStatistic() = default;

    // Guards `stats`; a leaf lock.
    mutable std::mutex mutex;
    std::map<std::string, Summary> stats;
};

}  // namespace Kavrin::Proc
