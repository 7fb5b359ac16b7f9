#pragma once

// The host's settings through the shape of the Windows registry API: a root key
// of the core settings, subkeys opened by name, DWORD values read by name. On this
// platform the store is QSettings' native file, $XDG_CONFIG_HOME/Kavrin/Core.conf,
// a subkey being a group of it. Every Open reads the file afresh, so a value
// changed by another process or a test is seen at the next read. Anything but a
// regular file there (a FIFO, a device) is not read and counts as no settings.
#include <string>

#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::Core {

namespace Details {
struct Key;
}
using HKEY = Details::Key*;

inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;

// The host's settings: the process-wide root key of the core settings. Thread-safe.
class RegSettings {
public:
    static RegSettings& Core();
    HKEY GetKey() const { return root; }

    RegSettings(const RegSettings&) = delete;
    RegSettings& operator=(const RegSettings&) = delete;

private:
    RegSettings();
    HKEY root;
};

// An open subkey; closed by the destructor. One thread at a time.
class RegKey {
public:
    RegKey() = default;
    ~RegKey();
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND when the subkey does not exist and
    // ERROR_INVALID_HANDLE for a null parent. Reopening closes the key first.
    DWORD Open(HKEY parent, const std::string& subkey, DWORD access);
    // ERROR_SUCCESS; ERROR_FILE_NOT_FOUND for a missing value; ERROR_INVALID_DATA
    // for a value that is not a 32-bit unsigned number; ERROR_INVALID_HANDLE when
    // the key is not open.
    DWORD QueryDword(const std::string& name, DWORD& value) const;
    HKEY GetKey() const { return key; }
    void Close();

private:
    HKEY key = nullptr;
};

}  // namespace Kavrin::Core
