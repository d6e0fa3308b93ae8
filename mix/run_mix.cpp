#include "mix/run_mix.h"

#include "app/status.h"
#include "capture/loopback_stream.h"
#include "capture/output.h"
#include "mix/mix_loop.h"
#include "mix/reconciler.h"

namespace {

// Both modes are one loop: only the rule of selection and the READY line differ.
int RunSelected(const SelectionRule& rule, DWORD probe_pid, void (*report_ready)(unsigned count)) {
    // An include stream on the probe's pid proves that process loopback works
    // at all; it is closed unread.
    CaptureStream probe;
    StageLabel label = "";
    const HRESULT probed = OpenLoopbackStream(probe_pid, kIncludeTargetTree, &probe, &label);
    if (FAILED(probed)) return ReportError(label, probed);
    CloseLoopbackStream(&probe);

    // The first reconciliation may wait on activations: no audio clock runs yet.
    MixLoop loop;
    loop.target_pid = rule.target_pid;
    ReconcileSources(rule, loop.sources);
    report_ready(static_cast<unsigned>(loop.sources.size()));

    // Without a reconciling thread the sources stay those of the first
    // reconciliation; the mix itself goes on.
    StartReconcilingThread(rule, loop.handoff);
    StartMixLoop(loop);
    while (MixTurn(loop)) {
    }
    // The sources' streams are left open, and the reconciling thread may be
    // inside an activation: both end with the process, right after.
    return EndOfOutput(loop.output);
}

}  // namespace

int RunMix(DWORD target_pid) { return RunSelected(SelectionRule{target_pid, {}}, target_pid, ReportReadyMix); }

// pcmtap's own tree plays nothing: the probe's stream on it is always there
// to open where process loopback works, whatever runs.
int RunApp(const std::wstring& app_name) {
    return RunSelected(SelectionRule{0, app_name}, GetCurrentProcessId(), ReportReadyApp);
}
