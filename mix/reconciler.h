// Mix mode's reconciling thread: the slow half of keeping the sources in line
// with the selection (snapshot, sessions, activations, closes), kept off the
// mixing thread so that its clock is never late.
#pragma once

#include <memory>

#include "mix/source_handoff.h"
#include "mix/source_selection.h"
#include "platform/win32.h"

// One round: closes the streams the mixing thread gave back, selects afresh
// by the rule (SelectSources), drops the failed and unselected sources and opens the
// missing ones, a failed one's pid anew if it is still selected. Each change
// is handed over as soon as it is made, so a slow activation holds back no
// other source. A failed open is tried again next round; nothing is printed.
void ReconcileOnce(const SelectionRule& rule, SourceHandoff& handoff);

// Starts the thread that runs ReconcileOnce once a second, the first a second
// from now, in the multithreaded apartment. It is never stopped: it ends with
// the process, and holds its own reference to the handoff so that the mixing
// thread may return at any time. False if no thread could be made.
bool StartReconcilingThread(const SelectionRule& rule, const std::shared_ptr<SourceHandoff>& handoff);
// Mix mode's rule: every audible tree but target_pid's.
bool StartReconcilingThread(DWORD target_pid, const std::shared_ptr<SourceHandoff>& handoff);
