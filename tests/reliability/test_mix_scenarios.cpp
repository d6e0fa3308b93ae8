// Randomized mix-mode worlds on the virtual clock: a random process forest,
// sessions appearing and expiring, streams refused or failing, packets of any
// size, late and stalled turns, and a reader that may leave at any byte. The
// loop is turned here one MixTurn at a time and checked after every turn.
//
// A fixed set of seeds runs with the unit tests. scripts/soak runs any seed
// for any number of simulated hours through PCMTAP_SOAK_SEED and
// PCMTAP_SOAK_HOURS.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mix/mix_loop.h"
#include "tests/doubles/scripted_test.h"

namespace {

constexpr int64_t kFrequency = 3579545;  // an odd counter rate: the frame arithmetic must not drift
constexpr size_t kUnreadBound = 19200;   // samples after a complete drain
constexpr size_t kQueueBound = 38400;

// Mostly ordinary programs; a few voice-chat ones, in any case, and a near miss.
const wchar_t* const kNames[] = {L"player.exe", L"browser.exe", L"game.exe",  L"mydiscord.exe", L"svchost.exe",
                                 L"vlc.exe",    L"Music.EXE",   L"shell.exe", L"Discord.exe",   L"SLACK.EXE",
                                 L"player.exe", L"browser.exe", L"game.exe",  L"zoom.exe"};
const std::set<std::wstring> kVoiceChat = {
    L"discord.exe",  L"discordptb.exe",   L"discordcanary.exe", L"discorddevelopment.exe", L"teamspeak.exe",
    L"ts3client_win64.exe", L"ts3client_win32.exe", L"teamspeak3.exe", L"mumble.exe", L"skype.exe",
    L"skypeapp.exe", L"teams.exe", L"ms-teams.exe", L"zoom.exe", L"whatsapp.exe", L"whatsapp.root.exe",
    L"telegram.exe", L"slack.exe", L"guilded.exe", L"revolt.exe", L"element.exe", L"signal.exe", L"viber.exe"};

std::wstring Lower(std::wstring name) {
    for (wchar_t& c : name)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return name;
}

struct Scenario {
    uint64_t seed;
    uint64_t simulated_ms;
};

struct Totals {
    uint64_t turns = 0, chunks = 0, skipped_frames = 0, reconciliations = 0, faults = 0, session_changes = 0,
             refusals = 0;
};

class World {
public:
    explicit World(uint64_t seed) : random_(seed), seed_(seed) {}

    std::mt19937_64& random() { return random_; }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : random_() % n; }
    bool Chance(uint64_t one_in) { return Below(one_in) == 0; }

    // A forest with stray parents and the odd loop, a target and an own pid
    // somewhere in it, and sessions of every kind on one to three endpoints.
    void Build() {
        const size_t count = 8 + Below(40);
        std::set<DWORD> used;
        while (pids_.size() < count) {
            const DWORD pid = static_cast<DWORD>(1 + Below(300));
            if (used.insert(pid).second) pids_.push_back(pid);
        }
        for (size_t i = 0; i < pids_.size(); ++i) {
            DWORD parent = 0;
            const uint64_t kind = Below(10);
            if (kind < 7 && i > 0) parent = pids_[Below(i)];          // an earlier process
            else if (kind == 7) parent = static_cast<DWORD>(400 + Below(50));  // exited
            else if (kind == 8) parent = pids_[Below(pids_.size())];  // may loop back
            processes_.push_back({pids_[i], parent, kNames[Below(std::size(kNames))]});
        }
        target_ = Chance(5) ? 999 : pids_[Below(pids_.size())];
        own_ = Chance(3) ? pids_[Below(pids_.size())] : 4242;
        endpoints_ = 1 + Below(3);
        for (const DWORD pid : pids_) {
            if (Chance(2)) sessions_[pid] = RandomSession(pid);
            players_[pid] = {static_cast<UINT32>(1 + Below(1100)), 5 + Below(16), Below(4), seed_ ^ pid};
        }
        scripted::SetProcesses(processes_);
        scripted::SetCurrentProcessId(own_);
        Publish();
        for (const DWORD pid : pids_) Script(pid, Chance(8));
    }

