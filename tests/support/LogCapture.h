#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <glog/logging.h>

namespace Kavrin::Test {

// Records every glog line while it lives. Thread-safe: lines arrive from any
// thread. Ask only after the work that logs has finished.
class LogCapture : public google::LogSink {
public:
    struct Line {
        google::LogSeverity severity;
        std::string text;
    };

    LogCapture();
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void send(google::LogSeverity severity, const char* fullFilename, const char* baseFilename,
              int line, const google::LogMessageTime& time, const char* message,
              size_t messageLength) override;

    // Exactly this text at exactly this severity, how many times.
    int Count(google::LogSeverity severity, const std::string& text) const;
    bool Has(google::LogSeverity severity, const std::string& text) const {
        return Count(severity, text) > 0;
    }
    // Lines whose text starts with `prefix`, at any severity.
    int CountPrefix(const std::string& prefix) const;
    std::vector<Line> Lines() const;
    // All lines, one per row, for failure messages.
    std::string Dump() const;

private:
    mutable std::mutex mutex;  // guards `lines`; a leaf lock
    std::vector<Line> lines;
};

}  // namespace Kavrin::Test
