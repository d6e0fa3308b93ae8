#include "mix/source_map.h"

#include "mix/reconciler.h"

void ReconcileSources(DWORD target_pid, SourceMap& sources) {
    SelectionRule rule;
    rule.target_pid = target_pid;
    ReconcileSources(rule, sources);
}

void ReconcileSources(const SelectionRule& rule, SourceMap& sources) {
    ReconcilerState state;
    state.rule = rule;
    SourceHandoff handoff;
    HandoffSpare spare;
    ReconcileSources(state, handoff, spare, sources);
    ReleaseHeld(state);
}
