// COM, C run-time and scheduling calls: logged, with scripted results.
#include <cerrno>
#include <cstring>

#include "tests/doubles/world.h"

using namespace scripted::detail;

HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit) {
    const Outcome outcome = Enter("CoInitializeEx");
    if (dwCoInit != COINIT_MULTITHREADED) Violation("CoInitializeEx outside the multithreaded apartment");
    return outcome.result;
}

int _setmode(int fd, int mode) {
    Enter("_setmode");
    if (fd != 1 || mode != _O_BINARY) Violation("_setmode on something other than stdout, to binary");
    return 0x4000;  // _O_TEXT, the mode it had
}

// The scripted streams are not backed by descriptors; stdout is 1 as usual.
int _fileno(FILE* stream) {
    Enter("_fileno");
    if (stream == stdout) return 1;
    if (stream == stderr) return 2;
    return fileno(stream);
}

unsigned long* __doserrno() { return &TheWorld().doserrno; }

HANDLE GetStdHandle(DWORD nStdHandle) {
    Enter("GetStdHandle");
    if (nStdHandle != STD_OUTPUT_HANDLE) Violation("GetStdHandle for something other than stdout");
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1C));  // a pipe's handle, or the console's
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    Enter("GetConsoleMode");
    if (hConsoleHandle != reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1C)) || !TheWorld().stdout_console) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpMode != nullptr) *lpMode = 0x3;
    return TRUE;
}

// What the console shows, kept as the units it was given.
BOOL WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved) {
    const Outcome outcome = Enter("WriteConsoleW");
    if (lpReserved != nullptr) Violation("WriteConsoleW with a reserved pointer");
    if (hConsoleOutput != reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1C)) || !TheWorld().stdout_console) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (FAILED(outcome.result)) {
        const ULONG code = static_cast<ULONG>(outcome.result);
        SetLastError((code >> 16) == 0x8007 ? code & 0xFFFF : ERROR_GEN_FAILURE);
        return FALSE;
    }
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    TheWorld().console.append(static_cast<const WCHAR*>(lpBuffer), nNumberOfCharsToWrite);
    if (lpNumberOfCharsWritten != nullptr) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}

HANDLE GetCurrentProcess() {
    Enter("GetCurrentProcess");
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL SetProcessInformation(HANDLE hProcess, PROCESS_INFORMATION_CLASS ProcessInformationClass,
                           LPVOID ProcessInformation, DWORD ProcessInformationSize) {
    const Outcome outcome = Enter("SetProcessInformation");
    scripted::SchedulingCall call{"SetProcessInformation",
                                  std::this_thread::get_id(),
                                  L"",
                                  hProcess == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)),
                                  ProcessInformationClass,
                                  {},
                                  ProcessInformationSize};
    if (ProcessInformation != nullptr && ProcessInformationSize == sizeof(PROCESS_POWER_THROTTLING_STATE))
        memcpy(&call.throttling, ProcessInformation, sizeof(call.throttling));
    {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        TheWorld().scheduling.push_back(call);
    }
    if (FAILED(outcome.result)) {
        const ULONG code = static_cast<ULONG>(outcome.result);
        SetLastError((code >> 16) == 0x8007 ? code & 0xFFFF : ERROR_SUCCESS);
        return FALSE;
    }
    return TRUE;
}

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex) {
    const Outcome outcome = Enter("AvSetMmThreadCharacteristicsW");
    {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        TheWorld().scheduling.push_back(scripted::SchedulingCall{"AvSetMmThreadCharacteristicsW",
                                                                 std::this_thread::get_id(),
                                                                 TaskName != nullptr ? TaskName : L"",
                                                                 false,
                                                                 ProcessInformationClassMax,
                                                                 {},
                                                                 0});
    }
    if (TaskName == nullptr || TaskIndex == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (FAILED(outcome.result)) {
        const ULONG code = static_cast<ULONG>(outcome.result);
        SetLastError((code >> 16) == 0x8007 ? code & 0xFFFF : ERROR_SUCCESS);
        return nullptr;
    }
    *TaskIndex = 1;
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5C));  // a task handle, not a kernel object
}

namespace scripted {

std::vector<SchedulingCall> SchedulingCalls() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    return TheWorld().scheduling;
}

}  // namespace scripted
