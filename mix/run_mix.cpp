#include "mix/run_mix.h"

#include <memory>

#include "capture/loopback_stream.h"
#include "capture/output.h"
#include "capture/status.h"
#include "mix/mix_loop.h"
#include "mix/reconciler.h"

namespace {

// Every mixing mode is one loop: only the rule of selection and the READY
// line differ.
int RunSelected(const SelectionRule& rule, DWORD probe_pid, const char* mode, const PcmFormat& format) {
    // An include stream on the probe's pid proves that process loopback works
    // at all; it is closed unread.
    CaptureStream probe;
    StageLabel label = "";
    const HRESULT probed = OpenLoopbackStream(probe_pid, kIncludeTargetTree, format, &probe, &label);
    if (FAILED(probed)) return ReportError(label, probed);
    CloseLoopbackStream(&probe);

    // The first reconciliation may wait on activations: no audio clock runs
    // yet. Its state, held processes included, goes on to the thread.
    MixLoop loop;
    loop.target_pid = rule.target_pid;
    loop.frames = MixFramesOf(format);
    auto state = std::make_unique<ReconcilerState>();
    state->rule = rule;
    state->format = format;
    PrepareSpare(loop.spare, 0, loop.frames);  // the first sources' storage at the run's format, too
    ReconcileSources(*state, *loop.handoff, loop.spare, loop.sources);
    ReportReadyCount(mode, static_cast<unsigned>(loop.sources.size()));

    // Without a reconciling thread the sources stay those of the first
    // reconciliation; the mix itself goes on.
    StartReconcilingThread(std::move(state), loop.handoff);
    StartMixLoop(loop);
    while (MixTurn(loop)) {
    }
    // The sources' streams are left open, and the reconciling thread may be
    // inside an activation: both end with the process, right after.
    return EndOfOutput(loop.output);
}

}  // namespace

int RunMix(DWORD target_pid, const PcmFormat& format) {
    SelectionRule rule;
    rule.target_pid = target_pid;
    return RunSelected(rule, target_pid, "mix", format);
}

// pcmtap's own tree plays nothing: the probe's stream on it is always there
// to open where process loopback works, whatever runs.
int RunApp(const std::vector<std::wstring>& app_names, const PcmFormat& format) {
    SelectionRule rule;
    rule.app_names = app_names;
    return RunSelected(rule, GetCurrentProcessId(), "app", format);
}

int RunIncludes(const std::set<DWORD>& pids, const std::vector<std::wstring>& app_names, const PcmFormat& format) {
    SelectionRule rule;
    rule.include_pids = pids;
    rule.app_names = app_names;
    return RunSelected(rule, GetCurrentProcessId(), "include", format);
}

int RunExcludes(const std::set<DWORD>& pids, const PcmFormat& format) {
    SelectionRule rule;
    rule.exclude_pids = pids;
    return RunSelected(rule, GetCurrentProcessId(), "exclude", format);
}
