// Which of the two audio groups serves this process: PipeWire's own, or
// libpulse (PulseAudio, or PipeWire's pulse server).
#pragma once

#include "platform/win32.h"

// Decided once, at the first audio call. PCMTAP_AUDIO=pulse or =pipewire
// forces one; otherwise PipeWire's own when a PipeWire daemon answers,
// libpulse when none does (or libpipewire is not installed). Any other
// value of PCMTAP_AUDIO is refused with HRESULT_FROM_WIN32(ERROR_BAD_ENVIRONMENT),
// at every audio call, after one line on stderr that names the values accepted.
HRESULT ChooseAudioGroup(bool* pipewire);
