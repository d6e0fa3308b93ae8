// A private headless sound server with one 48 kHz stereo null sink, for the
// tests of the audio group that need a server, and a player of tones.
#pragma once

#include <pulse/pulseaudio.h>
#include <sys/types.h>

#include <string>
#include <vector>

// PulseAudio itself, or PipeWire with WirePlumber and its pulse server: pulse
// clients (pacat, TestStream) reach either through PULSE_SERVER.
enum class SoundServerKind { PulseAudio, PipeWire };

class PrivateSoundServer {
public:
    explicit PrivateSoundServer(SoundServerKind kind = SoundServerKind::PulseAudio) : kind_(kind) {}
    ~PrivateSoundServer() { Stop(); }
    // Starts the server, points PULSE_SERVER at it and PCMTAP_AUDIO at the
    // audio group its kind is for (for PipeWire, XDG_RUNTIME_DIR at the
    // folder of its native socket too). False, with the reason in why(), when
    // a program is not installed or the server does not come up.
    bool Start();
    // Ends every process of the server (SIGTERM), waits for them and removes
    // the server's folder.
    void Stop();
    const std::string& why() const { return why_; }

private:
    bool StartPulseAudio();
    bool StartPipeWire();
    // Runs a program of the server in its folder; false, with why_, if it
    // ended before its socket (when it has one) accepted a connection.
    bool Launch(const std::vector<std::string>& command, const std::string& socket);
    // False, with why_, once a program of the server has ended; reaps it.
    bool Running();

    struct Process {
        pid_t pid;
        std::string program;
    };
    SoundServerKind kind_;
    std::vector<Process> processes_;  // in the order started
    std::string directory_;
    std::string why_;
};

// How many clients of the server PULSE_SERVER names call themselves name
// (application.name); -1 when the server cannot be asked.
int CountClients(const char* name);

// Points both groups at sockets where nothing listens.
void UseNoSoundServer();

// Plays a sine tone (0.25 full scale) for seconds through pacat, as a child
// process; returns its pid, or -1.
pid_t PlayTone(double frequency, int seconds);
// Ends and reaps a child started by PlayTone.
void StopChild(pid_t pid);

// A playback stream of this process, as a player would open one; playing, it
// writes a 440 Hz tone (0.25 full scale). With a client process, the
// connection names that pid as its own and the stream names none, as
// PipeWire's native clients do.
class TestStream {
public:
    TestStream(const char* role, bool corked, pid_t client_process = 0);
    ~TestStream();
    bool ready() const { return ready_; }
    // The connection names another process as its own from now on.
    void ClaimProcess(pid_t pid);

private:
    pa_threaded_mainloop* loop_;
    pa_context* context_;
    pa_stream* stream_;
    bool ready_ = false;
    size_t written_ = 0;  // frames of the tone so far
};
