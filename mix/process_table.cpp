// The process table, from one Toolhelp snapshot.
#include "mix/process_table.h"

#include <algorithm>
#include <cstring>

namespace {

// What towlower does in the "C" locale, without relying on the C library's
// wide-character tables: only 'A' to 'Z' change, U+00C9 and the like stay.
std::wstring LowerAscii(const WCHAR* name, size_t length) {
    std::wstring lowered(name, length);
    for (wchar_t& unit : lowered)
        if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
    return lowered;
}

}  // namespace

ProcessTable SnapshotProcesses() {
    ProcessTable table;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return table;

    PROCESSENTRY32W record;
    std::memset(&record, 0, sizeof record);
    record.dwSize = sizeof record;
    // A zero from Process32NextW ends the walk whether it means the end or an
    // error: what was read so far is the table.
    for (BOOL more = Process32FirstW(snapshot, &record); more; more = Process32NextW(snapshot, &record)) {
        const WCHAR* end = std::find(record.szExeFile, record.szExeFile + MAX_PATH, L'\0');
        const size_t length = static_cast<size_t>(end - record.szExeFile);
        // /proc lists pids in ascending order, so the end is the usual place;
        // a snapshot in another order only loses the hint.
        table.insert_or_assign(table.end(), record.th32ProcessID,
                               ProcessEntry{record.th32ParentProcessID, LowerAscii(record.szExeFile, length)});
    }
    CloseHandle(snapshot);
    return table;
}
