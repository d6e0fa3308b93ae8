// The virtual process-loopback device: what "VAD\Process_Loopback" activates.
// The COM face (IAudioClient, IAudioCaptureClient) is in audio_loopback.cpp;
// the sound server side is one of two groups: over libpulse (one monitor
// stream per captured playback stream, the device clock and the mixing, in
// audio_monitors.cpp) or over PipeWire itself (one capture stream that the
// graph mixes into, in audio_pipewire_capture.cpp). They meet in the packet
// queue below.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/win32.h"

constexpr UINT32 kPacketFrames = 480;  // 10 ms at 48 kHz: one period of the device clock

struct Packet {
    int16_t samples[kPacketFrames * 2];  // interleaved stereo
    UINT64 position = 0;                 // device position of its first frame
    UINT64 time = 0;                     // when the device's clock took its first frame: QPC, 100 ns units
    DWORD flags = 0;                     // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY after a drop
};

// Mixed packets waiting for the reader. Filled on the main loop thread,
// drained on the reader's thread; everything here is guarded by lock.
// As on Windows, no more than the buffer asked for at Initialize waits: a
// reader that falls further behind loses the oldest packets, and the first
// packet left after a drop is flagged AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY.
struct PacketQueue {
    std::mutex lock;
    std::deque<std::unique_ptr<Packet>> packets;
    size_t capacity = 1;      // packets; from Initialize's buffer duration, at least one
    bool gap = false;         // packets dropped, and none flagged for it yet
    bool front_held = false;  // between GetBuffer and ReleaseBuffer; that packet is never dropped
    bool lost = false;        // the sound server went away: the capture calls fail from then on
    bool signalling = false;  // started: packets and loss set the event
    HANDLE event = nullptr;   // the reader's, from SetEventHandle; not owned
    UINT64 mixed = 0;         // frames mixed since the device was created
};

// Main loop thread: appends a mixed packet and sets the event.
void DeliverPacket(PacketQueue* queue, std::unique_ptr<Packet> packet);
// Main loop thread: the server has gone; the reader learns it from
// GetNextPacketSize and GetBuffer, which fail from now on.
void ReportDeviceLost(PacketQueue* queue);

// The sound server side of one device.
struct LoopbackMixer;

// Connects to the server for a device capturing target's process tree (or,
// with exclude, everything else). Fails with AUDCLNT_E_SERVICE_NOT_RUNNING
// when no server can be reached.
HRESULT OpenLoopbackMixer(DWORD target, bool exclude, PacketQueue* queue, LoopbackMixer** mixer);
// Follows the matching playback streams and runs the device clock.
// AUDCLNT_E_DEVICE_INVALIDATED once the server has gone.
HRESULT StartLoopbackMixer(LoopbackMixer* mixer);
// Closes the monitor streams and stops the clock; nothing is delivered after.
void StopLoopbackMixer(LoopbackMixer* mixer);
// Stops, disconnects and frees; no callback runs after it returns.
void CloseLoopbackMixer(LoopbackMixer* mixer);

// The same four over PipeWire's own graph.
struct PipeWireCapture;
HRESULT OpenPipeWireCapture(DWORD target, bool exclude, PacketQueue* queue, PipeWireCapture** capture);
HRESULT StartPipeWireCapture(PipeWireCapture* capture);
void StopPipeWireCapture(PipeWireCapture* capture);
void ClosePipeWireCapture(PipeWireCapture* capture);

// The activated object: an IAudioClient of a new device, reference count 1.
HRESULT CreateLoopbackClient(DWORD target, bool exclude, IAudioClient** client);
