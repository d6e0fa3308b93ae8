// The virtual clock: Sleep moves it, the counters read it.
#include "tests/doubles/world.h"

using namespace scripted::detail;

void Sleep(DWORD dwMilliseconds) {
    Enter("Sleep");
    if (Ending()) throw ThreadEnd{};  // before the test's sleep durations, which may be gone
    World& world = TheWorld();
    const uint64_t duration = world.sleep_duration ? world.sleep_duration(dwMilliseconds) : dwMilliseconds * 1000000ull;
    if (Threaded()) {
        BlockThread(world.now_ns + duration, nullptr);
        return;
    }
    if (world.now_ns + duration > world.horizon_ns) throw scripted::EndOfScript{};
    AdvanceTo(world.now_ns + duration);
}

DWORD GetTickCount() {
    Enter("GetTickCount");
    const World& world = TheWorld();
    return static_cast<DWORD>(world.tick_start + world.now_ns / 1000000u);
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    Enter("QueryPerformanceCounter");
    const World& world = TheWorld();
    const __int128 elapsed = static_cast<__int128>(world.now_ns) * world.frequency / 1000000000;
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(world.counter_start + elapsed);
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    Enter("QueryPerformanceFrequency");
    lpFrequency->QuadPart = TheWorld().frequency;
    return TRUE;
}

// Windows' timer resolution is 1 ms at best; a period of 0 is refused.
MMRESULT timeBeginPeriod(UINT uPeriod) {
    Enter("timeBeginPeriod");
    TheWorld().timer_periods.push_back(uPeriod);
    return uPeriod == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR;
}

namespace scripted {

void SetPerformanceFrequency(int64_t ticks_per_second) { TheWorld().frequency = ticks_per_second; }

void SetPerformanceCounterStart(int64_t ticks) { TheWorld().counter_start = ticks; }

void SetTickCountStart(DWORD ms) { TheWorld().tick_start = ms; }

void SetSleepDuration(std::function<uint64_t(DWORD)> duration) { TheWorld().sleep_duration = std::move(duration); }

uint64_t NowNanoseconds() { return TheWorld().now_ns; }

std::vector<UINT> TimerPeriods() { return TheWorld().timer_periods; }

void AdvanceTime(uint64_t ns) { AdvanceTo(TheWorld().now_ns + ns); }

}  // namespace scripted
