#include "mix/mix_loop.h"

#include "capture/audio_thread.h"
#include "capture/output.h"
#include "mix/source_buffer.h"

namespace {

constexpr DWORD kTurnPause = 5;          // ms
constexpr size_t kPreparedSources = 16;  // sources at once before the mixing thread allocates

int64_t ReadCounter() {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// A dropped source takes in what its stream still delivers for as long as a
// source may hold audio (200 ms), then plays out what it has and goes.
bool Drains(CaptureSource& source, int64_t now, const MixFrames& mix) {
    if (!source.leaving) return true;
    if (source.left_at < 0) source.left_at = now;
    return now - source.left_at < mix.max_chunk;
}

HRESULT WriteOut(const std::vector<int16_t>& samples) {
    const HRESULT written = WriteOutput(samples.data(), samples.size() * sizeof(int16_t));
    return written == S_OK ? FlushOutput() : written;
}

}  // namespace

void StartMixLoop(MixLoop& loop) {
    // Storage for the largest chunk and for kPreparedSources sources, so that
    // the mixing thread allocates nothing while it runs: not when a source
    // comes, joins or goes, nor when a turn comes late.
    MixBuffers& buffers = loop.buffers;
    const MixFrames& mix = loop.frames;
    const size_t most = static_cast<size_t>(mix.max_chunk);
    if (mix.format.type == SampleType::kS16) buffers.accumulator.reserve(most * mix.format.channels);
    buffers.output.reserve(most * mix.units);
    buffers.resampling.reserve(2 * (most + 64));
    buffers.spans.reserve(kPreparedSources);
    PrepareSpare(loop.spare, kPreparedSources, mix);
    {
        std::lock_guard<std::mutex> hold(loop.handoff->lock);
        loop.handoff->live.reserve(kPreparedSources);
        loop.handoff->failed.reserve(kPreparedSources);
    }
    ScheduleAsAudioThread();
    KeepTimerResolution();
    timeBeginPeriod(1);  // so that Sleep(5) sleeps about 5 ms, not a 15.6 ms tick
    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);
    loop.clock = MixClock{frequency.QuadPart, ReadCounter(), 0};
}

bool MixTurn(MixLoop& loop) {
    Sleep(kTurnPause);
    const MixFrames& mix = loop.frames;
    for (auto& entry : loop.sources)
        if (Drains(entry.second, loop.clock.frames_produced, mix)) PumpSource(entry.second, mix);
    // Right after the drain, so that a leaving source that holds nothing has
    // nothing more coming either. New sources are first drained next turn.
    ExchangeSources(*loop.handoff, loop.sources, loop.spare);

    const int64_t produced = loop.clock.frames_produced;
    const int64_t frames = TakeChunk(loop.clock, ReadCounter(), mix);
    if (frames != 0) {
        const int64_t skipped = loop.clock.frames_produced - produced - frames;
        for (auto& entry : loop.sources)
            SkipSource(entry.second, static_cast<size_t>(frames), static_cast<size_t>(skipped), mix);
        MixChunk(loop.sources, static_cast<size_t>(frames), loop.buffers, mix);
    }
    for (auto& entry : loop.sources) TrimSource(entry.second, mix);
    if (frames == 0) return true;
    loop.output = WriteOut(loop.buffers.output);
    return loop.output == S_OK;
}
