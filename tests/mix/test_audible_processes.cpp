#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "mix/audible_processes.h"
#include "tests/doubles/scripted_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr AudioSessionState kInactive = AudioSessionStateInactive;
constexpr AudioSessionState kActive = AudioSessionStateActive;
constexpr AudioSessionState kExpired = AudioSessionStateExpired;

scripted::Session Owned(DWORD pid, AudioSessionState state = kActive) { return {state, false, pid}; }
scripted::Session SystemSounds(DWORD pid) { return {kActive, true, pid}; }

class AudibleProcessesTest : public ScriptedTest {};

TEST_F(AudibleProcessesTest, FiltersSessions) {
    struct Case {
        const char* label;
        std::vector<scripted::Endpoint> endpoints;
        std::set<DWORD> audible;
    };
    const Case cases[] = {
        {"no endpoint", {}, {}},
        {"endpoint without sessions", {{}}, {}},
        {"inactive counts", {{{Owned(7, kInactive)}}}, {7}},
        {"expired does not", {{{Owned(7, kExpired)}}}, {}},
        {"system sounds never", {{{SystemSounds(7)}}}, {}},
        {"system sounds beside an own session", {{{SystemSounds(7), Owned(7)}}}, {7}},
        {"pid 0 ignored", {{{Owned(0), Owned(0, kInactive)}}}, {}},
        {"two sessions, one pid", {{{Owned(9), Owned(9, kInactive)}}}, {9}},
        {"two endpoints, one pid", {{{Owned(9)}}, {{Owned(9)}}}, {9}},
        {"ascending whatever the order", {{{Owned(30), Owned(0xFFFFFFF0)}}, {{Owned(2), Owned(30)}}}, {2, 30, 0xFFFFFFF0}},
        {"mixed",
         {{{Owned(5, kExpired), Owned(6), SystemSounds(0)}}, {{Owned(5, kInactive), Owned(8, kExpired)}}},
         {5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        scripted::Reset();
        scripted::SetEndpoints(c.endpoints);

        EXPECT_EQ(FindAudibleProcesses(), c.audible);
        EXPECT_THAT(scripted::OpenObjects(), IsEmpty());
    }
}

TEST_F(AudibleProcessesTest, ReleasesInReverseOrderOfObtaining) {
    scripted::SetEndpoints({{{Owned(7)}}});

    EXPECT_EQ(FindAudibleProcesses(), std::set<DWORD>{7});

    EXPECT_THAT(scripted::CallsMatching({"*::Release"}),
                ElementsAre("IAudioSessionControl2::Release", "IAudioSessionControl::Release",
                            "IAudioSessionEnumerator::Release", "IAudioSessionManager2::Release", "IMMDevice::Release",
                            "IMMDeviceCollection::Release", "IMMDeviceEnumerator::Release"));
}

TEST_F(AudibleProcessesTest, ASessionStopsAtItsFirstFailingTest) {
    struct Case {
        scripted::Session session;
        std::vector<std::string> calls;
    };
    const std::string release = "IAudioSessionControl2::Release";
    const Case cases[] = {
        {Owned(7, kExpired), {"IAudioSessionControl2::GetState", release}},
        {SystemSounds(7), {"IAudioSessionControl2::GetState", "IAudioSessionControl2::IsSystemSoundsSession", release}},
        {Owned(7),
         {"IAudioSessionControl2::GetState", "IAudioSessionControl2::IsSystemSoundsSession",
          "IAudioSessionControl2::GetProcessId", release}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.calls.size());
        scripted::Reset();
        scripted::SetEndpoints({{{c.session}}});
        FindAudibleProcesses();
        EXPECT_EQ(scripted::CallsMatching({"IAudioSessionControl2::*"}), c.calls);
    }
}

TEST_F(AudibleProcessesTest, OnlyNegativeResultsCountAsFailures) {
    struct Case {
        const char* call;
        HRESULT result;
        scripted::Session session;
        bool audible;
    };
    const Case cases[] = {
        {"IAudioSessionControl2::IsSystemSoundsSession", E_FAIL, SystemSounds(7), true},
        {"IAudioSessionControl2::IsSystemSoundsSession", S_FALSE, SystemSounds(7), true},
        {"IAudioSessionControl2::IsSystemSoundsSession", S_OK, Owned(7), false},
        {"IAudioSessionControl2::GetState", S_FALSE, Owned(7), true},
        {"IAudioSessionControl2::GetProcessId", S_FALSE, Owned(7), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " returning " + std::to_string(c.result));
        scripted::Reset();
        scripted::SetEndpoints({{{c.session}}});
        scripted::SetResult(c.call, c.result);
        EXPECT_EQ(FindAudibleProcesses().count(7), c.audible ? 1u : 0u);
    }
}

// The interface each obtaining call hands back when it succeeds.
const std::map<std::string, std::string> kObtains = {
    {"CoCreateInstance", "IMMDeviceEnumerator"},
    {"IMMDeviceEnumerator::EnumAudioEndpoints", "IMMDeviceCollection"},
    {"IMMDeviceCollection::Item", "IMMDevice"},
    {"IMMDevice::Activate", "IAudioSessionManager2"},
    {"IAudioSessionManager2::GetSessionEnumerator", "IAudioSessionEnumerator"},
    {"IAudioSessionEnumerator::GetSession", "IAudioSessionControl"},
    {"IAudioSessionControl::QueryInterface", "IAudioSessionControl2"},
};

// Replays the call log: every reference obtained must be released once, the
// latest first, and no two of one interface may be held at a time.
void ExpectNestedLifetimes(const std::string& failing, int nth) {
    std::vector<std::string> held;
    std::map<std::string, int> counts;
    for (const std::string& call : scripted::Calls()) {
        const int count = ++counts[call];
        const auto obtains = kObtains.find(call);
        if (obtains != kObtains.end() && !(call == failing && (nth == 0 || nth == count))) {
            EXPECT_EQ(std::count(held.begin(), held.end(), obtains->second), 0)
                << obtains->second << " obtained again while one is held";
            held.push_back(obtains->second);
        }
        const size_t release = call.find("::Release");
        if (release != std::string::npos) {
            const std::string released = call.substr(0, release);
            if (held.empty()) {
                ADD_FAILURE() << released << " released with nothing held";
                continue;
            }
            EXPECT_EQ(released, held.back()) << "released out of order";
            held.pop_back();
        }
    }
    EXPECT_THAT(held, IsEmpty()) << "still held at return";
    EXPECT_THAT(scripted::OpenObjects(), IsEmpty());
}

TEST_F(AudibleProcessesTest, EveryFailureAtEveryPositionReleasesEverything) {
    // Every session passes every test, so the nth call of a per-session
    // method is made on the nth session.
    const std::vector<std::vector<DWORD>> devices = {{101, 102}, {201}, {301, 302}};
    const std::vector<DWORD> sessions = {101, 102, 201, 301, 302};
    std::vector<scripted::Endpoint> endpoints;
    std::set<DWORD> all;
    for (const auto& pids : devices) {
        endpoints.push_back({});
        for (DWORD pid : pids) {
            endpoints.back().sessions.push_back(Owned(pid));
            all.insert(pid);
        }
    }
    auto without = [&](const std::vector<DWORD>& dropped) {
        std::set<DWORD> rest = all;
        for (DWORD pid : dropped) rest.erase(pid);
        return rest;
    };

    struct Case {
        std::string call;
        int nth;
        bool null_out;  // succeeds but hands back no object
        std::set<DWORD> audible;
    };
    std::vector<Case> cases;
    for (bool null_out : {false, true}) {
        cases.push_back({"CoCreateInstance", 1, null_out, {}});
        cases.push_back({"IMMDeviceEnumerator::EnumAudioEndpoints", 1, null_out, {}});
        for (const char* call : {"IMMDeviceCollection::Item", "IMMDevice::Activate",
                                 "IAudioSessionManager2::GetSessionEnumerator"})
            for (int n = 1; n <= 3; ++n) cases.push_back({call, n, null_out, without(devices[n - 1])});
        for (const char* call : {"IAudioSessionEnumerator::GetSession", "IAudioSessionControl::QueryInterface"})
            for (int n = 1; n <= 5; ++n) cases.push_back({call, n, null_out, without({sessions[n - 1]})});
    }
    cases.push_back({"IMMDeviceCollection::GetCount", 1, false, {}});
    for (int n = 1; n <= 3; ++n) cases.push_back({"IAudioSessionEnumerator::GetCount", n, false, without(devices[n - 1])});
    for (const char* call : {"IAudioSessionControl2::GetState", "IAudioSessionControl2::GetProcessId"})
        for (int n = 1; n <= 5; ++n) cases.push_back({call, n, false, without({sessions[n - 1]})});
    for (int n = 1; n <= 5; ++n) cases.push_back({"IAudioSessionControl2::IsSystemSoundsSession", n, false, all});
    cases.push_back({"IAudioSessionControl2::GetState", 0, false, {}});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.call + " #" + std::to_string(c.nth) + (c.null_out ? " gives null" : " fails"));
        scripted::Reset();
        scripted::SetEndpoints(endpoints);
        if (c.null_out)
            scripted::SetNullOut(c.call, c.nth);
        else
            scripted::SetResult(c.call, E_OUTOFMEMORY, c.nth);

        EXPECT_EQ(FindAudibleProcesses(), c.audible);

        EXPECT_GE(scripted::CallCount(c.call), std::max(c.nth, 1)) << "the failure was never reached";
        ExpectNestedLifetimes(c.call, c.nth);
        EXPECT_THAT(scripted::Violations(), IsEmpty());
    }
}

}  // namespace
