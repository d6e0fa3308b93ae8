// Randomized mix-mode worlds on the virtual clock: a random process forest,
// sessions appearing and expiring, streams refused or failing or slow to
// activate, packets of any size from devices whose clocks drift, late and
// stalled turns, and a reader that may leave at any byte. The loop is turned
// here one MixTurn at a time, with the reconciling thread beside it, and
// checked after every turn. Beside them, the drift world: steady players
// on clocks up to 300 ppm off, which must never run dry or pile up.
//
// A fixed set of seeds runs with the unit tests. scripts/soak runs any seed
// for any number of simulated hours through PCMTAP_SOAK_SEED and
// PCMTAP_SOAK_HOURS.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mix/mix_loop.h"
#include "mix/reconciler.h"
#include "tests/doubles/scripted_test.h"
#include "tests/mix/mix_world.h"

namespace {

constexpr int64_t kFrequency = 3579545;  // an odd counter rate: the frame arithmetic must not drift
constexpr uint64_t kLongestStallMs = 620;
constexpr DWORD kSteady = 500;  // a player on the mix's own clock, selected throughout
constexpr PcmFormat kMono16k{16000, 1, SampleType::kS16}, kFloat{48000, 2, SampleType::kF32};

// In queue units (mix/mix_frames.h), at the run's format.
struct Bounds {
    size_t unread, queue;  // after a complete drain
    // Most one drain can find: a stall's worth of the busiest player (1100
    // frames every 5 ms). A failed drain skips the trim once, so two drains
    // may pile up before the next trim; storage grows by half at a time.
    size_t longest_drain, queue_capacity, mix_capacity, resampling_capacity;
};
Bounds BoundsOf(const MixFrames& mix) {
    const size_t most = static_cast<size_t>(mix.max_chunk), unread = most * mix.units;
    const size_t drain = (kLongestStallMs / 5 + 2) * 1100 * mix.units;
    return {unread, 2 * unread, drain, (2 * unread + 2 * drain) * 3 / 2, unread * 3 / 2, (most + 5 + 16) * 2 * 3 / 2};
}

// Mostly ordinary programs; a few voice-chat ones, in any case, and a near miss.
const wchar_t* const kNames[] = {L"player.exe", L"browser.exe", L"game.exe",  L"mydiscord.exe", L"svchost.exe",
                                 L"vlc.exe",    L"Music.EXE",   L"shell.exe", L"Discord.exe",   L"SLACK.EXE",
                                 L"player.exe", L"browser.exe", L"game.exe",  L"zoom.exe"};
const std::set<std::wstring> kVoiceChat = {L"discord.exe",
                                           L"discordptb.exe",
                                           L"discordcanary.exe",
                                           L"discorddevelopment.exe",
                                           L"teamspeak.exe",
                                           L"ts3client_win64.exe",
                                           L"ts3client_win32.exe",
                                           L"teamspeak3.exe",
                                           L"mumble.exe",
                                           L"skype.exe",
                                           L"skypeapp.exe",
                                           L"teams.exe",
                                           L"ms-teams.exe",
                                           L"zoom.exe",
                                           L"whatsapp.exe",
                                           L"whatsapp.root.exe",
                                           L"telegram.exe",
                                           L"slack.exe",
                                           L"guilded.exe",
                                           L"revolt.exe",
                                           L"element.exe",
                                           L"signal.exe",
                                           L"viber.exe"};

std::wstring Lower(std::wstring name) {
    for (wchar_t& c : name)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return name;
}

struct Scenario {
    uint64_t seed;
    uint64_t simulated_ms;
    PcmFormat format = {};
};

struct Totals {
    uint64_t turns = 0, chunks = 0, skipped_frames = 0, skipping_chunks = 0, reconciliations = 0, faults = 0,
             session_changes = 0, refusals = 0, streams = 0, resampled_sources = 0;
};

class World {
public:
    explicit World(uint64_t seed) : random_(seed), seed_(seed) {}

    std::mt19937_64& random() { return random_; }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : random_() % n; }
    bool Chance(uint64_t one_in) { return Below(one_in) == 0; }

