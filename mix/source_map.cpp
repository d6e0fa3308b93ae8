#include "mix/source_map.h"

#include "mix/reconciler.h"

void ReconcileSources(DWORD target_pid, SourceMap& sources) { ReconcileSources(SelectionRule{target_pid, {}}, sources); }

void ReconcileSources(const SelectionRule& rule, SourceMap& sources) {
    SourceHandoff handoff;
    HandoffSpare spare;
    ExchangeSources(handoff, sources, spare);  // which sources live, which failed
    ReconcileOnce(rule, handoff);
    ExchangeSources(handoff, sources, spare);  // the changes made
    for (CaptureStream& stream : TakeFromMixer(handoff).released) CloseLoopbackStream(&stream);
}
