// Mix sources: audible processes outside the excluded trees and not above
// them, topmost only.
#include "mix/source_selection.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "mix/app_selection.h"
#include "mix/audible_processes.h"

namespace {

constexpr size_t kChainLimit = 32;

// Compared code unit for code unit: the table's names are already lower-cased.
// Views, so that a comparison with a name of another length stops at once.
constexpr std::wstring_view kVoiceChatExecutables[] = {
    L"discord.exe",      L"discordptb.exe",      L"discordcanary.exe",   L"discorddevelopment.exe",
    L"teamspeak.exe",    L"ts3client_win64.exe", L"ts3client_win32.exe", L"teamspeak3.exe",
    L"mumble.exe",       L"skype.exe",           L"skypeapp.exe",        L"teams.exe",
    L"ms-teams.exe",     L"zoom.exe",            L"whatsapp.exe",        L"whatsapp.root.exe",
    L"telegram.exe",     L"slack.exe",           L"guilded.exe",         L"revolt.exe",
    L"element.exe",      L"signal.exe",          L"viber.exe",
};
static_assert(std::size(kVoiceChatExecutables) == 23);

bool IsVoiceChat(const std::wstring& exe_name) {
    return std::any_of(std::begin(kVoiceChatExecutables), std::end(kVoiceChatExecutables),
                       [&](std::wstring_view entry) { return exe_name == entry; });
}

// Windows never updates a process's parent id when the parent exits, and
// reuses pids soon: the id may by now name a process started later, which is
// no ancestor. Equal times count as "before": creation times are stamped at
// the system timer's tick (15.6 ms on many machines; /proc's start times are
// in 10 ms ticks), so a shell and the player it starts may share one. An
// unknown time keeps the link.
bool StartedAfter(const ProcessEntry& parent, const ProcessEntry& child) {
    return parent.created != 0 && child.created != 0 && parent.created > child.created;
}

bool IsExcluded(const AncestorChain& chain, const ProcessTable& table, DWORD target_pid, DWORD own_pid) {
    for (const DWORD member : chain) {
        if (member == target_pid || member == own_pid) return true;
        const auto found = table.find(member);
        if (found != table.end() && IsVoiceChat(found->second.exe_name)) return true;
    }
    return false;
}

// An include-mode stream takes the root's whole process tree, so a candidate
// above the target or a voice-chat program would bring that sound into the
// mix. Removes every candidate in the ancestor chain of one of them. The
// tool's own pid makes nothing unsafe: pcmtap plays nothing.
void RemoveUnsafe(std::set<DWORD>& candidates, const ProcessTable& table, DWORD target_pid) {
    const auto remove_line = [&](DWORD pid) {
        for (const DWORD member : BuildAncestorChain(pid, table)) candidates.erase(member);
    };
    remove_line(target_pid);
    for (const auto& [pid, entry] : table)
        if (IsVoiceChat(entry.exe_name)) remove_line(pid);
}

}  // namespace

AncestorChain BuildAncestorChain(DWORD start_pid, const ProcessTable& table) {
    AncestorChain chain;
    chain.reserve(kChainLimit);
    DWORD pid = start_pid;
    auto found = table.find(pid);
    // A repeated pid means the parent links loop (pids are reused on Windows).
    while (pid != 0 && chain.size() < kChainLimit && std::find(chain.begin(), chain.end(), pid) == chain.end()) {
        chain.push_back(pid);
        if (found == table.end()) break;
        const DWORD parent_pid = found->second.parent_pid;
        const auto parent = table.find(parent_pid);
        if (parent != table.end() && StartedAfter(parent->second, found->second)) break;
        pid = parent_pid;
        found = parent;
    }
    return chain;
}

std::set<DWORD> SelectMixSources(DWORD target_pid) {
    const ProcessTable table = SnapshotProcesses();
    const DWORD own_pid = GetCurrentProcessId();
    const std::set<DWORD> audible = FindAudibleProcesses();

    std::set<DWORD> candidates;
    for (const DWORD pid : audible)
        if (!IsExcluded(BuildAncestorChain(pid, table), table, target_pid, own_pid)) candidates.insert(pid);
    if (candidates.empty()) return candidates;
    // An unsafe candidate is neither selected nor a reason to drop its
    // descendants: they become roots of their own.
    RemoveUnsafe(candidates, table, target_pid);

    return KeepTopmost(candidates, table);
}

// Tested against all candidates, not the result so far, so that the order of
// the candidates cannot matter.
std::set<DWORD> KeepTopmost(const std::set<DWORD>& candidates, const ProcessTable& table) {
    std::set<DWORD> sources;
    for (const DWORD pid : candidates) {
        const AncestorChain chain = BuildAncestorChain(pid, table);
        const bool below_candidate =
            chain.size() >= 2 &&
            std::any_of(chain.begin() + 1, chain.end(), [&](DWORD member) { return candidates.count(member) != 0; });
        if (!below_candidate) sources.insert(pid);
    }
    return sources;
}

std::set<DWORD> SelectSources(const SelectionRule& rule) {
    return rule.app_name.empty() ? SelectMixSources(rule.target_pid) : SelectAppSources(rule.app_name);
}
