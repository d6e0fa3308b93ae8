// A snapshot of all processes: parent and lower-cased executable name by pid.
#pragma once

#include <map>
#include <string>

#include "platform/win32.h"

struct ProcessEntry {
    DWORD parent_pid;      // as the snapshot gave it; may name no process, may be 0
    std::wstring exe_name;  // UTF-16 file name, ASCII letters lower-cased (unless asked otherwise)
    LONGLONG created = 0;   // creation time in 100 ns units; 0 when unknown
};

// Ascending pid order; one entry per pid (the last record for a pid wins).
typedef std::map<DWORD, ProcessEntry> ProcessTable;

// Takes one Toolhelp snapshot, then the creation times of its processes from
// the system's process list. Never fails: a failed snapshot gives an empty
// table, a walk that breaks off gives what was read so far, a failed time
// query leaves every time unknown. Names keep their case only when asked
// (for showing them).
ProcessTable SnapshotProcesses(bool lower_case_names = true);
