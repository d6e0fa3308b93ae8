// Time over CLOCK_MONOTONIC. The performance counter counts nanoseconds, so
// its frequency is 10^9, constant as on Windows.
#include <cerrno>
#include <ctime>

#include "platform/win32.h"

namespace {

int64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

void Sleep(DWORD dwMilliseconds) {
    timespec rest{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

DWORD GetTickCount() { return static_cast<DWORD>(static_cast<uint64_t>(MonotonicNanoseconds()) / 1000000u); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    lpPerformanceCount->QuadPart = MonotonicNanoseconds();
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    lpFrequency->QuadPart = 1000000000;
    return TRUE;
}

// nanosleep already wakes within well under a millisecond of its deadline.
MMRESULT timeBeginPeriod(UINT uPeriod) { return uPeriod == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR; }
