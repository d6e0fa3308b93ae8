#include "mix/app_selection.h"

#include <algorithm>

#include "mix/executable_name.h"
#include "mix/process_tree.h"

std::set<DWORD> SelectNamedSources(const std::vector<std::wstring>& app_names, const std::set<DWORD>& pids,
                                   const ProcessTable& table, DWORD own_pid) {
    std::set<DWORD> candidates;
    const LONGLONG own_created = CreatedAt(own_pid, table);
    for (const DWORD pid : pids)
        if (own_created == 0 || CreatedAt(pid, table) <= own_created) candidates.insert(candidates.end(), pid);

    if (!app_names.empty()) {
        // pcmtap, its parent (only a genuine one: the chain keeps no parent
        // started after its child) and the parent's ancestors.
        const AncestorChain own_line = BuildAncestorChain(own_pid, table);
        AncestorChain chain;
        for (const auto& [pid, entry] : table) {
            const std::wstring& exe_name = entry.exe_name;  // a lambda may not capture a structured binding (C++17)
            const bool named = std::any_of(app_names.begin(), app_names.end(), [&](const std::wstring& name) {
                return IsExecutableNamed(exe_name, name);
            });
            if (pid == 0 || !named || Holds(own_line, pid)) continue;
            BuildAncestorChain(pid, table, chain);
            if (!Holds(chain, own_pid)) candidates.insert(pid);  // not in pcmtap's own tree
        }
    }
    return KeepTopmost(candidates, table);
}

std::set<DWORD> SelectAppSources(const std::wstring& app_name) {
    const ProcessTable table = SnapshotProcesses();
    return SelectNamedSources({app_name}, {}, table, GetCurrentProcessId());
}
