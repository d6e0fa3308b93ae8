// Mix mode replayed from files: the real RunMix loop on the scripted
// platform's virtual clock, as fast as the CPU allows. Each FILE (raw 48 kHz
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
#include <cstring>
#include <vector>

#include "mix/run_mix.h"
#include "tests/doubles/scripted_platform.h"

namespace {

constexpr UINT32 kPacketFrames = 480;  // 10 ms, the shared-mode period of a Windows endpoint
constexpr DWORD kTarget = 100;         // left out of the mix; plays nothing
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

// Packet i holds frames [480 i, 480 i + 480) of the recording, due at 10 i ms.
scripted::PacketSource Packets(Recording recording) {
    return [recording](size_t index) -> std::optional<scripted::Packet> {
        const size_t first = index * kPacketFrames;
        if (first >= recording.frames) return std::nullopt;
        scripted::Packet packet;
        packet.at_ms = index * 10;
        packet.frames = static_cast<UINT32>(std::min<size_t>(kPacketFrames, recording.frames - first));
        packet.samples.assign(recording.samples + first * 2, recording.samples + (first + packet.frames) * 2);
        return packet;
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    scripted::Reset();
    scripted::SetCallLog(false);

    std::vector<scripted::Process> processes = {{4, 0, L"System"}, {kTarget, 4, L"target.exe"}};
    scripted::Endpoint endpoint;
    size_t longest = 0;
    for (int i = 1; i < argc; ++i) {
        Recording recording;
        if (!Map(argv[i], &recording)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 2;
        }
        const DWORD pid = kFirstPlayer + static_cast<DWORD>(i);
        processes.push_back({pid, 4, L"player.exe"});
        endpoint.sessions.push_back({AudioSessionStateActive, false, pid});
        scripted::Loopback script;
        script.source = Packets(recording);
        scripted::SetLoopback(pid, std::move(script));
        longest = std::max(longest, recording.frames);
    }
    scripted::SetProcesses(processes);
    scripted::SetEndpoints({endpoint});
    scripted::SetHorizon(longest * 1000 / 48000 + 100);

    int result = 0;
    try {
        result = RunMix(kTarget);
    } catch (const scripted::EndOfScript&) {
        // the replay is over; the tool itself only stops when stdout fails
    }
    std::fflush(stdout);
    scripted::Reset();  // joins the platform's activation threads
    return result;
}
