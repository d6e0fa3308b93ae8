// Processes that own an unexpired, non-system-sounds audio session on an
// active playback endpoint.
#pragma once

#include <map>
#include <set>

#include "platform/win32.h"

// Ascending, each pid once, never 0. Failures only leave processes out.
std::set<DWORD> FindAudibleProcesses();

// The same processes, each with whether any of its sessions is active
// (playing) rather than inactive. Where the endpoints themselves cannot be
// enumerated (no audio service), `failure` is given why.
std::map<DWORD, bool> FindSessionOwners(HRESULT* failure = nullptr);
