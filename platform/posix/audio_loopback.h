// The virtual process-loopback device: what "VAD\Process_Loopback" activates.
// The COM face (IAudioClient, IAudioCaptureClient) is in audio_loopback.cpp;
// the sound server side is one of two groups: over libpulse (one monitor
// stream per captured playback stream, the device clock and the mixing, in
// audio_monitors.cpp) or over PipeWire itself (one capture stream that the
// graph mixes into, in audio_pipewire_capture.cpp). They meet in the packet
// queue (packet_queue.h).
#pragma once

#include "platform/posix/packet_queue.h"
#include "platform/win32.h"

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
