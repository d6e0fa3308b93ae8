#include "mix/source_map.h"

#include "mix/reconciler.h"

void ReconcileSources(DWORD target_pid, SourceMap& sources) {
    SourceHandoff handoff;
    HandoffSpare spare;
    ExchangeSources(handoff, sources, spare);  // which sources live, which failed
    ReconcileOnce(target_pid, handoff);
    ExchangeSources(handoff, sources, spare);  // the changes made
    for (CaptureStream& stream : TakeFromMixer(handoff).released) CloseLoopbackStream(&stream);
}
