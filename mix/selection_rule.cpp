#include "mix/selection_rule.h"

#include "mix/app_selection.h"
#include "mix/audible_processes.h"
#include "mix/process_tree.h"
#include "mix/source_selection.h"

Selection SelectSources(const SelectionRule& rule) {
    const ProcessTable table = SnapshotProcesses();
    const DWORD own_pid = GetCurrentProcessId();
    std::set<DWORD> selected;
    if (!rule.exclude_pids.empty())
        selected = SelectExcludingSources(rule.exclude_pids, table, own_pid, FindAudibleProcesses());
    else if (!rule.app_names.empty() || !rule.include_pids.empty())
        selected = SelectNamedSources(rule.app_names, rule.include_pids, table, own_pid);
    else
        selected = SelectMixSources(rule.target_pid, table, own_pid, FindAudibleProcesses());
    Selection chosen;
    for (const DWORD pid : selected) chosen.emplace_hint(chosen.end(), pid, CreatedAt(pid, table));
    return chosen;
}
