// The capture contract's world on the scripted platform.
#include "tests/doubles/scripted_platform.h"
#include "tests/platform/capture_contract.h"

namespace {

class ScriptedWorld final : public CaptureContractWorld {
public:
    std::string Start() override {
        scripted::Reset();
        *ended_ = false;
        return "";
    }
    // A pid of its own for each, whose packets are 10 ms at its stream's rate.
    DWORD Player() override {
        const DWORD pid = kPlayer + players_++;
        scripted::Loopback script;
        script.source = [ended = ended_, pid](size_t index) -> std::optional<scripted::Packet> {
            if (*ended) return std::nullopt;
            scripted::Packet packet;
            packet.at_ms = index * 10;
            for (const scripted::StreamState& stream : scripted::Streams())
                if (stream.pid == pid && stream.initialized) packet.frames = stream.format.nSamplesPerSec / 100;
            packet.value = static_cast<int16_t>(index % 30000 + 1);
            return packet;
        };
        scripted::SetLoopback(pid, script);
        return pid;
    }
    DWORD Quiet() override { return kQuiet; }  // unscripted: opens and delivers nothing
    DWORD UnseenPlayer(std::string*) override {
        scripted::Loopback script;
        script.unseen_path = true;
        scripted::SetLoopback(kUnseen, script);
        return kUnseen;
    }
    void EndPlayer(DWORD) override { *ended_ = true; }
    bool BreakStream(std::string* why) override {
        *why = "a scripted stream is never made again";
        return false;
    }
    void LoseServer() override { scripted::InvalidateStreams(); }
    UINT32 Slack() const override { return 0; }
    std::vector<std::string> Finish() override {
        scripted::Settle();
        std::vector<std::string> misuse = scripted::Violations();
        scripted::Reset();
        return misuse;
    }

private:
    static constexpr DWORD kPlayer = 100;  // and on
    static constexpr DWORD kQuiet = 200;
    static constexpr DWORD kUnseen = 300;
    std::shared_ptr<bool> ended_ = std::make_shared<bool>(false);
    DWORD players_ = 0;
};

}  // namespace

std::unique_ptr<CaptureContractWorld> MakeCaptureContractWorld() { return std::make_unique<ScriptedWorld>(); }
