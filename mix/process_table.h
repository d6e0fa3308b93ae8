// A snapshot of all processes: parent and lower-cased executable name by pid.
#pragma once

#include <map>
#include <string>

#include "platform/win32.h"

struct ProcessEntry {
    DWORD parent_pid;      // as the snapshot gave it; may name no process, may be 0
    std::wstring exe_name;  // UTF-16 file name, ASCII letters lower-cased
};

// Ascending pid order; one entry per pid (the last record for a pid wins).
typedef std::map<DWORD, ProcessEntry> ProcessTable;

// Takes one Toolhelp snapshot. Never fails: a failed snapshot gives an empty
// table, a walk that breaks off gives what was read so far.
ProcessTable SnapshotProcesses();
