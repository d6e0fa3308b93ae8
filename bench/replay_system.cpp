// The sync, clock, process, window and run-time groups for the replay: one
// thread, a virtual clock, a process list fixed before the run.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bench/replay_platform.h"

namespace {

struct Process {
    DWORD pid;
    DWORD parent;
    std::wstring exe;
};

// Events and snapshots share CloseHandle, so each handle says which it is.
struct KernelObject {
    bool snapshot = false;
    bool manual_reset = false;
    bool signalled = false;
    size_t next = 0;  // snapshot: the next entry Process32NextW gives
};

constexpr int64_t kFrequency = 10000000;  // 100 ns counter ticks, as Windows 10 reports
constexpr DWORD kOwnPid = 4242;

std::vector<Process> processes;
using replay::detail::now_ns;
uint64_t horizon_ns = UINT64_MAX;
DWORD last_error = ERROR_SUCCESS;

void Advance(DWORD milliseconds) {
    const uint64_t next = now_ns + milliseconds * 1000000ull;
    if (next > horizon_ns) throw replay::EndOfReplay{};
    now_ns = next;
}

KernelObject* Object(HANDLE handle) { return static_cast<KernelObject*>(handle); }

BOOL Fill(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    KernelObject* object = Object(snapshot);
    if (object == nullptr || !object->snapshot || entry == nullptr) {
        SetLastError(object == nullptr || !object->snapshot ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (object->next >= processes.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const Process& process = processes[object->next++];
    entry->th32ProcessID = process.pid;
    entry->th32ParentProcessID = process.parent;
    const size_t length = std::min<size_t>(process.exe.size(), MAX_PATH - 1);
    std::copy_n(process.exe.data(), length, entry->szExeFile);
    entry->szExeFile[length] = L'\0';
    return TRUE;
}

}  // namespace

namespace replay {

void AddProcess(DWORD pid, DWORD parent, const WCHAR* exe) { processes.push_back({pid, parent, exe}); }

void SetHorizon(uint64_t milliseconds) { horizon_ns = milliseconds * 1000000ull; }

uint64_t detail::now_ns = 0;

}  // namespace replay

// ---- sync ----

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

HANDLE CreateEventW(void*, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
    auto* event = new KernelObject;
    event->manual_reset = bManualReset != FALSE;
    event->signalled = bInitialState != FALSE;
    return event;
}

BOOL SetEvent(HANDLE hEvent) {
    Object(hEvent)->signalled = true;
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    Object(hEvent)->signalled = false;
    return TRUE;
}

// Nothing signals from another thread here, so an unsignalled event waits
// out its time on the virtual clock; an infinite one would never return.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    KernelObject* event = Object(hHandle);
    if (event == nullptr || event->snapshot) return WAIT_FAILED;
    if (!event->signalled) {
        if (dwMilliseconds == INFINITE) throw replay::EndOfReplay{};
        Advance(dwMilliseconds);
        return WAIT_TIMEOUT;
    }
    if (!event->manual_reset) event->signalled = false;
    return WAIT_OBJECT_0;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL, DWORD dwMilliseconds) {
    for (DWORD i = 0; i < nCount; ++i) {
        KernelObject* object = Object(lpHandles[i]);
        if (object == nullptr || object->snapshot) return WAIT_FAILED;
        if (!object->signalled) continue;
        if (!object->manual_reset) object->signalled = false;
        return WAIT_OBJECT_0 + i;
    }
    if (dwMilliseconds == INFINITE) throw replay::EndOfReplay{};
    Advance(dwMilliseconds);
    return WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE hObject) {
    if (hObject == nullptr || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete Object(hObject);
    return TRUE;
}

// Every player is audible from the start and stays so, so the first
// reconciliation opens every source there will be: the reconciling thread
// would only ever find nothing to do. It is not run at all, which keeps the
// replay on one thread; its handle is an object CloseHandle accepts.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
    return new KernelObject;
}

// ---- clock ----

void Sleep(DWORD dwMilliseconds) { Advance(dwMilliseconds); }

DWORD GetTickCount() { return static_cast<DWORD>(now_ns / 1000000u); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(now_ns / (1000000000 / kFrequency));
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    lpFrequency->QuadPart = kFrequency;
    return TRUE;
}

MMRESULT timeBeginPeriod(UINT) { return TIMERR_NOERROR; }

// ---- process ----

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD) {
    if (dwFlags != TH32CS_SNAPPROCESS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* snapshot = new KernelObject;
    snapshot->snapshot = true;
    return snapshot;
}

BOOL Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) {
    if (hSnapshot != nullptr && hSnapshot != INVALID_HANDLE_VALUE) Object(hSnapshot)->next = 0;
    return Fill(hSnapshot, lppe);
}

BOOL Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return Fill(hSnapshot, lppe); }

