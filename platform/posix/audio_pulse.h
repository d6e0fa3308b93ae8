// The process's one connection to the sound server, shared by every
// process-loopback device and every endpoint enumeration: one PulseAudio
// context served by one main loop on a thread of its own (pulse_loop.h).
// Works against PipeWire's pulse server as well.
#pragma once

#include <pulse/pulseaudio.h>

#include <map>
#include <vector>

#include "platform/posix/pulse_loop.h"
#include "platform/win32.h"

// A device on the connection: hears of its playback streams coming and going,
// of a client whose process changed after it was first seen (its streams may
// belong elsewhere now), of the connection's loss, and of each tick of the
// connection's clock (CLOCK_MONOTONIC, µs), to which it answers whether it
// still needs the clock. Called on the main loop thread.
struct PulseListener {
    void (*on_sink_input_event)(void* owner, pa_subscription_event_type_t type, uint32_t index);
    void (*on_client_changed)(void* owner);
    void (*on_lost)(void* owner);
    bool (*on_tick)(void* owner, pa_usec_t now);
    void* owner;
};

// The period of the connection's clock: every device mixes on the same
// ticks, multiples of it on CLOCK_MONOTONIC, in one wake-up of the loop.
constexpr pa_usec_t kClockPeriod = 10000;  // µs

// Client index -> application.process.id of that client (0 when it names none).
typedef std::map<uint32_t, DWORD> ClientProcesses;

struct PulseConnection {
    PulseLoop* loop = nullptr;
    pa_context* context = nullptr;
    // The rest belongs to whoever holds the main loop lock.
    bool subscribed = false;                // to sink input and client events, once any listener asked
    std::vector<PulseListener*> listeners;  // not owned
    ClientProcesses clients;                // every client's process, kept current while subscribed
    // PipeWire's pulse server holds back every record stream of a client
    // while one of them monitors a corked playback stream, until that stream
    // plays again: there, a device corks its monitor of a corked stream.
    bool corked_monitor_holds_back = false;
    int clock = -1;  // a timerfd on the tick grid; armed only while a device needs it
    pa_io_event* clock_event = nullptr;
    bool ticking = false;
    LONG references = 0;  // guarded by the process-wide connection lock, not the loop's
};

// A reference to the process's connection, made on first use and made again
// once the server has been lost. A server that cannot be reached (none
// running, or refusing us) is AUDCLNT_E_SERVICE_NOT_RUNNING, which is what
// Windows answers while its audio service is stopped.
HRESULT AcquirePulseConnection(PulseConnection** connection);

// Drops a reference. The process keeps its connection while the server is
// there, so an idle enumeration once a second does not reconnect; a lost one
// is closed with its last reference. Must not be called on the main loop
// thread.
void ReleasePulseConnection(PulseConnection* connection);

// With the loop locked: start or stop hearing of the connection's events.
// The first listener that subscribes has sink input and client events sent,
// and has every client read; the replies come before those of any query the
// listener makes after it.
void AddPulseListener(PulseConnection* connection, PulseListener* listener);
void RemovePulseListener(PulseConnection* connection, PulseListener* listener);
void SubscribeSinkInputs(PulseConnection* connection);

// With the loop locked: has the clock tick from the next multiple of
// kClockPeriod on, if it does not already. It stops by itself once no
// listener needs it, so that an idle connection never wakes.
void StartPulseClock(PulseConnection* connection);

// The next tick of the grid after now.
inline pa_usec_t NextClockTick(pa_usec_t now) { return (now / kClockPeriod + 1) * kClockPeriod; }

// With the loop locked: keeps op (dropping those that have finished) so that
// it can be cancelled; the context outlives any one device, and a query left
// pending would call back into a device that is gone.
void TrackOperation(std::vector<pa_operation*>* pending, pa_operation* op);
void CancelOperations(std::vector<pa_operation*>* pending);

// Waits, with the loop locked, until op finishes or the context fails; then
// drops op. Returns false if the context failed meanwhile.
bool WaitForOperation(PulseConnection* connection, pa_operation* op);

// Whether the connection has been lost (context failed or terminated).
bool IsConnectionLost(pa_context* context);

// application.process.id of a proplist, 0 when absent or not a number.
DWORD ProcessIdOf(const pa_proplist* properties);

// The process a playback stream belongs to: its own application.process.id,
// or, for a stream that names none, its client's. PipeWire's native clients
// (pw-cat, apps on PipeWire directly or through its ALSA plugin) carry the
// pid on the client alone. 0 when neither names a process.
DWORD StreamProcessId(const pa_sink_input_info* info, const ClientProcesses& clients);