    // Between turns: sessions come and go, streams start or stop being
    // refused, and now and then the next capture or open call fails.
    void Change(Totals& totals) {
        if (Chance(150)) {
            const DWORD pid = pids_[Below(pids_.size())];
            if (sessions_.count(pid) != 0 && Chance(2))
                sessions_.erase(pid);
            else
                sessions_[pid] = RandomSession(pid);
            Publish();
            ++totals.session_changes;
        }
        if (Chance(400)) {
            const DWORD pid = pids_[Below(pids_.size())];
            Script(pid, refused_.count(pid) == 0);
            ++totals.refusals;
        }
        if (Chance(300)) {
            static const char* const pump_calls[] = {"IAudioCaptureClient::GetNextPacketSize",
                                                     "IAudioCaptureClient::GetBuffer"};
            static const char* const open_calls[] = {"ActivateAudioInterfaceAsync", "IAudioClient::Initialize",
                                                     "IAudioClient::SetEventHandle", "IAudioClient::GetService",
                                                     "IAudioClient::Start"};
            const bool open = Chance(2);
            const std::string call = open ? open_calls[Below(std::size(open_calls))]
                                          : pump_calls[Below(std::size(pump_calls))];
            scripted::ClearResults();
            const int nth = scripted::CallCount(call) + 1 + static_cast<int>(Below(3));
            scripted::SetResult(call, AUDCLNT_E_DEVICE_INVALIDATED, nth);
            open_fault_ = open ? std::make_pair(call, nth) : std::make_pair(std::string(), 0);
            ++totals.faults;
        }
    }

    // The injected open fault that has struck since `calls_before`, if any.
    bool OpenFaultStruck(const std::map<std::string, int>& calls_before) const {
        if (open_fault_.second == 0) return false;
        const auto before = calls_before.find(open_fault_.first);
        const int then = before == calls_before.end() ? 0 : before->second;
        return then < open_fault_.second && scripted::CallCount(open_fault_.first) >= open_fault_.second;
    }
    std::map<std::string, int> OpenCallCounts() const {
        std::map<std::string, int> counts;
        if (open_fault_.second != 0) counts[open_fault_.first] = scripted::CallCount(open_fault_.first);
        return counts;
    }

    // What the selection must be, worked out afresh from the world as written.
    std::set<DWORD> ExpectedSelection() const {
        std::map<DWORD, const scripted::Process*> table;
        for (const scripted::Process& p : processes_) table[p.pid] = &p;
        auto chain = [&](DWORD start) {
            std::vector<DWORD> members;
            for (DWORD pid = start; pid != 0 && members.size() < 32 &&
                                    std::find(members.begin(), members.end(), pid) == members.end();) {
                members.push_back(pid);
                auto found = table.find(pid);
                if (found == table.end()) break;
                pid = found->second->parent;
            }
            return members;
        };
        std::set<DWORD> audible;
        for (const auto& [pid, session] : sessions_)
            if (session.state != AudioSessionStateExpired && !session.system_sounds && session.pid != 0)
                audible.insert(session.pid);
        std::set<DWORD> candidates;
        for (const DWORD pid : audible) {
            bool excluded = false;
            for (const DWORD member : chain(pid)) {
                auto found = table.find(member);
                excluded = excluded || member == target_ || member == own_ ||
                           (found != table.end() && kVoiceChat.count(Lower(found->second->exe)) != 0);
            }
            if (!excluded) candidates.insert(pid);
        }
        // Never selected, and dropping nothing: whatever is above the target or voice chat.
        std::vector<DWORD> above = chain(target_);
        for (const auto& [pid, process] : table)
            if (kVoiceChat.count(Lower(process->exe)) != 0) {
                const std::vector<DWORD> members = chain(pid);
                above.insert(above.end(), members.begin(), members.end());
            }
        for (const DWORD pid : above) candidates.erase(pid);
        std::set<DWORD> selection;
        for (const DWORD pid : candidates) {
            const std::vector<DWORD> members = chain(pid);
            if (std::none_of(members.begin() + 1, members.end(), [&](DWORD m) { return candidates.count(m) != 0; }))
                selection.insert(pid);
        }
        return selection;
    }

