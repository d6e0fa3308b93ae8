// What one endpoint enumeration read of the sound server: its render
// endpoints and the sessions on each.
#pragma once

#include <vector>

#include "platform/win32.h"

struct SessionRecord {
    AudioSessionState state;
    bool system_sounds;
    DWORD pid;        // 0 when neither the stream nor its client names a process
    uint32_t client;  // while reading: whose process the stream falls back to
};

struct EndpointRecord {
    uint32_t sink;
    std::vector<SessionRecord> sessions;
};

typedef std::vector<EndpointRecord> Snapshot;

// The server as it is now, through the native PipeWire group.
// AUDCLNT_E_SERVICE_NOT_RUNNING when no daemon answers.
HRESULT ReadPipeWireSnapshot(Snapshot* endpoints);
