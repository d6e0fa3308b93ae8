// The subset of the Windows API that pcmtap calls, declared for systems
// without the Windows SDK. Names, types, values and result codes are
// Windows' own; the implementations live beside this file, one small library
// per group (sync, clock, process, window, runtime, audio), and a test can
// link a scripted double in place of any group.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cwchar>

// ---- Base types -----------------------------------------------------------

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef uint64_t ULONGLONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONG_PTR;
typedef size_t SIZE_T;
typedef int BOOL;
typedef int32_t HRESULT;
typedef uint32_t MMRESULT;
typedef wchar_t WCHAR;  // holds one UTF-16 code unit
typedef const WCHAR* LPCWSTR;
typedef WCHAR* PWSTR;
typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef WCHAR* LPWSTR;
typedef const char* LPCCH;
typedef const WCHAR* LPCWCH;
typedef intptr_t LPARAM;
typedef int64_t REFERENCE_TIME;  // units of 100 ns
typedef uint16_t VARTYPE;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define STDMETHODCALLTYPE
#define WINAPI
#define CALLBACK

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

// ---- Result codes ----------------------------------------------------------

#define S_OK (static_cast<HRESULT>(0))
#define S_FALSE (static_cast<HRESULT>(1))
#define E_NOTIMPL (static_cast<HRESULT>(0x80004001u))
#define E_NOINTERFACE (static_cast<HRESULT>(0x80004002u))
#define E_POINTER (static_cast<HRESULT>(0x80004003u))
#define E_FAIL (static_cast<HRESULT>(0x80004005u))
#define E_UNEXPECTED (static_cast<HRESULT>(0x8000FFFFu))
#define E_OUTOFMEMORY (static_cast<HRESULT>(0x8007000Eu))
#define E_INVALIDARG (static_cast<HRESULT>(0x80070057u))
#define REGDB_E_CLASSNOTREG (static_cast<HRESULT>(0x80040154u))
#define CLASS_E_NOAGGREGATION (static_cast<HRESULT>(0x80040110u))

#define FACILITY_WIN32 7
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

