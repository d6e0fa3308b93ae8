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

}  // namespace mixworld
