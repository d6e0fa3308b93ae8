// Processes: the tool's own id. The snapshot is not provided yet.
#include <unistd.h>

#include "platform/win32.h"

HANDLE CreateToolhelp32Snapshot(DWORD, DWORD) {
    SetLastError(50);  // ERROR_NOT_SUPPORTED
    return INVALID_HANDLE_VALUE;
}

BOOL Process32FirstW(HANDLE, LPPROCESSENTRY32W) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL Process32NextW(HANDLE, LPPROCESSENTRY32W) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
