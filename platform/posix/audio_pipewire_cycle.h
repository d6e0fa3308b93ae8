// The mix of the native group's capture nodes, on the graph's data thread.
// Each playback stream of the captured tree has a capture node of its own,
// all in one driver's graph; their process callbacks run one after another
// on our context's one data thread. Each node's frames of a graph cycle are
// mixed down and summed into the cycle's frames, and the cycle is handed
// over as 10 ms packets when a node of the next cycle runs: one quantum of
// latency more than a single node, bought so that a stream whose links come
// and go never takes a cycle from another. Nothing here allocates, locks or
// waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/posix/packet_queue.h"

// Channels of each capture node: FL and FR, then a surround set of seven
// (FL FR FC SL SR RL RR of players with more than two channels).
constexpr uint32_t kSurroundFirst = 2;
constexpr uint32_t kNodeChannels = kSurroundFirst + 7;

struct PipeWireCycle {
    PacketQueue* queue = nullptr;  // the device's; outlives the capture
    // Sized before the first node runs, while none does.
    std::unique_ptr<float[]> frames;  // the cycle's stereo frames, summed
    uint32_t capacity = 0;            // in frames: a cycle at the graph's largest quantum
    // Set by the loop thread when a node was made again: the next packet
    // handed over says that something was lost.
    std::atomic<bool> remade{false};
    // The data thread's:
    bool open = false;         // a cycle is being gathered
    uint64_t serial = 0;       // of the cycle being gathered: one more for each
    bool timed = false;        // and its graph time is known
    int64_t time = 0;          // its graph time, ns
    uint32_t length = 0;       // frames the longest delivery reached
    bool sound = false;        // some node's delivery carried sound of the tree
    bool cut = false;          // a delivery did not fit
    Packet* packet = nullptr;  // being filled, in the device's ring
    uint32_t filled = 0;       // frames of it so far
};

// Before any node runs: room for a cycle at the device's rate.
void SizePipeWireCycle(PipeWireCycle* cycle, PacketQueue* queue);
// Once no node runs: forgets the cycle and the packet being filled.
void ResetPipeWireCycle(PipeWireCycle* cycle);

// Data thread: a node's process callback has begun, for the cycle at graph
// time `time` (ns; untimed, each delivery is a cycle of its own). A cycle
// before it is handed over. The time is the driver's now, not that of the
// cycle the node's buffer is of: a node that ran late delivers two cycles
// at one time, one after the other, and each node's deliveries in a cycle
// go one after another (from `at` in AddToPipeWireCycle, which the node
// keeps for the serial it was of).
void JoinPipeWireCycle(PipeWireCycle* cycle, bool timed, int64_t time);
// Data thread: a node's frames of our channels (samples in the device's
// type), `at` frames into the cycle, mixed down with the node's surround
// scale (how many of centre, side and rear its louder side takes, 0 to 3).
void AddToPipeWireCycle(PipeWireCycle* cycle, const void* in, uint32_t at, uint32_t frames, int weight);
