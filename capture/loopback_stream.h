// One process-loopback stream in the format asked for, opened on a process
// tree and started.
#pragma once

#include "capture/pcm_format.h"
#include "capture/status.h"
#include "platform/win32.h"

// Copied by value without AddRef: whoever holds the copy owns the three
// references and closes them once, with CloseLoopbackStream.
struct CaptureStream {
    IAudioClient* audio_client = nullptr;
    IAudioCaptureClient* capture_client = nullptr;
    HANDLE event = nullptr;  // auto-reset; set by the audio engine when data is ready
};

// Loopback modes of the activation parameters.
constexpr DWORD kIncludeTargetTree = PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
constexpr DWORD kExcludeTargetTree = PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;

// Activates the process-loopback device for pid in mode, initialises it in
// format (the engine converts) with event-driven delivery and starts it. On success fills
// *stream and returns S_OK; on failure returns the failing call's result with
// *label naming the step, releases everything and leaves *stream untouched.
HRESULT OpenLoopbackStream(DWORD pid, DWORD mode, const PcmFormat& format, CaptureStream* stream, StageLabel* label);

// Stop, then release the capture client, the audio client and the event,
// skipping what is null.
void CloseLoopbackStream(CaptureStream* stream);
