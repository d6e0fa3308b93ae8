#include "mix/source_map.h"

#include "mix/reconciler.h"

void ReconcileSources(DWORD target_pid, SourceMap& sources, const PcmFormat& format) {
    SelectionRule rule;
    rule.target_pid = target_pid;
    ReconcileSources(rule, sources, format);
}

void ReconcileSources(const SelectionRule& rule, SourceMap& sources, const PcmFormat& format) {
    ReconcilerState state;
    state.rule = rule;
    state.format = format;
    SourceHandoff handoff;
    HandoffSpare spare;
    PrepareSpare(spare, 0, MixFramesOf(format));  // sources' storage at their format
    ReconcileSources(state, handoff, spare, sources);
    ReleaseHeld(state);
}
