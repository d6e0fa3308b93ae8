// What mix mode's polling costs on this machine before it does any work: the
// loop's Sleep(5) and clock reads, and a 10 ms chunk written and flushed on
// every second turn, on the real platform. Prints the CPU time it took,
// scaled to a minute.
//
// Usage: turn_floor [SECONDS]   (default 10; stdout should go to /dev/null)
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/win32.h"

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int turns = static_cast<int>(seconds * 200);
    const std::vector<char> chunk(480 * 4, 0);
    timeBeginPeriod(1);
    LARGE_INTEGER counter = {};
    for (int turn = 0; turn < turns; ++turn) {
        Sleep(5);
        QueryPerformanceCounter(&counter);
        GetTickCount();
        if (turn % 2 == 1) {
            std::fwrite(chunk.data(), 1, chunk.size(), stdout);
            std::fflush(stdout);
        }
    }
    timespec cpu = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    const double used = static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
    std::fprintf(stderr, "%d turns in %.1f s: %.1f ms CPU per minute\n", turns, seconds, 60000.0 * used / seconds);
    return 0;
}
