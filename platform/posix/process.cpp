// Processes: Toolhelp snapshots and the native process list over /proc, and
// the tool's own id.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/kernel_object.h"
#include "platform/win32.h"

namespace {

struct ProcessRecord {
    DWORD pid;
    DWORD parent_pid;
    DWORD threads;
    std::wstring exe;  // UTF-16 code units, at most MAX_PATH - 1 of them
};

struct Snapshot {
    KernelObject header;
    std::vector<ProcessRecord> processes;  // ascending pid, as taken at creation
    size_t next;                           // index Process32NextW hands out
};

void DestroySnapshot(KernelObject* object) { delete reinterpret_cast<Snapshot*>(object); }

DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_NOT_SUPPORTED;
    }
}

// Linux file names are bytes, Windows' are UTF-16: one that is not valid
// UTF-8 has no Windows name, and converts to none (empty), where U+FFFD
// would make every such name one name.
std::wstring Utf16FromUtf8(const std::string& bytes) {
    if (bytes.empty()) return {};
    std::wstring units(bytes.size(), L'\0');  // never more units than bytes
    const int written = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                            units.data(), static_cast<int>(units.size()));
    units.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return units;
}

// The executable's full path; errno tells why not.
bool ExecutablePath(const std::string& dir, std::string& path) {
    char target[4096];
    const ssize_t length = readlink((dir + "/exe").c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
        if (length > 0) errno = ENAMETOOLONG;
        return false;
    }
    path.assign(target, static_cast<size_t>(length));
    // The link of an executable replaced or removed since exec says so; the
    // file it still names has no links left. A file may be called
    // "x (deleted)" too.
    const std::string deleted = " (deleted)";
    struct stat file;
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0 &&
        stat((dir + "/exe").c_str(), &file) == 0 && file.st_nlink == 0)
        path.resize(path.size() - deleted.size());
    return true;
}

// The executable's file name as Windows' szExeFile gives it: no directory.
// None (empty) where the executable cannot be read: kernel threads and
// zombies have none, and another user's is refused. /proc/PID/comm is no
// stand-in: it is cut at 15 bytes, and any process may set its own.
std::wstring ExecutableName(const std::string& dir) {
    std::string path;
    if (!ExecutablePath(dir, path)) return {};
    return Utf16FromUtf8(path.substr(path.find_last_of('/') + 1));
}

struct StartedProcess {
    DWORD pid;
    DWORD parent_pid;
    DWORD threads;
    LONGLONG created;  // 100 ns units since boot
    char state;        // R, S, ...; Z once it has ended and waits to be reaped
};

// Creation times in the process list's units: /proc's clock ticks since boot.
LONGLONG TicksTo100ns() {
    static const LONGLONG factor = 10000000 / sysconf(_SC_CLK_TCK);
    return factor;
}

// /proc/PID/stat: the name in parentheses (which may hold any byte, ')'
// included), then fields 3 on; the parent is field 4, the thread count 20
// and the start time, in clock ticks since boot, 22.
// The line is read in one call: it is well under the buffer's size, the name
// being at most 15 bytes.
bool ReadStarted(int proc, DWORD pid, LONGLONG ticks_to_100ns, StartedProcess& process) {
    char path[24], stat[1024];
    std::snprintf(path, sizeof path, "%u/stat", static_cast<unsigned>(pid));
    const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t got = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (got <= 0) return false;
    stat[got] = '\0';
    const char* name_end = std::strrchr(stat, ')');
    if (name_end == nullptr) return false;
    const char* field = name_end + 1;
    while (*field == ' ') ++field;
    if (*field == '\0') return false;
    const char state = *field++;
    unsigned long long values[23] = {};
    for (int number = 4; number <= 22; ++number) {
        char* end = nullptr;
        // Some fields may be negative; none of the three read here is.
        values[number] = std::strtoull(field, &end, 10);
        if (end == field) return false;
        field = end;
    }
    process = {pid, static_cast<DWORD>(values[4]), static_cast<DWORD>(values[20]),
               static_cast<LONGLONG>(values[22]) * ticks_to_100ns, state};
    return true;
}

