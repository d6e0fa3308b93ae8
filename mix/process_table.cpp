// The process table, from one Toolhelp snapshot and one query of the
// system's process list for creation times.
#include "mix/process_table.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>

namespace {

// What towlower does in the "C" locale, without relying on the C library's
// wide-character tables: only 'A' to 'Z' change, U+00C9 and the like stay.
std::wstring LowerAscii(const WCHAR* name, size_t length) {
    std::wstring lowered(name, length);
    for (wchar_t& unit : lowered)
        if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
    return lowered;
}

// A desktop lists a few hundred processes of about 1 KB each (a record and
// one more per thread); the buffer grows to what the system asks for.
constexpr ULONG kFirstQueryBytes = 512 * 1024;
constexpr ULONG kMostQueryBytes = 64 * 1024 * 1024;
constexpr int kQueryAttempts = 4;

DWORD PidOf(HANDLE id) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(id)); }

void CopyCreationTimes(const BYTE* records, ULONG filled, ProcessTable& table) {
    auto next = table.begin();
    for (ULONG offset = 0; filled - offset >= sizeof(SYSTEM_PROCESS_INFORMATION);) {
        SYSTEM_PROCESS_INFORMATION record;
        std::memcpy(&record, records + offset, sizeof record);
        const DWORD pid = PidOf(record.UniqueProcessId);
        // A list in ascending pid order (as /proc gives it) needs no search.
        const auto found = next != table.end() && next->first == pid ? next : table.find(pid);
        if (found != table.end()) next = std::next(found);
        // A pid whose parent differs from the snapshot's was reused between
        // the two calls: that time is another process's.
        if (found != table.end() && found->second.parent_pid == PidOf(record.InheritedFromUniqueProcessId))
            found->second.created = record.CreateTime.QuadPart;
        if (record.NextEntryOffset == 0 || record.NextEntryOffset > filled - offset) break;
        offset += record.NextEntryOffset;
    }
}

// Toolhelp's records carry no creation time. GetProcessTimes would need a
// handle on every process, which protected processes and other users'
// refuse; the system's process list has every creation time in one call.
// Should the query fail, the times stay unknown.
void AddCreationTimes(ProcessTable& table) {
    // The list's size changes little from one second to the next: starting
    // from the last size that held it saves a second query, which costs as
    // much as the first.
    static ULONG last_size = kFirstQueryBytes;
    ULONG size = last_size;
    for (int attempt = 0; attempt < kQueryAttempts; ++attempt) {
        // LONGLONG storage: the records hold 8-byte fields.
        const std::unique_ptr<LONGLONG[]> buffer(new LONGLONG[size / sizeof(LONGLONG)]);
        ULONG returned = 0;
        const NTSTATUS status = NtQuerySystemInformation(SystemProcessInformation, buffer.get(), size, &returned);
        if (NT_SUCCESS(status)) {
            last_size = size;
            CopyCreationTimes(reinterpret_cast<const BYTE*>(buffer.get()), std::min(returned, size), table);
            return;
        }
        // Processes start between two calls, so ask for a quarter more than
        // was missing.
        if (status != STATUS_INFO_LENGTH_MISMATCH || returned > kMostQueryBytes) return;
        const ULONG wanted = std::max(returned, size) + std::max(returned, size) / 4;
        size = std::min(kMostQueryBytes, (wanted + 7) / 8 * 8);
    }
}

}  // namespace

ProcessTable SnapshotProcesses(bool lower_case_names) {
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
                               ProcessEntry{record.th32ParentProcessID, lower_case_names
                                                                            ? LowerAscii(record.szExeFile, length)
                                                                            : std::wstring(record.szExeFile, length)});
    }
    CloseHandle(snapshot);
    if (!table.empty()) AddCreationTimes(table);
    return table;
}
