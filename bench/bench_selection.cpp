// SelectMixSources on the scripted platform: 5,000 processes, 200 audible.
#include <benchmark/benchmark.h>

#include <random>

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
