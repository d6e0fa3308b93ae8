// Every platform call of a whole run, made to fail in turn: one clean run of
// each mode records the calls, then one run per recorded call fails that call
// alone. Each run must end as the status-line protocol says for that failure,
// release everything the tool should release, and misuse nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/doubles/scripted_test.h"

namespace {

constexpr DWORD kTarget = 7;
constexpr HRESULT kComFailure = AUDCLNT_E_DEVICE_INVALIDATED;                // 0x88890004
const HRESULT kWin32Failure = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);  // 0x80070008

std::string Hex(HRESULT code) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(static_cast<ULONG>(code)));
    return text;
}

// Calls left out of the sweep, and why.
bool CannotFail(const std::string& name) {
    static const std::set<std::string> never = {
        // Return reference counts, not results.
        "IAudioClient::Release", "IAudioCaptureClient::Release", "IActivateAudioInterfaceAsyncOperation::Release",
        "IMMDeviceEnumerator::Release", "IMMDeviceCollection::Release", "IMMDevice::Release",
        "IAudioSessionManager2::Release", "IAudioSessionEnumerator::Release", "IAudioSessionControl::Release",
        "IAudioSessionControl2::Release",
        // Cannot fail on Windows XP and later, or return nothing.
        "Sleep", "GetTickCount", "QueryPerformanceCounter", "QueryPerformanceFrequency", "GetCurrentProcessId",
        // timeBeginPeriod(1) is always in range; _setmode's result is not consulted and _fileno(stdout) is 1.
        "timeBeginPeriod", "_setmode", "_fileno",
        // Made by the platform's completion on a valid event; had it failed, the
        // activation's wait would run into its time-out (tested on its own).
        "SetEvent",
    };
    return never.count(name) != 0;
}

// Calls that may hand back a null object with a success code; the tool must
// treat that as a failure. (GetBuffer is not among them: a success with
// frames always comes with data.)
bool MayGiveNull(const std::string& name) {
    static const std::set<std::string> nullable = {
        "IActivateAudioInterfaceAsyncOperation::GetActivateResult", "IAudioClient::QueryInterface",
        "IAudioClient::GetService", "CoCreateInstance", "IMMDeviceEnumerator::EnumAudioEndpoints",
        "IMMDeviceCollection::Item", "IMMDevice::Activate", "IAudioSessionManager2::GetSessionEnumerator",
        "IAudioSessionEnumerator::GetSession", "IAudioSessionControl::QueryInterface",
    };
    return nullable.count(name) != 0;
}

bool Win32Call(const std::string& name) {
    return name == "CreateEventW" || name == "CreateToolhelp32Snapshot" || name.rfind("Process32", 0) == 0 ||
           name.rfind("CloseHandle", 0) == 0 || name == "WaitForSingleObject" || name == "OpenProcess" ||
           name == "QueryFullProcessImageNameW" || name == "EnumWindows" || name == "GetWindowTextW";
}

struct Injection {
    std::string name;
    int nth;        // occurrence of that name, 1-based
    size_t index;   // position in the clean run's log
    bool null_out;  // a null object with S_OK instead of a failure code
    // What the position means, read off the clean run's log.
    bool activation_wait = false;  // the opener's bounded wait on its completion event
    bool stream_event = false;     // CreateEventW of a stream's own event (not the handler's)
    HRESULT code() const { return null_out ? S_OK : Win32Call(name) ? kWin32Failure : kComFailure; }
    std::string Describe() const {
        return name + " #" + std::to_string(nth) + (null_out ? " (null object)" : " (" + Hex(code()) + ")");
    }
};

