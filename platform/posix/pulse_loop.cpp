#include "platform/posix/pulse_loop.h"

#include <ctime>

#include "platform/posix/thread_priority.h"

namespace {

// Polls with the lock released. A wake-up that gathers sleeps kGather and
// then takes whatever has come since; one for a timer of the loop's own
// (polled == 0) or one the loop asked for at once (timeout 0) does not.
int PollGathering(pollfd* fds, unsigned long count, int timeout, void* userdata) {
    auto* loop = static_cast<PulseLoop*>(userdata);
    pthread_mutex_unlock(&loop->lock);
    int polled = poll(fds, count, timeout);
    if (polled > 0 && timeout != 0 && loop->gathers != nullptr && loop->gathers(loop->owner, fds, count)) {
        const timespec gather{0, kGather * 1000};
        nanosleep(&gather, nullptr);
        polled = poll(fds, count, 0);
    }
    pthread_mutex_lock(&loop->lock);
    return polled;
}

// The devices' engine: it reads their monitors and mixes every period, and
// must not fall behind on a busy machine.
void* RunLoop(void* argument) {
    auto* loop = static_cast<PulseLoop*>(argument);
    pthread_setname_np(pthread_self(), "pulse-loop");
    RaiseToAudioPriority();
    pthread_mutex_lock(&loop->lock);
    int result = 0;
    pa_mainloop_run(loop->mainloop, &result);
    pthread_mutex_unlock(&loop->lock);
    return nullptr;
}

}  // namespace

PulseLoop* NewPulseLoop() {
    pa_mainloop* mainloop = pa_mainloop_new();
    if (mainloop == nullptr) return nullptr;
    auto* loop = new PulseLoop();
    loop->mainloop = mainloop;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    // A thread that holds the lock while the real-time loop waits for it runs at the loop's priority.
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&loop->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
    pthread_cond_init(&loop->signalled, nullptr);
    pa_mainloop_set_poll_func(mainloop, PollGathering, loop);
    return loop;
}

pa_mainloop_api* PulseLoopApi(PulseLoop* loop) { return pa_mainloop_get_api(loop->mainloop); }

bool StartPulseLoop(PulseLoop* loop) {
    loop->started = pthread_create(&loop->thread, nullptr, RunLoop, loop) == 0;
    return loop->started;
}

void FreePulseLoop(PulseLoop* loop) {
    if (loop->started) {
        LockPulseLoop(loop);
        pa_mainloop_quit(loop->mainloop, 0);  // wakes the loop
        UnlockPulseLoop(loop);
        pthread_join(loop->thread, nullptr);
    }
    pa_mainloop_free(loop->mainloop);
    pthread_cond_destroy(&loop->signalled);
    pthread_mutex_destroy(&loop->lock);
    delete loop;
}

void LockPulseLoop(PulseLoop* loop) { pthread_mutex_lock(&loop->lock); }
void UnlockPulseLoop(PulseLoop* loop) { pthread_mutex_unlock(&loop->lock); }
void WaitPulseLoop(PulseLoop* loop) { pthread_cond_wait(&loop->signalled, &loop->lock); }
void SignalPulseLoop(PulseLoop* loop) { pthread_cond_broadcast(&loop->signalled); }
