// Which process trees mix mode captures.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "mix/process_table.h"
#include "platform/win32.h"

// A start pid, then its parent, grandparent, ...: at most 32 pids, never 0,
// never one twice. The last may be a pid the table does not hold. A parent
// created after its child holds a reused pid: the chain ends before it.
typedef std::vector<DWORD> AncestorChain;

AncestorChain BuildAncestorChain(DWORD start_pid, const ProcessTable& table);

// The audible processes minus those that are, or descend from, the target,
// the tool itself or a voice-chat program, and minus those above the target
// or a voice-chat program; reduced to the topmost of each line of ancestry (within 32
// generations).
std::set<DWORD> SelectMixSources(DWORD target_pid);

// The candidates that have no other candidate among their ancestors (within
// 32 generations): the roots whose streams carry the rest.
std::set<DWORD> KeepTopmost(const std::set<DWORD>& candidates, const ProcessTable& table);

// What the reconciler selects by, chosen at start: mix mode's rule (above),
// or, given an executable name, app mode's (mix/app_selection.h).
struct SelectionRule {
    DWORD target_pid = 0;   // mix mode: the tree left out
    std::wstring app_name;  // app mode: the executable followed; empty in mix mode
};

std::set<DWORD> SelectSources(const SelectionRule& rule);
