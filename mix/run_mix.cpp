#include "mix/run_mix.h"

#include "app/status.h"
#include "capture/loopback_stream.h"
#include "capture/output.h"
#include "mix/mix_loop.h"
#include "mix/reconciler.h"

int RunMix(DWORD target_pid) {
    // An include stream on the target proves that process loopback works at
    // all; it is closed unread.
    CaptureStream probe;
    StageLabel label = "";
    const HRESULT probed = OpenLoopbackStream(target_pid, kIncludeTargetTree, &probe, &label);
    if (FAILED(probed)) return ReportError(label, probed);
    CloseLoopbackStream(&probe);

    // The first reconciliation may wait on activations: no audio clock runs yet.
    MixLoop loop;
    loop.target_pid = target_pid;
    ReconcileSources(target_pid, loop.sources);
    ReportReadyMix(static_cast<unsigned>(loop.sources.size()));

    // Without a reconciling thread the sources stay those of the first
    // reconciliation; the mix itself goes on.
    StartReconcilingThread(target_pid, loop.handoff);
    StartMixLoop(loop);
    while (MixTurn(loop)) {
    }
    // The sources' streams are left open, and the reconciling thread may be
    // inside an activation: both end with the process, right after.
    return EndOfOutput(loop.output);
}
