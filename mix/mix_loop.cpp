#include "mix/mix_loop.h"

#include "capture/audio_thread.h"
#include "capture/output.h"
#include "mix/source_buffer.h"

namespace {

constexpr DWORD kTurnPause = 5;  // ms

int64_t ReadCounter() {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

HRESULT WriteOut(const std::vector<int16_t>& samples) {
    const HRESULT written = WriteOutput(samples.data(), samples.size() * sizeof(int16_t));
    return written == S_OK ? FlushOutput() : written;
}

}  // namespace

void StartMixLoop(MixLoop& loop) {
    ScheduleAsAudioThread();
    KeepTimerResolution();
    timeBeginPeriod(1);  // so that Sleep(5) sleeps about 5 ms, not a 15.6 ms tick
    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);
    loop.clock = MixClock{frequency.QuadPart, ReadCounter(), 0};
}

bool MixTurn(MixLoop& loop) {
    Sleep(kTurnPause);
    ExchangeSources(*loop.handoff, loop.sources, loop.spare);
    for (auto& entry : loop.sources)
        if (!entry.second.leaving) PumpSource(entry.second);

    const int64_t frames = TakeChunk(loop.clock, ReadCounter());
    if (frames == 0) return true;
    MixChunk(loop.sources, static_cast<size_t>(frames), loop.buffers);
    loop.output = WriteOut(loop.buffers.output);
    return loop.output == S_OK;
}
