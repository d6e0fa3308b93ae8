#include "mix/process_tree.h"

#include <algorithm>

namespace {

constexpr size_t kChainLimit = 32;

// Windows never updates a process's parent id when the parent exits, and
// reuses pids soon: the id may by now name a process started later, which is
// no ancestor. Equal times count as "before": creation times are stamped at
// the system timer's tick (15.6 ms on many machines; /proc's start times are
// in 10 ms ticks), so a shell and the player it starts may share one. An
// unknown time keeps the link.
bool StartedAfter(const ProcessEntry& parent, const ProcessEntry& child) {
    return parent.created != 0 && child.created != 0 && parent.created > child.created;
}

}  // namespace

void BuildAncestorChain(DWORD start_pid, const ProcessTable& table, AncestorChain& chain) {
    chain.clear();
    DWORD pid = start_pid;
    auto found = table.find(pid);
    // A repeated pid means the parent links loop (pids are reused on Windows).
    while (pid != 0 && chain.size() < kChainLimit && !Holds(chain, pid)) {
        chain.push_back(pid);
        if (found == table.end()) break;
        const DWORD parent_pid = found->second.parent_pid;
        const auto parent = table.find(parent_pid);
        if (parent != table.end() && StartedAfter(parent->second, found->second)) break;
        pid = parent_pid;
        found = parent;
    }
}

AncestorChain BuildAncestorChain(DWORD start_pid, const ProcessTable& table) {
    AncestorChain chain;
    chain.reserve(kChainLimit);
    BuildAncestorChain(start_pid, table, chain);
    return chain;
}

bool Holds(const AncestorChain& chain, DWORD pid) { return std::find(chain.begin(), chain.end(), pid) != chain.end(); }

bool InTreeOf(DWORD pid, const std::set<DWORD>& roots, const ProcessTable& table, AncestorChain& scratch) {
    if (roots.empty()) return false;
    BuildAncestorChain(pid, table, scratch);
    return std::any_of(scratch.begin(), scratch.end(), [&](DWORD member) { return roots.count(member) != 0; });
}

// Tested against all candidates, not the result so far, so that the order of
// the candidates cannot matter.
std::set<DWORD> KeepTopmost(const std::set<DWORD>& candidates, const ProcessTable& table) {
    std::set<DWORD> sources;
    AncestorChain chain;
    chain.reserve(kChainLimit);
    for (const DWORD pid : candidates) {
        BuildAncestorChain(pid, table, chain);
        const bool below_candidate =
            chain.size() >= 2 &&
            std::any_of(chain.begin() + 1, chain.end(), [&](DWORD member) { return candidates.count(member) != 0; });
        if (!below_candidate) sources.insert(sources.end(), pid);
    }
    return sources;
}

LONGLONG CreatedAt(DWORD pid, const ProcessTable& table) {
    const auto found = table.find(pid);
    return found != table.end() ? found->second.created : 0;
}