// /proc, opened once for the process handles' reads.
int ProcDirectory() {
    static const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return proc;
}

struct ProcessHandle {
    KernelObject header;
    DWORD pid;
    DWORD access;
    LONGLONG created;  // to tell the process from a later one under its pid
    int pidfd;         // with SYNCHRONIZE: readable once the process has ended; -1 without
};

void DestroyProcessHandle(KernelObject* object) {
    auto* process = reinterpret_cast<ProcessHandle*>(object);
    if (process->pidfd >= 0) close(process->pidfd);
    delete process;
}

// Whether the process the handle was opened on still runs: its pid holds a
// process started at the same time, not yet a zombie.
bool StillRuns(const ProcessHandle& process) {
    StartedProcess started{};
    return ReadStarted(ProcDirectory(), process.pid, TicksTo100ns(), started) && started.created == process.created &&
           started.state != 'Z' && started.state != 'X';
}

// The handle is signalled once its process has ended. A pidfd says so
// without a look at the pid, which may be another process's by then; where
// the kernel has none (before 5.3), /proc is looked at every 10 ms.
DWORD WaitForProcess(KernelObject* object, DWORD milliseconds) {
    const auto* process = reinterpret_cast<const ProcessHandle*>(object);
    if ((process->access & SYNCHRONIZE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return WAIT_FAILED;
    }
    if (process->pidfd >= 0) {
        pollfd ended = {process->pidfd, POLLIN, 0};
        const int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(milliseconds, INT32_MAX));
        int ready;
        while ((ready = poll(&ended, 1, timeout)) < 0 && errno == EINTR) {
        }
        if (ready < 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        return ready > 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    for (DWORD waited = 0;; waited += 10) {
        if (!StillRuns(*process)) return WAIT_OBJECT_0;
        if (milliseconds != INFINITE && waited >= milliseconds) return WAIT_TIMEOUT;
        usleep(10000);
    }
}

const ProcessHandle* AsProcess(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* object = static_cast<KernelObject*>(handle);
    return object->kind == KernelObjectKind::Process ? reinterpret_cast<const ProcessHandle*>(object) : nullptr;
}

// A process without a name is still one: the table needs its parent link.
bool ReadProcess(int proc, DWORD pid, ProcessRecord& record) {
    StartedProcess started;
    // The start time is not needed here, but stat is cheaper to read than status.
    if (!ReadStarted(proc, pid, 0, started)) return false;
    record.parent_pid = started.parent_pid;
    record.threads = started.threads;
    record.pid = pid;
    record.exe = ExecutableName("/proc/" + std::to_string(pid));
    size_t keep = std::min<size_t>(record.exe.size(), MAX_PATH - 1);
    // A cut never splits a surrogate pair.
    if (keep > 0 && keep < record.exe.size() && record.exe[keep - 1] >= 0xD800 && record.exe[keep - 1] <= 0xDBFF) --keep;
    record.exe.resize(keep);
    return true;
}

bool ParsePid(const char* name, DWORD& pid) {
    if (*name < '1' || *name > '9') return false;
    unsigned long long value = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + static_cast<unsigned>(*c - '0');
        if (value > 0xFFFFFFFFull) return false;
    }
    pid = static_cast<DWORD>(value);
    return true;
}

Snapshot* AsSnapshot(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* object = static_cast<KernelObject*>(handle);
    return object->kind == KernelObjectKind::Snapshot ? reinterpret_cast<Snapshot*>(object) : nullptr;
}

BOOL Fill(HANDLE hSnapshot, LPPROCESSENTRY32W lppe, bool first) {
    Snapshot* snapshot = AsSnapshot(hSnapshot);
    if (snapshot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lppe == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Windows refuses a record smaller than its own, and writes only its own.
    if (lppe->dwSize < sizeof(PROCESSENTRY32W)) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (first) snapshot->next = 0;
    if (snapshot->next >= snapshot->processes.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const ProcessRecord& process = snapshot->processes[snapshot->next++];
    const DWORD size = lppe->dwSize;
    std::memset(lppe, 0, sizeof(PROCESSENTRY32W));
    lppe->dwSize = size;
    lppe->th32ProcessID = process.pid;
    lppe->cntThreads = process.threads;
    lppe->th32ParentProcessID = process.parent_pid;
    lppe->pcPriClassBase = 8;  // NORMAL_PRIORITY_CLASS's base priority
    std::copy(process.exe.begin(), process.exe.end(), lppe->szExeFile);
    return TRUE;
}

}  // namespace

// One record per process, no thread records (Windows follows each with one
// per thread; NextEntryOffset skips them either way). The names are left
// empty: /proc/PID/stat's is cut at 15 bytes, and pcmtap takes names from
// the Toolhelp snapshot.
NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass, LPVOID SystemInformation,
                                  ULONG SystemInformationLength, ULONG* ReturnLength) {
    if (SystemInformationClass != SystemProcessInformation) return STATUS_INVALID_INFO_CLASS;
    const LONGLONG ticks_to_100ns = TicksTo100ns();
    std::vector<StartedProcess> processes;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return STATUS_UNSUCCESSFUL;
    while (const dirent* entry = readdir(proc)) {
        StartedProcess process{};
        if (ParsePid(entry->d_name, process.pid) && ReadStarted(dirfd(proc), process.pid, ticks_to_100ns, process))
            processes.push_back(process);
    }
    closedir(proc);
    constexpr ULONG kRecord = (sizeof(SYSTEM_PROCESS_INFORMATION) + 7) / 8 * 8;
    const ULONG needed = static_cast<ULONG>(processes.size() * kRecord);
    if (ReturnLength != nullptr) *ReturnLength = needed;
    if (SystemInformationLength < needed || SystemInformation == nullptr) return STATUS_INFO_LENGTH_MISMATCH;
    auto* bytes = static_cast<BYTE*>(SystemInformation);
    for (size_t i = 0; i < processes.size(); ++i) {
        SYSTEM_PROCESS_INFORMATION record;
        std::memset(&record, 0, sizeof record);
        record.NextEntryOffset = i + 1 < processes.size() ? kRecord : 0;
        record.NumberOfThreads = processes[i].threads;
        record.CreateTime.QuadPart = processes[i].created;
        record.BasePriority = 8;
        record.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processes[i].pid));
        record.InheritedFromUniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processes[i].parent_pid));
        std::memcpy(bytes + i * kRecord, &record, sizeof record);
    }
    return STATUS_SUCCESS;
}

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD) {
    auto* snapshot = new (std::nothrow) Snapshot{{KernelObjectKind::Snapshot, DestroySnapshot}, {}, 0};
    if (snapshot == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    // Like Windows, a snapshot without TH32CS_SNAPPROCESS holds no processes.
    if ((dwFlags & TH32CS_SNAPPROCESS) == 0) return &snapshot->header;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        const int error = errno;
        delete snapshot;
        SetLastError(Win32ErrorFromErrno(error));
        return INVALID_HANDLE_VALUE;
    }
    while (const dirent* entry = readdir(proc)) {
        ProcessRecord record{};
        // A process that exits during the walk is left out, as if it had gone before.
        if (ParsePid(entry->d_name, record.pid) && ReadProcess(dirfd(proc), record.pid, record))
            snapshot->processes.push_back(std::move(record));
    }
    closedir(proc);
    std::sort(snapshot->processes.begin(), snapshot->processes.end(),
              [](const ProcessRecord& a, const ProcessRecord& b) { return a.pid < b.pid; });
    return &snapshot->header;
}

