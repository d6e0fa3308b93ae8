#include "mix/reconciler.h"

#include <vector>

#include "mix/held_process.h"

namespace {

constexpr DWORD kRefreshInterval = 1000;  // ms from the end of one round to the start of the next

struct ReconcilerStart {
    std::unique_ptr<ReconcilerState> state;
    std::shared_ptr<SourceHandoff> handoff;
};

// Until the next round is due, or one of the held processes ends: its source
// goes at once. Beyond the most one wait takes, the others' ends wait for
// the round.
void WaitForRound(const std::map<DWORD, HANDLE>& held) {
    if (held.empty()) {
        Sleep(kRefreshInterval);
        return;
    }
    HANDLE processes[MAXIMUM_WAIT_OBJECTS];
    DWORD count = 0;
    for (auto it = held.begin(); it != held.end() && count < MAXIMUM_WAIT_OBJECTS; ++it) processes[count++] = it->second;
    // A wait that fails must not turn the rounds into a busy loop.
    if (WaitForMultipleObjects(count, processes, FALSE, kRefreshInterval) == WAIT_FAILED) Sleep(kRefreshInterval);
}

DWORD WINAPI ReconcileEverySecond(LPVOID parameter) {
    const std::unique_ptr<ReconcilerStart> start(static_cast<ReconcilerStart*>(parameter));
    ReconcilerState& state = *start->state;
    // Activation and session enumeration want COM on this thread too. Should
    // joining fail, the thread still belongs to the process's multithreaded
    // apartment implicitly, since the main thread has joined it.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
        WaitForRound(state.held);
        ReconcileOnce(state, *start->handoff);
    }
}

void Drop(ReconcilerState& state, SourceHandoff& handoff, MixerView& view, DWORD pid) {
    HandOver(handoff, state.side, SourceChange{pid, {}});
    view.live.erase(pid);
    const auto held = state.held.find(pid);
    if (held == state.held.end()) return;
    CloseHandle(held->second);
    state.held.erase(held);
}

}  // namespace

void ReconcileOnce(ReconcilerState& state, SourceHandoff& handoff) {
    MixerView view = TakeFromMixer(handoff, state.side);
    for (CaptureStream& stream : view.released) CloseLoopbackStream(&stream);

    // A source whose process has ended goes before the snapshot, so that a
    // later process on its pid is judged as any other.
    std::vector<DWORD> dropped;
    for (const auto& [pid, process] : state.held)
        if (HasEnded(process)) dropped.push_back(pid);
    for (const DWORD pid : dropped) Drop(state, handoff, view, pid);

    const Selection selected = SelectSources(state.rule);
    dropped.clear();
    for (const DWORD pid : view.live)
        if (view.failed.count(pid) != 0 || selected.count(pid) == 0) dropped.push_back(pid);
    for (const DWORD pid : dropped) Drop(state, handoff, view, pid);

    for (const auto& [pid, created] : selected) {
        if (view.live.count(pid) != 0) continue;  // a live source is never reopened
        const HANDLE process = HoldProcess(pid, created);
        if (process == nullptr) continue;
        SourceChange change{pid, {}};
        StageLabel label = "";
        if (FAILED(OpenLoopbackStream(pid, kIncludeTargetTree, state.format, &change.stream, &label))) {
            CloseHandle(process);
            continue;
        }
        if (HasEnded(process)) {  // during the activation: its pid may be another's by now
            CloseLoopbackStream(&change.stream);
            CloseHandle(process);
            continue;
        }
        HandOver(handoff, state.side, change);
        state.held[pid] = process;
    }
}

void ReconcileSources(ReconcilerState& state, SourceHandoff& handoff, HandoffSpare& spare, SourceMap& sources) {
    ExchangeSources(handoff, sources, spare);  // which sources live, which failed
    ReconcileOnce(state, handoff);
    ExchangeSources(handoff, sources, spare);  // the changes made
    for (CaptureStream& stream : TakeFromMixer(handoff, state.side).released) CloseLoopbackStream(&stream);
}

void ReleaseHeld(ReconcilerState& state) {
    for (const auto& [pid, process] : state.held) CloseHandle(process);
    state.held.clear();
}

bool StartReconcilingThread(DWORD target_pid, const std::shared_ptr<SourceHandoff>& handoff, const PcmFormat& format) {
    auto state = std::make_unique<ReconcilerState>();
    state->rule.target_pid = target_pid;
    state->format = format;
    return StartReconcilingThread(std::move(state), handoff);
}

bool StartReconcilingThread(std::unique_ptr<ReconcilerState> state, const std::shared_ptr<SourceHandoff>& handoff) {
    auto* start = new ReconcilerStart{std::move(state), handoff};
    const HANDLE thread = CreateThread(nullptr, 0, ReconcileEverySecond, start, 0, nullptr);
    if (thread == nullptr) {
        ReleaseHeld(*start->state);
        delete start;
        return false;
    }
    CloseHandle(thread);  // the thread runs on without it
    return true;
}
