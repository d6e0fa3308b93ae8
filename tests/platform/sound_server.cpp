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

namespace {

void Signal(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

// Waits, with the loop locked, for an operation to finish.
void Finish(pa_threaded_mainloop* loop, pa_operation* op) {
    while (op != nullptr && pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    if (op != nullptr) pa_operation_unref(op);
}

}  // namespace

TestStream::TestStream(const char* role, bool corked, pid_t client_process) {
    loop_ = pa_threaded_mainloop_new();
    pa_threaded_mainloop_start(loop_);
    pa_threaded_mainloop_lock(loop_);
    pa_proplist* client = pa_proplist_new();
    if (client_process > 0) pa_proplist_setf(client, PA_PROP_APPLICATION_PROCESS_ID, "%d", client_process);
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "session test", client);
    pa_proplist_free(client);
    pa_context_set_state_callback(
        context_, [](pa_context*, void* loop) { Signal(static_cast<pa_threaded_mainloop*>(loop)); }, loop_);
    pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    while (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) && pa_context_get_state(context_) != PA_CONTEXT_READY)
        pa_threaded_mainloop_wait(loop_);
    pa_proplist* properties = pa_proplist_new();
    if (role != nullptr) pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, role);
    // The server would otherwise copy the client's pid onto the stream.
    if (client_process > 0) pa_proplist_sets(properties, PA_PROP_APPLICATION_PROCESS_ID, "");
    static const pa_sample_spec kSpec = {PA_SAMPLE_S16LE, 48000, 2};
    stream_ = pa_stream_new_with_proplist(context_, "test", &kSpec, nullptr, properties);
    pa_proplist_free(properties);
    pa_stream_set_state_callback(
        stream_, [](pa_stream*, void* loop) { Signal(static_cast<pa_threaded_mainloop*>(loop)); }, loop_);
    pa_stream_set_write_callback(
        stream_,
        [](pa_stream* stream, size_t bytes, void* userdata) {
            auto* written = static_cast<size_t*>(userdata);
            std::vector<int16_t> samples(bytes / 2);
            for (size_t i = 0; i < samples.size() / 2; ++i, ++*written)
                samples[2 * i] = samples[2 * i + 1] =
                    static_cast<int16_t>(8192 * std::sin(2 * M_PI * 440 * static_cast<double>(*written) / 48000));
            pa_stream_write(stream, samples.data(), samples.size() * 2, nullptr, 0, PA_SEEK_RELATIVE);
        },
        &written_);
    pa_stream_connect_playback(stream_, nullptr, nullptr, corked ? PA_STREAM_START_CORKED : PA_STREAM_NOFLAGS, nullptr,
                               nullptr);
    while (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)) && pa_stream_get_state(stream_) != PA_STREAM_READY)
        pa_threaded_mainloop_wait(loop_);
    ready_ = pa_stream_get_state(stream_) == PA_STREAM_READY;
    pa_threaded_mainloop_unlock(loop_);
}

TestStream::~TestStream() {
    pa_threaded_mainloop_lock(loop_);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void TestStream::ClaimProcess(pid_t pid) {
    pa_threaded_mainloop_lock(loop_);
    pa_proplist* client = pa_proplist_new();
    pa_proplist_setf(client, PA_PROP_APPLICATION_PROCESS_ID, "%d", pid);
    Finish(loop_, pa_context_proplist_update(
                      context_, PA_UPDATE_REPLACE, client,
                      [](pa_context*, int, void* loop) { Signal(static_cast<pa_threaded_mainloop*>(loop)); }, loop_));
    pa_proplist_free(client);
    pa_threaded_mainloop_unlock(loop_);
}
