// The process tree as one snapshot shows it, shared by every selection rule:
// ancestor chains, the topmost of a set, who is inside whose tree.
#pragma once

#include <set>
#include <vector>

#include "mix/process_table.h"
#include "platform/win32.h"

// A start pid, then its parent, grandparent, ...: at most 32 pids, never 0,
// never one twice. The last may be a pid the table does not hold. A parent
// created after its child holds a reused pid: the chain ends before it.
typedef std::vector<DWORD> AncestorChain;

AncestorChain BuildAncestorChain(DWORD start_pid, const ProcessTable& table);
// The same into a chain the caller keeps, so that a walk over many pids
// allocates once.
void BuildAncestorChain(DWORD start_pid, const ProcessTable& table, AncestorChain& chain);

bool Holds(const AncestorChain& chain, DWORD pid);

// Whether pid is one of the roots or descends from one (within 32 generations).
bool InTreeOf(DWORD pid, const std::set<DWORD>& roots, const ProcessTable& table, AncestorChain& scratch);

// The candidates that have no other candidate among their ancestors (within
// 32 generations): the roots whose streams carry the rest.
std::set<DWORD> KeepTopmost(const std::set<DWORD>& candidates, const ProcessTable& table);

// The process's creation time in the table; 0 when unknown or not there.
LONGLONG CreatedAt(DWORD pid, const ProcessTable& table);
