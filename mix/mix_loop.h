// The turns of mix mode's loop, after start-up: pump every source, reconcile
// once a second, and write whatever the mix clock says is due.
#pragma once

#include "mix/mix_chunk.h"
#include "mix/mix_clock.h"
#include "mix/source_map.h"
#include "platform/win32.h"

struct MixLoop {
    DWORD target_pid = 0;
    SourceMap sources;
    MixClock clock;
    DWORD last_refresh = 0;  // GetTickCount() ms, taken after the last reconciliation
    MixBuffers buffers;
    HRESULT output = S_OK;  // how the last write to stdout went (WriteOutput's answers)
};

// Schedules the calling thread as an audio thread, sets the timer period to
// 1 ms (kept in force on Windows 11) and starts the clock at frame 0 and the
// refresh interval now.
void StartMixLoop(MixLoop& loop);

// One turn: Sleep(5), pump every source, reconcile if 1000 ms have passed,
// then mix and write the frames due, if at least 480 are. False once a write
// or flush of stdout fails, with loop.output saying why.
bool MixTurn(MixLoop& loop);
