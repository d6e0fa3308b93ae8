// The selection of named trees: by executable (app mode) and by pid.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "mix/process_table.h"
#include "platform/win32.h"

// The trees named on the command line: every process running one of
// app_names, but pcmtap, its tree, the parent that started it and that
// parent's ancestors (a stream on one of those would carry the parent's
// sound), and every pid given, as given, unless a process started after
// pcmtap holds it now (the one named had started before); reduced to the
// topmost of each line of ancestry: a tree inside another is in that one's
// stream already. Whether the processes play yet does not count: a stream
// opened early takes the tree's first sound.
std::set<DWORD> SelectNamedSources(const std::vector<std::wstring>& app_names, const std::set<DWORD>& pids,
                                   const ProcessTable& table, DWORD own_pid);

// App mode's rule on one name, from a fresh snapshot.
std::set<DWORD> SelectAppSources(const std::wstring& app_name);
