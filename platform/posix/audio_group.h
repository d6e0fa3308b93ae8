// Which of the two audio groups serves this process: PipeWire's own, or
// libpulse (PulseAudio, or PipeWire's pulse server).
#pragma once

// Decided once, at the first audio call. PCMTAP_AUDIO=pulse or =pipewire
// forces one; otherwise PipeWire's own when a PipeWire daemon answers,
// libpulse when none does (or libpipewire is not installed).
bool UsesPipeWire();
