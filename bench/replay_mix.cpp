// Mix mode replayed from files: the real RunMix loop on the replay platform's
// virtual clock, as fast as the CPU allows. Each FILE (raw 48 kHz
// s16le stereo) becomes the packets of one audible process, 480 frames every
// 10 ms; the mix goes to stdout, as the tool writes it. The run ends when the
// virtual clock passes the longest file by 100 ms, so every frame of every
// file has been mixed by then.
//
// Usage: replay_mix FILE...
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "bench/replay_platform.h"
#include "mix/run_mix.h"

namespace {

constexpr DWORD kTarget = 100;  // left out of the mix; plays nothing
constexpr DWORD kFirstPlayer = 1000;

struct Recording {
    const int16_t* samples = nullptr;
    size_t frames = 0;
};

bool Map(const char* path, Recording* recording) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return false;
    struct stat info = {};
    bool mapped = false;
    if (fstat(fd, &info) == 0 && info.st_size >= 4) {
        void* data = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (data != MAP_FAILED) {
            recording->samples = static_cast<const int16_t*>(data);
            recording->frames = static_cast<size_t>(info.st_size) / 4;
            mapped = true;
        }
    }
    close(fd);
    return mapped;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    replay::AddProcess(4, 0, L"System");
    replay::AddProcess(kTarget, 4, L"target.exe");
    size_t longest = 0;
    for (int i = 1; i < argc; ++i) {
        Recording recording;
        if (!Map(argv[i], &recording)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 2;
        }
        const DWORD pid = kFirstPlayer + static_cast<DWORD>(i);
        replay::AddProcess(pid, 4, L"player.exe");
        replay::AddPlayer(pid, recording.samples, recording.frames);
        longest = std::max(longest, recording.frames);
    }
    replay::SetHorizon(longest * 1000 / 48000 + 100);

    int result = 0;
    try {
        result = RunMix(kTarget);
    } catch (const replay::EndOfReplay&) {
        // the replay is over; the tool itself only stops when stdout fails
    }
    std::fflush(stdout);
    return result;
}
