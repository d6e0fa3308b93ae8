// Mix mode: every audible process tree but the target's, mixed on a 48 kHz
// clock of the tool's own.
#pragma once

#include "platform/win32.h"

// Returns 1 when the start-up probe cannot open a stream or a write to stdout
// fails ("ERROR output" line), 0 when the reader of stdout goes away.
int RunMix(DWORD target_pid);
