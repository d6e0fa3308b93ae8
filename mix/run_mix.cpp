#include "mix/run_mix.h"

#include "app/status.h"
#include "capture/loopback_stream.h"
#include "capture/output.h"
#include "mix/mix_loop.h"

int RunMix(DWORD target_pid) {
    // An include stream on the target proves that process loopback works at
    // all; it is closed unread.
    CaptureStream probe;
    StageLabel label = "";
    const HRESULT probed = OpenLoopbackStream(target_pid, kIncludeTargetTree, &probe, &label);
    if (FAILED(probed)) return ReportError(label, probed);
    CloseLoopbackStream(&probe);

    MixLoop loop;
    loop.target_pid = target_pid;
    ReconcileSources(target_pid, loop.sources);
    ReportReadyMix(static_cast<unsigned>(loop.sources.size()));

    StartMixLoop(loop);
    while (MixTurn(loop)) {
    }
    // The sources' streams are left open: they end with the process, right after.
    return EndOfOutput(loop.output);
}
