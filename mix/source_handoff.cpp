#include "mix/source_handoff.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "mix/mix_clock.h"

namespace {

SourceMap::node_type FreshSource(const HandoffSpare& spare) {
    SourceMap one;
    CaptureSource& source = one[0];
    source.sample_queue.reserve(spare.queue_room);
    source.drift.output.reserve(spare.share_room);
    return one.extract(one.begin());
}

// A source from the stock, as new but for its storage.
void AddSource(SourceMap& sources, HandoffSpare& spare, DWORD pid, const CaptureStream& stream) {
    if (spare.stock.empty()) spare.stock.push_back(FreshSource(spare));  // more sources than ever prepared for
    SourceMap::node_type node = std::move(spare.stock.back());
    spare.stock.pop_back();
    node.key() = pid;
    CaptureSource& source = node.mapped();
    std::vector<int16_t> queue = std::move(source.sample_queue), output = std::move(source.drift.output);
    source = CaptureSource{};
    source.stream = stream;
    source.sample_queue = std::move(queue);
    source.sample_queue.clear();
    source.drift.output = std::move(output);
    source.drift.output.clear();
    sources.insert(std::move(node));
}

}  // namespace

void PrepareSpare(HandoffSpare& spare, size_t sources, const MixFrames& mix) {
    spare.queue_room = static_cast<size_t>(mix.queue_room) * mix.units;
    spare.share_room = static_cast<size_t>(mix.max_chunk) * mix.units;
    spare.changes.reserve(sources);
    spare.released.reserve(sources);
    spare.live.reserve(sources);
    spare.failed.reserve(sources);
    spare.stock.reserve(2 * sources);
    while (spare.stock.size() < sources) spare.stock.push_back(FreshSource(spare));
}

void ExchangeSources(SourceHandoff& handoff, SourceMap& sources, HandoffSpare& spare) {
    {
        std::lock_guard<std::mutex> hold(handoff.lock);
        spare.changes.swap(handoff.changes);
    }
    spare.applied += spare.changes.size();
    for (const SourceChange& change : spare.changes) {
        const auto source = sources.find(change.pid);
        if (change.stream.audio_client == nullptr) {
            if (source != sources.end()) source->second.leaving = true;  // what it delivered still plays
        } else if (source == sources.end()) {
            AddSource(sources, spare, change.pid, change.stream);  // empty queue, not primed, not failed
        } else if (source->second.leaving) {
            // Its pid again, on a fresh stream: the new audio follows what the old one left.
            spare.released.push_back(source->second.stream);
            source->second.stream = change.stream;
            source->second.leaving = source->second.failed = false;
            source->second.left_at = -1;
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
            spare.released.push_back(source.stream);  // played out, and nothing more came
            const auto next = std::next(it);
            spare.stock.push_back(sources.extract(it));  // its storage for the next source
            it = next;
            continue;
        }
        if (!source.leaving) spare.live.push_back(it->first);
        if (!source.leaving && source.failed) spare.failed.push_back(it->first);
        ++it;
    }
    std::lock_guard<std::mutex> hold(handoff.lock);
    handoff.live.swap(spare.live);
    handoff.failed.swap(spare.failed);
    handoff.applied = spare.applied;
    handoff.published = true;
    // Swapped only once the reconciler has taken the last ones, so that
    // nothing grows under the lock; until then they wait here.
    if (!spare.released.empty() && handoff.released.empty()) handoff.released.swap(spare.released);
}

// Under the lock: swaps, and a copy of a flag and a counter. The sets are
// built after it, from what was swapped out.
MixerView TakeFromMixer(SourceHandoff& handoff, HandoffSide& side) {
    {
        std::lock_guard<std::mutex> hold(handoff.lock);
        side.released.swap(handoff.released);
        if (handoff.published) {
            side.live.swap(handoff.live);
            side.failed.swap(handoff.failed);
            side.applied = handoff.applied;
            handoff.published = false;
        }
    }
    MixerView view;
    // A copy, so that the storage goes back to the mixing thread at the next swap.
    view.released = side.released;
    side.released.clear();
    view.live.insert(side.live.begin(), side.live.end());
    view.failed.insert(side.failed.begin(), side.failed.end());
    // Changes the mixing thread has not taken yet count as made.
    const auto taken = std::find_if(side.unapplied.begin(), side.unapplied.end(),
                                    [&](const HandoffSide::Handed& change) { return change.number > side.applied; });
    side.unapplied.erase(side.unapplied.begin(), taken);
    for (const HandoffSide::Handed& change : side.unapplied) {
        view.failed.erase(change.pid);
        if (change.opened)
            view.live.insert(change.pid);
        else
            view.live.erase(change.pid);
    }
    return view;
}

// An append within the vector's room, or, when it is full, a copy of the few
// changes the mixing thread has not taken into room made before the lock: the
// mixing thread never waits on an allocation.
void HandOver(SourceHandoff& handoff, HandoffSide& side, const SourceChange& change) {
    side.unapplied.push_back({++side.handed, change.pid, change.stream.audio_client != nullptr});
    size_t room = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(handoff.lock);
            std::vector<SourceChange>& changes = handoff.changes;
            if (changes.size() < changes.capacity()) {
                changes.push_back(change);
                return;
            }
            if (changes.size() < side.larger_room.capacity()) {
                side.larger_room.assign(changes.begin(), changes.end());
                side.larger_room.push_back(change);
                changes.swap(side.larger_room);
                side.larger_room.clear();
                return;
            }
            room = 2 * changes.size() + 8;
        }
        side.larger_room.reserve(room);
    }
}
