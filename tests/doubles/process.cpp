// Toolhelp and the native process list over the scripted processes, and the
// tool's own pid.
#include <algorithm>
#include <cstring>

#include "tests/doubles/world.h"

using namespace scripted::detail;

namespace {

Handle* OpenSnapshot(HANDLE value, const char* call) {
    Handle* handle = FindHandle(value);
    if (handle != nullptr && !handle->closed && handle->kind == "snapshot") return handle;
    Violation(std::string(call) + " on a handle that is not an open snapshot");
    return nullptr;
}

void SetWin32Error(HRESULT result) {
    const ULONG code = static_cast<ULONG>(result);
    SetLastError((code >> 16) == 0x8007 ? code & 0xFFFF : ERROR_SUCCESS);
}

BOOL Fill(const char* call, HANDLE hSnapshot, LPPROCESSENTRY32W lppe, bool first) {
    const Outcome outcome = Enter(call);
    Handle* snapshot = OpenSnapshot(hSnapshot, call);
    if (snapshot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lppe == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lppe->dwSize < sizeof(PROCESSENTRY32W)) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (FAILED(outcome.result)) {
        SetWin32Error(outcome.result);
        return FALSE;
    }
    if (first) snapshot->next = 0;
    if (snapshot->next >= snapshot->processes->size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const scripted::Process& process = (*snapshot->processes)[snapshot->next++];
    lppe->th32ProcessID = process.pid;
    lppe->th32ParentProcessID = process.parent;
    const size_t length = std::min<size_t>(process.exe.size(), MAX_PATH - 1);
    std::copy_n(process.exe.data(), length, lppe->szExeFile);
    lppe->szExeFile[length] = L'\0';
    return TRUE;
}

}  // namespace

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
    const Outcome outcome = Enter("CreateToolhelp32Snapshot");
    if (FAILED(outcome.result) || dwFlags != TH32CS_SNAPPROCESS || th32ProcessID != 0) {
        SetWin32Error(outcome.result);
        return INVALID_HANDLE_VALUE;
    }
    auto handle = std::make_unique<Handle>();
    handle->kind = "snapshot";
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    handle->processes = world.processes;
    return AddHandle(std::move(handle));
}

BOOL Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return Fill("Process32FirstW", hSnapshot, lppe, true); }

BOOL Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return Fill("Process32NextW", hSnapshot, lppe, false); }

