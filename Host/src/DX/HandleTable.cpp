#include "Details/HandleTable.h"

#include <cstdint>
#include <map>
#include <mutex>

#include "Kavrin/Win/WinBase.h"

namespace Kavrin::DX::Details {
namespace {

struct Table {
    // Guards the fields below; a leaf lock.
    std::mutex mutex;
    // Windows handle values are multiples of 4; never reused, so a stale handle
    // stays invalid instead of naming a newer object.
    std::uintptr_t next = 0x1000;
    std::map<std::uintptr_t, HandleEntry> entries;
};

Table& GetTable() {
    static Table* table = new Table();  // never destroyed: handles may outlive statics
    return *table;
}

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

HANDLE OpenHandle(HandleEntry entry) {
    Table& table = GetTable();
    std::lock_guard lock(table.mutex);
    const std::uintptr_t value = table.next;
    table.next += 4;
    table.entries.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

std::optional<HandleEntry> LookupHandle(HANDLE handle) {
    Table& table = GetTable();
    std::lock_guard lock(table.mutex);
    auto found = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == table.entries.end())
        return std::nullopt;
    return found->second;
}

std::size_t OpenHandleCount() {
    Table& table = GetTable();
    std::lock_guard lock(table.mutex);
    return table.entries.size();
}

}  // namespace Kavrin::DX::Details

BOOL CloseHandle(HANDLE handle) {
    using namespace Kavrin::DX::Details;
    Table& table = GetTable();
    HandleEntry closed;
    {
        std::lock_guard lock(table.mutex);
        auto found = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == table.entries.end()) {
            lastError = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        closed = std::move(found->second);
        table.entries.erase(found);
    }
    // `closed` may hold the last reference: freed here, outside the table lock.
    return TRUE;
}

DWORD GetLastError() { return Kavrin::DX::Details::lastError; }

void SetLastError(DWORD error) { Kavrin::DX::Details::lastError = error; }
