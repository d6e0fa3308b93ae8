#include "mix/run_mix.h"

#include "app/status.h"

int RunMix(DWORD) { return ReportError("activate", E_NOTIMPL); }
