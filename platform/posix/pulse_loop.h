// libpulse's main loop on a thread of our own, locked as pa_threaded_mainloop
// is, but with a poll that can gather the server's messages: PulseAudio posts
// each monitor's fragment on its own, a few at a time for every stream, and
// the loop would wake for each. A wake-up that its owner says is for such
// messages waits kGather for the rest and takes them all at once.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <pulse/mainloop.h>

struct PulseLoop {
    pa_mainloop* mainloop = nullptr;
    pthread_mutex_t lock;  // recursive, priority-inheriting; the loop thread holds it except while it polls
    pthread_cond_t signalled;
    pthread_t thread{};
    bool started = false;
    // On the loop thread, without the lock, after a poll that found fds
    // ready: whether the wake-up waits for more of what woke it.
    bool (*gathers)(void* owner, const pollfd* fds, unsigned long count) = nullptr;
    void* owner = nullptr;
};

// How long a gathering wake-up waits: well within one server cycle, and far
// below what a device holds against the server's lateness.
constexpr long kGather = 2000;  // µs

// Null when out of memory.
PulseLoop* NewPulseLoop();
pa_mainloop_api* PulseLoopApi(PulseLoop* loop);
// Runs the loop on a thread raised to the audio engine's class.
bool StartPulseLoop(PulseLoop* loop);
// Quits, joins the thread and frees the loop; harmless if it never started.
// Not on the loop thread.
void FreePulseLoop(PulseLoop* loop);

// As pa_threaded_mainloop_lock, _unlock, _wait and _signal(loop, 0).
void LockPulseLoop(PulseLoop* loop);
void UnlockPulseLoop(PulseLoop* loop);
void WaitPulseLoop(PulseLoop* loop);
void SignalPulseLoop(PulseLoop* loop);
