// The packets of one process-loopback device on their way from the thread
// that makes them (PipeWire's data thread, or libpulse's main loop thread) to
// the reader's. A single-producer single-consumer ring, sized at Initialize:
// neither side allocates, takes a lock or waits on the other, and the
// producer only wakes the reader.
//
// As on Windows, no more than the buffer asked for at Initialize waits. A
// reader that falls further behind loses the oldest packets, and the first
// packet left after the loss is flagged AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
// while the reader holds the oldest (between GetBuffer and ReleaseBuffer),
// one more may wait, and a packet beyond that is the one lost, flagged on
// the next packet made.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/win32.h"

// One period of the device clock is 10 ms: at a rate that 100 does not
// divide, periods alternate between the two whole frame counts around it.
constexpr UINT32 kPeriodsPerSecond = 100;

// Frames of the device's period number `period` since its clock started.
inline UINT32 PeriodFrames(DWORD rate, uint64_t period) {
    return static_cast<UINT32>((period + 1) * rate / kPeriodsPerSecond - period * rate / kPeriodsPerSecond);
}

struct Packet {
    BYTE* data = nullptr;  // frames in the device's format (nBlockAlign bytes each); the queue's storage
    UINT32 frames = 0;     // what the producer filled, at most the queue's packet_frames
    UINT64 position = 0;   // device position of its first frame
    UINT64 time = 0;       // when the device's clock took its first frame: QPC, 100 ns units
    DWORD flags = 0;       // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY after a loss
};

struct PacketQueue {
    // Set at Initialize, before the producer runs.
    WAVEFORMATEX format{};     // what the reader asked for; the producer makes packets in it
    UINT32 packet_frames = 0;  // room in each packet: the longest period at the format's rate
    std::unique_ptr<Packet[]> slots;
    std::unique_ptr<BYTE[]> storage;  // every slot's frames
    uint64_t capacity = 0;  // packets that may wait; 0 until Initialize
    uint64_t size = 0;      // slots: the capacity, the one held and the one being filled
    // Shared.
    std::atomic<uint64_t> written{0};     // packets handed over so far; only the producer writes it
    std::atomic<uint64_t> read{0};        // index of the oldest packet << 2 | kReadGap | kReadHeld
    std::atomic<bool> signalling{false};  // started: packets and loss set the event
    std::atomic<bool> lost{false};        // the sound server went away: the capture calls fail from then on
    std::atomic<HANDLE> event{nullptr};   // the reader's, from SetEventHandle; not owned
    std::atomic<uint64_t> dropped{0};     // packets lost to a reader that fell behind
    // The producer's own.
    UINT64 mixed = 0;  // frames made since the device was created, lost ones too
    bool gap = false;  // the newest packet was lost: the next one handed over says so
};

constexpr uint64_t kReadHeld = 1;  // the reader holds the oldest packet
constexpr uint64_t kReadGap = 2;   // packets before the oldest were lost

// Reader, at Initialize: room for capacity packets (at least one) of the
// longest period in format, all allocated now.
void SizePacketQueue(PacketQueue* queue, uint64_t capacity, const WAVEFORMATEX& format);

// Producer: the packet to fill (its frames set to packet_frames), which
// stays its own until committed; null while the device is not started.
Packet* NextPacket(PacketQueue* queue);
// Producer: stamps the filled packet (of the frames it says) with its
// device position, hands it over and sets the event.
void CommitPacket(PacketQueue* queue);
// Producer: what it was making was lost (its stream was made again, say):
// the next packet handed over says so.
void MarkPacketLost(PacketQueue* queue);
// The server has gone; the reader learns it from GetNextPacketSize and
// GetBuffer, which fail from now on.
void ReportDeviceLost(PacketQueue* queue);

// Reader: the frames of the oldest packet waiting, 0 when none does.
UINT32 NextPacketFrames(const PacketQueue* queue);
// Reader: holds the oldest packet and gives it with its flags; null when
// none waits or one is held already.
const Packet* HoldPacket(PacketQueue* queue, DWORD* flags);
bool IsPacketHeld(const PacketQueue* queue);
// Reader: lets the held packet go; a consumed one is gone, another is the
// oldest again.
void ReleasePacket(PacketQueue* queue, bool consumed);
// Reader, while the producer is stopped and nothing is held: forgets every packet.
void ClearPackets(PacketQueue* queue);
