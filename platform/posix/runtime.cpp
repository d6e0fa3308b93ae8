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
