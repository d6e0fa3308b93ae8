#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "mix/app_selection.h"
#include "mix/source_selection.h"
#include "tests/doubles/scripted_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr DWORD kOwnPid = 4242;  // the scripted platform's default

void SetAudible(const std::vector<DWORD>& pids) {
    scripted::Endpoint endpoint;
    for (DWORD pid : pids) endpoint.sessions.push_back({AudioSessionStateActive, false, pid});
    scripted::SetEndpoints({endpoint});
}

// A line of ancestry: `first` is the child, first + k its kth ancestor, the
// topmost's parent is 0. `names` gives some of them a name.
std::vector<scripted::Process> Line(DWORD first, DWORD length, std::map<DWORD, std::wstring> names = {}) {
    std::vector<scripted::Process> line;
    for (DWORD k = 0; k < length; ++k) {
        const DWORD pid = first + k;
        line.push_back({pid, k + 1 < length ? pid + 1 : 0, names.count(pid) ? names[pid] : L"ordinary.exe"});
    }
    return line;
}

std::vector<scripted::Process> Join(std::vector<scripted::Process> a, const std::vector<scripted::Process>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The voice-chat programs, written out here independently of the tool.
const std::wstring kVoiceChat[] = {
    L"discord.exe",       L"discordptb.exe",      L"discordcanary.exe",   L"discorddevelopment.exe",
    L"teamspeak.exe",     L"ts3client_win64.exe", L"ts3client_win32.exe", L"teamspeak3.exe",
    L"mumble.exe",        L"skype.exe",           L"skypeapp.exe",        L"teams.exe",
    L"ms-teams.exe",      L"zoom.exe",            L"whatsapp.exe",        L"whatsapp.root.exe",
    L"telegram.exe",      L"slack.exe",           L"guilded.exe",         L"revolt.exe",
    L"element.exe",       L"signal.exe",          L"viber.exe",
};

class SourceSelectionTest : public ScriptedTest {};

TEST_F(SourceSelectionTest, AncestorChains) {
    struct Case {
        const char* label;
        std::vector<scripted::Process> processes;
        DWORD start;
        AncestorChain chain;
    };
    AncestorChain first32;
    for (DWORD k = 0; k < 32; ++k) first32.push_back(1000 + k);
    const Case cases[] = {
        {"not in the table", {}, 7, {7}},
        {"parent 0 is not included", {{7, 0, L"a"}}, 7, {7}},
        {"exited parent ends the chain, included", {{7, 8, L"a"}}, 7, {7, 8}},
        {"own parent", {{7, 7, L"a"}}, 7, {7}},
        {"loop", {{7, 8, L"a"}, {8, 9, L"b"}, {9, 8, L"c"}}, 7, {7, 8, 9}},
        {"exactly 32", Line(1000, 32), 1000, first32},
        {"deeper than 32", Line(1000, 45), 1000, first32},
        {"start 0", {{0, 0, L"idle"}}, 0, {}},
        // Creation times: a parent started after its child holds a reused pid.
        {"parent started in the same tick", {{7, 8, L"a", 200}, {8, 9, L"b", 200}}, 7, {7, 8, 9}},
        {"stale link further up", {{7, 8, L"a", 200}, {8, 9, L"b", 100}, {9, 0, L"c", 150}}, 7, {7, 8}},
        {"parent's time unknown", {{7, 8, L"a", 200}, {8, 9, L"b"}}, 7, {7, 8, 9}},
        {"child's time unknown", {{7, 8, L"a"}, {8, 9, L"b", 300}}, 7, {7, 8, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        scripted::Reset();
        scripted::SetProcesses(c.processes);
        EXPECT_EQ(BuildAncestorChain(c.start, SnapshotProcesses()), c.chain);
    }
}

TEST_F(SourceSelectionTest, Scenarios) {
    struct Case {
        const char* label;
        std::vector<scripted::Process> processes;
        std::vector<DWORD> audible;
        DWORD target;
        std::set<DWORD> selected;
    };
    const std::vector<scripted::Process> browser = {
        {1, 0, L"explorer.exe"}, {10, 1, L"browser.exe"}, {11, 10, L"browser.exe"}, {12, 11, L"browser.exe"}};
    // 100 launches the target 101 and 102, which starts 103; 104 is silent
    // and starts 105.
    const std::vector<scripted::Process> launcher = {
        {1, 0, L"explorer.exe"},   {100, 1, L"launcher.exe"},  {101, 100, L"game.exe"},   {102, 100, L"overlay.exe"},
        {103, 102, L"helper.exe"}, {104, 100, L"updater.exe"}, {105, 104, L"browser.exe"}};
    const std::vector<scripted::Process> shell = {
        {1, 0, L"explorer.exe"}, {200, 1, L"shell.exe"}, {201, 200, L"discord.exe"}, {202, 200, L"player.exe"}};
    const std::vector<scripted::Process> tool_parent = {
        {1, 0, L"explorer.exe"}, {300, 1, L"parent.exe"}, {kOwnPid, 300, L"pcmtap.exe"}, {301, 300, L"game.exe"}};
    const Case cases[] = {
        {"browser main and child: the main only", browser, {10, 12}, 99, {10}},
        {"the child's parent need not be audible", browser, {12}, 99, {12}},
        {"target itself", browser, {10}, 10, {}},
        {"child of the target", browser, {11, 12}, 10, {}},
        {"grandchild of the target beside an ordinary process", Join(browser, {{20, 1, L"player.exe"}}), {12, 20}, 10,
         {20}},
        {"the tool and its children", {{kOwnPid, 1, L"pcmtap.exe"}, {30, kOwnPid, L"helper.exe"}}, {kOwnPid, 30}, 99,
         {}},
        {"exited parent that was the target", {{40, 41, L"player.exe"}}, {40}, 41, {}},
        {"exited parent that was the tool", {{40, kOwnPid, L"player.exe"}}, {40}, 99, {}},
        {"exited ordinary parent", {{40, 41, L"player.exe"}}, {40}, 99, {40}},
        {"started after the snapshot", browser, {50}, 99, {50}},
        {"started after the snapshot, but the target", browser, {50}, 50, {}},
        {"child of a voice-chat program, whatever its name",
         {{60, 1, L"Discord.exe"}, {61, 60, L"player.exe"}}, {61}, 99, {}},
        {"audible child of an excluded audible parent",
         {{60, 1, L"zoom.exe"}, {61, 60, L"a.exe"}, {62, 61, L"b.exe"}}, {61, 62}, 99, {}},
        {"voice chat started by an ordinary program",
         {{70, 1, L"game.exe"}, {71, 70, L"discord.exe"}}, {70, 71}, 99, {}},
        {"higher pid is the ancestor", {{5, 900, L"child.exe"}, {900, 1, L"parent.exe"}}, {5, 900}, 99, {900}},
        {"two candidates in a loop drop each other", {{80, 81, L"a.exe"}, {81, 80, L"b.exe"}}, {80, 81}, 99, {}},
        {"a loop and a child of it", {{80, 81, L"a.exe"}, {81, 80, L"b.exe"}, {82, 80, L"c.exe"}}, {80, 81, 82}, 99,
         {}},
        {"one candidate in a loop", {{80, 81, L"a.exe"}, {81, 80, L"b.exe"}}, {80}, 99, {80}},
        {"ancestor 31 is voice chat", Line(1000, 40, {{1031, L"slack.exe"}}), {1000}, 99, {}},
        {"ancestor 32 is voice chat", Line(1000, 40, {{1032, L"slack.exe"}}), {1000}, 99, {1000}},
        {"ancestor 31 is the target", Line(1000, 40), {1000}, 1031, {}},
        {"ancestor 32 is the target", Line(1000, 40), {1000}, 1032, {1000}},
        {"ancestor 31 is a candidate", Line(1000, 40), {1000, 1031}, 99, {1031}},
        {"ancestor 32 is a candidate", Line(1000, 40), {1000, 1032}, 99, {1000, 1032}},
        {"the bound cuts off what excluded the parent", Line(1000, 45, {{1040, L"mumble.exe"}}), {1008, 1009}, 99,
         {1008}},
        {"nothing audible", browser, {}, 99, {}},
        // Above the target or a voice-chat program: an include-mode stream
        // would carry their sound, so such a candidate is left out, and its
        // other audible descendants are each the topmost of their own line.
        {"launcher above the target", launcher, {100, 101}, 101, {}},
        {"launcher's audible children become sources", launcher, {100, 101, 102, 103, 105}, 101, {102, 105}},
        {"target two levels down", launcher, {100, 103, 105}, 103, {105}},
        {"the target's parent, not in the table", {{110, 111, L"game.exe"}}, {111}, 110, {}},
        {"shell above a voice-chat program", shell, {200, 201}, 99, {}},
        {"shell above a silent voice-chat program", shell, {200}, 99, {}},
        {"shell's other child beside a voice-chat program", shell, {200, 201, 202}, 99, {202}},
        {"voice chat deep below", Join(shell, {{203, 202, L"x.exe"}, {204, 203, L"Zoom.exe"}}), {200, 202, 203},
         99, {}},
        {"the tool's parent, above the target too", tool_parent, {300}, 301, {}},
        {"the tool's parent, above nothing excluded", tool_parent, {300}, 99, {300}},
        {"ancestor 31 of the target", Line(1000, 45), {1031}, 1000, {}},
        {"ancestor 32 of the target", Line(1000, 45), {1032}, 1000, {1032}},
        {"above the target and beyond the walk", Line(1000, 45), {1031, 1032, 1033}, 1000, {1033}},
        {"ancestor 31 of voice chat", Line(1000, 45, {{1000, L"slack.exe"}}), {1031}, 99, {}},
        {"ancestor 32 of voice chat", Line(1000, 45, {{1000, L"slack.exe"}}), {1032}, 99, {1032}},
        {"unsafe 31 levels up, its audible child a source", Join(Line(1000, 45), {{2000, 1031, L"child.exe"}}),
         {1031, 2000}, 1000, {2000}},
        {"a loop above the target", {{80, 81, L"game.exe"}, {81, 82, L"a.exe"}, {82, 81, L"b.exe"}, {83, 81, L"c.exe"}},
         {81, 82, 83}, 80, {83}},
        // A launcher, updater or console that started an app and exited left
        // its pid to a process started later, which is no ancestor.
        {"the dead parent's pid is the target's now", {{50, 1, L"game.exe", 300}, {60, 50, L"player.exe", 200}}, {60},
         50, {60}},
        {"... the tool's", {{kOwnPid, 1, L"pcmtap.exe", 300}, {60, kOwnPid, L"player.exe", 200}}, {60}, 99, {60}},
        {"... a voice-chat program's", {{70, 1, L"discord.exe", 300}, {60, 70, L"player.exe", 200}}, {60}, 99, {60}},
        {"an app that got the pid of voice chat's dead parent is not above it",
         {{80, 1, L"music.exe", 300}, {90, 80, L"discord.exe", 200}}, {80, 90}, 99, {80}},
        {"... nor of the target's dead parent", {{80, 1, L"music.exe", 300}, {90, 80, L"game.exe", 200}}, {80, 90},
         90, {80}},
        {"no stream carries a player below a selected process through a stale link",
         {{100, 1, L"browser.exe", 300}, {110, 100, L"player.exe", 200}}, {100, 110}, 99, {100, 110}},
        {"started in the same tick", {{50, 1, L"shell.exe", 200}, {60, 50, L"player.exe", 200}}, {60}, 50, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        scripted::Reset();
        scripted::SetProcesses(c.processes);
        SetAudible(c.audible);

        EXPECT_EQ(SelectMixSources(c.target), c.selected);
        EXPECT_THAT(scripted::OpenObjects(), IsEmpty());
        EXPECT_THAT(scripted::OpenHandles(), IsEmpty());
    }
}

// pcmtap (4242) was started by 4000 (host.exe), which a shell (3000) started.
TEST_F(SourceSelectionTest, AppModeTakesTheTopmostProcessOfEachMatchingLineButNeverPcmtapOrItsParent) {
    struct Case {
        const char* label;
        std::wstring name;
        std::vector<scripted::Process> others;
        std::set<DWORD> selected;
    };
    const std::vector<scripted::Process> around = {
        {3000, 1, L"Shell.exe", 100}, {4000, 3000, L"host.exe", 200}, {kOwnPid, 4000, L"pcmtap.exe", 300}};
    const Case cases[] = {
        {"case and .exe do not matter", L"PLAYER", {{10, 1, L"player.exe"}, {11, 1, L"Player"}, {12, 1, L"player.exe.exe"}}, {10, 11}},
        {"... nor does the case of other scripts", L"\u00C9T\u00C9.EXE", {{10, 1, L"\u00E9t\u00E9.exe"}}, {10}},
        {"... but dotless i and long s are not I and S", L"\u017Fpot\u0131fy", {{10, 1, L"spotify.exe"}}, {}},
        {"no part of a name", L"play", {{10, 1, L"player.exe"}, {11, 1, L"play.exe.bak"}, {12, 1, L"xplay.exe"}}, {}},
        {"a name that could not be read is none", L".exe", {{10, 1, L""}}, {}},
        {"two instances, each once; a nested match is inside its ancestor's tree", L"player.exe",
         {{10, 1, L"player.exe"}, {11, 10, L"helper.exe"}, {12, 11, L"player.exe"}, {20, 1, L"player.exe"}}, {10, 20}},
        {"pcmtap itself", L"pcmtap", {}, {}},
        {"its parent, whose other children are roots of their own", L"host.exe", {{4001, 4000, L"host.exe"}}, {4001}},
        {"the parent's ancestors, whose trees hold the parent", L"shell.exe", {{3001, 1, L"shell.exe"}}, {3001}},
        {"pcmtap's own tree", L"child.exe", {{5000, kOwnPid, L"child.exe", 400}}, {}},
        {"a pid reused since is no parent of pcmtap's", L"host.exe", {}, {4000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        scripted::Reset();
        std::vector<scripted::Process> processes = Join(around, c.others);
        if (std::string(c.label).find("reused") != std::string::npos) processes[1].created = 400;
        scripted::SetProcesses(processes);
        EXPECT_EQ(SelectAppSources(c.name), c.selected);
    }
}

// Several targets and several excludes, on one desktop: pcmtap (4242) was
// started by 4000, which a shell (3000) started; 50 started after pcmtap.
TEST_F(SourceSelectionTest, SeveralTargetsAndSeveralExcludesTakeEachTreeOnce) {
    struct Case {
        const char* label;
        std::set<DWORD> pids;
        std::vector<std::wstring> names;  // several targets only
        bool exclude;
        std::set<DWORD> selected;
    };
    const std::vector<scripted::Process> desktop = {
        {3000, 1, L"shell.exe", 50},  {4000, 3000, L"host.exe", 60}, {kOwnPid, 4000, L"pcmtap.exe", 300},
        {10, 3000, L"game.exe", 100}, {11, 10, L"music.exe", 110},   {20, 3000, L"music.exe", 120},
        {30, 3000, L"discord.exe", 130}, {31, 30, L"helper.exe", 140}, {50, 3000, L"late.exe", 400},
        {70, 3000, L"launcher.exe", 150}, {71, 70, L"game.exe", 160}, {72, 70, L"overlay.exe", 170}};
    const Case cases[] = {
        {"a named pid inside another named tree", {10, 11}, {}, false, {10}},
        {"pids and names: a match inside a named tree is in its stream", {10}, {L"music"}, false, {10, 20}},
        {"pids as given: pcmtap's parent, a pid no process holds", {4000, 99}, {}, false, {4000, 99}},
        {"a pid a process started after pcmtap holds now", {50, 20}, {}, false, {20}},
        {"names keep their own exclusions", {}, {L"host", L"pcmtap"}, false, {}},
        {"everything but two trees, voice chat included", {10, 20}, {}, true, {30, 50, 70}},
        {"nothing above an excluded tree, nor pcmtap's line", {71, 30}, {}, true, {10, 20, 50, 72}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        scripted::SetProcesses(desktop);
        const ProcessTable table = SnapshotProcesses();
        const std::set<DWORD> audible = {3000, 4000, 10, 11, 20, 30, 31, 50, 70, 72};
        EXPECT_EQ(c.exclude ? SelectExcludingSources(c.pids, table, kOwnPid, audible)
                            : SelectNamedSources(c.names, c.pids, table, kOwnPid),
                  c.selected);
    }
}

TEST_F(SourceSelectionTest, VoiceChatNamesMatchWholeAndExactly) {
    const std::wstring kept[] = {
        L"discord.exe.bak", L"mydiscord.exe", L"discord",  L"discord.ex", L"discord .exe", L" discord.exe",
        L"disc\u00D3rd.exe", L"teams",        L"ts3client_win128.exe", L"whatsapp.root", L"", L"pcmtap.exe",
    };
    struct Case {
        std::wstring name;
        bool voice_chat;
    };
    std::vector<Case> cases;
    for (const std::wstring& name : kVoiceChat) cases.push_back({name, true});
    for (const std::wstring name : {L"DISCORD.EXE", L"Ms-Teams.Exe"}) cases.push_back({name, true});
    for (const std::wstring& name : kept) cases.push_back({name, false});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        for (const DWORD audible : {10u, 11u, 5u}) {  // the program itself, its child, its parent
            scripted::Reset();
            scripted::SetProcesses({{5, 1, L"shell.exe"}, {10, 5, c.name}, {11, 10, L"renderer.exe"}});
            SetAudible({audible});
            EXPECT_EQ(SelectMixSources(99).count(audible), c.voice_chat ? 0u : 1u) << "audible pid " << audible;
        }
    }
}

TEST_F(SourceSelectionTest, WithoutASnapshotOnlyTheTargetAndTheToolAreLeftOut) {
    scripted::SetProcesses(
        {{1, 0, L"shell.exe"}, {10, 1, L"discord.exe"}, {20, 10, L"child.exe"}, {30, 1, L"target.exe"}, {31, 30, L"x"}});
    scripted::SetResult("CreateToolhelp32Snapshot", HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    SetAudible({1, 10, 20, 30, 31, kOwnPid});

    EXPECT_EQ(SelectMixSources(30), (std::set<DWORD>{1, 10, 20, 31}));
}

TEST_F(SourceSelectionTest, TakesTableOwnPidAndSessionsAfreshAndOnceOnEveryCall) {
    scripted::SetProcesses({{1, 0, L"shell.exe"}, {10, 1, L"player.exe"}, {11, 1, L"discord.exe"}, {12, 1, L"a"}});
    SetAudible({1, 10, 11, 12});
    EXPECT_EQ(SelectMixSources(12), std::set<DWORD>{10});  // the shell is above the target and voice chat
    scripted::SetProcesses({{1, 0, L"shell.exe"}, {10, 1, L"player.exe"}});
    SetAudible({1});
    EXPECT_EQ(SelectMixSources(12), std::set<DWORD>{1});

    EXPECT_THAT(scripted::CallsMatching({"CreateToolhelp32Snapshot", "GetCurrentProcessId", "CoCreateInstance"}),
                ElementsAre("CreateToolhelp32Snapshot", "GetCurrentProcessId", "CoCreateInstance",
                            "CreateToolhelp32Snapshot", "GetCurrentProcessId", "CoCreateInstance"));
}

// ---- Randomized cross-check against a naive reading of the rules -----------

struct World {
    std::vector<scripted::Process> processes;
    std::vector<scripted::Endpoint> endpoints;
    DWORD target, own;
    bool snapshot_fails;
};

namespace naive {

const scripted::Process* Record(const World& w, DWORD pid) {
    if (w.snapshot_fails) return nullptr;
    for (auto it = w.processes.rbegin(); it != w.processes.rend(); ++it)  // the later record counts
        if (it->pid == pid) return &*it;
    return nullptr;
}

bool IsVoiceChat(std::wstring name) {
    for (wchar_t& c : name)
        if (L'A' <= c && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    for (const std::wstring& n : kVoiceChat)
        if (name == n) return true;
    return false;
}

void Climb(const World& w, DWORD pid, std::vector<DWORD>& line) {
    if (pid == 0 || line.size() == 32 || std::find(line.begin(), line.end(), pid) != line.end()) return;
    line.push_back(pid);
    if (const scripted::Process* record = Record(w, pid)) Climb(w, record->parent, line);
}

struct Stats {
    size_t unsafe = 0;  // candidates left out as unsafe
    size_t freed = 0;   // sources that an unsafe candidate above no longer drops
};

std::set<DWORD> Select(const World& w, Stats& stats) {
    std::vector<DWORD> audible;
    for (const scripted::Endpoint& e : w.endpoints)
        for (const scripted::Session& s : e.sessions)
            if (s.state != AudioSessionStateExpired && !s.system_sounds && s.pid != 0) audible.push_back(s.pid);
    // Left out: the target, the tool, voice chat and whatever descends from
    // them. The tool's own pid makes nothing above it unsafe.
    std::vector<DWORD> candidates;
    for (DWORD pid : audible) {
        std::vector<DWORD> line;
        Climb(w, pid, line);
        bool out = false;
        for (DWORD m : line) {
            const scripted::Process* record = Record(w, m);
            if (m == w.target || m == w.own || (record && IsVoiceChat(record->exe))) out = true;
        }
        if (!out) candidates.push_back(pid);
    }
    // Unsafe: in the line of the target or of any process named as voice chat.
    std::vector<DWORD> holders;
    Climb(w, w.target, holders);
    for (const scripted::Process& p : w.processes) {
        const scripted::Process* record = Record(w, p.pid);
        if (record == &p && IsVoiceChat(p.exe)) {
            std::vector<DWORD> line;
            Climb(w, p.pid, line);
            holders.insert(holders.end(), line.begin(), line.end());
        }
    }
    std::vector<DWORD> safe;
    for (DWORD pid : candidates)
        if (std::find(holders.begin(), holders.end(), pid) == holders.end())
            safe.push_back(pid);
        else
            ++stats.unsafe;
    // Dropped: a safe candidate among the ancestors.
    std::set<DWORD> result;
    for (DWORD pid : safe) {
        std::vector<DWORD> line;
        Climb(w, pid, line);
        bool below_safe = false, below_unsafe = false;
        for (size_t i = 1; i < line.size(); ++i) {
            const bool candidate = std::find(candidates.begin(), candidates.end(), line[i]) != candidates.end();
            const bool is_safe = std::find(safe.begin(), safe.end(), line[i]) != safe.end();
            below_safe |= is_safe;
            below_unsafe |= candidate && !is_safe;
        }
        if (!below_safe) result.insert(pid);
        if (!below_safe && below_unsafe) ++stats.freed;
    }
    return result;
}

}  // namespace naive

World RandomWorld(std::mt19937& random) {
    auto pick = [&](DWORD lo, DWORD hi) { return std::uniform_int_distribution<DWORD>(lo, hi)(random); };
    const std::wstring names[] = {L"player.exe", L"Browser.EXE", L"discord.exe", L"DISCORD.EXE", L"mydiscord.exe",
                                  L"Zoom.exe",   L"\u00C9dit.exe", L"viber.exe", L""};
    World w;
    const DWORD count = pick(0, 60);
    for (DWORD i = 0; i < count; ++i)
        w.processes.push_back({pick(1, 80), pick(0, 4) == 0 ? 0 : pick(1, 90), names[pick(0, 8)]});
    if (pick(0, 3) == 0) {  // a deep line, partly overlapping the rest
        const DWORD top = pick(40, 120), length = pick(20, 45);
        for (DWORD k = 0; k < length; ++k)
            w.processes.push_back({top + k, top + k + 1, names[pick(0, 3) == 0 ? pick(0, 8) : 0]});
    }
    w.endpoints.resize(pick(0, 3));
    for (scripted::Endpoint& e : w.endpoints) {
        const DWORD sessions = pick(0, 10);
        for (DWORD i = 0; i < sessions; ++i) {
            const DWORD pid = !w.processes.empty() && pick(0, 4) != 0
                                  ? w.processes[pick(0, static_cast<DWORD>(w.processes.size() - 1))].pid
                                  : pick(0, 170);
            e.sessions.push_back({static_cast<AudioSessionState>(pick(0, 2)), pick(0, 9) == 0, pid});
        }
    }
    w.target = pick(1, 170);
    w.own = pick(1, 170);
    w.snapshot_fails = pick(0, 19) == 0;
    return w;
}

TEST_F(SourceSelectionTest, AgreesWithANaiveModelOnRandomWorlds) {
    size_t nonempty = 0;
    naive::Stats stats;
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        std::mt19937 random(seed);
        const World w = RandomWorld(random);
        scripted::Reset();
        scripted::SetProcesses(w.processes);
        scripted::SetEndpoints(w.endpoints);
        scripted::SetCurrentProcessId(w.own);
        if (w.snapshot_fails) scripted::SetResult("CreateToolhelp32Snapshot", E_FAIL);
        scripted::SetCallLog(false);

        const std::set<DWORD> selected = SelectMixSources(w.target);

        ASSERT_EQ(selected, naive::Select(w, stats)) << "seed " << seed;
        ASSERT_THAT(scripted::OpenObjects(), IsEmpty()) << "seed " << seed;
        ASSERT_THAT(scripted::OpenHandles(), IsEmpty()) << "seed " << seed;
        nonempty += selected.size() > 1;
    }
    EXPECT_GT(nonempty, 300u) << "the random worlds rarely select more than one process";
    EXPECT_GT(stats.unsafe, 300u) << "the random worlds rarely hold an unsafe candidate";
    EXPECT_GT(stats.freed, 10u) << "the random worlds rarely hold a source below an unsafe candidate";
}

}  // namespace
