// What the reconciler selects by, chosen at start, and the one call that
// applies it to a fresh snapshot. Each kind of run is one rule over the
// process table (mix/source_selection.h, mix/app_selection.h).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/win32.h"

struct SelectionRule {
    DWORD target_pid = 0;                 // mix mode: the tree left out beside voice chat's
    std::vector<std::wstring> app_names;  // trees whose root runs one of these (app mode, several targets)
    std::set<DWORD> include_pids;         // trees named by pid, taken as given (several targets)
    std::set<DWORD> exclude_pids;         // every audible tree but these (several excludes)
};

// The selected root pids, each with its creation time in the snapshot the
// choice was made on (0 where unknown), so that the process opened later can
// be checked to be that one.
typedef std::map<DWORD, LONGLONG> Selection;

// One snapshot (and one session enumeration, where the rule looks at who
// plays), then the rule: several excludes where exclude_pids are given,
// otherwise named targets where names or include_pids are, otherwise mix
// mode's rule on target_pid.
Selection SelectSources(const SelectionRule& rule);
