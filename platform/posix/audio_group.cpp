#include "platform/posix/audio_group.h"

#include <cstdlib>
#include <cstring>

#include "platform/posix/audio_pipewire.h"

namespace {

bool PipeWireAnswers() {
    PipeWireConnection* connection = nullptr;
    if (FAILED(AcquirePipeWireConnection(&connection))) return false;
    ReleasePipeWireConnection(connection);  // the process keeps it while the daemon is there
    return true;
}

}  // namespace

bool UsesPipeWire() {
    static const bool native = [] {
        const char* forced = getenv("PCMTAP_AUDIO");
        if (forced != nullptr && strcmp(forced, "pulse") == 0) return false;
        if (forced != nullptr && strcmp(forced, "pipewire") == 0) return true;
        return PipeWireAnswers();
    }();
    return native;
}
