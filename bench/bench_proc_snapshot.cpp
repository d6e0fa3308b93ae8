// The process table from this machine's /proc, through the real process group.
#include <benchmark/benchmark.h>

#include "mix/process_table.h"

namespace {

void BM_SnapshotProcessesFromProc(benchmark::State& state) {
    size_t processes = 0;
    for (auto _ : state) {
        const ProcessTable table = SnapshotProcesses();
        processes = table.size();
        benchmark::DoNotOptimize(processes);
    }
    state.counters["processes"] = static_cast<double>(processes);
}
BENCHMARK(BM_SnapshotProcessesFromProc)->Unit(benchmark::kMicrosecond);

}  // namespace