BOOL Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return Fill(hSnapshot, lppe, true); }

BOOL Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return Fill(hSnapshot, lppe, false); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

// Access is decided at the open, as on Windows: a process whose executable
// link the caller may not read (another user's) is refused. A process
// without an executable (a kernel thread, a zombie) opens, but has no path.
// With SYNCHRONIZE the pidfd is taken first and the process looked at after:
// if the pidfd's process has ended by then, what /proc shows under the pid
// may be a later process, and the open fails as for a pid that holds none.
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId) {
    int pidfd = -1;
    if ((dwDesiredAccess & SYNCHRONIZE) != 0 && dwProcessId != 0) {
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(dwProcessId), 0));
        if (pidfd < 0 && errno == ESRCH) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    const auto fail = [&](DWORD error) -> HANDLE {
        if (pidfd >= 0) close(pidfd);
        SetLastError(error);
        return nullptr;
    };
    StartedProcess started{};
    if (dwProcessId == 0 || !ReadStarted(ProcDirectory(), dwProcessId, TicksTo100ns(), started))
        return fail(ERROR_INVALID_PARAMETER);
    if (pidfd >= 0) {
        pollfd ended = {pidfd, POLLIN, 0};
        if (poll(&ended, 1, 0) != 0 && started.state != 'Z') return fail(ERROR_INVALID_PARAMETER);
    }
    std::string path;
    if (!ExecutablePath("/proc/" + std::to_string(dwProcessId), path) && (errno == EACCES || errno == EPERM))
        return fail(ERROR_ACCESS_DENIED);
    const int descriptor = (dwDesiredAccess & SYNCHRONIZE) != 0 ? pidfd : -1;
    auto* handle = new (std::nothrow) ProcessHandle{
        {KernelObjectKind::Process, DestroyProcessHandle, WaitForProcess, descriptor}, dwProcessId, dwDesiredAccess,
        started.created, pidfd};
    if (handle == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
    return &handle->header;
}

