// The COM and C run-time calls: COM needs no set-up here, and stdout has no
// text mode to leave.
#include <cerrno>
#include <csignal>
#include <unistd.h>

#include <string>

#include "platform/posix/thread_priority.h"
#include "platform/win32.h"

HRESULT CoInitializeEx(LPVOID, DWORD) { return S_OK; }

// Windows reports a write to a pipe whose reader has gone as a failed write;
// with SIGPIPE ignored POSIX does the same (EPIPE) instead of killing us.
int _setmode(int fd, int mode) {
    if (fd == STDOUT_FILENO) signal(SIGPIPE, SIG_IGN);
    return mode == _O_BINARY ? _O_BINARY : -1;
}

int _fileno(FILE* stream) { return fileno(stream); }

// errno of the last failed call, as the Win32 error WriteFile gives for it.
// Read only: every look at it maps errno afresh.
unsigned long* __doserrno() {
    static thread_local unsigned long value;
    unsigned long* pValue = &value;
    switch (errno) {
        case 0:
            *pValue = ERROR_SUCCESS;
            break;
        case EPIPE:
            *pValue = ERROR_BROKEN_PIPE;
            break;
        case ENOSPC:
        case EDQUOT:
            *pValue = ERROR_DISK_FULL;
            break;
        case EBADF:
            *pValue = ERROR_INVALID_HANDLE;
            break;
        case EACCES:
        case EPERM:
            *pValue = ERROR_ACCESS_DENIED;
            break;
        case EIO:
            *pValue = ERROR_IO_DEVICE;
            break;
        default:
            *pValue = ERROR_WRITE_FAULT;
            break;
    }
    return pValue;
}

// The standard handles are pseudo handles that name their descriptor.
HANDLE GetStdHandle(DWORD nStdHandle) {
    if (nStdHandle != STD_INPUT_HANDLE && nStdHandle != STD_OUTPUT_HANDLE && nStdHandle != STD_ERROR_HANDLE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(nStdHandle)));
}

// A terminal is what a console is on Windows.
BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    const intptr_t value = reinterpret_cast<intptr_t>(hConsoleHandle);
    const int fd = static_cast<int>(-10 - value);
    if (value > -10 || value < -12 || !isatty(fd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpMode != nullptr) *lpMode = 0x3;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
    return TRUE;
}

namespace {

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
        return;
    }
    static constexpr unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    int trail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[trail] | (code >> (6 * trail)));
    while (trail-- > 0) out += static_cast<char>(0x80 | ((code >> (6 * trail)) & 0x3F));
}

}  // namespace

// A terminal takes UTF-8; a unit that is half a pair shows as U+FFFD, as a
// console shows it.
BOOL WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID) {
    DWORD mode = 0;
    if (!GetConsoleMode(hConsoleOutput, &mode)) return FALSE;
    if (lpBuffer == nullptr && nNumberOfCharsToWrite > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto* units = static_cast<const WCHAR*>(lpBuffer);
    std::string bytes;
    for (DWORD i = 0; i < nNumberOfCharsToWrite; ++i) {
        const auto unit = static_cast<char32_t>(units[i]) & 0xFFFF;
        const char32_t next = i + 1 < nNumberOfCharsToWrite ? static_cast<char32_t>(units[i + 1]) & 0xFFFF : 0;
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            AppendUtf8(bytes, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        } else {
            AppendUtf8(bytes, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
        }
    }
    const int fd = static_cast<int>(-10 - reinterpret_cast<intptr_t>(hConsoleOutput));
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t wrote = write(fd, bytes.data() + at, bytes.size() - at);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            SetLastError(wrote < 0 && errno == EPIPE ? ERROR_BROKEN_PIPE : ERROR_WRITE_FAULT);
            return FALSE;
        }
        at += static_cast<size_t>(wrote);
    }
    if (lpNumberOfCharsWritten != nullptr) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}

// The pseudo-handle Windows gives for the calling process.
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// No power throttling here to opt out of: the request is granted as it stands.
BOOL SetProcessInformation(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD) { return TRUE; }

// The task joins the real-time class where the system allows it; where it
// does not, the call fails as Windows' does without the scheduler service.
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR, LPDWORD TaskIndex) {
    if (!RaiseToAudioPriority()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (TaskIndex != nullptr) *TaskIndex = 1;
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(1));
}
