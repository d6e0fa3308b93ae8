#include "tests/platform/sound_server.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

bool WriteFile(const std::string& path, const char* text) {
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool written = fputs(text, file) >= 0;
    return fclose(file) == 0 && written;
}

// The server's default sink, as a pulse client sees it; empty when none.
std::string DefaultSink() {
    FILE* info = popen("LC_ALL=C pactl info 2>/dev/null", "r");
    if (info == nullptr) return "";
    std::string sink;
    char line[512];
    while (fgets(line, sizeof(line), info) != nullptr) {
        if (strncmp(line, "Default Sink: ", 14) == 0) sink.assign(line + 14, strcspn(line + 14, "\n"));
    }
    pclose(info);
    return sink;
}

// The end of what the server's programs said on stderr.
std::string LogTail(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return "";
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof(chunk), file)) > 0;) text.append(chunk, n);
    fclose(file);
    return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

}  // namespace

bool PrivateSoundServer::Start() {
    char pattern[] = "/tmp/pcmtap-pa-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        why_ = "no temporary directory";
        return false;
    }
    directory_ = pattern;
    const bool pipewire = kind_ == SoundServerKind::PipeWire;
    if (!(pipewire ? StartPipeWire() : StartPulseAudio())) {
        const std::string why = why_;
        Stop();
        why_ = why;
        return false;
    }
    // The audio group is chosen at the first audio call of the process.
    setenv("PCMTAP_AUDIO", pipewire ? "pipewire" : "pulse", 1);
    if (pipewire) {
        setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
        unsetenv("PIPEWIRE_RUNTIME_DIR");
    }
    return true;
}

bool PrivateSoundServer::StartPulseAudio() {
    const std::string socket = directory_ + "/pa.sock";
    if (!Launch({"pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
                 "--realtime=no", "--high-priority=no",
                 "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket,
                 "--load=module-null-sink sink_name=vsink rate=48000 channels=2 format=s16le"},
                socket))
        return false;
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    return true;
}

bool PrivateSoundServer::StartPipeWire() {
    // WirePlumber as root without D-Bus: no device reservation, no portal, and
    // no logind plugin, whose failure where systemd never ran ends it at start.
    const std::string socket = directory_ + "/pa.sock";
    for (const char* folder : {"/wireplumber", "/wireplumber/main.lua.d", "/wireplumber/bluetooth.lua.d", "/pipewire",
                               "/pipewire/pipewire-pulse.conf.d"})
        mkdir((directory_ + folder).c_str(), 0700);
    const std::string address = "pulse.properties = { server.address = [ \"unix:" + socket + "\" ] }\n";
    if (!WriteFile(directory_ + "/wireplumber/main.lua.d/51-headless.lua",
                   "alsa_monitor.properties[\"alsa.reserve\"] = false\n"
                   "default_access.properties[\"enable-flatpak-portal\"] = false\n") ||
        !WriteFile(directory_ + "/wireplumber/bluetooth.lua.d/51-no-logind.lua",
                   "bluez_monitor.properties[\"with-logind\"] = false\n") ||
        !WriteFile(directory_ + "/pipewire/pipewire-pulse.conf.d/90-socket.conf", address.c_str())) {
        why_ = "could not write the server's configuration in " + directory_;
        return false;
    }
    if (!Launch({"pipewire"}, directory_ + "/pipewire-0") || !Launch({"wireplumber"}, "") ||
        !Launch({"pipewire-pulse"}, socket))
        return false;
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    // What pactl says goes to the log with the server's own words.
    const std::string to_log = " >/dev/null 2>>'" + directory_ + "/server.log'";
    const std::string load_sink =
        "pactl load-module module-null-sink sink_name=vsink rate=48000 channels=2 format=s16le" + to_log;
    const std::string set_default = "pactl set-default-sink vsink" + to_log;
    if (system(load_sink.c_str()) != 0) {
        why_ = "pipewire-pulse would not load the null sink vsink:\n" + LogTail(directory_ + "/server.log");
        return false;
    }
    // The default sink lives in metadata that WirePlumber makes once it is up;
    // until then pipewire-pulse answers "Not supported".
    for (int i = 0; i < 100 && DefaultSink() != "vsink"; ++i) {
        if (!Running()) return false;
        const bool set = system(set_default.c_str()) == 0;  // then WirePlumber takes it up
        std::this_thread::sleep_for(std::chrono::milliseconds(set ? 10 : 50));
    }
    if (!Running()) return false;
    if (DefaultSink() != "vsink") {
        why_ = "the PipeWire server did not make the null sink vsink its default within 5 s:\n" +
               LogTail(directory_ + "/server.log");
        return false;
    }
    return true;
}

bool PrivateSoundServer::Running() {
    for (auto process = processes_.begin(); process != processes_.end(); ++process) {
        int status = 0;
        if (waitpid(process->pid, &status, WNOHANG) != process->pid) continue;
        why_ = WIFEXITED(status) && WEXITSTATUS(status) == 127
                   ? process->program + " is not installed"
                   : process->program + " ended at start:\n" + LogTail(directory_ + "/server.log");
        processes_.erase(process);
        return false;
    }
    return true;
}

bool PrivateSoundServer::Launch(const std::vector<std::string>& command, const std::string& socket) {
    const std::string log = directory_ + "/server.log";
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("HOME", directory_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", directory_.c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("PULSE_SERVER");
        freopen(log.c_str(), "a", stderr);
        std::vector<char*> argv;
        for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        why_ = "could not start " + command[0];
        return false;
    }
    processes_.push_back({pid, command[0]});
    for (int i = 0; i < 500; ++i) {
        if (!Running()) return false;
        if (socket.empty() || CanConnect(socket)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    why_ = command[0] + " did not come up within 5 s";
    return false;
}

void PrivateSoundServer::Stop() {
    // The pulse server and the session manager go before the daemon they use.
    for (auto process = processes_.rbegin(); process != processes_.rend(); ++process) {
        kill(process->pid, SIGTERM);
        bool ended = false;
        for (int i = 0; i < 200 && !ended; ++i) {
            ended = waitpid(process->pid, nullptr, WNOHANG) == process->pid;
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!ended) {
            kill(process->pid, SIGKILL);
            waitpid(process->pid, nullptr, 0);
        }
    }
    processes_.clear();
    if (!directory_.empty()) {
        std::error_code error;
        std::filesystem::remove_all(directory_, error);
        if (error) fprintf(stderr, "could not remove %s: %s\n", directory_.c_str(), error.message().c_str());
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

void UseNoSoundServer() {
    setenv("PULSE_SERVER", "unix:/nonexistent/pcmtap-test.sock", 1);
    setenv("PIPEWIRE_RUNTIME_DIR", "/nonexistent", 1);  // nor the machine's own PipeWire
}

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
