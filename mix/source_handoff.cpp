#include "mix/source_handoff.h"

void ExchangeSources(SourceHandoff& handoff, SourceMap& sources, HandoffSpare& spare) {
    {
        std::lock_guard<std::mutex> hold(handoff.lock);
        spare.changes.swap(handoff.changes);
    }
    for (const SourceChange& change : spare.changes) {
        const auto source = sources.find(change.pid);
        if (change.stream.audio_client == nullptr) {
            if (source == sources.end()) continue;
            spare.released.push_back(source->second.stream);
            sources.erase(source);  // unread samples go with it
        } else if (source != sources.end()) {
            spare.released.push_back(change.stream);  // a pid already playing keeps its source
        } else {
            sources[change.pid].stream = change.stream;  // a fresh source: empty queue, not primed, not failed
        }
    }
    spare.changes.clear();

    spare.live.clear();
    spare.failed.clear();
    for (const auto& [pid, source] : sources) {
        spare.live.push_back(pid);
        if (source.failed) spare.failed.push_back(pid);
    }
    std::lock_guard<std::mutex> hold(handoff.lock);
    handoff.live.swap(spare.live);
    handoff.failed.swap(spare.failed);
    if (spare.released.empty()) return;
    if (handoff.released.empty())
        handoff.released.swap(spare.released);
    else
        handoff.released.insert(handoff.released.end(), spare.released.begin(), spare.released.end());
    spare.released.clear();
}

MixerView TakeFromMixer(SourceHandoff& handoff) {
    MixerView view;
    std::lock_guard<std::mutex> hold(handoff.lock);
    view.released.swap(handoff.released);
    view.live.insert(handoff.live.begin(), handoff.live.end());
    view.failed.insert(handoff.failed.begin(), handoff.failed.end());
    // Changes the mixing thread has not taken yet count as made.
    for (const SourceChange& change : handoff.changes) {
        view.failed.erase(change.pid);
        if (change.stream.audio_client == nullptr)
            view.live.erase(change.pid);
        else
            view.live.insert(change.pid);
    }
    return view;
}

void HandOver(SourceHandoff& handoff, const SourceChange& change) {
    std::lock_guard<std::mutex> hold(handoff.lock);
    handoff.changes.push_back(change);
}
