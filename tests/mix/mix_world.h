// Scripted worlds for the mix tests: which processes are heard, and what
// their streams deliver.
#pragma once

#include <vector>

#include "tests/doubles/scripted_platform.h"

namespace mixworld {

// Each pid a child of pid 1 owning an active session on one endpoint, so
// that it is selected unless excluded.
inline void MakeAudible(const std::vector<DWORD>& pids) {
    std::vector<scripted::Process> processes{{1, 0, L"explorer.exe"}};
    scripted::Endpoint endpoint;
    for (const DWORD pid : pids) {
        processes.push_back({pid, 1, L"player.exe"});
        scripted::Session session;
        session.pid = pid;
        endpoint.sessions.push_back(session);
    }
    scripted::SetProcesses(processes);
    scripted::SetEndpoints({endpoint});
}

// Activations on pid complete at once, on the caller's thread.
inline scripted::Loopback Script(std::vector<scripted::Packet> packets = {}, HRESULT activation = S_OK) {
    scripted::Loopback script;
    script.activation_result = activation;
    script.complete_on_thread = false;
    script.packets = std::move(packets);
    return script;
}

// One packet of `frames` frames of `value`, `at_ms` after the stream starts.
inline scripted::Packet Tone(uint64_t at_ms, UINT32 frames, int16_t value) {
    scripted::Packet packet;
    packet.at_ms = at_ms;
    packet.frames = frames;
    packet.value = value;
    return packet;
}

// Frame n of a source whose frames are numbered: the left channel a ramp of
// 16 a frame over 2048 frames, the right channel counts the ramps and is
// never 0. Passed through, a frame says which it is; resampled, it lies
// between two on the ramp.
constexpr int kRampFrames = 2048, kRampSlope = 16;
inline int16_t Numbered(size_t n, size_t channel) {
    return static_cast<int16_t>(channel == 0 ? kRampSlope * static_cast<int>(n % kRampFrames) - 16384
                                             : -1 - static_cast<int64_t>(n / kRampFrames % 30000));
}
inline double FrameNumber(const int16_t* frame) {
    return (frame[0] + 16384) / kRampSlope + kRampFrames * (-frame[1] - 1.0);
}

}  // namespace mixworld
