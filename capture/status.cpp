#include "capture/status.h"

#include <cstdio>

int ReportError(StageLabel label, HRESULT result) {
    fprintf(stderr, "ERROR %s 0x%08lx\n", label, static_cast<unsigned long>(static_cast<ULONG>(result)));
    fflush(stderr);
    return 1;
}

void ReportReady(DWORD pid) {
    fprintf(stderr, "READY %lu\n", static_cast<unsigned long>(pid));
    fflush(stderr);
}

void ReportReadyCount(const char* mode, unsigned count) {
    fprintf(stderr, "READY %s %u\n", mode, count);
    fflush(stderr);
}
