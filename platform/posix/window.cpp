// Window to process: no windowing system is consulted yet, so no handle
// names a window and the pid output is left untouched, as Windows does.
#include "platform/win32.h"

DWORD GetWindowThreadProcessId(HWND, LPDWORD) {
    SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
    return 0;
}
