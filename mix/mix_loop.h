// The turns of mix mode's loop, after start-up: take what the reconciling
// thread handed over, pump every source, and write whatever the mix clock says
// is due. Everything here belongs to the mixing thread, but the handoff.
#pragma once

#include <memory>

#include "mix/mix_chunk.h"
#include "mix/mix_clock.h"
#include "mix/mix_frames.h"
#include "mix/source_handoff.h"
#include "mix/source_map.h"
#include "platform/win32.h"

struct MixLoop {
    DWORD target_pid = 0;
    MixFrames frames = kDefaultMixFrames;  // the run's format and durations; set before StartMixLoop
    SourceMap sources;      // mixing thread
    MixClock clock;         // mixing thread
    MixBuffers buffers;     // mixing thread
    HRESULT output = S_OK;  // mixing thread: how the last write to stdout went (WriteOutput's answers)
    // Shared with the reconciling thread, which keeps it alive as long as it runs.
    std::shared_ptr<SourceHandoff> handoff = std::make_shared<SourceHandoff>();
    HandoffSpare spare;  // mixing thread
};

// Schedules the calling thread as an audio thread, sets the timer period to
// 1 ms (kept in force on Windows 11) and starts the clock at frame 0.
void StartMixLoop(MixLoop& loop);

// One turn: Sleep(5), pump every source, exchange with the reconciling
// thread, then mix and write the frames due, if at least 10 ms are, and trim.
// Waits on nothing of the platform but Sleep and stdout. False once a write or flush of stdout
// fails, with loop.output saying why.
bool MixTurn(MixLoop& loop);
