// Standard output, where the PCM goes: one write path for both loops, and
// the tell between a reader that went away and a write that failed.
#pragma once

#include <cstddef>

#include "capture/status.h"
#include "platform/win32.h"

constexpr StageLabel kOutputStage = "output";

// Writes bytes to stdout in one write. S_OK once all of them are taken;
// S_FALSE when the reader has gone (a closed or broken pipe); otherwise the
// OS error as an HRESULT (a full disk, an I/O error, no valid handle).
HRESULT WriteOutput(const void* data, size_t bytes);
// Flushes stdout, with the same answers.
HRESULT FlushOutput();

// The exit code of a run whose output ended with `ended`, an answer of the
// two above other than S_OK: 0 without a word when the reader has gone,
// otherwise the "output" ERROR line and 1.
int EndOfOutput(HRESULT ended);

// Whether stdout is a console, which must not get binary PCM.
bool IsConsoleOutput();
