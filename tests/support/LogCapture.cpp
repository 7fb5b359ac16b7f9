#include "LogCapture.h"

namespace Kavrin::Test {

LogCapture::LogCapture() { google::AddLogSink(this); }

LogCapture::~LogCapture() { google::RemoveLogSink(this); }

void LogCapture::send(google::LogSeverity severity, const char*, const char*, int,
                      const google::LogMessageTime&, const char* message, size_t messageLength) {
    std::lock_guard lock(mutex);
    lines.push_back({severity, std::string(message, messageLength)});
}

int LogCapture::Count(google::LogSeverity severity, const std::string& text) const {
    std::lock_guard lock(mutex);
    int count = 0;
    for (const Line& line : lines) {
        count += line.severity == severity && line.text == text;
    }
    return count;
}

int LogCapture::CountPrefix(const std::string& prefix) const {
    std::lock_guard lock(mutex);
    int count = 0;
    for (const Line& line : lines) {
        count += line.text.rfind(prefix, 0) == 0;
    }
    return count;
}

std::vector<LogCapture::Line> LogCapture::Lines() const {
    std::lock_guard lock(mutex);
    return lines;
}

std::string LogCapture::Dump() const {
    std::string text;
    for (const Line& line : Lines()) {
        text += google::GetLogSeverityName(line.severity);
        text += ": ";
        text += line.text;
        text += '\n';
    }
    return text;
}

}  // namespace Kavrin::Test
