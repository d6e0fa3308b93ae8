#include "mix/mix_loop.h"

#include <cstdio>

#include "capture/audio_thread.h"
#include "mix/source_buffer.h"

namespace {

constexpr DWORD kTurnPause = 5;          // ms
constexpr DWORD kRefreshInterval = 1000;  // ms of tick time between reconciliations

int64_t ReadCounter() {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

bool WriteOut(const std::vector<int16_t>& samples) {
    const size_t bytes = samples.size() * sizeof(int16_t);
    if (fwrite(samples.data(), 1, bytes, stdout) < bytes) return false;
    return fflush(stdout) == 0;
}

}  // namespace

void StartMixLoop(MixLoop& loop) {
    ScheduleAsAudioThread();
    KeepTimerResolution();
    timeBeginPeriod(1);  // so that Sleep(5) sleeps about 5 ms, not a 15.6 ms tick
    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);
    loop.clock = MixClock{frequency.QuadPart, ReadCounter(), 0};
    loop.last_refresh = GetTickCount();
}

bool MixTurn(MixLoop& loop) {
    Sleep(kTurnPause);
    for (auto& entry : loop.sources) PumpSource(entry.second);

    // The unsigned difference stays right across the tick count's 49-day wrap.
    if (static_cast<DWORD>(GetTickCount() - loop.last_refresh) >= kRefreshInterval) {
        ReconcileSources(loop.target_pid, loop.sources);
        loop.last_refresh = GetTickCount();
    }

    const int64_t frames = TakeChunk(loop.clock, ReadCounter());
    if (frames == 0) return true;
    MixChunk(loop.sources, static_cast<size_t>(frames), loop.buffers);
    return WriteOut(loop.buffers.output);
}
