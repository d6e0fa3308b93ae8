// SelectMixSources on the scripted platform: 5,000 processes, 200 audible;
// app mode's selection on the same machine; --list on a desktop of 500
// processes that all own a session.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>

#include "app/process_list.h"
#include "mix/app_selection.h"
#include "mix/audible_processes.h"
#include "mix/source_selection.h"
#include "tests/doubles/scripted_platform.h"

namespace {

constexpr DWORD kProcesses = 5000;
constexpr DWORD kAudible = 200;
constexpr DWORD kFirstPid = 1000;
constexpr DWORD kTarget = 2500;

struct Machine {
    std::vector<scripted::Process> processes;
    std::vector<scripted::Endpoint> endpoints;
    std::vector<DWORD> audible;
};

// A forest as a busy desktop has it: each process started by an earlier one,
// one in a hundred a voice-chat program, the audible ones spread over two endpoints.
const Machine& TheMachine() {
    static const Machine machine = [] {
        Machine m;
        std::mt19937 random(7);
        for (DWORD i = 0; i < kProcesses; ++i) {
            const DWORD pid = kFirstPid + 4 * i;
            const DWORD parent = i < 20 ? 4 : kFirstPid + 4 * std::uniform_int_distribution<DWORD>(0, i - 1)(random);
            m.processes.push_back({pid, parent, i % 100 == 37 ? L"Discord.exe" : L"Application.EXE",
                                   133'000'000'000'000'000 + 10'000 * static_cast<LONGLONG>(i)});
        }
        m.endpoints.resize(2);
        for (DWORD i = 0; i < kAudible; ++i) {
            const DWORD pid = m.processes[std::uniform_int_distribution<DWORD>(0, kProcesses - 1)(random)].pid;
            m.endpoints[i % 2].sessions.push_back({AudioSessionStateActive, false, pid});
            m.audible.push_back(pid);
        }
        return m;
    }();
    return machine;
}

// The scripted platform keeps every object and snapshot until Reset, so each
// iteration starts from a fresh world, set up outside the timing.
void FreshWorld(benchmark::State& state) {
    state.PauseTiming();
    scripted::Reset();
    scripted::SetCallLog(false);
    scripted::SetProcesses(TheMachine().processes);
    scripted::SetEndpoints(TheMachine().endpoints);
    state.ResumeTiming();
}

void BM_SelectMixSources(benchmark::State& state) {
    size_t selected = 0;
    for (auto _ : state) {
        FreshWorld(state);
        selected = SelectMixSources(kTarget).size();
        benchmark::DoNotOptimize(selected);
    }
    state.counters["selected"] = static_cast<double>(selected);
}
BENCHMARK(BM_SelectMixSources)->Unit(benchmark::kMicrosecond);

void BM_SnapshotProcesses(benchmark::State& state) {
    for (auto _ : state) {
        FreshWorld(state);
        benchmark::DoNotOptimize(SnapshotProcesses());
    }
}
BENCHMARK(BM_SnapshotProcesses)->Unit(benchmark::kMicrosecond);

void BM_FindAudibleProcesses(benchmark::State& state) {
    for (auto _ : state) {
        FreshWorld(state);
        benchmark::DoNotOptimize(FindAudibleProcesses());
    }
}
BENCHMARK(BM_FindAudibleProcesses)->Unit(benchmark::kMicrosecond);

// Every 100th process is Discord: 50 matches, each its own tree.
void BM_SelectAppSources(benchmark::State& state) {
    size_t selected = 0;
    for (auto _ : state) {
        FreshWorld(state);
        selected = SelectAppSources(L"discord").size();
        benchmark::DoNotOptimize(selected);
    }
    state.counters["selected"] = static_cast<double>(selected);
}
BENCHMARK(BM_SelectAppSources)->Unit(benchmark::kMicrosecond);

// 500 processes, each with a session (every other one playing), a path and
// three top-level windows: a hidden one, an owned dialog and the titled main
// one, in that z-order; every tenth process is protected (no path).
void BM_ListProcesses(benchmark::State& state) {
    constexpr DWORD kListed = 500;
    std::vector<scripted::Process> processes;
    std::vector<scripted::Endpoint> endpoints(2);
    for (DWORD i = 0; i < kListed; ++i) {
        const DWORD pid = kFirstPid + 4 * i;
        const std::wstring exe = L"Application" + std::to_wstring(i % 37) + L".exe";
        processes.push_back({pid, i < 20 ? 4 : pid - 4 * (1 + i % 19), exe, 133'000'000'000'000'000 + 10'000 * i,
                             L"C:\\Program Files\\Vendor\\" + exe, i % 10 == 3});
        endpoints[i % 2].sessions.push_back({i % 2 == 0 ? AudioSessionStateActive : AudioSessionStateInactive, false, pid});
    }
    size_t lines = 0;
    for (auto _ : state) {
        state.PauseTiming();
        scripted::Reset();
        scripted::SetCallLog(false);
        scripted::SetProcesses(processes);
        scripted::SetEndpoints(endpoints);
        for (DWORD i = 0; i < kListed; ++i) {
            const uint64_t hwnd = 0x10000 + 4 * i;
            for (uint64_t k = 0; k < 3; ++k) scripted::SetWindow(hwnd + k, processes[i].pid);
            scripted::SetWindowLook(hwnd, L"hidden", false);
            scripted::SetWindowLook(hwnd + 1, L"Settings", true, hwnd + 2);
            scripted::SetWindowLook(hwnd + 2, L"Main window of " + processes[i].exe);
        }
        state.ResumeTiming();
        std::string text;
        for (const ListedProcess& process : FindListedProcesses()) text += FormatListedProcess(process);
        lines = std::count(text.begin(), text.end(), '\n');
        benchmark::DoNotOptimize(text);
    }
    state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_ListProcesses)->Unit(benchmark::kMillisecond);

// The table without the creation times: what their query and copy cost.
void BM_SnapshotProcessesWithoutTimes(benchmark::State& state) {
    for (auto _ : state) {
        FreshWorld(state);
        scripted::SetResult("NtQuerySystemInformation", E_FAIL);
        benchmark::DoNotOptimize(SnapshotProcesses());
    }
}
BENCHMARK(BM_SnapshotProcessesWithoutTimes)->Unit(benchmark::kMicrosecond);

// The selection's own work without the platform: two chains per audible pid,
// with the creation-time check on every link (argument 1) or without times.
void BM_AncestorChains(benchmark::State& state) {
    scripted::Reset();
    scripted::SetProcesses(TheMachine().processes);
    ProcessTable table = SnapshotProcesses();
    if (state.range(0) == 0)
        for (auto& [pid, entry] : table) entry.created = 0;
    for (auto _ : state)
        for (int pass = 0; pass < 2; ++pass)
            for (DWORD pid : TheMachine().audible) benchmark::DoNotOptimize(BuildAncestorChain(pid, table));
}
BENCHMARK(BM_AncestorChains)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
