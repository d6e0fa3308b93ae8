// The ring between a device's producer and its reader. The producer fills
// the slot after the newest packet and publishes it by advancing `written`;
// the reader takes the oldest by setting the held bit of `read` and lets it
// go by advancing `read`. To drop the oldest the producer advances `read`
// itself, with a compare-and-swap that fails once the reader holds it.
//
// Slots: with n packets waiting (capacity, or one more while the oldest is
// held) and one being filled, capacity + 2 slots never hand the producer a
// slot that the reader can see.
#include "platform/posix/packet_queue.h"

#include <algorithm>

namespace {

uint64_t IndexOf(uint64_t read) { return read >> 2; }

void Wake(PacketQueue* queue) {
    if (queue->signalling.load(std::memory_order_acquire)) SetEvent(queue->event.load(std::memory_order_relaxed));
}

}  // namespace

void SizePacketQueue(PacketQueue* queue, uint64_t capacity, const WAVEFORMATEX& format) {
    queue->format = format;
    queue->packet_frames = (format.nSamplesPerSec + kPeriodsPerSecond - 1) / kPeriodsPerSecond;
    queue->capacity = std::max<uint64_t>(capacity, 1);
    queue->size = queue->capacity + 2;
    queue->slots = std::make_unique<Packet[]>(queue->size);
    const size_t packet_bytes = size_t{queue->packet_frames} * format.nBlockAlign;
    queue->storage = std::make_unique<BYTE[]>(queue->size * packet_bytes);
    for (uint64_t i = 0; i < queue->size; ++i) queue->slots[i].data = queue->storage.get() + i * packet_bytes;
}

Packet* NextPacket(PacketQueue* queue) {
    if (!queue->signalling.load(std::memory_order_acquire) || queue->slots == nullptr) return nullptr;
    Packet* packet = &queue->slots[queue->written.load(std::memory_order_relaxed) % queue->size];
    packet->frames = queue->packet_frames;
    return packet;
}

void CommitPacket(PacketQueue* queue) {
    const uint64_t written = queue->written.load(std::memory_order_relaxed);
    Packet& packet = queue->slots[written % queue->size];
    packet.position = queue->mixed;
    queue->mixed += packet.frames;
    // Make room first, so that no slot the reader may come to hold is filled.
    uint64_t read = queue->read.load(std::memory_order_acquire);
    while (written + 1 - IndexOf(read) > queue->capacity) {
        if ((read & kReadHeld) != 0) {
            if (written + 1 - IndexOf(read) <= queue->capacity + 1) break;  // the one held does not count
            queue->dropped.fetch_add(1, std::memory_order_relaxed);
            queue->gap = true;  // this packet is the one lost
            return;
        }
        if (queue->read.compare_exchange_weak(read, (IndexOf(read) + 1) << 2 | kReadGap, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
            queue->dropped.fetch_add(1, std::memory_order_relaxed);
            read = (IndexOf(read) + 1) << 2 | kReadGap;
        }
    }
    packet.flags = queue->gap ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
    queue->gap = false;
    queue->written.store(written + 1, std::memory_order_release);
    Wake(queue);
}

void MarkPacketLost(PacketQueue* queue) { queue->gap = true; }

void ReportDeviceLost(PacketQueue* queue) {
    queue->lost.store(true, std::memory_order_release);
    Wake(queue);
}

UINT32 NextPacketFrames(const PacketQueue* queue) {
    const uint64_t oldest = IndexOf(queue->read.load(std::memory_order_acquire));
    if (oldest == queue->written.load(std::memory_order_acquire)) return 0;
    return queue->slots[oldest % queue->size].frames;
}

const Packet* HoldPacket(PacketQueue* queue, DWORD* flags) {
    uint64_t read = queue->read.load(std::memory_order_acquire);
    do {
        if ((read & kReadHeld) != 0 || IndexOf(read) == queue->written.load(std::memory_order_acquire)) return nullptr;
    } while (!queue->read.compare_exchange_weak(read, read | kReadHeld, std::memory_order_acq_rel,
                                                std::memory_order_acquire));
    const Packet& packet = queue->slots[IndexOf(read) % queue->size];
    *flags = packet.flags | ((read & kReadGap) != 0 ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
    return &packet;
}

bool IsPacketHeld(const PacketQueue* queue) { return (queue->read.load(std::memory_order_acquire) & kReadHeld) != 0; }

// While the held bit is set the producer leaves `read` alone: plain stores do.
void ReleasePacket(PacketQueue* queue, bool consumed) {
    const uint64_t read = queue->read.load(std::memory_order_relaxed);
    queue->read.store(consumed ? (IndexOf(read) + 1) << 2 : read & ~kReadHeld, std::memory_order_release);
}

void ClearPackets(PacketQueue* queue) {
    queue->read.store(queue->written.load(std::memory_order_acquire) << 2, std::memory_order_release);
}
