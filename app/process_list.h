// --list: the processes that have an audio session now, one JSON object a
// line, for a parent to pick an app from.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

struct ListedProcess {
    DWORD pid = 0;
    std::optional<DWORD> parent;        // only a live parent started before it
    std::wstring name;                  // the executable's file name, as the snapshot gives it
    std::optional<std::wstring> path;   // the full image path, where it can be read
    bool active = false;                // one of its sessions is playing
    std::optional<std::wstring> window; // the title of its main window, or its nearest ancestor's
    std::optional<std::wstring> host;   // for a shared host: the app above it
};


// Sessions first, then the process table: a session's owner that is not in
// the table has gone, and is not listed. Active ones first, then by name
// (ignoring case), then by pid. `failure` as FindSessionOwners gives it.
// Browsers, Electron and WebView2 apps play from windowless children, so a
// process without a window of its own shows its nearest ancestor's, short
// of the shell (whose desktop and folder windows are no app's).
std::vector<ListedProcess> FindListedProcesses(HRESULT* failure = nullptr);

// {"pid":..,"parent":..,"name":..,"path":..,"active":..,"window":..,"host":..}
// and a line feed; what is unknown is null.
std::string FormatListedProcess(const ListedProcess& process);

// Writes the list to stdout and returns the exit code: 0, also when the
// reader went away; 1 with a "sessions" ERROR line when no endpoint could
// be enumerated (an empty list would say that nothing plays), or with an
// "output" one when the write failed otherwise. COM must be joined.
int ListProcesses();
