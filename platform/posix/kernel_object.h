// What a HANDLE points at on POSIX systems: every object that CloseHandle
// accepts starts with this header, so that one CloseHandle serves the events
// of the sync group and the snapshots and process handles of the process
// group alike.
#pragma once

enum class KernelObjectKind { Event, Snapshot, Thread, Process };

struct KernelObject {
    KernelObjectKind kind;
    void (*destroy)(KernelObject* self);
};