    const std::set<DWORD>& Refused() const { return refused_; }
    DWORD target() const { return target_; }

private:
    struct Player {
        UINT32 most_frames;     // packets of 1 to this many frames
        uint64_t interval_ms;   // one packet every this many ms
        uint64_t silent_one_in; // 0: never silent
        uint64_t salt;
    };

    scripted::Session RandomSession(DWORD pid) {
        scripted::Session session;
        const uint64_t kind = Below(10);
        session.state = kind < 5 ? AudioSessionStateActive : kind < 8 ? AudioSessionStateInactive : AudioSessionStateExpired;
        session.system_sounds = Chance(15);
        session.pid = Chance(30) ? 0 : pid;
        return session;
    }

    void Publish() {
        std::vector<scripted::Endpoint> endpoints(endpoints_);
        for (const auto& [pid, session] : sessions_) {
            endpoints[pid % endpoints_].sessions.push_back(session);
            if (pid % 5 == 0) endpoints[(pid + 1) % endpoints_].sessions.push_back(session);  // one process, two endpoints
        }
        scripted::SetEndpoints(endpoints);
    }

    // Packets of random size and silence, the same for every stream on the pid.
    void Script(DWORD pid, bool refuse) {
        if (refuse)
            refused_.insert(pid);
        else
            refused_.erase(pid);
        scripted::Loopback script;
        script.complete_on_thread = false;
        script.activation_result = refuse ? AUDCLNT_E_UNSUPPORTED_FORMAT : S_OK;
        const Player player = players_[pid];
        script.source = [player](size_t index) -> std::optional<scripted::Packet> {
            std::mt19937_64 draw(player.salt * 0x9E3779B97F4A7C15ull + index);
            scripted::Packet packet;
            packet.at_ms = index * player.interval_ms;
            packet.frames = static_cast<UINT32>(1 + draw() % player.most_frames);
            packet.silent = player.silent_one_in != 0 && draw() % (player.silent_one_in + 1) == 0;
            packet.value = static_cast<int16_t>(draw());
            return packet;
        };
        scripted::SetLoopback(pid, script);
    }

    std::mt19937_64 random_;
    uint64_t seed_;
    std::vector<DWORD> pids_;
    std::vector<scripted::Process> processes_;
    std::map<DWORD, scripted::Session> sessions_;
    std::map<DWORD, Player> players_;
    std::set<DWORD> refused_;
    size_t endpoints_ = 1;
    DWORD target_ = 0, own_ = 0;
    std::pair<std::string, int> open_fault_;
};

