// Processes that own an unexpired, non-system-sounds audio session on an
// active playback endpoint.
#pragma once

#include <set>

#include "platform/win32.h"

// Ascending, each pid once, never 0. Failures only leave processes out.
std::set<DWORD> FindAudibleProcesses();
