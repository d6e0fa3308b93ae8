// Toolhelp over the scripted process list, and the tool's own pid.
#include <algorithm>

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

DWORD GetCurrentProcessId() {
    Enter("GetCurrentProcessId");
    return TheWorld().own_pid;
}