inline HRESULT HRESULT_FROM_WIN32(unsigned long x) {
    return static_cast<HRESULT>(x) <= 0
               ? static_cast<HRESULT>(x)
               : static_cast<HRESULT>((x & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_WRITE_FAULT 29u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_DISK_FULL 112u
#define ERROR_NO_DATA 232u
#define ERROR_PIPE_NOT_CONNECTED 233u
#define ERROR_IO_DEVICE 1117u
#define ERROR_BAD_LENGTH 24u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_TIMEOUT 1460u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NO_UNICODE_TRANSLATION 1113u
#define ERROR_NOACCESS 998u

#define AUDCLNT_E_NOT_INITIALIZED (static_cast<HRESULT>(0x88890001u))
#define AUDCLNT_E_ALREADY_INITIALIZED (static_cast<HRESULT>(0x88890002u))
#define AUDCLNT_E_WRONG_ENDPOINT_TYPE (static_cast<HRESULT>(0x88890003u))
#define AUDCLNT_E_DEVICE_INVALIDATED (static_cast<HRESULT>(0x88890004u))
#define AUDCLNT_E_NOT_STOPPED (static_cast<HRESULT>(0x88890005u))
#define AUDCLNT_E_BUFFER_TOO_LARGE (static_cast<HRESULT>(0x88890006u))
#define AUDCLNT_E_OUT_OF_ORDER (static_cast<HRESULT>(0x88890007u))
#define AUDCLNT_E_UNSUPPORTED_FORMAT (static_cast<HRESULT>(0x88890008u))
#define AUDCLNT_E_INVALID_SIZE (static_cast<HRESULT>(0x88890009u))
#define AUDCLNT_E_SERVICE_NOT_RUNNING (static_cast<HRESULT>(0x88890010u))
#define AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED (static_cast<HRESULT>(0x88890011u))
#define AUDCLNT_E_EVENTHANDLE_NOT_SET (static_cast<HRESULT>(0x88890014u))
#define AUDCLNT_E_BUFFER_OPERATION_PENDING (static_cast<HRESULT>(0x8889000Bu))
#define AUDCLNT_E_BUFFER_ERROR (static_cast<HRESULT>(0x88890018u))
#define AUDCLNT_S_BUFFER_EMPTY (static_cast<HRESULT>(0x08890001u))

// ---- GUIDs and __uuidof -----------------------------------------------------

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef const GUID* LPCGUID;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
inline bool IsEqualIID(const GUID& a, const GUID& b) { return a == b; }

// As in Wine's headers for C++: a type's identifier comes from a trait that
// each interface specialises below.
template <typename T>
struct Win32Uuid;
#define __uuidof(T) (::Win32Uuid<T>::value)
#define WIN32_UUID(T, d1, d2, d3, a, b, c, d, e, f, g, h)                          \
    template <>                                                                    \
    struct Win32Uuid<T> {                                                          \
        static constexpr GUID value{d1, d2, d3, {a, b, c, d, e, f, g, h}};         \
    }

// ---- Events, waiting, handles (group: sync) --------------------------------

HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Until one of the handles is signalled (WAIT_OBJECT_0 + its index, the
// lowest if several are) or the time is up. bWaitAll must be FALSE here.
#define MAXIMUM_WAIT_OBJECTS 64u
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId);

inline LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

// ---- Time (group: clock) ----------------------------------------------------

void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount();
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
#define TIMERR_NOERROR 0u
#define TIMERR_NOCANDO 97u
MMRESULT timeBeginPeriod(UINT uPeriod);

// ---- Processes (group: process) -------------------------------------------

#define TH32CS_SNAPPROCESS 0x00000002u

typedef struct tagPROCESSENTRY32W {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[MAX_PATH];
} PROCESSENTRY32W;
typedef PROCESSENTRY32W* LPPROCESSENTRY32W;

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
BOOL Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe);
BOOL Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe);
DWORD GetCurrentProcessId();

// The native process list (winternl.h): one variable-length record per
// process, chained by NextEntryOffset. The fields after SessionId, which
// pcmtap does not read, are left out here; records are walked by their
// offsets, never by the structure's size.
typedef LONG NTSTATUS;
typedef LONG KPRIORITY;
#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)
#define STATUS_SUCCESS (static_cast<NTSTATUS>(0))
#define STATUS_UNSUCCESSFUL (static_cast<NTSTATUS>(0xC0000001u))
#define STATUS_INFO_LENGTH_MISMATCH (static_cast<NTSTATUS>(0xC0000004u))
#define STATUS_INVALID_INFO_CLASS (static_cast<NTSTATUS>(0xC0000003u))
#define STATUS_NO_MEMORY (static_cast<NTSTATUS>(0xC0000017u))

typedef struct _UNICODE_STRING {
    USHORT Length;         // in bytes, without a terminating NUL
    USHORT MaximumLength;  // in bytes
    PWSTR Buffer;
} UNICODE_STRING;

typedef enum _SYSTEM_INFORMATION_CLASS { SystemProcessInformation = 5 } SYSTEM_INFORMATION_CLASS;

typedef struct _SYSTEM_PROCESS_INFORMATION {
    ULONG NextEntryOffset;  // 0 in the last record
    ULONG NumberOfThreads;
    LARGE_INTEGER Reserved[3];
    LARGE_INTEGER CreateTime;  // 100 ns units
    LARGE_INTEGER UserTime;
    LARGE_INTEGER KernelTime;
    UNICODE_STRING ImageName;
    KPRIORITY BasePriority;
    HANDLE UniqueProcessId;
    HANDLE InheritedFromUniqueProcessId;
    ULONG HandleCount;
    ULONG SessionId;
} SYSTEM_PROCESS_INFORMATION;

NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass, LPVOID SystemInformation,
                                  ULONG SystemInformationLength, ULONG* ReturnLength);

