// Draining one capture source into its sample queue, and keeping the queue
// bounded around the chunks that take from it.
#pragma once

#include <cstddef>

#include "mix/mix_frames.h"
#include "mix/source_map.h"

// Appends every waiting packet (silent ones as zeros); a failing capture
// call sets the failed flag instead. Discards nothing.
void PumpSource(CaptureSource& source, const MixFrames& frames = kDefaultMixFrames);

// Before a chunk of `chunk_frames` whose clock skipped `skipped_frames` (a
// stall past the catch-up): a playing source skips as many of its oldest
// frames, so that it stands where it stood before the stall, never cutting
// into what it held then nor into the chunk.
void SkipSource(CaptureSource& source, size_t chunk_frames, size_t skipped_frames,
                const MixFrames& frames = kDefaultMixFrames);

// After the chunk: more than 200 ms left unread is cut back to the newest
// 20 ms, then the unread samples move to the front once most are read.
void TrimSource(CaptureSource& source, const MixFrames& frames = kDefaultMixFrames);
