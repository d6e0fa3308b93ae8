#include "mix/app_selection.h"

#include <algorithm>

#include "mix/executable_name.h"
#include "mix/source_selection.h"

namespace {

bool Holds(const AncestorChain& chain, DWORD pid) { return std::find(chain.begin(), chain.end(), pid) != chain.end(); }

}  // namespace

std::set<DWORD> SelectAppSources(const std::wstring& app_name) {
    const ProcessTable table = SnapshotProcesses();
    const DWORD own_pid = GetCurrentProcessId();
    // pcmtap, its parent (only a genuine one: the chain keeps no parent
    // started after its child) and the parent's ancestors.
    const AncestorChain own_line = BuildAncestorChain(own_pid, table);

    std::set<DWORD> candidates;
    for (const auto& [pid, entry] : table) {
        if (pid == 0 || !IsExecutableNamed(entry.exe_name, app_name) || Holds(own_line, pid)) continue;
        if (!Holds(BuildAncestorChain(pid, table), own_pid)) candidates.insert(pid);  // not in pcmtap's own tree
    }
    return KeepTopmost(candidates, table);
}
