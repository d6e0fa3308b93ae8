// Mix mode: every audible process tree but the target's, mixed on a 48 kHz
// clock of the tool's own.
#pragma once

#include <string>

#include "platform/win32.h"

// Returns 1 when the start-up probe cannot open a stream or a write to stdout
// fails ("ERROR output" line), 0 when the reader of stdout goes away.
int RunMix(DWORD target_pid);

// App mode: every process tree whose root runs the executable app_name
// (mix/app_selection.h), as the trees come and go, mixed as in mix mode;
// real-time silence while none runs. The start-up probe opens a stream on
// pcmtap's own tree. Returns as RunMix.
int RunApp(const std::wstring& app_name);
