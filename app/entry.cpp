#include <cstdio>

#include "app/command_line.h"
#include "app/process_list.h"
#include "capture/status.h"
#include "capture/output.h"
#include "capture/relay.h"
#include "mix/run_mix.h"

namespace {

// No target, no READY line: the list and the exit code 0.
int RunList() {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF on every system
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result)) return ReportError("coinit", result);
    return ListProcesses();
}

}  // namespace

int PcmtapMain(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    if (line.list) return RunList();
    const RunChoice run = argc < 3 ? RunChoice{} : ChooseRun(line);
    if (run.kind == RunKind::BadArguments) return ReportError("args", E_INVALIDARG);
    // Binary PCM would ring the console's bell and block it; nothing is opened.
    if (IsConsoleOutput()) return ReportError(kOutputStage, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));

    _setmode(_fileno(stdout), _O_BINARY);  // PCM must pass untranslated
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result)) return ReportError("coinit", result);

    switch (run.kind) {
    case RunKind::Mix: return RunMix(run.pid, run.format);
    case RunKind::App: return RunApp(run.app_names, run.format);
    case RunKind::Includes: return RunIncludes(run.pids, run.app_names, run.format);
    case RunKind::Excludes: return RunExcludes(run.pids, run.format);
    case RunKind::Exclude: return RelaySingleStream(run.pid, true, run.format);
    default: return RelaySingleStream(run.pid, false, run.format);
    }
}
