// The rules that take every audible process tree but some: mix mode's, and
// several excludes'.
#pragma once

#include <set>

#include "mix/process_table.h"
#include "mix/process_tree.h"
#include "platform/win32.h"

// The audible processes minus those that are, or descend from, the target,
// the tool itself or a voice-chat program, and minus those above the target
// or a voice-chat program; reduced to the topmost of each line of ancestry
// (within 32 generations). Takes the snapshot and the sessions afresh.
std::set<DWORD> SelectMixSources(DWORD target_pid);
// The same over a snapshot and sessions already taken.
std::set<DWORD> SelectMixSources(DWORD target_pid, const ProcessTable& table, DWORD own_pid,
                                 const std::set<DWORD>& audible);

// Several excludes: the audible processes minus those that are, or descend
// from, one of the excluded pids or the tool itself, and minus those above an
// excluded pid or in the tool's own line (its parent and theirs, whose trees
// hold the tool's parent); topmost only. Voice chat is not left out.
std::set<DWORD> SelectExcludingSources(const std::set<DWORD>& excluded, const ProcessTable& table, DWORD own_pid,
                                       const std::set<DWORD>& audible);
