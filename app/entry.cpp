#include <cstdio>

#include "app/command_line.h"
#include "app/status.h"
#include "capture/output.h"
#include "capture/relay.h"
#include "mix/run_mix.h"

int PcmtapMain(int argc, char** argv) {
    if (argc < 3) return ReportError("args", E_INVALIDARG);
    const CommandLine line = ParseCommandLine(argc, argv);
    if (line.pid == 0) return ReportError("args", E_INVALIDARG);
    // Binary PCM would ring the console's bell and block it; nothing is opened.
    if (IsConsoleOutput()) return ReportError(kOutputStage, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));

    _setmode(_fileno(stdout), _O_BINARY);  // PCM must pass untranslated
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result)) return ReportError("coinit", result);

    if (line.mix) return RunMix(line.pid);
    return RelaySingleStream(line.pid, line.exclude);
}