DWORD GetCurrentProcessId() { return kOwnPid; }

// Every process of the replay runs throughout, so one held is never seen
// to end; each was created at the instant the process list says (1).
HANDLE OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
    if (std::none_of(processes.begin(), processes.end(), [&](const Process& p) { return p.pid == dwProcessId; })) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return new KernelObject;
}

BOOL GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
                     LPFILETIME lpUserTime) {
    KernelObject* process = Object(hProcess);
    if (process == nullptr || process->snapshot) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpCreationTime = FILETIME{1, 0};
    *lpExitTime = *lpKernelTime = *lpUserTime = FILETIME{0, 0};
    return TRUE;
}

// The replay's processes all started at one instant, so no parent link is
// stale; names are left empty (the tool takes them from Toolhelp).
NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass, LPVOID SystemInformation,
                                  ULONG SystemInformationLength, ULONG* ReturnLength) {
    if (SystemInformationClass != SystemProcessInformation) return STATUS_INVALID_INFO_CLASS;
    constexpr ULONG kRecord = (sizeof(SYSTEM_PROCESS_INFORMATION) + 7) / 8 * 8;
    const auto needed = static_cast<ULONG>(processes.size() * kRecord);
    if (ReturnLength != nullptr) *ReturnLength = needed;
    if (SystemInformationLength < needed || SystemInformation == nullptr) return STATUS_INFO_LENGTH_MISMATCH;
    for (size_t i = 0; i < processes.size(); ++i) {
        SYSTEM_PROCESS_INFORMATION record{};
        record.NextEntryOffset = i + 1 < processes.size() ? kRecord : 0;
        record.NumberOfThreads = 1;
        record.CreateTime.QuadPart = 1;
        record.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processes[i].pid));
        record.InheritedFromUniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processes[i].parent));
        std::memcpy(static_cast<BYTE*>(SystemInformation) + i * kRecord, &record, sizeof record);
    }
    return STATUS_SUCCESS;
}

// ---- window: the replay has none ----

DWORD GetWindowThreadProcessId(HWND, LPDWORD) {
    SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
    return 0;
}

HWND FindWindowExW(HWND, HWND, LPCWSTR, LPCWSTR) {
    SetLastError(1400);
    return nullptr;
}

// ---- runtime ----

HRESULT CoInitializeEx(LPVOID, DWORD) { return S_OK; }

int _setmode(int, int) { return 0x4000; }  // _O_TEXT, the mode stdout had

int _fileno(FILE* stream) { return fileno(stream); }

// Only a reader that went away is told apart; any other failure is one.
unsigned long* __doserrno() {
    static unsigned long value;
    value = errno == EPIPE ? ERROR_BROKEN_PIPE : errno == 0 ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
    return &value;
}

// The replay is not run from the entry, which alone asks; it writes to whatever it was given.
HANDLE GetStdHandle(DWORD nStdHandle) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(nStdHandle)); }

BOOL GetConsoleMode(HANDLE, LPDWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

// ---- scheduling: nothing to ask for on a virtual clock ----

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL SetProcessInformation(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD) { return TRUE; }

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR, LPDWORD TaskIndex) {
    *TaskIndex = 1;
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(1));
}