// Every injection point of a clean run's log.
std::vector<Injection> InjectionPoints(const std::vector<std::string>& log) {
    std::vector<Injection> points;
    std::map<std::string, int> seen;
    bool activating = false;
    for (size_t i = 0; i < log.size(); ++i) {
        const std::string& name = log[i];
        const int nth = ++seen[name];
        Injection point{name, nth, i, false};
        if (name == "ActivateAudioInterfaceAsync") activating = true;
        if (name == "WaitForSingleObject" && activating) {
            activating = false;
            point.activation_wait = true;  // a failed wait is a failed activation
        }
        point.stream_event = name == "CreateEventW" && i > 0 && log[i - 1] == "IAudioClient::Initialize";
        if (CannotFail(name)) continue;
        points.push_back(point);
        if (MayGiveNull(name)) {
            point.null_out = true;
            points.push_back(point);
        }
    }
    return points;
}

// The ERROR line a failure of this call reports while a stream is opened,
// or "" when the opener goes on regardless.
std::string OpenFailureLine(const Injection& point) {
    static const std::map<std::string, std::string> labels = {
        {"ActivateAudioInterfaceAsync", "activate"},
        {"IActivateAudioInterfaceAsyncOperation::GetActivateResult", "activate-result"},
        {"IAudioClient::QueryInterface", "activate-result"},
        {"IAudioClient::Initialize", "initialize"},
        {"IAudioClient::SetEventHandle", "event"},
        {"IAudioClient::GetService", "service"},
        {"IAudioClient::Start", "start"},
    };
    if (point.name == "CreateEventW") {
        // The stream's event is not tested: SetEventHandle refuses the null
        // handle. Without the handler's event the activation is not started.
        return point.stream_event ? "ERROR event " + Hex(E_INVALIDARG) + "\n" : "ERROR activate " + Hex(kWin32Failure) + "\n";
    }
    if (point.activation_wait) return "ERROR activate-result " + Hex(kWin32Failure) + "\n";
    auto found = labels.find(point.name);
    if (found == labels.end()) return "";
    return "ERROR " + found->second + " " + Hex(point.null_out ? E_POINTER : point.code()) + "\n";
}

size_t FirstIndexOf(const std::vector<std::string>& log, const std::string& name) {
    return static_cast<size_t>(std::find(log.begin(), log.end(), name) - log.begin());
}

struct StreamCensus {
    std::multiset<DWORD> open_pids;  // streams the tool still holds
    std::vector<std::string> problems;
};

// Each stream either still fully held (both clients, its event, running) or
// fully given up; nothing else of the platform may stay open.
StreamCensus TakeCensus() {
    StreamCensus census;
    for (const scripted::StreamState& s : scripted::Streams()) {
        const bool closed = s.audio_client_refs == 0 && s.capture_client_refs == 0 && (!s.event_set || s.event_closed);
        const bool held = s.audio_client_refs == 1 && s.capture_client_refs == 1 && s.event_set && !s.event_closed &&
                          s.started && !s.stopped;
        if (held) census.open_pids.insert(s.pid);
        if (!closed && !held)
            census.problems.push_back(
                "stream on " + std::to_string(s.pid) + " half closed: refs " + std::to_string(s.audio_client_refs) +
                "/" + std::to_string(s.capture_client_refs) + ", event closed " + std::to_string(s.event_closed));
    }
    std::multiset<std::string> objects, expected_objects;
    for (const std::string& name : scripted::OpenObjects()) objects.insert(name);
    for (size_t i = 0; i < census.open_pids.size(); ++i) {
        expected_objects.insert("IAudioClient");
        expected_objects.insert("IAudioCaptureClient");
    }
    if (objects != expected_objects) {
        std::string list;
        for (const std::string& name : objects) list += name + " ";
        census.problems.push_back("objects still referenced: " + list);
    }
    // Each stream's event, and the process of each source, held while it lives.
    const auto handles = scripted::OpenHandles();
    const auto events = static_cast<size_t>(std::count(handles.begin(), handles.end(), "auto-reset event"));
    const auto processes = static_cast<size_t>(std::count(handles.begin(), handles.end(), "process"));
    if (events != census.open_pids.size() || processes > census.open_pids.size() ||
        events + processes != handles.size())
        census.problems.push_back(std::to_string(handles.size()) + " handles open for " +
                                  std::to_string(census.open_pids.size()) + " streams");
    return census;
}