int64_t Counter() {
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// Every stream either held by exactly one source or closed completely.
void CheckStreams(const SourceMap& sources) {
    std::multiset<DWORD> open;
    for (const scripted::StreamState& s : scripted::Streams()) {
        const bool closed = s.audio_client_refs == 0 && s.capture_client_refs == 0 && (!s.event_set || s.event_closed);
        const bool held = s.audio_client_refs == 1 && s.capture_client_refs == 1 && !s.event_closed && !s.stopped;
        ASSERT_TRUE(closed || held) << "stream on " << s.pid << ": refs " << s.audio_client_refs << "/"
                                    << s.capture_client_refs << ", event closed " << s.event_closed;
        if (held) open.insert(s.pid);
    }
    std::multiset<DWORD> keys;
    for (const auto& entry : sources) keys.insert(entry.first);
    ASSERT_EQ(open, keys) << "the streams still open are the sources', one each";
    // Between turns nothing else of the platform is held: no session object, snapshot or handler event.
    std::multiset<std::string> objects;
    for (const std::string& name : scripted::OpenObjects()) objects.insert(name);
    ASSERT_EQ(objects.count("IAudioClient"), keys.size());
    ASSERT_EQ(objects.count("IAudioCaptureClient"), keys.size());
    ASSERT_EQ(objects.size(), 2 * keys.size()) << "objects other than the sources' clients are held";
    const auto handles = scripted::OpenHandles();
    ASSERT_EQ(static_cast<size_t>(std::count(handles.begin(), handles.end(), "auto-reset event")), keys.size());
    ASSERT_EQ(handles.size(), keys.size()) << "handles other than the sources' events are open";
}

void CheckSources(const SourceMap& sources, uint64_t turn) {
    for (const auto& [pid, source] : sources) {
        const size_t stored = source.sample_queue.size();
        ASSERT_LE(source.read_index, stored) << pid << ", turn " << turn;
        ASSERT_EQ(stored % 2, 0u) << pid << ", turn " << turn;
        ASSERT_EQ(source.read_index % 2, 0u) << pid << ", turn " << turn;
        if (source.failed) continue;  // a failed drain skips the trim until the source is replaced
        ASSERT_LE(stored - source.read_index, kUnreadBound) << pid << ", turn " << turn;
        ASSERT_LE(stored, kQueueBound) << pid << ", turn " << turn;
    }
}

void RunScenario(const Scenario& scenario, Totals& totals) {
    SCOPED_TRACE("seed " + std::to_string(scenario.seed));
    World world(scenario.seed);
    std::mt19937_64& random = world.random();
    scripted::SetCallLog(false);
    scripted::KeepStdout(false);
    scripted::SetPerformanceFrequency(kFrequency);
    scripted::SetPerformanceCounterStart(static_cast<int64_t>(random() % 1000000000000ull));
    scripted::SetTickCountStart(static_cast<DWORD>(random()));  // wraps whenever it likes
    scripted::SetSleepDuration([&world](DWORD ms) -> uint64_t {
        if (world.Chance(800)) return (20 + world.Below(600)) * 1000000;  // a stall, often past 100 ms
        return ms * 1000000ull + world.Below(4000000);
    });
    const uint64_t sim_ns = scenario.simulated_ms * 1000000;
    const bool reader_leaves = world.Chance(2);
    const size_t limit = reader_leaves ? static_cast<size_t>(world.Below(sim_ns / 1000000 * 192 + 1)) : SIZE_MAX;
    scripted::CloseStdoutAfter(limit);
    world.Build();
    // Long runs look at every stream less often: the census costs as much as the streams ever opened.
    const uint64_t census_every = scenario.simulated_ms > 600000 ? 60 : 1;

    MixLoop loop;
    loop.target_pid = world.target();
    ReconcileSources(loop.target_pid, loop.sources);
    const int64_t start = Counter();
    StartMixLoop(loop);
    int64_t written = 0;  // frames that went to stdout

    while (scripted::NowNanoseconds() < sim_ns) {
        world.Change(totals);
        const int64_t before = loop.clock.frames_produced;
        const DWORD refresh_before = loop.last_refresh;
        const auto open_calls_before = world.OpenCallCounts();
        const bool went_on = MixTurn(loop);
        ++totals.turns;
        const uint64_t turn = totals.turns;

        const int64_t due =
            static_cast<int64_t>(static_cast<__int128>(Counter() - start) * 48000 / kFrequency);
        int64_t chunk = 0;
        if (loop.clock.frames_produced != before) {
            ASSERT_EQ(loop.clock.frames_produced, due) << "turn " << turn;
            chunk = std::min<int64_t>(due - before, 4800);
            ASSERT_GE(chunk, 480) << "turn " << turn;
            totals.skipped_frames += static_cast<uint64_t>(due - before - chunk);
            ++totals.chunks;
        } else {
            ASSERT_LT(due - before, 480) << "turn " << turn;
        }
        if (!went_on) {
            // The reader left inside this chunk, not before it and not after.
            ASSERT_TRUE(reader_leaves) << "turn " << turn;
            ASSERT_LE(static_cast<size_t>(written) * 4, limit) << "turn " << turn;
            ASSERT_LT(limit, static_cast<size_t>(written + chunk) * 4) << "turn " << turn;
            ASSERT_EQ(scripted::StdoutBytes(), limit);
            return;
        }
        written += chunk;
        ASSERT_EQ(scripted::StdoutBytes(), static_cast<size_t>(written) * 4) << "turn " << turn;
        ASSERT_TRUE(scripted::Violations().empty()) << scripted::Violations().front() << ", turn " << turn;
        CheckSources(loop.sources, turn);
        if (::testing::Test::HasFatalFailure()) return;

        if (loop.last_refresh != refresh_before) {
            ++totals.reconciliations;
            const std::set<DWORD> selection = world.ExpectedSelection();
            size_t unexplained = 0;
            for (const auto& entry : loop.sources)
                ASSERT_EQ(selection.count(entry.first), 1u) << "source " << entry.first << " not selected, turn " << turn;
            for (const DWORD pid : selection)
                if (loop.sources.count(pid) == 0 && world.Refused().count(pid) == 0) ++unexplained;
            ASSERT_LE(unexplained, world.OpenFaultStruck(open_calls_before) ? 1u : 0u)
                << "selected pids without a source, turn " << turn;
            if (totals.reconciliations % census_every == 0) CheckStreams(loop.sources);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    CheckStreams(loop.sources);
}

void RunAndReport(const Scenario& scenario) {
    Totals totals;
    scripted::Reset();
    const auto run = scripted::Run([&] {
        RunScenario(scenario, totals);
        return 0;
    });
    EXPECT_EQ(run.exit_code, 0);
    for (const std::string& violation : scripted::Violations()) ADD_FAILURE() << "seed " << scenario.seed << ": " << violation;
    printf("seed %llu: %.3f simulated hours, %llu turns, %llu chunks, %llu frames skipped, %llu reconciliations, "
           "%llu faults, %llu session changes, %llu refusal changes, %zu streams\n",
           static_cast<unsigned long long>(scenario.seed), scripted::NowNanoseconds() / 3.6e12,
           static_cast<unsigned long long>(totals.turns), static_cast<unsigned long long>(totals.chunks),
           static_cast<unsigned long long>(totals.skipped_frames),
           static_cast<unsigned long long>(totals.reconciliations), static_cast<unsigned long long>(totals.faults),
           static_cast<unsigned long long>(totals.session_changes), static_cast<unsigned long long>(totals.refusals),
           scripted::Streams().size());
    if (::testing::Test::HasFailure()) printf("FAILED with seed %llu\n", static_cast<unsigned long long>(scenario.seed));
}

class MixScenarios : public ScriptedTest {};

TEST_F(MixScenarios, FixedSeeds) {
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        RunAndReport({seed, 90000});
        if (HasFailure()) break;
    }
}

// scripts/soak: PCMTAP_SOAK_SEED=N [PCMTAP_SOAK_HOURS=H]
TEST_F(MixScenarios, SeedFromEnvironment) {
    const char* seed = getenv("PCMTAP_SOAK_SEED");
    if (seed == nullptr) GTEST_SKIP() << "PCMTAP_SOAK_SEED not set";
    const char* hours = getenv("PCMTAP_SOAK_HOURS");
    const double h = hours != nullptr ? atof(hours) : 1.0;
    RunAndReport({strtoull(seed, nullptr, 10), static_cast<uint64_t>(h * 3600000)});
}

}  // namespace
