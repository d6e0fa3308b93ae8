#include "platform/posix/audio_group.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/audio_pipewire.h"

namespace {

constexpr DWORD kErrorBadEnvironment = 10;  // ERROR_BAD_ENVIRONMENT

bool PipeWireAnswers() {
    PipeWireConnection* connection = nullptr;
    if (FAILED(AcquirePipeWireConnection(&connection))) return false;
    ReleasePipeWireConnection(connection);  // the process keeps it while the daemon is there
    return true;
}

struct Choice {
    HRESULT result;
    bool pipewire;
};

}  // namespace

HRESULT ChooseAudioGroup(bool* pipewire) {
    static const Choice choice = []() -> Choice {
        const char* forced = getenv("PCMTAP_AUDIO");
        if (forced == nullptr || *forced == '\0') return {S_OK, PipeWireAnswers()};
        if (strcmp(forced, "pulse") == 0) return {S_OK, false};
        if (strcmp(forced, "pipewire") == 0) return {S_OK, true};
        // A setting that would silently be ignored is a mistake to hear of.
        fprintf(stderr, "pcmtap: PCMTAP_AUDIO=%s is not an audio group: pulse or pipewire, or leave it unset\n",
                forced);
        fflush(stderr);
        return {HRESULT_FROM_WIN32(kErrorBadEnvironment), false};
    }();
    *pipewire = choice.pipewire;
    return choice.result;
}
