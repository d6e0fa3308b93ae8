// The status-line protocol on standard error: the only text the tool prints.
#pragma once

#include "platform/win32.h"

// Names the step at which an operation failed ("activate", "buffer", ...).
typedef const char* StageLabel;

// "ERROR <label> 0x<code>", flushed at once. Returns 1, the exit code that
// follows every ERROR line.
int ReportError(StageLabel label, HRESULT result);

// "READY <pid>": the stream is open and started; PCM follows.
void ReportReady(DWORD pid);

// "READY mix <count>": mix mode is running with that many sources.
void ReportReadyMix(unsigned count);

// "READY app <count>": app mode is running with that many process trees.
void ReportReadyApp(unsigned count);
