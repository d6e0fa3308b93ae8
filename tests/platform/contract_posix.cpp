// The capture contract's world for platform/posix: a private sound server,
// tone players and a quiet process.
#include <signal.h>
#include <unistd.h>

#include "tests/platform/capture_contract.h"
#include "tests/platform/sound_server.h"

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
    PrivateSoundServer server_;
    std::vector<pid_t> children_;
};

}  // namespace

std::unique_ptr<CaptureContractWorld> MakeCaptureContractWorld() { return std::make_unique<PosixWorld>(); }