// A handle on one process, for queries only. Fails (null) with
// ERROR_INVALID_PARAMETER for pid 0 or a pid no process holds, and with
// ERROR_ACCESS_DENIED for a process the caller may not query.
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
// With SYNCHRONIZE the handle can be waited on: WaitForSingleObject answers
// WAIT_OBJECT_0 once the process has ended. While a handle is open Windows
// gives the process's pid to no other process; Linux may, once the ended
// process is reaped, so a holder looks at the handle, not at the pid.
#define SYNCHRONIZE 0x00100000u
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;
// The process's creation time, in the units of the process list's
// CreateTime, and its exit and CPU times (zero where not known). It answers
// for an ended process too, with the times it had: the handle keeps them.
BOOL GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
                     LPFILETIME lpUserTime);
// The full path of the process's image, in lpExeName (*lpdwSize units of
// room in, units written without the NUL out). Fails with
// ERROR_INSUFFICIENT_BUFFER when the path and its NUL do not fit.
BOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize);

// ---- Windows (group: window) -------------------------------------------------

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
// The first child of hWndParent after hWndChildAfter (null: from the first)
// whose class is lpszClass (case-insensitive) and, when lpszWindow is not
// null, whose title is lpszWindow. Null when there is none.
HWND FindWindowExW(HWND hWndParent, HWND hWndChildAfter, LPCWSTR lpszClass, LPCWSTR lpszWindow);
// Every top-level window in z-order, topmost first, until the callback
// returns FALSE (then EnumWindows returns FALSE too).
typedef BOOL(CALLBACK* WNDENUMPROC)(HWND, LPARAM);
BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
BOOL IsWindowVisible(HWND hWnd);
#define GW_OWNER 4u
HWND GetWindow(HWND hWnd, UINT uCmd);
// The title: at most nMaxCount - 1 units and a NUL; returns the units copied.
int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount);
int GetWindowTextLengthW(HWND hWnd);
// The shell's desktop window; null when no shell runs.
HWND GetShellWindow();

// ---- Strings (group: runtime) --------------------------------------------------

// Code-unit comparison, with bIgnoreCase through the system's upper-case
// table, one unit at a time, as the file system compares names. Counts of
// -1 mean NUL-terminated. CSTR_* or 0 on failure.
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
int CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2, int cchCount2, BOOL bIgnoreCase);
// The process's code page (CP_ACP) to UTF-16; bytes it cannot convert
// become U+FFFD, or with MB_ERR_INVALID_CHARS fail the call
// (ERROR_NO_UNICODE_TRANSLATION). With cchWideChar 0, the units needed.
#define CP_ACP 0u
#define CP_UTF8 65001u  // the same code page here
#define MB_ERR_INVALID_CHARS 0x8u
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar);

// ---- COM run-time, C run-time, scheduling (group: runtime) -----------------

#define COINIT_MULTITHREADED 0x0u
#define CLSCTX_ALL 23u
#define _O_BINARY 0x8000

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;
WIN32_UUID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// Marks an object as callable from any thread; it has no methods of its own.
struct IAgileObject : IUnknown {};
WIN32_UUID(IAgileObject, 0x94ea2b94, 0xe9cc, 0x49e0, 0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90);

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
int _setmode(int fd, int mode);
int _fileno(FILE* stream);
// The OS error (a Win32 code) of the C run-time's last failed call.
unsigned long* __doserrno();
#define _doserrno (*__doserrno())

#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))
HANDLE GetStdHandle(DWORD nStdHandle);
BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode);
// UTF-16 text to a console (a terminal here); ERROR_INVALID_HANDLE for
// anything else, a pipe or a file included.
BOOL WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);

// Scheduling: the Multimedia Class Scheduler and the process's power
// throttling. Requests that a system without them grants by doing nothing.
typedef enum _PROCESS_INFORMATION_CLASS {
    ProcessMemoryPriority,
    ProcessMemoryExhaustionInfo,
    ProcessAppMemoryInfo,
    ProcessInPrivateInfo,
    ProcessPowerThrottling,
    ProcessReservedValue1,
    ProcessTelemetryCoverageInfo,
    ProcessProtectionLevelInfo,
    ProcessLeapSecondInfo,
    ProcessMachineTypeInfo,
    ProcessInformationClassMax
} PROCESS_INFORMATION_CLASS;