    // A forest with stray parents and the odd loop, a target and an own pid
    // somewhere in it, and sessions of every kind on one to three endpoints.
    // Processes start in list order, several within one timer tick; a parent
    // that exited may have left its pid to a later process, the target, the
    // tool and voice-chat programs included.
    void Build() {
        const size_t count = 8 + Below(40);
        std::set<DWORD> used;
        while (pids_.size() < count) {
            const DWORD pid = static_cast<DWORD>(1 + Below(300));
            if (used.insert(pid).second) pids_.push_back(pid);
        }
        LONGLONG now = 1000;
        for (size_t i = 0; i < pids_.size(); ++i) {
            now += static_cast<LONGLONG>(Below(3));
            const LONGLONG created = Chance(20) ? 0 : now;  // 0: the time could not be read
            processes_.push_back({pids_[i], 0, kNames[Below(std::size(kNames))], created});
        }
        target_ = Chance(5) ? 999 : pids_[Below(pids_.size())];
        own_ = Chance(3) ? pids_[Below(pids_.size())] : 4242;
        std::vector<size_t> notable;  // the target, the tool and voice chat, when listed
        for (size_t i = 0; i < pids_.size(); ++i)
            if (pids_[i] == target_ || pids_[i] == own_ || kVoiceChat.count(Lower(processes_[i].exe)) != 0)
                notable.push_back(i);
        for (size_t i = 0; i < pids_.size(); ++i) {
            scripted::Process& process = processes_[i];
            const uint64_t kind = Below(12);
            if (kind < 7 && i > 0) {
                process.parent = pids_[Below(i)];  // an earlier process
            } else if (kind == 7) {
                process.parent = static_cast<DWORD>(400 + Below(50));  // exited
            } else if (kind == 8) {
                process.parent = pids_[Below(pids_.size())];  // may loop back, or be a reused pid
            } else if (kind == 9 && !notable.empty()) {
                // Its parent exited before one of them started and got its pid.
                const scripted::Process& holder = processes_[notable[Below(notable.size())]];
                process.parent = holder.pid;
                if (holder.created != 0 && process.created != 0 && holder.pid != process.pid)
                    process.created = 1 + static_cast<LONGLONG>(Below(static_cast<uint64_t>(holder.created)));
            }
        }
        endpoints_ = 1 + Below(3);
        for (const DWORD pid : pids_) {
            if (Chance(2)) sessions_[pid] = RandomSession(pid);
            const double ppm = static_cast<double>(Below(601)) - 300;
            const uint64_t interval = 5 + Below(16), steady = Chance(3);  // one in three keeps time on its clock
            const auto most = static_cast<UINT32>(steady ? 48 * interval : 1 + Below(1100));
            players_[pid] = {most, interval, Below(4), seed_ ^ pid, ppm, steady != 0};
        }
        processes_.push_back({kSteady, 0, L"steady.exe"});
        sessions_[kSteady] = scripted::Session{AudioSessionStateActive, false, kSteady};
        players_[kSteady] = {480, 10, 0, seed_ ^ kSteady, 0, true};
        scripted::SetProcesses(processes_);
        scripted::SetCurrentProcessId(own_);
        Publish();
        for (const DWORD pid : pids_) Script(pid, Chance(8));
        Script(kSteady, false);
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
            const std::string call =
                open ? open_calls[Below(std::size(open_calls))] : pump_calls[Below(std::size(pump_calls))];
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
            for (DWORD pid = start;
                 pid != 0 && members.size() < 32 && std::find(members.begin(), members.end(), pid) == members.end();) {
                members.push_back(pid);
                auto found = table.find(pid);
                if (found == table.end()) break;
                // A parent created after the child holds a reused pid and is
                // no parent; an unknown time (0) keeps the link.
                auto parent = table.find(found->second->parent);
                if (parent != table.end() && parent->second->created != 0 && found->second->created != 0 &&
                    parent->second->created > found->second->created)
                    break;
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
    // Pids whose activation was drawn past the time-out, since the last call.
    std::set<DWORD> TakeTimedOut() { return std::exchange(timed_out_, {}); }
    DWORD target() const { return target_; }

private:
    struct Player {
        UINT32 most_frames;      // packets of 1 to this many frames
        uint64_t interval_ms;    // one packet every this many ms
        uint64_t silent_one_in;  // 0: never silent
        uint64_t salt;
        double ppm;           // the device clock's offset
        bool steady = false;  // every packet full size
    };

    scripted::Session RandomSession(DWORD pid) {
        scripted::Session session;
        const uint64_t kind = Below(10);
        session.state = kind < 5   ? AudioSessionStateActive
                        : kind < 8 ? AudioSessionStateInactive
                                   : AudioSessionStateExpired;
        session.system_sounds = Chance(15);
        session.pid = Chance(30) ? 0 : pid;
        return session;
    }

    void Publish() {
        std::vector<scripted::Endpoint> endpoints(endpoints_);
        for (const auto& [pid, session] : sessions_) {
            endpoints[pid % endpoints_].sessions.push_back(session);
            if (pid % 5 == 0)
                endpoints[(pid + 1) % endpoints_].sessions.push_back(session);  // one process, two endpoints
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
        script.rate_ppm = player.ppm;
        // Mostly a few ms to 300 ms; now and then past the opener's 10 s.
        script.activation_draw = [this, pid] {
            const uint64_t ms = Chance(60) ? 10001 + Below(3000) : 1 + Below(300);
            if (ms > 10000) timed_out_.insert(pid);
            return ms;
        };
        script.source = [player](size_t index) -> std::optional<scripted::Packet> {
            std::mt19937_64 draw(player.salt * 0x9E3779B97F4A7C15ull + index);
            scripted::Packet packet;
            packet.at_ms = index * player.interval_ms;
            packet.frames = player.steady ? player.most_frames : static_cast<UINT32>(1 + draw() % player.most_frames);
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
    std::set<DWORD> timed_out_;
    size_t endpoints_ = 1;
    DWORD target_ = 0, own_ = 0;
    std::pair<std::string, int> open_fault_;
};

int64_t Counter() {
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// Every stream either held by exactly one owner (a source, or the handoff on
// its way in or out) or closed completely, but those the platform is still
// activating. Between turns the reconciling thread holds none: it only blocks
// waiting for an activation or between rounds.
void CheckStreams(const MixLoop& loop) {
    std::multiset<const IAudioClient*> owned;
    for (const auto& entry : loop.sources) owned.insert(entry.second.stream.audio_client);
    for (const CaptureStream& stream : loop.spare.released) owned.insert(stream.audio_client);  // the handoff's full
    {
        std::lock_guard<std::mutex> hold(loop.handoff->lock);
        for (const SourceChange& change : loop.handoff->changes)
            if (change.stream.audio_client != nullptr) owned.insert(change.stream.audio_client);
        for (const CaptureStream& stream : loop.handoff->released) owned.insert(stream.audio_client);
    }
    std::multiset<const IAudioClient*> open;
    size_t activating = 0;
    for (const scripted::StreamState& s : scripted::Streams()) {
        const bool closed = s.audio_client_refs == 0 && s.capture_client_refs == 0 && (!s.event_set || s.event_closed);
        const bool held = s.audio_client_refs == 1 && s.capture_client_refs == 1 && !s.event_closed && !s.stopped;
        const bool in_activation = !s.initialized && s.capture_client_refs == 0 && !closed;
        ASSERT_TRUE(closed || held || in_activation) << "stream on " << s.pid << ": refs " << s.audio_client_refs << "/"
                                                     << s.capture_client_refs << ", event closed " << s.event_closed;
        if (held) open.insert(s.audio_client);
        if (in_activation) ++activating;
    }
    ASSERT_EQ(open, owned) << "the streams still open are the owners', one each";
    // Nothing else of the platform is held: no session object or snapshot.
    std::multiset<std::string> objects;
    for (const std::string& name : scripted::OpenObjects()) objects.insert(name);
    ASSERT_EQ(objects.count("IAudioClient"), owned.size() + activating);
    ASSERT_EQ(objects.count("IAudioCaptureClient"), owned.size());
    // Activations not completed yet, the one waited for and those given up on.
    const size_t operations = objects.count("IActivateAudioInterfaceAsyncOperation");
    ASSERT_EQ(objects.size(), 2 * owned.size() + activating + operations) << "objects other than the streams' are held";
    const auto handles = scripted::OpenHandles();
    ASSERT_EQ(static_cast<size_t>(std::count(handles.begin(), handles.end(), "auto-reset event")), owned.size());
    const auto completions = static_cast<size_t>(std::count(handles.begin(), handles.end(), "manual-reset event"));
    ASSERT_LE(completions, operations) << "an activation's completion event outlives it";
    // The reconciler holds the process of each source it opened, at most one a stream.
    const auto processes = static_cast<size_t>(std::count(handles.begin(), handles.end(), "process"));
    ASSERT_LE(processes, owned.size());
    ASSERT_EQ(handles.size(), owned.size() + completions + processes)
        << "handles other than the streams' events and their processes are open";
}

int RoundWaits() { return scripted::CallCount("Sleep") + scripted::CallCount("WaitForMultipleObjects"); }

void CheckSources(const MixLoop& loop, uint64_t turn) {
    const Bounds bound = BoundsOf(loop.frames);
    for (const auto& [pid, source] : loop.sources) {
        const size_t stored = source.sample_queue.size();
        ASSERT_LE(source.read_index, stored) << pid << ", turn " << turn;
        ASSERT_EQ(stored % loop.frames.units, 0u) << pid << ", turn " << turn;
        ASSERT_EQ(source.read_index % loop.frames.units, 0u) << pid << ", turn " << turn;
        // Storage stays bounded, failed or not: it only grows for a longer drain.
        ASSERT_LE(source.sample_queue.capacity(), bound.queue_capacity) << pid << ", turn " << turn;
        ASSERT_LE(source.drift.output.capacity(), bound.mix_capacity) << pid << ", turn " << turn;
        ASSERT_LE(std::abs(source.drift.ppm), 4000.0) << pid << ", turn " << turn;
        if (source.failed) continue;  // a failed drain skips the trim until the source is replaced
        ASSERT_LE(stored - source.read_index, bound.unread) << pid << ", turn " << turn;
        ASSERT_LE(stored, bound.queue) << pid << ", turn " << turn;
    }
    ASSERT_LE(loop.buffers.accumulator.capacity(), bound.mix_capacity);
    ASSERT_LE(loop.buffers.output.capacity(), bound.mix_capacity);
    ASSERT_LE(loop.buffers.resampling.capacity(), bound.resampling_capacity);
}

void RunScenario(const Scenario& scenario, Totals& totals) {
    SCOPED_TRACE("seed " + std::to_string(scenario.seed));
    World world(scenario.seed);
    std::mt19937_64& random = world.random();
    scripted::SetCallLog(false);
    scripted::KeepStdout(false);
    scripted::SetPerformanceFrequency(kFrequency);
    scripted::SetPerformanceCounterStart(static_cast<int64_t>(random() % 1000000000000ull));
    // Every third world's tick count wraps during the run; the refresh must not notice.
    const DWORD ticks = static_cast<DWORD>(random());
    scripted::SetTickCountStart(scenario.seed % 3 == 0 ? 0xFFFFFFFFu - ticks % scenario.simulated_ms : ticks);
    uint64_t last_stall_ns = 0;
    const uint64_t stall_one_in = world.Chance(2) ? 800 : 8000;  // a loaded machine, or a calmer one
    scripted::SetSleepDuration([&world, &last_stall_ns, stall_one_in](DWORD ms) -> uint64_t {
        if (ms == 5 && world.Chance(stall_one_in)) {  // a stall of the mixing thread, often past 100 ms
            last_stall_ns = scripted::NowNanoseconds();
            return (20 + world.Below(kLongestStallMs - 19)) * 1000000;
        }
        if (ms == 5 && world.Chance(8)) return (ms + 5 + world.Below(46)) * 1000000;  // woken late
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
    loop.frames = MixFramesOf(scenario.format);
    const size_t frame_bytes = FrameBytes(scenario.format);
    ReconcileSources(loop.target_pid, loop.sources, scenario.format);
    ASSERT_TRUE(StartReconcilingThread(loop.target_pid, loop.handoff, scenario.format));
    const int64_t start = Counter();
    StartMixLoop(loop);
    int64_t written = 0;  // frames that went to stdout
    // Reconciliation rounds: begun (one snapshot each) and ended (the
    // reconciling thread's wait after each, a Sleep or, while it holds
    // processes, a wait on them; the mixing thread sleeps once a turn).
    int rounds_begun = scripted::CallCount("CreateToolhelp32Snapshot");
    std::set<DWORD> selection, unopenable;  // the round's selection; pids it may have failed to open
    bool open_fault = false;
    IAudioClient* steady_client = nullptr;  // the steady source's stream while it plays
    world.TakeTimedOut();

    while (scripted::NowNanoseconds() < sim_ns) {
        world.Change(totals);
        const int64_t before = loop.clock.frames_produced;
        const auto open_calls_before = world.OpenCallCounts();
        const int rounds_ended_before = std::max(0, RoundWaits() - static_cast<int>(totals.turns) - 1);
        const bool went_on = MixTurn(loop);
        ++totals.turns;
        const uint64_t turn = totals.turns;
        const int rounds_ended = std::max(0, RoundWaits() - static_cast<int>(totals.turns) - 1);
        const int rounds_now = scripted::CallCount("CreateToolhelp32Snapshot");

        const int64_t due = static_cast<int64_t>(static_cast<__int128>(Counter() - start) * scenario.format.rate / kFrequency);
        int64_t chunk = 0;
        if (loop.clock.frames_produced != before) {
            ASSERT_EQ(loop.clock.frames_produced, due) << "turn " << turn;
            chunk = std::min<int64_t>(due - before, loop.frames.max_chunk);
            ASSERT_GE(chunk, loop.frames.min_chunk) << "turn " << turn;
            totals.skipped_frames += static_cast<uint64_t>(due - before - chunk);
            if (chunk != due - before) ++totals.skipping_chunks;
            ++totals.chunks;
        } else {
            ASSERT_LT(due - before, loop.frames.min_chunk) << "turn " << turn;
        }
        if (!went_on) {
            // The reader left inside this chunk, not before it and not after.
            ASSERT_TRUE(reader_leaves) << "turn " << turn;
            ASSERT_LE(static_cast<size_t>(written) * frame_bytes, limit) << "turn " << turn;
            ASSERT_LT(limit, static_cast<size_t>(written + chunk) * frame_bytes) << "turn " << turn;
            ASSERT_EQ(scripted::StdoutBytes(), limit);
            return;
        }
        written += chunk;
        ASSERT_EQ(scripted::StdoutBytes(), static_cast<size_t>(written) * frame_bytes) << "turn " << turn;
        ASSERT_TRUE(scripted::Violations().empty()) << scripted::Violations().front() << ", turn " << turn;
        CheckSources(loop, turn);
        if (::testing::Test::HasFatalFailure()) return;

        for (const auto& entry : loop.sources)
            if (entry.second.drift.mode != DriftMode::kPassThrough) ++totals.resampled_sources;

        // A playing source never runs dry because others come and go, or
        // because an activation takes its time: only its own failure or a
        // stall of the loop itself may take it out of the mix.
        const auto playing = loop.sources.find(kSteady);
        const bool stalled = scripted::NowNanoseconds() - last_stall_ns < 1000000000;
        if (playing != loop.sources.end() && playing->second.stream.audio_client == steady_client && steady_client &&
            !playing->second.failed && !stalled) {
            ASSERT_TRUE(playing->second.primed) << "the steady source ran dry, turn " << turn;
        }
        steady_client = playing != loop.sources.end() && playing->second.primed && !playing->second.failed
                            ? playing->second.stream.audio_client
                            : nullptr;

        // Whatever the world was when a round took its snapshot is what that
        // round must bring about once it has ended; it may fail to open a pid
        // that was refused, timed out or hit by a fault meanwhile.
        if (rounds_now != rounds_begun) {
            rounds_begun = rounds_now;
            selection = world.ExpectedSelection();
            unopenable.clear();
            open_fault = false;
        }
        unopenable.insert(world.Refused().begin(), world.Refused().end());
        const std::set<DWORD> timed_out = world.TakeTimedOut();
        unopenable.insert(timed_out.begin(), timed_out.end());
        open_fault = open_fault || world.OpenFaultStruck(open_calls_before);
        if (rounds_ended != rounds_ended_before) {
            ++totals.reconciliations;
            size_t unexplained = 0;
            for (const auto& entry : loop.sources)
                ASSERT_TRUE(entry.second.leaving || selection.count(entry.first) == 1)
                    << "source " << entry.first << " not selected, turn " << turn;
            for (const DWORD pid : selection)
                if (loop.sources.count(pid) == 0 && unopenable.count(pid) == 0) ++unexplained;
            ASSERT_LE(unexplained, open_fault ? 1u : 0u) << "selected pids without a source, turn " << turn;
            if (totals.reconciliations % census_every == 0) CheckStreams(loop);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    CheckStreams(loop);
}

// Runs one world from virtual time 0, with the scripted stdout and stderr.
void RunInFreshWorld(const std::function<void()>& world) {
    scripted::Reset();
    const auto run = scripted::Run([&] {
        world();
        return 0;
    });
    EXPECT_EQ(run.exit_code, 0);
}

void Add(Totals& sum, const Totals& t) {
    sum.turns += t.turns, sum.chunks += t.chunks, sum.skipped_frames += t.skipped_frames;
    sum.skipping_chunks += t.skipping_chunks, sum.reconciliations += t.reconciliations, sum.faults += t.faults;
    sum.session_changes += t.session_changes, sum.refusals += t.refusals, sum.streams += t.streams;
    sum.resampled_sources += t.resampled_sources;
}

void RunAndReport(const Scenario& scenario, Totals& sum) {
    Totals totals;
    RunInFreshWorld([&] { RunScenario(scenario, totals); });
    for (const std::string& violation : scripted::Violations())
        ADD_FAILURE() << "seed " << scenario.seed << ": " << violation;
    printf(
        "seed %llu: %.3f simulated hours, %llu turns, %llu chunks, %llu frames skipped, %llu reconciliations, "
        "%llu faults, %llu session changes, %llu refusal changes, %zu streams\n",
        static_cast<unsigned long long>(scenario.seed), scripted::NowNanoseconds() / 3.6e12,
        static_cast<unsigned long long>(totals.turns), static_cast<unsigned long long>(totals.chunks),
        static_cast<unsigned long long>(totals.skipped_frames), static_cast<unsigned long long>(totals.reconciliations),
        static_cast<unsigned long long>(totals.faults), static_cast<unsigned long long>(totals.session_changes),
        static_cast<unsigned long long>(totals.refusals), scripted::Streams().size());
    if (::testing::Test::HasFailure())
        printf("FAILED with seed %llu\n", static_cast<unsigned long long>(scenario.seed));
    totals.streams = scripted::Streams().size();  // whether the world ran out or its reader left
    Add(sum, totals);
}

// ---- A player's own disturbances -------------------------------------------------

// Now and then a cycle lost (64 to 256 frames of a packet never delivered,
// the packet flagged), the server's latency shifted for good by 3 to 25 ms
// either way, or a pause of 0.3 to 1.5 s after which the source has run dry
// and joins again: steps of its backlog, never drift.
struct Disturbances {
    std::map<uint64_t, int64_t> delay;  // from this ms of the player's time on: delivered this many ms later
    std::map<size_t, UINT32> holes;     // packet index: frames lost from its start
    std::vector<uint64_t> excused;      // by ms of delivery: a gap starting then is a pause's or a shift's (until when)
};

// When a packet due at `due_ms` of the player's time is delivered.
uint64_t Delivered(const Disturbances& d, uint64_t due_ms) {
    const auto shift = d.delay.upper_bound(due_ms);
    if (shift == d.delay.begin()) return due_ms;
    const int64_t at = static_cast<int64_t>(due_ms) + std::prev(shift)->second;
    return static_cast<uint64_t>(std::max<int64_t>(at, static_cast<int64_t>(std::prev(shift)->first)));
}

Disturbances Disturb(std::mt19937_64& random, double seconds, uint64_t packet_ms, bool shifts) {
    Disturbances d;
    const auto end = static_cast<uint64_t>(seconds * 1000);
    std::vector<uint64_t> holes;
    for (uint64_t at = 2000 + random() % 8000; at < end; at += 5000 + random() % 15000) {
        d.holes[at / packet_ms] = std::array<UINT32, 4>{64, 80, 128, 256}[random() % 4];  // a graph's quanta
        holes.push_back(at);
    }
    int64_t total = 0;
    d.excused.assign(end + 30000, 0);
    for (uint64_t at = 3000 + random() % 10000; shifts && at < end; at += 8000 + random() % 20000) {
        int64_t by = random() % 4 == 0 ? 300 + static_cast<int64_t>(random() % 1201)
                                       : static_cast<int64_t>(3 + random() % 23) * (random() % 2 ? 1 : -1);
        if (total + by < -40) by = -by;  // at most 40 ms early
        const uint64_t from = static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(at) + total));
        total += by;
        d.delay[at] = total;
        // A source that joins again may run dry once more while it finds its feet, as at its start.
        const uint64_t to = static_cast<uint64_t>(static_cast<int64_t>(at) + std::max<int64_t>(total, 0)) + 1000;
        for (uint64_t ms = from; by > 0 && ms < to && ms < d.excused.size(); ++ms) d.excused[ms] = to;
    }
    // A lost cycle may take what a source held.
    for (const uint64_t at : holes)
        for (uint64_t ms = Delivered(d, at), to = ms + 1000; ms < to && ms < d.excused.size(); ++ms) d.excused[ms] = to;
    return d;
}

// ---- The drift world ----------------------------------------------------------

// Eight steady players, 480 frames every 10 ms of their own device's clock,
// the clocks spread from 300 ppm slow to 300 ppm fast, and turns 5 to 8 ms
// apart, one in eight 5 to 50 ms late. Once the first second is over, no
// source may run dry and prime again, be trimmed or hold more than 70 ms;
// after ten minutes, what each has learned stays within 15 ppm of its clock.
struct DriftFigures {
    double lowest = 1e18, highest = 0;  // frames unread after a turn, after the first second
    size_t fewest_unread = SIZE_MAX;    // samples at a chunk, before it is taken
    int primes = 0, dries = 0, trims = 0;
    uint64_t passing_through = 0, resampling = 0;  // source-turns
    double wobble = 0;                             // ppm the learned drift strays from the clock's, after 10 minutes
};

void RunDriftWorld(uint64_t seed, double hours, DriftFigures& figures) {
    constexpr DWORD kTarget = 7;
    const double offsets[] = {-300, -214, -129, -43, 43, 129, 214, 300};
    std::vector<DWORD> pids;
    for (DWORD k = 0; k < std::size(offsets); ++k) {
        const DWORD pid = 100 + k;
        pids.push_back(pid);
        scripted::Loopback script = mixworld::Script();
        script.rate_ppm = offsets[k];
        script.source = [pid](size_t index) -> std::optional<scripted::Packet> {
            return mixworld::Tone(index * 10, 480, static_cast<int16_t>(pid * 37));
        };
        scripted::SetLoopback(pid, script);
    }
    pids.push_back(kTarget);
    mixworld::MakeAudible(pids);
    std::mt19937_64 random(seed);
    scripted::SetCallLog(false);
    scripted::KeepStdout(false);
    scripted::SetPerformanceFrequency(kFrequency);
    scripted::SetSleepDuration([&random](DWORD ms) -> uint64_t {
        if (random() % 8 == 0) return (ms + 5 + random() % 46) * 1000000ull;  // a loaded machine wakes it late
        return ms * 1000000ull + random() % 3000000;
    });

    MixLoop loop;
    loop.target_pid = kTarget;
    ReconcileSources(kTarget, loop.sources);
    ASSERT_EQ(loop.sources.size(), std::size(offsets));
    StartMixLoop(loop);
    const uint64_t end_ns = static_cast<uint64_t>(hours * 3.6e12);
    std::map<DWORD, bool> primed;
    std::map<DWORD, size_t> stored;
    uint64_t turn = 0;
    while (scripted::NowNanoseconds() < end_ns) {
        for (const auto& [pid, source] : loop.sources) stored[pid] = source.sample_queue.size() - source.read_index;
        ASSERT_TRUE(MixTurn(loop));
        ++turn;
        const bool settled = scripted::NowNanoseconds() > 1000000000;
        for (const auto& [pid, source] : loop.sources) {
            const DriftCorrector& drift = source.drift;
            const size_t unread = source.sample_queue.size() - source.read_index;
            // A trim leaves exactly 1920 unread, from more than 19200 before it.
            if (unread == 1920 && source.read_index == 0 && stored[pid] + 2000 > 19200) ++figures.trims;
            if (source.primed != primed[pid]) {
                ++(source.primed ? figures.primes : figures.dries);
                ASSERT_FALSE(settled) << pid << (source.primed ? " primed again" : " ran dry") << ", turn " << turn;
            }
            primed[pid] = source.primed;
            ASSERT_LE(unread, 2u * 3400) << pid << " piles up, turn " << turn;
            if (scripted::NowNanoseconds() > 600e9)
                figures.wobble = std::max(figures.wobble, std::abs(drift.integral - offsets[pid - 100]));
            ++(drift.mode == DriftMode::kPassThrough ? figures.passing_through : figures.resampling);
            if (!settled) continue;
            figures.lowest = std::min(figures.lowest, unread / 2.0);
            figures.highest = std::max(figures.highest, unread / 2.0);
        }
    }
    ASSERT_EQ(figures.trims, 0);
    ASSERT_TRUE(scripted::Violations().empty()) << scripted::Violations().front();
}

void RunAndReportDrift(uint64_t seed, double hours) {
    DriftFigures figures;
    RunInFreshWorld([&] { RunDriftWorld(seed, hours, figures); });
    printf(
        "drift world, seed %llu: %.2f simulated hours, backlog %.1f..%.1f ms, %d primes, "
        "%d dries, %d trims, %.0f %% of source-turns resampling, learned drift within %.1f ppm\n",
        static_cast<unsigned long long>(seed), scripted::NowNanoseconds() / 3.6e12, figures.lowest / 48,
        figures.highest / 48, figures.primes, figures.dries, figures.trims,
        100.0 * figures.resampling / std::max<uint64_t>(1, figures.resampling + figures.passing_through),
        figures.wobble);
    EXPECT_EQ(figures.primes, 8) << "each source primes once, at the start";
    EXPECT_LT(figures.wobble, 15) << "a ratio that wanders";
}

// ---- The same-clock world ------------------------------------------------------

// One steady player on the mix's own clock, its frames numbered
// (mixworld::Numbered), delivered in packets of 10 ms or in fragments of
// 21.3 or 42.7 ms (packets of 512 frames arriving together), after a
// backlog of up to three fragments at its start. Players of silence on
// clocks up to 300 ppm off start and stop beside it; turns are 5 to 9 ms
// apart and now and then 20 to 600 ms; the reader stalls once. After its
// first second every frame of the steady player reaches the output as it
// came: none repeated, altered or inserted, none lost and no gap, except
// the frames a stall skipped, each exactly once. Loaded, one turn in eight
// is 5 to 50 ms late, and its server holds its packets back 10 to 100 ms every
// few seconds: a gap where that outlasts its backlog, and no other fault.
// Its player is disturbed too: lost cycles (the next frame after one is
// excused), shifts and pauses (a gap where they outlast its backlog); in
// every other world nothing but lost cycles steps its backlog, and stalls
// never restart its level, so that steps add up if they can.
struct SameClockFigures {
    uint64_t frames = 0, exact = 0, lost = 0, skipped = 0, long_turns = 0;
    uint64_t faults = 0;  // frames off their place or gaps, with no loss, pause or skip to explain them
    std::string first_fault;
};

void RunSameClockWorld(uint64_t seed, double seconds, SameClockFigures& figures) {
    constexpr DWORD kTarget = 7, kSteady = 100;
    std::mt19937_64 random(seed);
    const UINT32 fragment = std::array<UINT32, 3>{480, 1024, 2048}[seed % 3];
    const UINT32 packet = fragment == 480 ? 480 : 512;
    const size_t per_fragment = fragment / packet, backlog = random() % 4;
    // Now and then its server holds the packets back 10 to 100 ms, then hands them over at once.
    std::vector<uint64_t> held(static_cast<size_t>(seconds * 1000) + 30000);  // by ms after the start: until when
    for (uint64_t at = 1500 + random() % 3000, to; at + 100 < held.size(); at += 300 + random() % 3000)
        for (to = at + 10 + random() % 91; at < to; ++at) held[at] = to;
    const Disturbances disturbed = Disturb(random, seconds, packet / 48, seed % 2 == 0);
    std::map<double, UINT32> lost;  // the first frame after a lost cycle: frames lost before it
    for (const auto& [index, frames] : disturbed.holes) lost[static_cast<double>(index * packet + frames)] = frames;
    const auto Lost = [&lost](double from, double to) {  // in cycles lost between those frames
        double frames = 0;
        for (auto it = lost.upper_bound(from); it != lost.end() && it->first <= to; ++it) frames += it->second;
        return frames;
    };
    scripted::Loopback steady = mixworld::Script();
    steady.source = [=](size_t index) -> std::optional<scripted::Packet> {
        scripted::Packet p;
        const size_t f = index / per_fragment;
        p.at_ms = Delivered(disturbed, (f < backlog ? 0 : f - backlog) * fragment / 48);  // whole ms: within 1 ms
        p.at_ms = std::max(p.at_ms, held.at(p.at_ms));
        const auto hole = disturbed.holes.find(index);
        const UINT32 missing = hole == disturbed.holes.end() ? 0 : hole->second;
        p.frames = packet - missing;
        p.discontinuity = missing != 0;
        for (size_t n = index * packet + missing; n < (index + 1) * packet; ++n)
            for (size_t channel = 0; channel < 2; ++channel) p.samples.push_back(mixworld::Numbered(n, channel));
        return p;
    };
    scripted::SetLoopback(kSteady, steady);
    const std::vector<DWORD> silent = {101, 102, 103, 104};
    for (const DWORD pid : silent) {
        scripted::Loopback script = mixworld::Script();
        script.rate_ppm = static_cast<double>(random() % 601) - 300;
        script.source = [](size_t index) -> std::optional<scripted::Packet> {
            return mixworld::Tone(index * 10, 480, 0);
        };
        scripted::SetLoopback(pid, script);
    }
    std::vector<DWORD> audible = {kSteady, kTarget};
    mixworld::MakeAudible(audible);
    scripted::SetCallLog(false);
    scripted::KeepStdout(false);
    scripted::SetPerformanceFrequency(kFrequency);
    const bool stalls = seed % 2 == 0;  // else only lost cycles step its backlog
    scripted::SetSleepDuration([&random, stalls](DWORD ms) -> uint64_t {
        if (random() % 800 == 0 && stalls) return (20 + random() % 581) * 1000000ull;
        if (random() % 8 == 0) return (ms + 5 + random() % 46) * 1000000ull;  // a loaded machine wakes it late
        return ms * 1000000ull + random() % 4000001;
    });
    scripted::StallStdoutAt(2000 + random() % 8000, 50 + random() % 250);

    MixLoop loop;
    loop.target_pid = kTarget;
    ReconcileSources(kTarget, loop.sources);
    StartMixLoop(loop);
    double expect = -1;  // the number the next frame must carry
    bool gap = false;    // zeros since its last frame
    uint64_t turn = 0;
    bool held_back = false;  // the gap began while its server held its packets back, or it paused
    while (scripted::NowNanoseconds() < static_cast<uint64_t>(seconds * 1e9)) {
        // Players of silence start and stop every few tenths of a second.
        if (random() % 60 == 0) {
            const DWORD pid = silent[random() % silent.size()];
            const auto found = std::find(audible.begin(), audible.end(), pid);
            if (found == audible.end())
                audible.push_back(pid);
            else
                audible.erase(found);
            mixworld::MakeAudible(audible);
        }
        const uint64_t before_ns = scripted::NowNanoseconds();
        const int64_t produced = loop.clock.frames_produced;
        ASSERT_TRUE(MixTurn(loop));
        ++turn;
        const uint64_t turn_ms = (scripted::NowNanoseconds() - before_ns) / 1000000;
        if (turn_ms >= 100) ++figures.long_turns;
        if (loop.clock.frames_produced == produced) continue;
        // A stall past the catch-up skips frames of the clock, and the source skips as many.
        const int64_t skipped =
            loop.clock.frames_produced - produced - static_cast<int64_t>(loop.buffers.output.size() / 2);
        const bool settled = scripted::NowNanoseconds() > 1000000000;
        const std::vector<int16_t>& out = loop.buffers.output;
        for (size_t k = 0; k < out.size(); k += 2) {
            if (out[k] == 0 && out[k + 1] == 0) {
                const uint64_t ms = scripted::NowNanoseconds() / 1000000;
                if (!gap) held_back = held.at(ms) != 0 || disturbed.excused.at(ms) != 0;
                gap = expect >= 0;
                continue;
            }
            const double n = mixworld::FrameNumber(&out[k]);
            if (settled) {
                ++figures.frames;
                const auto hole = lost.find(n);
                if (n == expect && (!gap || held_back)) {
                    ++figures.exact;
                } else if (hole != lost.end() && n - hole->second == expect && (!gap || held_back)) {
                    ++figures.lost;
                } else if (k == 0 && n > expect && !gap &&
                           n <= expect + static_cast<double>(skipped) + Lost(expect, n)) {
                    ++figures.skipped;
                } else if (figures.faults++ == 0) {
                    figures.first_fault = "frame " + std::to_string(n) + " where " + std::to_string(expect) +
                                          " was due" + (gap ? " after a gap" : "") + ", turn " + std::to_string(turn);
                }
            }
            expect = n + 1;
            gap = false;
        }
        if (figures.faults > 5) return;
    }
}

void RunAndReportSameClock(uint64_t seed, double seconds) {
    SameClockFigures figures;
    RunInFreshWorld([&] { RunSameClockWorld(seed, seconds, figures); });
    printf(
        "same-clock world, seed %llu: %.0f s, %llu of %llu frames after the first second passed exactly, %llu "
        "after a lost cycle, %llu after a skip, %llu turns of 100 ms or more, %llu faults\n",
        static_cast<unsigned long long>(seed), scripted::NowNanoseconds() / 1e9,
        static_cast<unsigned long long>(figures.exact), static_cast<unsigned long long>(figures.frames),
        static_cast<unsigned long long>(figures.lost), static_cast<unsigned long long>(figures.skipped),
        static_cast<unsigned long long>(figures.long_turns), static_cast<unsigned long long>(figures.faults));
    EXPECT_EQ(figures.faults, 0u) << figures.first_fault;
    EXPECT_GT(figures.frames, static_cast<uint64_t>((seconds - 2) * 40000)) << "it played";
}

class MixScenarios : public ScriptedTest {};

TEST_F(MixScenarios, FixedSeeds) {
    Totals totals;
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        RunAndReport({seed, 90000}, totals);
        if (HasFailure()) return;
    }
    for (const Scenario& other : {Scenario{16, 90000, kMono16k}, Scenario{14, 90000, kFloat}}) {
        RunAndReport(other, totals);
        if (HasFailure()) return;
    }
    // Enough happened for the worlds to mean something.
    EXPECT_GT(totals.session_changes, 50u);
    EXPECT_GT(totals.faults, 30u);
    EXPECT_GT(totals.skipping_chunks, 20u);  // only a stall beyond 200 ms skips
    EXPECT_GT(totals.streams, 100u);
    EXPECT_GT(totals.resampled_sources, 1000u) << "the drift correctors were at work";
}

// scripts/soak: PCMTAP_SOAK_SEED=N [PCMTAP_SOAK_HOURS=H]
TEST_F(MixScenarios, SeedFromEnvironment) {
    const char* seed = getenv("PCMTAP_SOAK_SEED");
    if (seed == nullptr) GTEST_SKIP() << "PCMTAP_SOAK_SEED not set";
    const char* hours = getenv("PCMTAP_SOAK_HOURS");
    const double h = hours != nullptr ? atof(hours) : 1.0;
    Totals totals;
    RunAndReport({strtoull(seed, nullptr, 10), static_cast<uint64_t>(h * 3600000)}, totals);
}

// A sanitizer build runs everything several times slower: a shorter stretch there.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kDriftHours = 0.05;
constexpr double kSameClockSeconds = 20;
#else
constexpr double kDriftHours = 0.5;
constexpr double kSameClockSeconds = 120;
#endif

TEST_F(MixScenarios, DriftingClocksNeverRunDryNorPileUp) { RunAndReportDrift(1, kDriftHours); }

TEST_F(MixScenarios, ASameClockSourcePassesExactlyHoweverBursty) {
    for (uint64_t seed = 1; seed <= 6; ++seed) RunAndReportSameClock(seed, kSameClockSeconds);
}

// scripts/soak: PCMTAP_SOAK_SEED=N PCMTAP_DRIFT_HOURS=H
TEST_F(MixScenarios, DriftWorldFromEnvironment) {
    const char* seed = getenv("PCMTAP_SOAK_SEED");
    const char* hours = getenv("PCMTAP_DRIFT_HOURS");
    if (seed == nullptr || hours == nullptr) GTEST_SKIP() << "PCMTAP_SOAK_SEED or PCMTAP_DRIFT_HOURS not set";
    RunAndReportDrift(strtoull(seed, nullptr, 10), atof(hours));
}

}  // namespace
