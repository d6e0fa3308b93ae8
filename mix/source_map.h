// Mix mode's capture sources, one per selected process tree.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "capture/loopback_stream.h"
#include "mix/drift_corrector.h"
#include "mix/selection_rule.h"

struct CaptureSource {
    CaptureStream stream;               // owned; closed by the reconciler once the source is removed
    std::vector<int16_t> sample_queue;  // interleaved frames in units (mix/mix_frames.h); appended by PumpSource
    uint64_t read_index = 0;            // samples; first one the mixer has not taken
    bool primed = false;                // taking part in the mix (set by the mixer)
    bool failed = false;                // a capture call failed; removed at next reconcile
    bool leaving = false;               // removed: drained a while longer, played out, then its stream goes
    int64_t left_at = -1;               // mix frame of its first drain while leaving; -1: none yet
    DriftCorrector drift;               // holds its backlog against clock drift (the mixer's)
};

// Keyed by the root pid the stream was opened on; ascending pid order. Owned
// by the mixing thread; the reconciling thread changes it only through the
// handoff (mix/source_handoff.h).
typedef std::map<DWORD, CaptureSource> SourceMap;

// One whole reconciliation on the calling thread, both halves in turn: the
// map in line with a fresh SelectSources(rule), failed and unselected
// sources closed, missing ones opened (failed opens are retried at the next
// call). Prints nothing, and holds no process afterwards: for a map that no
// reconciling thread takes on (mix/reconciler.h has the one that does).
void ReconcileSources(const SelectionRule& rule, SourceMap& sources, const PcmFormat& format = PcmFormat{});
// Mix mode's rule: every audible tree but target_pid's.
void ReconcileSources(DWORD target_pid, SourceMap& sources, const PcmFormat& format = PcmFormat{});