#define PROCESS_POWER_THROTTLING_CURRENT_VERSION 1
#define PROCESS_POWER_THROTTLING_EXECUTION_SPEED 0x1
#define PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION 0x4

typedef struct _PROCESS_POWER_THROTTLING_STATE {
    ULONG Version;
    ULONG ControlMask;
    ULONG StateMask;
} PROCESS_POWER_THROTTLING_STATE;

HANDLE GetCurrentProcess();
BOOL SetProcessInformation(HANDLE hProcess, PROCESS_INFORMATION_CLASS ProcessInformationClass,
                           LPVOID ProcessInformation, DWORD ProcessInformationSize);
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex);

// ---- Core Audio (group: audio) --------------------------------------------

typedef struct tagBLOB {
    ULONG cbSize;
    BYTE* pBlobData;
} BLOB;

#define VT_EMPTY 0
#define VT_BLOB 65

typedef struct tagPROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        BLOB blob;
        LONGLONG hVal;
        BYTE pad[16];
    };
} PROPVARIANT;

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX;
#pragma pack(pop)
#define WAVE_FORMAT_PCM 1
#define WAVE_FORMAT_IEEE_FLOAT 3

typedef enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 } AUDCLNT_SHAREMODE;

#define AUDCLNT_STREAMFLAGS_LOOPBACK 0x00020000u
#define AUDCLNT_STREAMFLAGS_EVENTCALLBACK 0x00040000u
#define AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY 0x08000000u
#define AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM 0x80000000u

#define AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY 0x1u
#define AUDCLNT_BUFFERFLAGS_SILENT 0x2u
#define AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR 0x4u

#include "platform/activation_params.h"

// In the SDK's vtable order, the methods the tool does not call included.
struct IAudioClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                                                 REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME hnsPeriodicity,
                                                 const WAVEFORMATEX* pFormat, LPCGUID AudioSessionGuid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* pNumBufferFrames) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* phnsLatency) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* pNumPaddingFrames) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE ShareMode, const WAVEFORMATEX* pFormat,
                                                        WAVEFORMATEX** ppClosestMatch) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** ppDeviceFormat) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* phnsDefaultDevicePeriod,
                                                      REFERENCE_TIME* phnsMinimumDevicePeriod) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE eventHandle) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** ppv) = 0;
};
WIN32_UUID(IAudioClient, 0x1cb9ad4c, 0xdbfa, 0x4c32, 0xb1, 0x78, 0xc2, 0xf5, 0x68, 0xa7, 0x03, 0xb2);

// Interfaces that only their identifiers are needed of: what other audio
// clients answer for, and the process-loopback client does not.
struct IAudioClient2;
WIN32_UUID(IAudioClient2, 0x726778cd, 0xf60a, 0x4eda, 0x82, 0xde, 0xe4, 0x76, 0x10, 0xcd, 0x78, 0xaa);
struct IAudioClient3;
WIN32_UUID(IAudioClient3, 0x7ed4ee07, 0x8e67, 0x4cd4, 0x8c, 0x1a, 0x2b, 0x7a, 0x59, 0x87, 0xad, 0x42);
struct IAudioRenderClient;
WIN32_UUID(IAudioRenderClient, 0xf294acfc, 0x3146, 0x4483, 0xa7, 0xbf, 0xad, 0xdc, 0xa7, 0xc2, 0x60, 0xe2);
struct IAudioClock;
WIN32_UUID(IAudioClock, 0xcd63314f, 0x3fba, 0x4a1b, 0x81, 0x2c, 0xef, 0x96, 0x35, 0x87, 0x28, 0xe7);
struct ISimpleAudioVolume;
WIN32_UUID(ISimpleAudioVolume, 0x87ce5498, 0x68d6, 0x44e5, 0x92, 0x15, 0x6d, 0xa4, 0x7e, 0xf8, 0x83, 0xd8);
struct IAudioStreamVolume;
WIN32_UUID(IAudioStreamVolume, 0x93014887, 0x242d, 0x4068, 0x8a, 0x15, 0xcf, 0x5e, 0x93, 0xb9, 0x0f, 0xe3);

