// Sources of every audible tree but some: audible processes outside the
// excluded trees and not above them, topmost only.
#include "mix/source_selection.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "mix/audible_processes.h"

namespace {

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

// What one rule leaves out: trees by root, voice chat's by name, and lines
// above which nothing may be taken.
struct LeftOut {
    const std::set<DWORD>& roots;  // with the tool's own pid, whose trees are left out
    bool voice_chat;               // voice-chat programs' trees too
    bool own_line;                 // the tool's parent's line too
};

bool IsExcluded(const AncestorChain& chain, const ProcessTable& table, const LeftOut& out, DWORD own_pid) {
    for (const DWORD member : chain) {
        if (member == own_pid || out.roots.count(member) != 0) return true;
        if (!out.voice_chat) continue;
        const auto found = table.find(member);
        if (found != table.end() && IsVoiceChat(found->second.exe_name)) return true;
    }
    return false;
}

// An include-mode stream takes the root's whole process tree, so a candidate
// above a left-out tree would bring its sound into the mix. Removes every
// candidate in the ancestor chain of one of them. The tool's own pid makes
// nothing unsafe unless asked: pcmtap plays nothing, but its parent may.
void RemoveUnsafe(std::set<DWORD>& candidates, const ProcessTable& table, const LeftOut& out, DWORD own_pid,
                  AncestorChain& chain) {
    const auto remove_line = [&](DWORD pid) {
        BuildAncestorChain(pid, table, chain);
        for (const DWORD member : chain) candidates.erase(member);
    };
    for (const DWORD root : out.roots) remove_line(root);
    if (out.own_line) remove_line(own_pid);
    if (!out.voice_chat) return;
    for (const auto& [pid, entry] : table)
        if (IsVoiceChat(entry.exe_name)) remove_line(pid);
}

std::set<DWORD> SelectAudibleOutside(const LeftOut& out, const ProcessTable& table, DWORD own_pid,
                                     const std::set<DWORD>& audible) {
    AncestorChain chain;
    std::set<DWORD> candidates;
    for (const DWORD pid : audible) {
        BuildAncestorChain(pid, table, chain);
        if (!IsExcluded(chain, table, out, own_pid)) candidates.insert(candidates.end(), pid);
    }
    if (candidates.empty()) return candidates;
    // An unsafe candidate is neither selected nor a reason to drop its
    // descendants: they become roots of their own.
    RemoveUnsafe(candidates, table, out, own_pid, chain);
    return KeepTopmost(candidates, table);
}

}  // namespace

std::set<DWORD> SelectMixSources(DWORD target_pid, const ProcessTable& table, DWORD own_pid,
                                 const std::set<DWORD>& audible) {
    const std::set<DWORD> target = {target_pid};
    return SelectAudibleOutside(LeftOut{target, true, false}, table, own_pid, audible);
}

std::set<DWORD> SelectMixSources(DWORD target_pid) {
    const ProcessTable table = SnapshotProcesses();
    const DWORD own_pid = GetCurrentProcessId();
    return SelectMixSources(target_pid, table, own_pid, FindAudibleProcesses());
}

std::set<DWORD> SelectExcludingSources(const std::set<DWORD>& excluded, const ProcessTable& table, DWORD own_pid,
                                       const std::set<DWORD>& audible) {
    return SelectAudibleOutside(LeftOut{excluded, false, true}, table, own_pid, audible);
}
