#include "mix/reconciler.h"

#include <set>
#include <vector>

#include "mix/source_selection.h"

namespace {

constexpr DWORD kRefreshInterval = 1000;  // ms from the end of one round to the start of the next

struct ReconcilerStart {
    SelectionRule rule;
    std::shared_ptr<SourceHandoff> handoff;
};

DWORD WINAPI ReconcileEverySecond(LPVOID parameter) {
    const std::unique_ptr<ReconcilerStart> start(static_cast<ReconcilerStart*>(parameter));
    // Activation and session enumeration want COM on this thread too. Should
    // joining fail, the thread still belongs to the process's multithreaded
    // apartment implicitly, since the main thread has joined it.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
        Sleep(kRefreshInterval);
        ReconcileOnce(start->rule, *start->handoff);
    }
}

}  // namespace

void ReconcileOnce(const SelectionRule& rule, SourceHandoff& handoff) {
    MixerView view = TakeFromMixer(handoff);
    for (CaptureStream& stream : view.released) CloseLoopbackStream(&stream);

    const std::set<DWORD> selected = SelectSources(rule);
    std::vector<DWORD> dropped;
    for (const DWORD pid : view.live)
        if (view.failed.count(pid) != 0 || selected.count(pid) == 0) dropped.push_back(pid);
    for (const DWORD pid : dropped) {
        HandOver(handoff, SourceChange{pid, {}});
        view.live.erase(pid);
    }

    for (const DWORD pid : selected) {
        if (view.live.count(pid) != 0) continue;  // a live source is never reopened
        SourceChange change{pid, {}};
        StageLabel label = "";
        if (FAILED(OpenLoopbackStream(pid, kIncludeTargetTree, &change.stream, &label))) continue;
        HandOver(handoff, change);
    }
}

bool StartReconcilingThread(DWORD target_pid, const std::shared_ptr<SourceHandoff>& handoff) {
    return StartReconcilingThread(SelectionRule{target_pid, {}}, handoff);
}

bool StartReconcilingThread(const SelectionRule& rule, const std::shared_ptr<SourceHandoff>& handoff) {
    auto* start = new ReconcilerStart{rule, handoff};
    const HANDLE thread = CreateThread(nullptr, 0, ReconcileEverySecond, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);  // the thread runs on without it
    return true;
}
