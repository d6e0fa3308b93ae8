#include "mix/held_process.h"

HANDLE HoldProcess(DWORD pid, LONGLONG snapshot_created) {
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return nullptr;
    FILETIME created{}, exited{}, kernel{}, user{};
    const bool timed = GetProcessTimes(process, &created, &exited, &kernel, &user) != FALSE;
    const LONGLONG opened_created =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    // A process that cannot tell its creation time cannot show it is the one
    // selected; one that has ended still answers, with its old time.
    if (!timed || (snapshot_created != 0 && opened_created != snapshot_created) || HasEnded(process)) {
        CloseHandle(process);
        return nullptr;
    }
    return process;
}

bool HasEnded(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }
