// The scheduling Windows gives the threads that move audio: its audio engine
// runs in the real-time range, and the Multimedia Class Scheduler raises an
// "Audio" task above every ordinary thread. Here both are the first-in,
// first-out real-time class at a low priority, below a sound server's own
// threads, where the system allows it (root, or an RLIMIT_RTPRIO); where it
// does not, the thread runs on as it was.
#pragma once

#include <pthread.h>
#include <sched.h>

constexpr int kAudioThreadPriority = 5;  // SCHED_FIFO 1..99; PipeWire's data thread runs at 88, PulseAudio's at 5

// True once the calling thread runs in the real-time class.
inline bool RaiseToAudioPriority() {
    sched_param param{};
    param.sched_priority = kAudioThreadPriority;
    // Threads and processes it starts do not inherit the class.
    return pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}
