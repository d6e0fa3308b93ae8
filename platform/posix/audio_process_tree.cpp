// Parent links come from /proc/PID/status ("PPid:").
#include "platform/posix/audio_process_tree.h"

#include <cstdio>
#include <cstring>

namespace {

// Enough for any real ancestry; stops a walk that a recycled pid turned
// into a loop.
constexpr int kMaxDepth = 64;

// The parent of pid, 0 if unknown.
DWORD ParentOf(DWORD pid) {
    char path[32];
    snprintf(path, sizeof(path), "/proc/%lu/status", static_cast<unsigned long>(pid));
    FILE* status = fopen(path, "re");
    if (status == nullptr) return 0;
    DWORD parent = 0;
    char line[256];
    while (fgets(line, sizeof(line), status) != nullptr) {
        unsigned long value = 0;
        if (sscanf(line, "PPid: %lu", &value) == 1) {
            parent = static_cast<DWORD>(value);
            break;
        }
    }
    fclose(status);
    return parent;
}

}  // namespace

bool IsInProcessTree(DWORD pid, DWORD root) {
    for (int depth = 0; pid != 0 && depth < kMaxDepth; ++depth) {
        if (pid == root) return true;
        pid = ParentOf(pid);
    }
    return false;
}
