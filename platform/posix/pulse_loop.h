// libpulse's main loop on a thread of our own, locked as pa_threaded_mainloop
// is, but with a poll that can hold the thread's wake-ups for a tick: while
// the devices' clock runs, the server's many small messages (PulseAudio
// posts each monitor's fragment on its own, and the loop would wake for each)
// wait for the next tick and are taken in that one wake-up.
#pragma once

#include <pthread.h>
#include <pulse/mainloop.h>
#include <pulse/sample.h>

struct PulseLoop {
    pa_mainloop* mainloop = nullptr;
    pthread_mutex_t lock;  // recursive, priority-inheriting; the loop thread holds it except while it polls
    pthread_cond_t signalled;
    pthread_t thread{};
    bool started = false;
    // Loop thread, with the lock held: the tick (CLOCK_MONOTONIC, µs) to hold
    // the next poll's wake-ups for, 0 to wake at once.
    pa_usec_t (*hold_until)(void* owner) = nullptr;
    void* owner = nullptr;
};

// Null when out of memory.
PulseLoop* NewPulseLoop();
pa_mainloop_api* PulseLoopApi(PulseLoop* loop);
// Runs the loop on a thread raised to the audio engine's class.
bool StartPulseLoop(PulseLoop* loop);
// Quits and joins the thread; harmless if it never started. Not on the loop thread.
void StopPulseLoop(PulseLoop* loop);
void FreePulseLoop(PulseLoop* loop);

// As pa_threaded_mainloop_lock, _unlock, _wait and _signal(loop, 0).
void LockPulseLoop(PulseLoop* loop);
void UnlockPulseLoop(PulseLoop* loop);
void WaitPulseLoop(PulseLoop* loop);
void SignalPulseLoop(PulseLoop* loop);