struct SweepTotals {
    std::set<size_t> points;  // positions in the clean run's log
    size_t runs = 0;
};

void Report(const char* mode, const SweepTotals& totals) {
    printf("fault sweep, %s: %zu injection points, %zu runs\n", mode, totals.points.size(), totals.runs);
    ::testing::Test::RecordProperty(std::string(mode) + "_injection_points", static_cast<int>(totals.points.size()));
}

class FaultSweep : public ScriptedTest {
public:
    // Runs the tool on this world with one call failing (or none), from a
    // fresh start each time.
    scripted::RunResult RunWith(const std::function<void()>& world, const std::vector<std::string>& args,
                                const Injection* fault) {
        scripted::Reset();
        world();
        if (fault != nullptr) {
            if (fault->null_out)
                scripted::SetNullOut(fault->name, fault->nth);
            else
                scripted::SetResult(fault->name, fault->code(), fault->nth);
        }
        std::vector<std::string> strings{"pcmtap"};
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        return scripted::Run([&] { return PcmtapMain(static_cast<int>(strings.size()), argv.data()); });
    }
};

// ---- Include and exclude: one stream relayed -----------------------------------

constexpr size_t kRelayLimit = 9 * 1920 + 700;  // the reader leaves part-way into the tenth packet

std::vector<scripted::Packet> RelayPackets() {
    std::vector<scripted::Packet> packets;
    for (size_t i = 0; i < 14; ++i) {
        scripted::Packet packet;
        packet.at_ms = (i / 2) * 10;  // two at a time: one wake drains several
        packet.frames = i % 3 == 1 ? 441 : 480;
        packet.silent = i % 4 == 3;
        packet.value = static_cast<int16_t>(100 * (i + 1));
        packets.push_back(packet);
    }
    return packets;
}

std::string RelayBytes() {
    std::string bytes;
    for (const scripted::Packet& packet : RelayPackets())
        for (size_t s = 0; s < size_t{packet.frames} * 2; ++s) {
            const int16_t value = packet.silent ? 0 : packet.value;
            bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
        }
    return bytes;
}

void RelayWorld() {
    scripted::Loopback script;
    script.complete_on_thread = false;  // a deterministic call order
    script.packets = RelayPackets();
    scripted::SetLoopback(kTarget, script);
    scripted::CloseStdoutAfter(kRelayLimit);
    scripted::SetHorizon(60000);  // a run that never ends fails, instead of hanging
}

