#pragma once

#include <fstream>
#include <iosfwd>
#include <string>
#include <string_view>

namespace RenderHubTool {

// One output of the tool that appears only when it is complete: written under a
// temporary name beside its final one and renamed into place by Commit, so that
// a failure, a full disk or a SIGINT/SIGTERM leaves whatever had that name
// before. A symlink is followed (its target is replaced, the link stays); a
// FIFO, a device or "-" (standard output) is written straight into, since it
// cannot be replaced. Every write and the close are checked. One thread at a time.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    // Removes the temporary file unless committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::ostream& Stream();
    // Flushes and closes, checked: throws std::runtime_error naming the file
    // when any write failed. The file is not in place yet.
    void Close();
    // Closes when still open, then renames into place.
    void Commit();
    const std::string& Name() const { return name; }

private:
    std::string name;         // as given, for messages
    std::string finalPath;    // where the file ends up (a symlink's target)
    std::string partialPath;  // empty when written straight into
    std::ofstream file;
    bool toStandardOutput = false;
    bool committed = false;
};

// Writes `bytes` as the whole file `path`, as OutputFile does.
void WriteWholeFile(const std::string& path, std::string_view bytes);

// Makes SIGINT and SIGTERM remove every temporary output file that is not yet
// committed and end the process with status 128 + signal. Thread-safe; the
// first call installs the handlers.
void RemovePartialFilesOnSignals();

}  // namespace RenderHubTool
