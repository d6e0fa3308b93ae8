// The modes that mix: every audible process tree but some, or the trees of
// named processes, opened at the output's format and mixed on a clock of the
// tool's own at its rate.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "capture/pcm_format.h"
#include "platform/win32.h"

// Mix mode: every audible tree but the target's and voice chat's. Returns 1
// when the start-up probe cannot open a stream or a write to stdout fails
// ("ERROR output" line), 0 when the reader of stdout goes away.
int RunMix(DWORD target_pid, const PcmFormat& format = PcmFormat{});

// App mode: every process tree whose root runs one of the executables
// (mix/app_selection.h), as the trees come and go; real-time silence while
// none runs. "READY app <count>". Returns as RunMix.
int RunApp(const std::vector<std::wstring>& app_names, const PcmFormat& format = PcmFormat{});

// Several targets: the trees of the pids, taken as given, and of the
// processes that run the executables, each tree once. "READY include
// <count>". Returns as RunMix.
int RunIncludes(const std::set<DWORD>& pids, const std::vector<std::wstring>& app_names,
                const PcmFormat& format = PcmFormat{});

// Several excludes: every audible tree but those of the pids, pcmtap's own
// and its parent's line. "READY exclude <count>". Returns as RunMix.
int RunExcludes(const std::set<DWORD>& pids, const PcmFormat& format = PcmFormat{});