namespace {

// The process behind a handle opened for queries; null, with Windows' error
// set, for any other handle.
const ProcessHandle* AsQueriedProcess(HANDLE handle) {
    constexpr DWORD kQueryAccess = PROCESS_QUERY_LIMITED_INFORMATION | 0x0400u;  // or PROCESS_QUERY_INFORMATION
    const ProcessHandle* process = AsProcess(handle);
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((process->access & kQueryAccess) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return process;
}

}  // namespace

BOOL GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
                     LPFILETIME lpUserTime) {
    const ProcessHandle* process = AsQueriedProcess(hProcess);
    if (process == nullptr) return FALSE;
    if (lpCreationTime == nullptr || lpExitTime == nullptr || lpKernelTime == nullptr || lpUserTime == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const auto created = static_cast<uint64_t>(process->created);
    *lpCreationTime = {static_cast<DWORD>(created), static_cast<DWORD>(created >> 32)};
    *lpExitTime = *lpKernelTime = *lpUserTime = {0, 0};
    return TRUE;
}

BOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize) {
    const ProcessHandle* process = AsQueriedProcess(hProcess);
    if (process == nullptr) return FALSE;
    if (dwFlags > 1 || lpExeName == nullptr || lpdwSize == nullptr) {  // 1: PROCESS_NAME_NATIVE
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Windows' handle keeps the process; here its pid may name a later one.
    StartedProcess started{};
    std::string path;
    if (!ReadStarted(ProcDirectory(), process->pid, TicksTo100ns(), started) || started.created != process->created ||
        !ExecutablePath("/proc/" + std::to_string(process->pid), path)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const std::wstring units = Utf16FromUtf8(path);
    if (units.empty()) {  // a path with no Windows spelling
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return FALSE;
    }
    if (units.size() + 1 > *lpdwSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(units.begin(), units.end(), lpExeName);
    lpExeName[units.size()] = L'\0';
    *lpdwSize = static_cast<DWORD>(units.size());
    return TRUE;
}
