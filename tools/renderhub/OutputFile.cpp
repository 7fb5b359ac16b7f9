#include "OutputFile.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace RenderHubTool {
namespace {

namespace fs = std::filesystem;

// Temporary files not yet committed, for the signal watcher to remove.
struct PartialFiles {
    std::mutex mutex;  // guards `paths`; a leaf lock
    std::set<std::string> paths;
};

PartialFiles& Partials() {
    static PartialFiles partials;
    return partials;
}

void Register(const std::string& path) {
    std::lock_guard lock(Partials().mutex);
    Partials().paths.insert(path);
}

void Unregister(const std::string& path) {
    std::lock_guard lock(Partials().mutex);
    Partials().paths.erase(path);
}

// The handler only wakes the watcher: nothing else is safe inside a handler.
int signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = write(signalPipe[1], &byte, 1);
}

void WatchSignals() {
    unsigned char signal = 0;
    while (read(signalPipe[0], &signal, 1) != 1) {
        if (errno != EINTR) {
            return;
        }
    }
    {
        // Held until the end: no new temporary file appears meanwhile.
        std::lock_guard lock(Partials().mutex);
        for (const std::string& path : Partials().paths) {
            unlink(path.c_str());
        }
        _exit(128 + signal);
    }
}

// Where a chain of symlinks ends, dangling or not: the file to write.
std::string FollowLinks(const std::string& path) {
    fs::path at = path;
    std::error_code error;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(at, error)); ++hops) {
        const fs::path target = fs::read_symlink(at, error);
        if (error) {
            break;
        }
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    return at.string();
}

}  // namespace

OutputFile::OutputFile(const std::string& path) : name(path) {
    if (path == "-") {
        toStandardOutput = true;
        return;
    }
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        // A FIFO, a device or a folder: what has this name cannot be replaced.
        if (fs::is_directory(status)) {
            throw std::runtime_error("'" + path + "' is a folder");
        }
        finalPath = path;
        file.open(path, std::ios::binary | std::ios::out);
    } else {
        finalPath = FollowLinks(path);
        partialPath = finalPath + ".renderhub-partial";
        Register(partialPath);
        file.open(partialPath, std::ios::binary | std::ios::out | std::ios::trunc);
    }
    if (!file) {
        const std::string reason = std::strerror(errno);
        if (!partialPath.empty()) {
            Unregister(partialPath);
        }
        throw std::runtime_error("cannot write '" + path + "': " + reason);
    }
}

OutputFile::~OutputFile() {
    if (!committed && !partialPath.empty()) {
        file.close();
        std::error_code ignored;
        fs::remove(partialPath, ignored);
        Unregister(partialPath);
    }
}

std::ostream& OutputFile::Stream() {
    if (toStandardOutput) {
        return std::cout;
    }
    return file;
}

void OutputFile::Close() {
    const auto failed = [&](const std::string& what) {
        return std::runtime_error(what + " '" + name + "' failed" +
                                  (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
    };
    errno = 0;
    if (toStandardOutput) {
        if (!std::cout.flush()) {
            throw failed("writing");
        }
        return;
    }
    if (!file.is_open()) {
        return;
    }
    file.flush();
    if (!file) {
        throw failed("writing");
    }
    file.close();
    if (file.fail()) {
        throw failed("closing");
    }
}

void OutputFile::Commit() {
    Close();
    if (!partialPath.empty()) {
        std::error_code error;
        fs::rename(partialPath, finalPath, error);
        if (error) {
            throw std::runtime_error("cannot put '" + name + "' in place: " + error.message());
        }
        Unregister(partialPath);
    }
    committed = true;
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
    OutputFile output(path);
    output.Stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    output.Commit();
}

void RemovePartialFilesOnSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (pipe2(signalPipe, O_CLOEXEC) != 0) {
            return;
        }
        std::thread(WatchSignals).detach();
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    });
}

}  // namespace RenderHubTool
