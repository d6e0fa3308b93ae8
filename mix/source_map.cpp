#include "mix/source_map.h"

#include <set>

#include "mix/source_selection.h"

void ReconcileSources(DWORD target_pid, SourceMap& sources) {
    const std::set<DWORD> selected = SelectMixSources(target_pid);

    for (auto entry = sources.begin(); entry != sources.end();) {
        if (entry->second.failed || selected.count(entry->first) == 0) {
            CloseLoopbackStream(&entry->second.stream);
            entry = sources.erase(entry);  // unread samples go with it
        } else {
            ++entry;
        }
    }

    for (const DWORD pid : selected) {
        if (sources.count(pid) != 0) continue;  // a live source is never reopened
        CaptureStream stream;
        StageLabel label = "";
        if (FAILED(OpenLoopbackStream(pid, kIncludeTargetTree, &stream, &label))) continue;  // tried again next time
        sources[pid].stream = stream;  // a fresh source: empty queue, not primed, not failed
    }
}
