#include "mix/source_handoff.h"

void ExchangeSources(SourceHandoff& handoff, SourceMap& sources, HandoffSpare& spare) {
    {
        std::lock_guard<std::mutex> hold(handoff.lock);
        spare.changes.swap(handoff.changes);
    }
    for (const SourceChange& change : spare.changes) {
        const auto source = sources.find(change.pid);
        if (change.stream.audio_client == nullptr) {
            if (source != sources.end()) source->second.leaving = true;  // what it delivered still plays
        } else if (source == sources.end()) {
            sources[change.pid].stream = change.stream;  // a fresh source: empty queue, not primed, not failed
        } else if (source->second.leaving) {
            // Its pid again, on a fresh stream: the new audio follows what the old one left.
            spare.released.push_back(source->second.stream);
            source->second.stream = change.stream;
            source->second.leaving = source->second.failed = false;
        } else {
            spare.released.push_back(change.stream);  // a pid already playing keeps its source
        }
    }
    spare.changes.clear();

    spare.live.clear();
    spare.failed.clear();
    for (auto it = sources.begin(); it != sources.end();) {
        const CaptureSource& source = it->second;
        if (source.leaving && source.read_index == source.sample_queue.size()) {
            spare.released.push_back(source.stream);  // played out
            it = sources.erase(it);
            continue;
        }
        if (!source.leaving) spare.live.push_back(it->first);
        if (!source.leaving && source.failed) spare.failed.push_back(it->first);
        ++it;
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
