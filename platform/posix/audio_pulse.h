// A private connection to the sound server, shared by the process-loopback
// device and the endpoint enumeration: one PulseAudio context served by its
// own threaded main loop. Works against PipeWire's pulse server as well.
#pragma once

#include <pulse/pulseaudio.h>

#include "platform/win32.h"

struct PulseConnection {
    pa_threaded_mainloop* loop;
    pa_context* context;
};

// Connects and waits until the context is ready. A server that cannot be
// reached (none running, or refusing us) is AUDCLNT_E_SERVICE_NOT_RUNNING,
// which is what Windows answers while its audio service is stopped.
HRESULT OpenPulseConnection(PulseConnection* connection);

// Disconnects, stops the main loop thread and frees both. Must not be called
// on the main loop thread; after it returns no callback of the connection
// runs any more.
void ClosePulseConnection(PulseConnection* connection);

// Waits, with the loop locked, until op finishes or the context fails; then
// drops op. Returns false if the context failed meanwhile.
bool WaitForOperation(PulseConnection* connection, pa_operation* op);

// Whether the connection has been lost (context failed or terminated).
bool IsConnectionLost(pa_context* context);

// application.process.id of a proplist, 0 when absent or not a number.
DWORD ProcessIdOf(const pa_proplist* properties);
