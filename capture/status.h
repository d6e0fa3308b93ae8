// The status-line protocol on standard error: the only text the tool prints.
// Below the modes, so that the stream opening, the relay and the mix report
// their own failures in the one format.
#pragma once

#include "platform/win32.h"

// Names the step at which an operation failed ("activate", "buffer", ...).
typedef const char* StageLabel;

// "ERROR <label> 0x<code>", flushed at once. Returns 1, the exit code that
// follows every ERROR line.
int ReportError(StageLabel label, HRESULT result);

// "READY <pid>": the stream is open and started; PCM follows.
void ReportReady(DWORD pid);

// "READY <mode> <count>": a mode that mixes ("mix", "app", "include",
// "exclude") is running with that many sources.
void ReportReadyCount(const char* mode, unsigned count);
