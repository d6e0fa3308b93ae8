// What a HANDLE points at on POSIX systems: every object that CloseHandle
// accepts starts with this header, so that one CloseHandle serves the events
// of the sync group and the snapshots and process handles of the process
// group alike.
#pragma once

#include "platform/win32.h"

enum class KernelObjectKind { Event, Snapshot, Thread, Process };

struct KernelObject {
    KernelObjectKind kind;
    void (*destroy)(KernelObject* self);
    // WaitForSingleObject on an object that is not an event (a process);
    // null where waiting is not supported.
    DWORD (*wait)(KernelObject* self, DWORD milliseconds) = nullptr;
    // A descriptor that turns readable once the object is signalled (a
    // process's pidfd), for waits on several objects; -1 where there is none.
    int descriptor = -1;
};