struct IAudioCaptureClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                                                UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 NumFramesRead) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* pNumFramesInNextPacket) = 0;
};
WIN32_UUID(IAudioCaptureClient, 0xc8adbd64, 0xe71e, 0x48a0, 0xa4, 0xde, 0x18, 0x5c, 0x39, 0x5c, 0xd3, 0x17);

struct IActivateAudioInterfaceAsyncOperation : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult, IUnknown** activatedInterface) = 0;
};
WIN32_UUID(IActivateAudioInterfaceAsyncOperation, 0x72a22d78, 0xcde4, 0x431d, 0xb8, 0xcc, 0x84, 0x3a, 0x71, 0x19,
           0x9b, 0x6d);

struct IActivateAudioInterfaceCompletionHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* activateOperation) = 0;
};
WIN32_UUID(IActivateAudioInterfaceCompletionHandler, 0x41d949ab, 0x9862, 0x444a, 0x80, 0xf6, 0xc2, 0x61, 0x33, 0x4d,
           0xa5, 0xeb);

HRESULT ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid, PROPVARIANT* activationParams,
                                    IActivateAudioInterfaceCompletionHandler* completionHandler,
                                    IActivateAudioInterfaceAsyncOperation** activationOperation);

// Endpoints and sessions.

typedef enum EDataFlow { eRender = 0, eCapture = 1, eAll = 2 } EDataFlow;
#define DEVICE_STATE_ACTIVE 0x00000001u

typedef enum AudioSessionState {
    AudioSessionStateInactive = 0,
    AudioSessionStateActive = 1,
    AudioSessionStateExpired = 2
} AudioSessionState;

struct IMMDevice : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams,
                                               void** ppInterface) = 0;
};

WIN32_UUID(IMMDevice, 0xd666063f, 0x1587, 0x4e43, 0x81, 0xf1, 0xb9, 0x48, 0xe8, 0x07, 0x36, 0x3f);

struct IMMDeviceCollection : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(UINT* pcDevices) = 0;
    virtual HRESULT STDMETHODCALLTYPE Item(UINT nDevice, IMMDevice** ppDevice) = 0;
};
WIN32_UUID(IMMDeviceCollection, 0x0bd7a1be, 0x7a1a, 0x44db, 0x83, 0x97, 0xcc, 0x53, 0x92, 0x38, 0x7b, 0x5e);

struct IMMDeviceEnumerator : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask,
                                                         IMMDeviceCollection** ppDevices) = 0;
};
WIN32_UUID(IMMDeviceEnumerator, 0xa95664d2, 0x9614, 0x4f35, 0xa7, 0x46, 0xde, 0x8d, 0xb6, 0x36, 0x17, 0xe6);

struct MMDeviceEnumerator;  // the class; only its identifier is used
WIN32_UUID(MMDeviceEnumerator, 0xbcde0395, 0xe52f, 0x467c, 0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e);

struct IAudioSessionControl : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* pRetVal) = 0;
};
WIN32_UUID(IAudioSessionControl, 0xf4b1a599, 0x7266, 0x4319, 0xa8, 0xca, 0xe7, 0x0a, 0xcb, 0x11, 0xe8, 0xcd);

struct IAudioSessionControl2 : IAudioSessionControl {
    virtual HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* pRetVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() = 0;
};
WIN32_UUID(IAudioSessionControl2, 0xbfb7ff88, 0x7239, 0x4fc9, 0x8f, 0xa2, 0x07, 0xc9, 0x50, 0xbe, 0x9c, 0x6d);

struct IAudioSessionEnumerator : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(int* SessionCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSession(int SessionCount, IAudioSessionControl** Session) = 0;
};
WIN32_UUID(IAudioSessionEnumerator, 0xe2f5bb11, 0x0570, 0x40ca, 0xac, 0xdd, 0x3a, 0xa0, 0x12, 0x77, 0xde, 0xe8);

struct IAudioSessionManager2 : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** SessionEnum) = 0;
};
WIN32_UUID(IAudioSessionManager2, 0x77aa99a0, 0x1bd6, 0x484f, 0x8b, 0xc7, 0x2c, 0x65, 0x4c, 0x9a, 0x9b, 0x6f);
