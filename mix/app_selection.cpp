#include "mix/app_selection.h"

#include <algorithm>

#include "mix/source_selection.h"

namespace {

std::wstring_view WithoutExe(std::wstring_view name) {
    constexpr std::wstring_view kExe = L".exe";
    if (name.size() > kExe.size() &&
        CompareStringOrdinal(name.data() + name.size() - kExe.size(), static_cast<int>(kExe.size()), kExe.data(),
                             static_cast<int>(kExe.size()), TRUE) == CSTR_EQUAL)
        name.remove_suffix(kExe.size());
    return name;
}

bool Holds(const AncestorChain& chain, DWORD pid) { return std::find(chain.begin(), chain.end(), pid) != chain.end(); }

}  // namespace

bool IsExecutableNamed(std::wstring_view exe_name, std::wstring_view wanted) {
    if (exe_name.empty() || wanted.empty()) return false;
    const std::wstring_view a = WithoutExe(exe_name), b = WithoutExe(wanted);
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

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