void SweepRelay(FaultSweep& test, const char* option, const char* mode) {
    const std::vector<std::string> args{option, std::to_string(kTarget)};
    const std::string expected = RelayBytes().substr(0, kRelayLimit);
    const std::string ready = "READY " + std::to_string(kTarget) + "\n";

    const auto clean = test.RunWith(RelayWorld, args, nullptr);
    ASSERT_EQ(clean.exit_code, 0);
    ASSERT_EQ(clean.err, ready);
    ASSERT_EQ(clean.out, expected);
    const std::vector<std::string> log = scripted::Calls();
    const size_t opened = FirstIndexOf(log, "IAudioClient::Start");
    ASSERT_LT(opened, log.size());

    SweepTotals totals;
    for (const Injection& point : InjectionPoints(log)) {
        SCOPED_TRACE(std::string(mode) + ", " + point.Describe());
        totals.points.insert(point.index);
        ++totals.runs;
        const auto run = test.RunWith(RelayWorld, args, &point);
        const StreamCensus census = TakeCensus();
        EXPECT_TRUE(census.problems.empty()) << census.problems.front();
        EXPECT_TRUE(scripted::Violations().empty()) << scripted::Violations().front();

        const std::string open_error = point.index <= opened ? OpenFailureLine(point) : "";
        if (point.name == "CoInitializeEx") {
            EXPECT_EQ(run.exit_code, 1);
            EXPECT_EQ(run.err, "ERROR coinit " + Hex(kComFailure) + "\n");
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(scripted::Activations().empty());
        } else if (!open_error.empty()) {
            EXPECT_EQ(run.exit_code, 1);
            EXPECT_EQ(run.err, open_error);
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(census.open_pids.empty()) << "a failed open keeps nothing";
        } else if (point.name == "IAudioCaptureClient::GetBuffer" ||
                   point.name == "IAudioCaptureClient::GetNextPacketSize") {
            // Either is how a lost stream shows; the relay cannot go on.
            EXPECT_EQ(run.exit_code, 1);
            EXPECT_EQ(run.err, ready + "ERROR buffer " + Hex(kComFailure) + "\n");
            EXPECT_EQ(run.out, expected.substr(0, run.out.size())) << "what came before is intact";
            EXPECT_EQ(census.open_pids, std::multiset<DWORD>{kTarget}) << "the relay keeps its stream";
        } else {
            // Ignored by the tool: the run goes on and loses nothing.
            EXPECT_EQ(run.exit_code, 0);
            EXPECT_EQ(run.err, ready);
            EXPECT_EQ(run.out, expected);
            EXPECT_EQ(census.open_pids, std::multiset<DWORD>{kTarget});
        }
        if (::testing::Test::HasFailure()) break;  // one broken point is enough to show; the rest would repeat it
    }
    Report(mode, totals);
}

TEST_F(FaultSweep, Include) { SweepRelay(*this, "--include", "include"); }

TEST_F(FaultSweep, Exclude) { SweepRelay(*this, "--exclude", "exclude"); }

// ---- Mix: probe, reconciliations, pumping and mixing -------------------------

constexpr DWORD kPlayer = 20, kBrowser = 30, kBrowserChild = 31;
constexpr uint64_t kMixReaderLeavesMs = 1100;  // after the second reconciliation

// Sessions of every kind on two endpoints; the selection is {20, 30}.
void MixWorld() {
    scripted::SetProcesses({
        {1, 0, L"explorer.exe"},
        {kTarget, 1, L"host.exe"},
        {8, kTarget, L"child.exe"},  // the target's tree
        {kPlayer, 1, L"Player.EXE"},
        {kBrowser, 1, L"browser.exe"},
        {kBrowserChild, kBrowser, L"browser.exe"},  // covered by its parent's stream
        {40, 1, L"discord.exe"},
        {50, 1, L"gone.exe"},
        {60, 1, L"system.exe"},
    });
    scripted::Endpoint speakers, headset;
    scripted::Session session;
    for (const DWORD pid : {8u, kPlayer, kBrowser}) {
        session.pid = pid;
        speakers.sessions.push_back(session);
    }
    session.pid = 60;
    session.system_sounds = true;
    speakers.sessions.push_back(session);
    session.system_sounds = false;
    for (const DWORD pid : {kBrowserChild, 40u, kPlayer}) {
        session.pid = pid;
        headset.sessions.push_back(session);
    }
    session.pid = 50;
    session.state = AudioSessionStateExpired;
    headset.sessions.push_back(session);
    scripted::SetEndpoints({speakers, headset});

    for (const DWORD pid : {kTarget, kPlayer, kBrowser}) {
        scripted::Loopback script;
        script.complete_on_thread = false;
        if (pid != kTarget)
            script.source = [pid](size_t index) -> std::optional<scripted::Packet> {
                scripted::Packet packet;
                packet.at_ms = index * 10;
                packet.frames = 480;
                packet.silent = pid == kBrowser && index % 3 == 2;
                packet.value = static_cast<int16_t>(pid * 10);
                return packet;
            };
        scripted::SetLoopback(pid, script);
    }
    scripted::CloseStdoutAt(kMixReaderLeavesMs);
    scripted::SetHorizon(60000);
}

