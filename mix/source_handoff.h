// What passes between mix mode's two threads. The mixing thread owns the
// sources while they play; the reconciling thread opens and closes their
// streams. Streams go one way through this record and come back the other.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "capture/loopback_stream.h"
#include "mix/mix_frames.h"
#include "mix/source_map.h"
#include "platform/win32.h"

// A started stream for a new source on pid, or, with an empty stream, the
// removal of pid's source.
struct SourceChange {
    DWORD pid = 0;
    CaptureStream stream;
};

struct SourceHandoff {
    // Held only to swap or append the vectors below, never across a platform
    // call, so that the mixing thread waits on it no longer than a swap.
    std::mutex lock;
    // Reconciling thread -> mixing thread, guarded by lock: applied in order.
    std::vector<SourceChange> changes;
    // Mixing thread -> reconciling thread, guarded by lock.
    std::vector<CaptureStream> released;  // streams of removed sources, still open: the reconciler closes them
    std::vector<DWORD> live;              // pids of the mixing thread's sources at its last exchange
    std::vector<DWORD> failed;            // those of them whose capture has failed
    uint64_t applied = 0;                 // changes the mixing thread had taken by then, counted since the start
    bool published = false;               // live, failed and applied are newer than the reconciler's last take
};

// The mixing thread's own vectors for its exchanges, kept from turn to turn so
// that an exchange allocates nothing, and a stock of sources whose storage is
// already there: a new source takes one, a removed one goes back to it.
// Mixing thread only.
struct HandoffSpare {
    std::vector<SourceChange> changes;
    std::vector<CaptureStream> released;
    std::vector<DWORD> live, failed;
    std::vector<SourceMap::node_type> stock;
    uint64_t applied = 0;  // changes taken so far
    // Units a stock source's queue is made with (what it holds between trims
    // and a turn's packets), and its resampled share's.
    size_t queue_room = static_cast<size_t>(kDefaultMixFrames.queue_room) * kDefaultMixFrames.units;
    size_t share_room = static_cast<size_t>(kDefaultMixFrames.max_chunk) * kDefaultMixFrames.units;
};

// Room for `sources` sources of the run's format and their exchanges before
// the clock starts, so that the mixing thread allocates only beyond that many.
void PrepareSpare(HandoffSpare& spare, size_t sources, const MixFrames& mix = kDefaultMixFrames);

// Mixing thread, right after a drain: marks the sources the reconciler
// dropped as leaving (they play out what they hold and what their streams
// still deliver, and their streams go back to it unclosed once they have),
// adds a source per opened stream, from the stock, and tells the reconciler
// which sources live and which have failed. Makes no platform call.
void ExchangeSources(SourceHandoff& handoff, SourceMap& sources, HandoffSpare& spare);

// What the reconciling thread knows of the mixing thread's sources, the
// hand-overs it has not taken yet included.
struct MixerView {
    std::vector<CaptureStream> released;  // now the reconciler's, to close
    std::set<DWORD> live;
    std::set<DWORD> failed;
};

// The reconciling thread's side of the handoff: the vectors it swaps with the
// mixing thread's, so that the lock is held for swaps, and the changes it has
// handed over that the mixing thread may not have taken yet. Reconciling
// thread only.
struct HandoffSide {
    std::vector<CaptureStream> released;
    std::vector<DWORD> live, failed;  // as the mixing thread last published them
    uint64_t applied = 0;             // changes taken by the mixing thread when it published them
    uint64_t handed = 0;              // changes handed over
    struct Handed {
        uint64_t number;  // 1 for the first change handed over
        DWORD pid;
        bool opened;  // a fresh stream, or a removal
    };
    std::vector<Handed> unapplied;           // ascending numbers, each above applied
    std::vector<SourceChange> larger_room;  // grown outside the lock when the handoff's vector is full
};

// Reconciling thread: takes the released streams and the mixing thread's state.
MixerView TakeFromMixer(SourceHandoff& handoff, HandoffSide& side);
// Reconciling thread: passes on one opened stream, or the removal of a source.
void HandOver(SourceHandoff& handoff, HandoffSide& side, const SourceChange& change);
