#include "capture/output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// The OS error behind the write or flush that just failed. The CRT keeps it
// in _doserrno, except for a write that the OS accepted but that took no
// byte (a full device: errno ENOSPC) and a descriptor without a handle
// (EBADF), where it leaves 0.
HRESULT LastWriteError() {
    unsigned long os_error = _doserrno;
    if (os_error == ERROR_SUCCESS) {
        os_error = errno == ENOSPC ? ERROR_DISK_FULL : errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_WRITE_FAULT;
    }
    // A pipe whose reader has closed it: broken while the writer waits,
    // "being closed" for the next write, or, for a named pipe (what Node and
    // other parents hand a child as stdout), no longer connected; Wine
    // answers the last for every pipe.
    if (os_error == ERROR_BROKEN_PIPE || os_error == ERROR_NO_DATA || os_error == ERROR_PIPE_NOT_CONNECTED)
        return S_FALSE;
    return HRESULT_FROM_WIN32(os_error);
}

}  // namespace

HRESULT WriteOutput(const void* data, size_t bytes) {
    if (fwrite(data, 1, bytes, stdout) == bytes) return S_OK;
    return LastWriteError();
}

HRESULT FlushOutput() { return fflush(stdout) == 0 ? S_OK : LastWriteError(); }

int EndOfOutput(HRESULT ended) { return ended == S_FALSE ? 0 : ReportError(kOutputStage, ended); }

// GetFileType cannot tell: the NUL device is a character file too, and a
// parent that discards the audio may well hand it over.
bool IsConsoleOutput() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}