TEST_F(FaultSweep, Mix) {
    const std::vector<std::string> args{"--mix", std::to_string(kTarget)};
    const auto clean = RunWith(MixWorld, args, nullptr);
    ASSERT_EQ(clean.exit_code, 0);
    ASSERT_EQ(clean.err, "READY mix 2\n");
    ASSERT_GT(clean.out.size(), 0u);
    const std::vector<std::string> log = scripted::Calls();
    const size_t probed = FirstIndexOf(log, "IAudioClient::Start");
    ASSERT_GE(std::count(log.begin(), log.end(), "IMMDeviceEnumerator::EnumAudioEndpoints"), 2)
        << "the run reaches a second reconciliation";

    SweepTotals totals;
    for (const Injection& point : InjectionPoints(log)) {
        SCOPED_TRACE("mix, " + point.Describe());
        totals.points.insert(point.index);
        ++totals.runs;
        const auto run = RunWith(MixWorld, args, &point);
        const StreamCensus census = TakeCensus();
        EXPECT_TRUE(census.problems.empty()) << census.problems.front();
        EXPECT_TRUE(scripted::Violations().empty()) << scripted::Violations().front();

        const std::string probe_error = point.index <= probed ? OpenFailureLine(point) : "";
        // The second is the reconciling thread's, which goes on in the process's apartment.
        if (point.name == "CoInitializeEx" && point.nth == 1) {
            EXPECT_EQ(run.exit_code, 1);
            EXPECT_EQ(run.err, "ERROR coinit " + Hex(kComFailure) + "\n");
        } else if (!probe_error.empty()) {
            EXPECT_EQ(run.exit_code, 1);
            EXPECT_EQ(run.err, probe_error);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(scripted::CallCount("timeBeginPeriod"), 0) << "the loop never starts";
            EXPECT_TRUE(census.open_pids.empty());
        } else {
            // Nothing else ends mix mode or prints: the clock alone decides the output.
            const std::vector<std::string>& calls = scripted::Calls();
            const auto loop_start = std::find(calls.begin(), calls.end(), "Sleep");
            const auto starts_before_loop = std::count(calls.begin(), loop_start, "IAudioClient::Start");
            const bool failed_a_start = point.name == "IAudioClient::Start" &&
                                        point.nth <= starts_before_loop && !point.null_out;
            const auto sources_at_ready = starts_before_loop - 1 - (failed_a_start ? 1 : 0);  // the probe is not one
            EXPECT_EQ(run.exit_code, 0);
            EXPECT_EQ(run.err, "READY mix " + std::to_string(sources_at_ready) + "\n");
            EXPECT_EQ(run.out.size(), clean.out.size());
            // A session missed leaves the browser's child its own root, a failed
            // system-sounds test lets 60 in; without the process table every
            // audible process but the target is a root.
            const bool no_table = point.name == "CreateToolhelp32Snapshot" || point.name.rfind("Process32", 0) == 0;
            const std::set<DWORD> selectable = no_table ? std::set<DWORD>{8, kPlayer, kBrowser, kBrowserChild, 40, 60}
                                                        : std::set<DWORD>{kPlayer, kBrowser, kBrowserChild, 60};
            // A source dropped at the last reconciliation (failed, or no longer
            // selected) has its stream closed by the next one: the run may end
            // between the two, with that stream open beside its pid's fresh one.
            for (const DWORD pid : census.open_pids) {
                EXPECT_EQ(selectable.count(pid), 1u) << "a stream left open on " << pid;
                EXPECT_LE(census.open_pids.count(pid), 2u) << "three streams open on " << pid;
            }
        }
        if (::testing::Test::HasFailure()) break;
    }
    Report("mix", totals);
}

// ---- List: sessions, the process table, image paths and windows ------------------

