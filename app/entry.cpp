#include <cstdio>

#include "app/command_line.h"
#include "app/process_list.h"
#include "app/status.h"
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
    if (argc < 3) return ReportError("args", E_INVALIDARG);
    if (line.app ? !IsValidAppName(line.app_name) : line.pid == 0) return ReportError("args", E_INVALIDARG);
    // Binary PCM would ring the console's bell and block it; nothing is opened.
    if (IsConsoleOutput()) return ReportError(kOutputStage, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));

    _setmode(_fileno(stdout), _O_BINARY);  // PCM must pass untranslated
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result)) return ReportError("coinit", result);

    if (line.app) return RunApp(line.app_name);
    if (line.mix) return RunMix(line.pid);
    return RelaySingleStream(line.pid, line.exclude);
}
