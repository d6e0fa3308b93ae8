// Mix mode's reconciling thread: the slow half of keeping the sources in line
// with the selection (snapshot, sessions, activations, closes), kept off the
// mixing thread so that its clock is never late.
#pragma once

#include <map>
#include <memory>

#include "mix/selection_rule.h"
#include "mix/source_handoff.h"
#include "platform/win32.h"

// The reconciling thread's own record, from the first round on.
struct ReconcilerState {
    SelectionRule rule;
    PcmFormat format;  // every source's stream opens at it: the output's
    HandoffSide side;
    // The process of each source the reconciler opened, held while the
    // source lives (mix/held_process.h): its end drops the source.
    std::map<DWORD, HANDLE> held;
};

// One round: closes the streams the mixing thread gave back, drops the sources
// whose process has ended, selects afresh by the rule (SelectSources), drops
// the failed and unselected sources and opens the missing ones, a failed
// one's pid anew if it is still selected. A process is held from the
// selection through its activation: one that is not the process the snapshot
// saw, or that ends meanwhile, gets no source. Each change is handed over as
// soon as it is made, so a slow activation holds back no other source. A
// failed open is tried again next round; nothing is printed.
void ReconcileOnce(ReconcilerState& state, SourceHandoff& handoff);

// One whole reconciliation on the calling thread, before any mixing thread
// runs: both halves in turn, through the handoff and spare that the mixing
// thread takes over, so that the state goes on with them. For the first
// population, before any audio clock runs.
void ReconcileSources(ReconcilerState& state, SourceHandoff& handoff, HandoffSpare& spare, SourceMap& sources);

// Closes the held processes: for a state whose sources are left as they are.
void ReleaseHeld(ReconcilerState& state);

// Starts the thread that runs ReconcileOnce once a second, the first a second
// from now, in the multithreaded apartment, and at once when a held process
// ends. It is never stopped: it ends with the process, and holds its own
// reference to the handoff so that the mixing thread may return at any time.
// False if no thread could be made (the state's handles are then closed).
bool StartReconcilingThread(std::unique_ptr<ReconcilerState> state, const std::shared_ptr<SourceHandoff>& handoff);
// Mix mode's rule (every audible tree but target_pid's), from a fresh state.
bool StartReconcilingThread(DWORD target_pid, const std::shared_ptr<SourceHandoff>& handoff,
                            const PcmFormat& format = PcmFormat{});