void ListWorld() {
    MixWorld();  // its sessions
    scripted::SetProcesses({{1, 0, L"explorer.exe", 0, L"C:\\explorer.exe"}, {8, kTarget, L"child.exe", 0, L"C:\\child.exe"},
                            {kTarget, 1, L"host.exe"}, {kPlayer, 1, L"Player.EXE", 0, L"C:\\Player.EXE"},
                            {kBrowser, 1, L"browser.exe", 0, L"C:\\b\\browser.exe"},
                            {kBrowserChild, kBrowser, L"browser.exe", 0, L"C:\\b\\browser.exe", true},
                            {40, 1, L"discord.exe", 0, L"C:\\d\\discord.exe"}});
    for (const DWORD pid : {kPlayer, kBrowser}) scripted::SetWindow(100 + pid, pid);
    scripted::SetWindowLook(100 + kPlayer, L"Player \"1\"");
    scripted::SetWindowLook(100 + kBrowser, L"tab");
}

// The fields of each line by pid: parent, name, path, active, window, host.
std::map<std::string, std::vector<std::string>> Fields(const std::string& out) {
    static const std::string text = R"re(("(?:[^"\\]|\\.)*"|null))re";
    static const std::regex line(R"re(\{"pid":([0-9]+),"parent":([0-9]+|null),"name":)re" + text + R"re(,"path":)re" +
                                 text + R"re(,"active":(true|false),"window":)re" + text + R"re(,"host":)re" + text +
                                 R"re(\}\n)re");
    std::map<std::string, std::vector<std::string>> fields;
    for (std::sregex_iterator at(out.begin(), out.end(), line), end; at != end; ++at)
        fields[(*at)[1]] = {(*at)[2], (*at)[3], (*at)[4], (*at)[5], (*at)[6], (*at)[7]};
    return fields;
}

TEST_F(FaultSweep, List) {
    const auto clean = RunWith(ListWorld, {"--list"}, nullptr);
    ASSERT_EQ(clean.exit_code, 0);
    ASSERT_EQ(clean.err, "");
    const auto all = Fields(clean.out);
    ASSERT_EQ(all.size(), 5u) << clean.out;
    SweepTotals totals;
    for (const Injection& point : InjectionPoints(scripted::Calls())) {
        SCOPED_TRACE("list, " + point.Describe());
        totals.points.insert(point.index);
        ++totals.runs;
        const auto run = RunWith(ListWorld, {"--list"}, &point);
        EXPECT_THAT(scripted::OpenObjects(), ::testing::IsEmpty());
        EXPECT_THAT(scripted::OpenHandles(), ::testing::IsEmpty());
        EXPECT_TRUE(scripted::Violations().empty()) << scripted::Violations().front();
        const bool coinit = point.name == "CoInitializeEx";
        // No endpoint to ask is no answer, not an empty list.
        const bool endpoints = point.name == "CoCreateInstance" || point.name == "IMMDeviceEnumerator::EnumAudioEndpoints";
        EXPECT_EQ(run.exit_code, coinit || endpoints ? 1 : 0);
        const std::string code = Hex(point.null_out ? E_POINTER : kComFailure);
        EXPECT_EQ(run.err, coinit ? "ERROR coinit " + code + "\n" : endpoints ? "ERROR sessions " + code + "\n" : "");
        // Lines may go, or lose what could not be read; nothing is made up.
        const auto lines = Fields(run.out);
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), static_cast<long>(lines.size())) << run.out;
        for (const auto& [pid, got] : lines) {
            ASSERT_EQ(all.count(pid), 1u) << run.out;
            const std::vector<std::string>& want = all.at(pid);
            const char* weaker[] = {"null", nullptr, "null", "false", "null", "null"};
            for (size_t k = 0; k < got.size(); ++k)
                EXPECT_TRUE(got[k] == want[k] || (weaker[k] != nullptr && got[k] == weaker[k])) << run.out;
        }
        if (::testing::Test::HasFailure()) break;
    }
    Report("list", totals);
}

}  // namespace
