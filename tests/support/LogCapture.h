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

    LogCapture() { google::AddLogSink(this); }
    ~LogCapture() override { google::RemoveLogSink(this); }  // not copyable: holds a mutex

    void send(google::LogSeverity severity, const char*, const char*, int,
              const google::LogMessageTime&, const char* message, size_t length) override {
        std::lock_guard lock(mutex);
        lines.push_back({severity, std::string(message, length)});
    }

    std::vector<Line> Lines() const {
        std::lock_guard lock(mutex);
        return lines;
    }
    // Exactly this text at exactly this severity, how many times.
    int Count(google::LogSeverity severity, const std::string& text) const {
        int count = 0;
        for (const Line& line : Lines()) {
            count += line.severity == severity && line.text == text;
        }
        return count;
    }
    bool Has(google::LogSeverity severity, const std::string& text) const {
        return Count(severity, text) > 0;
    }
    // Lines whose text starts with `prefix`, at any severity.
    int CountPrefix(const std::string& prefix) const {
        int count = 0;
        for (const Line& line : Lines()) {
            count += line.text.rfind(prefix, 0) == 0;
        }
        return count;
    }
    // All lines, one per row, for failure messages.
    std::string Dump() const {
        std::string text;
        for (const Line& line : Lines()) {
            text +=
                std::string(google::GetLogSeverityName(line.severity)) + ": " + line.text + "\n";
        }
        return text;
    }

private:
    mutable std::mutex mutex;  // guards `lines`; a leaf lock
    std::vector<Line> lines;
};

}  // namespace Kavrin::Test
