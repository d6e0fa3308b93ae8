#include "tests/platform/sound_server.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

bool CanConnect(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return connected;
}

}  // namespace

bool PrivateSoundServer::Start() {
    char pattern[] = "/tmp/pcmtap-pa-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        why_ = "no temporary directory";
        return false;
    }
    directory_ = pattern;
    const std::string socket = directory_ + "/pa.sock";
    const std::string native = "module-native-protocol-unix auth-anonymous=1 socket=" + socket;
    const std::string sink = "module-null-sink sink_name=vsink rate=48000 channels=2 format=s16le";
    pid_ = fork();
    if (pid_ == 0) {
        setenv("HOME", directory_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
        freopen("/dev/null", "w", stderr);
        execlp("pulseaudio", "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--disallow-exit",
               "--use-pid-file=no", "--realtime=no", "--high-priority=no", ("--load=" + native).c_str(),
               ("--load=" + sink).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 300; ++i) {
        if (CanConnect(socket)) {
            setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            why_ = "pulseaudio is not installed or would not start";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    why_ = "pulseaudio did not come up within 3 s";
    return false;
}

void PrivateSoundServer::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (!directory_.empty()) {
        const std::string command = "rm -rf '" + directory_ + "'";
        if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", directory_.c_str());
        directory_.clear();
    }
}

int CountClients(const char* name) {
    struct Count {
        const char* name;
        int clients = 0;
        bool done = false;
    } count{name};
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "pcmtap client count");
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    while (pa_context_get_state(context) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
        pa_mainloop_iterate(loop, 1, nullptr);
    pa_operation* op = nullptr;
    if (pa_context_get_state(context) == PA_CONTEXT_READY)
        op = pa_context_get_client_info_list(
            context,
            [](pa_context*, const pa_client_info* info, int eol, void* userdata) {
                auto* count = static_cast<Count*>(userdata);
                if (eol != 0) {
                    count->done = true;
                    return;
                }
                const char* named = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
                if (named != nullptr && strcmp(named, count->name) == 0) ++count->clients;
            },
            &count);
    while (op != nullptr && pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_mainloop_iterate(loop, 1, nullptr);
    if (op != nullptr) pa_operation_unref(op);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return count.done ? count.clients : -1;
}

void UseNoSoundServer() { setenv("PULSE_SERVER", "unix:/nonexistent/pcmtap-test.sock", 1); }

pid_t PlayTone(double frequency, int seconds) {
    char path[] = "/tmp/pcmtap-tone-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return -1;
    std::vector<int16_t> samples(static_cast<size_t>(seconds) * 48000 * 2);
    for (size_t i = 0; i < samples.size() / 2; ++i) {
        const auto value = static_cast<int16_t>(8192 * std::sin(2 * M_PI * frequency * static_cast<double>(i) / 48000));
        samples[2 * i] = samples[2 * i + 1] = value;
    }
    const bool written = write(fd, samples.data(), samples.size() * 2) == static_cast<ssize_t>(samples.size() * 2);
    close(fd);
    const pid_t pid = written ? fork() : -1;
    if (pid == 0) {
        // The player reads the tone from its standard input; the name can go.
        const int tone = open(path, O_RDONLY);
        unlink(path);
        if (tone < 0 || dup2(tone, STDIN_FILENO) < 0) _exit(127);
        execlp("pacat", "pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=2", "--latency-msec=20",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) unlink(path);
    return pid;
}

void StopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}
