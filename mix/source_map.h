// Mix mode's capture sources, one per selected process tree.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "capture/loopback_stream.h"
#include "mix/drift_corrector.h"

struct CaptureSource {
    CaptureStream stream;               // owned; closed only when the source is removed
    std::vector<int16_t> sample_queue;  // interleaved L, R; appended by PumpSource
    uint64_t read_index = 0;            // samples; first one the mixer has not taken
    bool primed = false;                // taking part in the mix (set by the mixer)
    bool failed = false;                // a capture call failed; removed at next reconcile
    DriftCorrector drift;               // holds its backlog against clock drift (the mixer's)
};

// Keyed by the root pid the stream was opened on; ascending pid order.
typedef std::map<DWORD, CaptureSource> SourceMap;

// Brings the map in line with a fresh SelectMixSources(target_pid): closes
// failed and unselected sources, opens missing ones (failed opens are retried
// at the next call). Prints nothing.
void ReconcileSources(DWORD target_pid, SourceMap& sources);