// Laid out as Windows lays it out: each record followed by its name, records
// 8-byte aligned. Too small a buffer gets the size needed and nothing else.
NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass, LPVOID SystemInformation,
                                  ULONG SystemInformationLength, ULONG* ReturnLength) {
    const Outcome outcome = Enter("NtQuerySystemInformation");
    if (FAILED(outcome.result)) return STATUS_UNSUCCESSFUL;
    if (SystemInformationClass != SystemProcessInformation) return STATUS_INVALID_INFO_CLASS;
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    const std::vector<scripted::Process>& processes = *world.processes;
    const auto record_size = [](const scripted::Process& process) {
        return (sizeof(SYSTEM_PROCESS_INFORMATION) + (process.exe.size() + 1) * sizeof(WCHAR) + 7) / 8 * 8;
    };
    size_t needed = 0;
    for (const scripted::Process& process : processes) needed += record_size(process);
    if (ReturnLength != nullptr) *ReturnLength = static_cast<ULONG>(needed);
    if (SystemInformationLength < needed || SystemInformation == nullptr) return STATUS_INFO_LENGTH_MISMATCH;
    if (reinterpret_cast<uintptr_t>(SystemInformation) % 8 != 0)
        Violation("NtQuerySystemInformation on a buffer not 8-byte aligned");
    auto* bytes = static_cast<BYTE*>(SystemInformation);
    size_t offset = 0;
    for (size_t i = 0; i < processes.size(); ++i) {
        const scripted::Process& process = processes[i];
        auto* name = reinterpret_cast<WCHAR*>(bytes + offset + sizeof(SYSTEM_PROCESS_INFORMATION));
        std::copy(process.exe.begin(), process.exe.end(), name);
        name[process.exe.size()] = L'\0';
        SYSTEM_PROCESS_INFORMATION record;
        std::memset(&record, 0, sizeof record);
        record.NextEntryOffset = i + 1 < processes.size() ? static_cast<ULONG>(record_size(process)) : 0;
        record.NumberOfThreads = 1;
        record.CreateTime.QuadPart = process.created;
        record.ImageName.Length = static_cast<USHORT>(process.exe.size() * sizeof(WCHAR));
        record.ImageName.MaximumLength = static_cast<USHORT>(record.ImageName.Length + sizeof(WCHAR));
        record.ImageName.Buffer = name;
        record.BasePriority = 8;
        record.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process.pid));
        record.InheritedFromUniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process.parent));
        std::memcpy(bytes + offset, &record, sizeof record);
        offset += record_size(process);
    }
    return STATUS_SUCCESS;
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId) {
    const Outcome outcome = Enter("OpenProcess");
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    if (FAILED(outcome.result)) {
        SetWin32Error(outcome.result);
        return nullptr;
    }
    const auto found = std::find_if(world.processes->rbegin(), world.processes->rend(),
                                    [&](const scripted::Process& p) { return p.pid == dwProcessId; });
    if (dwProcessId == 0 || found == world.processes->rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (found->protected_process || (dwDesiredAccess & PROCESS_QUERY_LIMITED_INFORMATION) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto handle = std::make_unique<Handle>();
    handle->kind = "process";
    handle->process = *found;
    handle->access = dwDesiredAccess;
    return AddHandle(std::move(handle));
}

BOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize) {
    const Outcome outcome = Enter("QueryFullProcessImageNameW");
    Handle* handle = FindHandle(hProcess);
    if (handle == nullptr || handle->closed || handle->kind != "process") {
        Violation("QueryFullProcessImageNameW on a handle that is not an open process");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (dwFlags != 0 || lpExeName == nullptr || lpdwSize == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (FAILED(outcome.result) || handle->process->path.empty()) {
        SetWin32Error(FAILED(outcome.result) ? outcome.result : HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
        return FALSE;
    }
    const std::wstring& path = handle->process->path;
    if (path.size() + 1 > *lpdwSize) {  // nothing is written then
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(path.begin(), path.end(), lpExeName);
    lpExeName[path.size()] = L'\0';
    *lpdwSize = static_cast<DWORD>(path.size());
    return TRUE;
}

BOOL GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
                     LPFILETIME lpUserTime) {
    const Outcome outcome = Enter("GetProcessTimes");
    Handle* handle = FindHandle(hProcess);
    if (handle == nullptr || handle->closed || handle->kind != "process") {
        Violation("GetProcessTimes on a handle that is not an open process");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpCreationTime == nullptr || lpExitTime == nullptr || lpKernelTime == nullptr || lpUserTime == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (FAILED(outcome.result)) {
        SetWin32Error(outcome.result);
        return FALSE;
    }
    const auto created = static_cast<uint64_t>(handle->process->created);
    *lpCreationTime = {static_cast<DWORD>(created), static_cast<DWORD>(created >> 32)};
    *lpExitTime = *lpKernelTime = *lpUserTime = {0, 0};
    return TRUE;
}

namespace scripted::detail {

bool ProcessEnded(const Handle& handle) {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    const Process& opened = *handle.process;
    return std::none_of(world.processes->begin(), world.processes->end(), [&](const scripted::Process& p) {
        return p.pid == opened.pid && p.created == opened.created && p.exe == opened.exe;
    });
}

}  // namespace scripted::detail

DWORD GetCurrentProcessId() {
    Enter("GetCurrentProcessId");
    return TheWorld().own_pid;
}
