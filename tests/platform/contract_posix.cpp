// The capture contract's world for platform/posix: a private sound server,
// tone players and a quiet process. The build names the server's kind for
// each test program (PulseAudio unless it says otherwise).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "tests/platform/capture_contract.h"
#include "tests/platform/sound_server.h"

#ifndef PCMTAP_CONTRACT_SERVER
#define PCMTAP_CONTRACT_SERVER PulseAudio
#endif

namespace {

class PosixWorld final : public CaptureContractWorld {
public:
    std::string Start() override { return server_.Start() ? "" : "no sound server: " + server_.why(); }
    DWORD Player() override {
        const pid_t pid = PlayTone(440, 20);
        if (pid <= 0) return 0;
        children_.push_back(pid);
        return static_cast<DWORD>(pid);
    }
    DWORD Quiet() override {
        const pid_t pid = fork();
        if (pid == 0) {
            pause();
            _exit(0);
        }
        if (pid < 0) return 0;
        children_.push_back(pid);
        return static_cast<DWORD>(pid);
    }
    // What Windows does not hear (a conferencing app's own output path, an
    // exclusive-mode stream) has no counterpart on a sound server: every
    // stream of a process is a sink input that its monitor can follow.
    DWORD UnseenPlayer(std::string* why) override {
        *why = "a sound server has no playback path that a monitor cannot follow";
        return 0;
    }
    void EndPlayer(DWORD pid) override {
        StopChild(static_cast<pid_t>(pid));
        children_.erase(std::remove(children_.begin(), children_.end(), static_cast<pid_t>(pid)), children_.end());
    }
    // pcmtap's capture node destroyed, as `pw-cli destroy` does.
    bool BreakStream(std::string* why) override {
        if (SoundServerKind::PCMTAP_CONTRACT_SERVER != SoundServerKind::PipeWire) {
            *why = "a PulseAudio monitor stream that fails is not made again";
            return false;
        }
        return system(
                   "pw-cli destroy \"$(pw-cli ls Node | awk '/^[[:space:]]*id [0-9]+,/ { id = $2 + 0 } "
                   "/node.name = \"pcmtap\"/ { print id }')\" >/dev/null") == 0;
    }
    // Every process of the server goes: PipeWire's daemon with its session
    // manager and pulse server.
    void LoseServer() override { server_.Stop(); }
    // The server hands over data in bursts of a few periods.
    UINT32 Slack() const override { return 3; }
    std::vector<std::string> Finish() override {
        for (const pid_t child : children_) StopChild(child);
        children_.clear();
        server_.Stop();
        return {};
    }

private:
    PrivateSoundServer server_{SoundServerKind::PCMTAP_CONTRACT_SERVER};
    std::vector<pid_t> children_;
};

}  // namespace

std::unique_ptr<CaptureContractWorld> MakeCaptureContractWorld() { return std::make_unique<PosixWorld>(); }
