// The COM and C run-time calls: COM needs no set-up here, and stdout has no
// text mode to leave.
#include <csignal>
#include <unistd.h>

#include "platform/win32.h"

HRESULT CoInitializeEx(LPVOID, DWORD) { return S_OK; }

// Windows reports a write to a pipe whose reader has gone as a failed write;
// with SIGPIPE ignored POSIX does the same (EPIPE) instead of killing us.
int _setmode(int fd, int mode) {
    if (fd == STDOUT_FILENO) signal(SIGPIPE, SIG_IGN);
    return mode == _O_BINARY ? _O_BINARY : -1;
}

int _fileno(FILE* stream) { return fileno(stream); }

// The pseudo-handle Windows gives for the calling process.
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// No power throttling here to opt out of, and no scheduler class to join:
// both requests are granted as they stand.
BOOL SetProcessInformation(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD) { return TRUE; }

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR, LPDWORD TaskIndex) {
    if (TaskIndex != nullptr) *TaskIndex = 1;
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(1));
}
