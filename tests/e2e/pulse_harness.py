"""Real sound for pcmtap's end-to-end tests: a private headless sound server
with one 48 kHz stereo null sink, tone players, pcmtap runs, and tone
detection (Goertzel) in plain Python.

The server is PulseAudio, or PipeWire with its pulse server when
PCMTAP_E2E_SERVER=pipewire; either way clients reach it through
PULSE_SERVER, and nothing touches the user's own session.
"""

import array
import math
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import wave

RATE = 48000
FRAME = 4  # bytes: two s16le samples
PRESENT = 2000  # a tone at 0.25 full scale measures about 8192


def _wait_for(predicate, timeout, step=0.01):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class SoundServer:
    """A headless server in a temporary directory, torn down by stop()."""

    def __init__(self, kind=None, keeper=True):
        self.kind = kind or os.environ.get("PCMTAP_E2E_SERVER", "pulseaudio")
        self.want_keeper = keeper  # False: the server keeps the pace its players set
        self.dir = tempfile.mkdtemp(prefix="pcmtap-e2e-")
        self.socket = os.path.join(self.dir, "pa.sock")
        self.env = dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=self.dir,
                        PULSE_SERVER="unix:" + self.socket)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.processes = []
        self.keeper = None
        self.log = os.path.join(self.dir, "server.log")

    def start(self):
        """Starts the server, or starts it again on the same socket."""
        started = time.monotonic()
        first = len(self.processes)
        if self.kind == "pipewire":
            self._start_pipewire()
        else:
            self._start_pulseaudio()
        if not _wait_for(lambda: self.pactl("info").returncode == 0, 5):
            raise RuntimeError("the %s server did not come up" % self.kind)
        self.check_running(self.processes[first:])
        self.ready_seconds = time.monotonic() - started
        if self.want_keeper:
            self._make_sink_responsive()
        return self

    def _start_pulseaudio(self):
        self.processes.append(subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--disallow-exit",
             # As a desktop runs it (rtkit grants it there; root may take it
             # here): at ordinary priority any busy program starves the
             # server, and its own sink loses the sound.
             "--use-pid-file=no", "--realtime=yes", "--high-priority=yes",
             "--load=module-native-protocol-unix auth-anonymous=1 socket=" + self.socket,
             "--load=module-null-sink sink_name=vsink rate=48000 channels=2 format=s16le"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def _start_pipewire(self):
        # WirePlumber as root without D-Bus: no device reservation, no portal.
        config = os.path.join(self.dir, "wireplumber", "main.lua.d")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "51-headless.lua"), "w") as f:
            f.write('alsa_monitor.properties["alsa.reserve"] = false\n'
                    'default_access.properties["enable-flatpak-portal"] = false\n')
        # Its Bluetooth monitor loads the logind plugin, which watches
        # /run/systemd/users/; where systemd was never installed that folder
        # is missing and the plugin's failure ends WirePlumber at start.
        bluetooth = os.path.join(self.dir, "wireplumber", "bluetooth.lua.d")
        os.makedirs(bluetooth, exist_ok=True)
        with open(os.path.join(bluetooth, "51-no-logind.lua"), "w") as f:
            f.write('bluez_monitor.properties["with-logind"] = false\n')
        pulse = os.path.join(self.dir, "pipewire", "pipewire-pulse.conf.d")
        os.makedirs(pulse, exist_ok=True)
        with open(os.path.join(pulse, "90-socket.conf"), "w") as f:
            f.write('pulse.properties = { server.address = [ "unix:%s" ] }\n' % self.socket)
        env = dict(self.env, XDG_CONFIG_HOME=self.dir)
        self.env = env
        with open(self.log, "ab") as log:
            for program in (["pipewire"], ["wireplumber"], ["pipewire-pulse"]):
                self.processes.append(subprocess.Popen(program, env=env, stdout=subprocess.DEVNULL,
                                                       stderr=log))
                time.sleep(0.2)
        _wait_for(lambda: self.pactl("info").returncode == 0, 5)
        self.pactl("load-module", "module-null-sink", "sink_name=vsink", "rate=48000", "channels=2",
                   "format=s16le")
        self.pactl("set-default-sink", "vsink")

    def check_running(self, processes=None):
        """Raises RuntimeError unless every process of the server is alive and
        the server names vsink its default sink. A server that half died at
        start (WirePlumber gone: nothing links streams) is a setup failure,
        not a failure of each case."""
        if self.kind == "pipewire":
            time.sleep(0.3)  # WirePlumber gives up within milliseconds of starting
        processes = self.processes if processes is None else processes
        dead = [" ".join(p.args[:1]) + " (exit code %s)" % p.returncode
                for p in processes if p.poll() is not None]
        info = self.pactl("info").stdout
        default = next((line.split(":", 1)[1].strip() for line in info.splitlines()
                        if line.startswith("Default Sink:")), None)
        if dead or default != "vsink":
            tail = ""
            if os.path.exists(self.log):
                with open(self.log, errors="replace") as f:
                    tail = "".join(f.readlines()[-20:])
            raise RuntimeError("the %s server is not usable: %sdefault sink %r\n%s" % (
                self.kind, "exited: %s; " % ", ".join(dead) if dead else "", default, tail))

    def _make_sink_responsive(self):
        # An idle null sink renders its first block of up to 2 s before any
        # low-latency request counts: keep one 10 ms recorder on its monitor,
        # restart the sink, and wait for its latency to come down.
        self.keeper = subprocess.Popen(["parec", "-d", "vsink.monitor", "--latency-msec=10"],
                                       env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        time.sleep(0.1)
        self.pactl("suspend-sink", "vsink", "1")
        self.pactl("suspend-sink", "vsink", "0")
        _wait_for(lambda: (self.sink_latency_usec() or 10**9) < 100000, 4, 0.05)

    def sink_latency_usec(self):
        out = self.pactl("list", "sinks").stdout
        for line in out.splitlines():
            line = line.strip()
            if line.startswith("Latency:"):
                try:
                    return int(line.split()[1])
                except (IndexError, ValueError):
                    return None
        return None

    def pactl(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, capture_output=True, text=True,
                              timeout=10)

    def server_pids(self):
        return [p.pid for p in self.processes if p.poll() is None]

    def kill(self):
        """Ends the server the hard way, as a crash would."""
        for p in self.processes:
            if p.poll() is None:
                p.kill()
                p.wait()

    def stop(self):
        for p in ([self.keeper] if self.keeper else []) + self.processes[::-1]:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(2)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def check_setup(kind=None):
    """Starts and stops one server before any case; exits with a setup
    failure, naming what went wrong, when it cannot be used."""
    server = SoundServer(kind)
    try:
        server.start()
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        sys.exit("SETUP FAILED, no case run: %s" % e)
    finally:
        server.stop()


def write_tone(path, frequency, seconds, level=0.25):
    samples = array.array("h")
    step = 2 * math.pi * frequency / RATE
    amplitude = 32767 * level
    for i in range(int(seconds * RATE)):
        v = int(amplitude * math.sin(step * i))
        samples.append(v)
        samples.append(v)
    with open(path, "wb") as f:
        f.write(samples.tobytes())
    return path


# The marked tone: a 375 Hz tone on the left, and on the right the frame's
# place in a 32768-frame period (odd values, never 0). Every frame says where
# it was played, so lost, repeated, altered and inserted frames all show.
PERIOD = 32768  # frames
TONE_HZ = 375  # 128 frames a cycle: the left channel repeats with the marks


def marked_period():
    samples = array.array("h")
    for i in range(PERIOD):
        samples.append(int(8191 * math.sin(2 * math.pi * TONE_HZ * i / RATE)))
        samples.append(2 * i + 1 - PERIOD)
    return samples


MARKED = marked_period()


def write_marked_tone(path, seconds):
    """Whole periods of the marked tone, at least `seconds` long; returns the
    path. Its frame count is len(file) // FRAME."""
    periods = -(-int(seconds * RATE) // PERIOD)
    with open(path, "wb") as f:
        f.write((MARKED * periods).tobytes())
    return path


class Marks:
    """What a capture of the marked tone holds, from its first non-zero frame:
    frames that match what was played at their place, frames lost between
    them, and frames that are neither (silence, altered, repeated or
    foreign bytes).

    faults lists each run of trouble up to the last matched frame, as
    [kind, output frame, source position, frames]: kind is "zeros" (silence
    inserted), "lost" (places skipped), "repeated" (a place again, or one
    from further back) or "altered"; the source position is the frames of
    the source since the first one, at the last matched frame before it."""

    def __init__(self, pcm, settle=0):
        """settle: matched frames are also counted from this source position
        on, as settled."""
        samples = samples_of(pcm)
        if len(pcm) % 4:
            self.foreign = 1  # a partial frame: something else was written
        else:
            self.foreign = 0
        self.leading_zeros = 0
        self.matched = self.lost = self.wrong = self.settled = 0
        self.gaps = []  # (frame index, frames lost)
        self.faults = []
        altered = 0  # since the last matched frame: places taken, not lost
        self.first_place = self.last_place = None
        self.position = 0  # of the last matched frame, unwrapped
        self.last_frame = None  # output frame of the last matched one
        place = None
        for n in range(len(samples) // 2):
            left, right = samples[2 * n], samples[2 * n + 1]
            if place is None and left == 0 and right == 0:
                self.leading_zeros += 1
                continue
            if left == 0 and right == 0:
                self.wrong += 1
                self._fault("zeros", n)
                continue
            if (right & 1) == 0 or MARKED[2 * ((right + PERIOD - 1) // 2)] != left:
                self.wrong += 1
                altered += 1
                self._fault("altered", n)
                continue
            here = (right + PERIOD - 1) // 2
            step = 1 if place is None else (here - place) % PERIOD
            if step == 0 or step > PERIOD // 2:
                self.wrong += 1  # repeated, or from further back
                self._fault("repeated", n)
                continue
            if place is None:
                self.first_place = here
            else:
                self.position += step
            lost = max(0, step - 1 - altered)
            if lost:
                self.lost += lost
                self.gaps.append((n, lost))
                self.faults.append(["lost", n, self.position - step, lost])
            place = self.last_place = here
            self.last_frame = n
            self.matched += 1
            self.settled += self.position >= settle
            altered = 0
        # Zeros after the last matched frame are the source's end, not a fault.
        self.faults = [f for f in self.faults if self.last_frame is not None and f[1] <= self.last_frame]

    def _fault(self, kind, n):
        last = self.faults[-1] if self.faults else None
        if last and last[0] == kind and last[1] + last[3] == n:
            last[3] += 1
        else:
            self.faults.append([kind, n, self.position, 1])

    def __repr__(self):
        return "%d frames matched, %d lost in %d gaps %r, %d wrong, %d leading zeros" % (
            self.matched, self.lost, len(self.gaps), self.gaps[:8], self.wrong, self.leading_zeros)


# A PulseAudio client whose one playback stream starts corked and stays so:
# a player that is paused. ctypes only, so that nothing needs installing.
PAUSED_PLAYER = r"""
import ctypes, time
pa, P, I = ctypes.CDLL("libpulse.so.0"), ctypes.c_void_p, ctypes.c_int
for name, res, args in [("threaded_mainloop_new", P, []), ("threaded_mainloop_get_api", P, [P]),
                        ("threaded_mainloop_start", I, [P]), ("threaded_mainloop_lock", None, [P]),
                        ("threaded_mainloop_unlock", None, [P]), ("context_new", P, [P, ctypes.c_char_p]),
                        ("context_connect", I, [P, P, I, P]), ("context_get_state", I, [P]),
                        ("stream_new", P, [P, ctypes.c_char_p, P, P]), ("stream_connect_playback", I, [P, P, P, I, P, P])]:
    getattr(pa, "pa_" + name).restype, getattr(pa, "pa_" + name).argtypes = res, args
class SampleFormat(ctypes.Structure):
    _fields_ = [("format", I), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]
loop = pa.pa_threaded_mainloop_new()
context = pa.pa_context_new(pa.pa_threaded_mainloop_get_api(loop), b"paused")
pa.pa_context_connect(context, None, 0, None)
pa.pa_threaded_mainloop_start(loop)
def locked(call, *args):
    pa.pa_threaded_mainloop_lock(loop)
    try:
        return call(*args)
    finally:
        pa.pa_threaded_mainloop_unlock(loop)
while locked(pa.pa_context_get_state, context) != 4:  # PA_CONTEXT_READY
    time.sleep(0.01)
stream = locked(pa.pa_stream_new, context, b"paused", ctypes.byref(SampleFormat(3, 48000, 2)), None)  # s16le
locked(pa.pa_stream_connect_playback, stream, None, None, 1, None, None)  # PA_STREAM_START_CORKED
time.sleep(3600)
"""


# A PulseAudio client that plays as a browser pauses: its one playback
# stream plays exact zeros for `play` seconds, is corked (pa_stream_cork) for
# `pause` seconds, and so on `cycles` times; then it disconnects and exits.
# Built by the harness with cc, once per server folder.
CORKING_PLAYER = r"""
#include <pulse/pulseaudio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static pa_threaded_mainloop* loop;

static void wake(void* unused) { (void)unused; pa_threaded_mainloop_signal(loop, 0); }
static void on_context(pa_context* c, void* u) { (void)c; wake(u); }
static void on_stream(pa_stream* s, void* u) { (void)s; wake(u); }
static void on_done(pa_stream* s, int ok, void* u) { (void)s; (void)ok; wake(u); }

static void on_write(pa_stream* s, size_t bytes, void* u) {
    (void)u;
    static const char zeros[65536];
    while (bytes > 0) {
        const size_t n = bytes < sizeof zeros ? bytes : sizeof zeros;
        pa_stream_write(s, zeros, n, NULL, 0, PA_SEEK_RELATIVE);
        bytes -= n;
    }
}

static void pause_for(double seconds) {
    struct timespec t = {(time_t)seconds, (long)((seconds - (time_t)seconds) * 1e9)};
    nanosleep(&t, NULL);
}

static void cork(pa_stream* stream, int corked) {
    pa_operation* op = pa_stream_cork(stream, corked, on_done, NULL);
    while (op != NULL && pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    if (op != NULL) pa_operation_unref(op);
}

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const int cycles = atoi(argv[1]);
    const double play = atof(argv[2]), pause = atof(argv[3]);
    static const pa_sample_spec format = {PA_SAMPLE_S16LE, 48000, 2};
    const pa_buffer_attr attr = {(uint32_t)-1, 48000 / 50 * 4, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1};
    loop = pa_threaded_mainloop_new();
    pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop), "corking player");
    pa_context_set_state_callback(context, on_context, NULL);
    pa_threaded_mainloop_lock(loop);
    if (pa_context_connect(context, NULL, PA_CONTEXT_NOAUTOSPAWN, NULL) < 0 || pa_threaded_mainloop_start(loop) < 0)
        return 1;
    while (pa_context_get_state(context) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) return 1;
        pa_threaded_mainloop_wait(loop);
    }
    pa_stream* stream = pa_stream_new(context, "corking player", &format, NULL);
    pa_stream_set_state_callback(stream, on_stream, NULL);
    pa_stream_set_write_callback(stream, on_write, NULL);
    pa_stream_connect_playback(stream, NULL, &attr, PA_STREAM_ADJUST_LATENCY, NULL, NULL);
    while (pa_stream_get_state(stream) != PA_STREAM_READY) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) return 1;
        pa_threaded_mainloop_wait(loop);
    }
    for (int i = 0; i < cycles; ++i) {
        pa_threaded_mainloop_unlock(loop);
        pause_for(play);
        pa_threaded_mainloop_lock(loop);
        cork(stream, 1);
        pa_threaded_mainloop_unlock(loop);
        pause_for(pause);
        pa_threaded_mainloop_lock(loop);
        cork(stream, 0);
    }
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    pa_context_disconnect(context);
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    return 0;
}
"""


def corking_player(folder):
    """The corking player's program, compiled into folder on first use."""
    program = os.path.join(folder, "corking-player")
    if not os.path.exists(program):
        source = program + ".c"
        with open(source, "w") as f:
            f.write(CORKING_PLAYER)
        subprocess.run(["cc", "-O2", "-o", program, source, "-lpulse"], check=True, capture_output=True)
    return program


def _quoted(command):
    return " ".join("'%s'" % part for part in command)


class Players:
    """Tone players (pacat reading a raw tone file), each its own process."""

    def __init__(self, server, seconds=30, latency_msec=20):
        self.server = server
        self.seconds = seconds  # how long each player plays
        self.latency_msec = latency_msec  # pacat's; None: the server's default, as most desktop players
        self.processes = []

    def tone_file(self, frequency, seconds=None):
        seconds = seconds or self.seconds
        path = os.path.join(self.server.dir, "tone-%d-%d.raw" % (frequency, seconds))
        if not os.path.exists(path):
            write_tone(path, frequency, seconds)
        return path

    def wav_file(self, frequency):
        """The tone as a WAV file, for players that read only such (pw-cat)."""
        path = os.path.join(self.server.dir, "tone-%d-%d.wav" % (frequency, self.seconds))
        if not os.path.exists(path):
            with open(self.tone_file(frequency), "rb") as raw, wave.open(path, "wb") as w:
                w.setnchannels(2)
                w.setsampwidth(2)
                w.setframerate(RATE)
                w.writeframes(raw.read())
        return path

    def silence_file(self, wav=False):
        """Exact zeros for the player's length, raw or as a WAV file."""
        path = os.path.join(self.server.dir, "zeros-%d.%s" % (self.seconds, "wav" if wav else "raw"))
        if not os.path.exists(path):
            zeros = bytes(self.seconds * RATE * FRAME)
            if wav:
                with wave.open(path, "wb") as w:
                    w.setnchannels(2)
                    w.setsampwidth(2)
                    w.setframerate(RATE)
                    w.writeframes(zeros)
            else:
                with open(path, "wb") as f:
                    f.write(zeros)
        return path

    def player_command(self, frequency, program="pacat", path=None, latency_msec=None):
        if program == "pw-cat":  # a native PipeWire client, at its own default latency
            return ["pw-cat", "--playback", path or self.wav_file(frequency)]
        latency_msec = latency_msec or self.latency_msec
        latency = [] if latency_msec is None else ["--latency-msec=%d" % latency_msec]
        return [program, "--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=2"] + latency + \
            [path or self.tone_file(frequency)]

    def play(self, frequency, program="pacat", path=None, latency_msec=None):
        """Plays a tone, or the raw 48 kHz stereo s16le file at path."""
        p = subprocess.Popen(self.player_command(frequency, program, path, latency_msec), env=self.server.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        self.processes.append(p)
        return p

    def play_paused(self):
        """A player whose stream is paused (corked) from the start."""
        p = subprocess.Popen([sys.executable, "-c", PAUSED_PLAYER], env=self.server.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.processes.append(p)
        return p

    def play_under_shell(self, frequency, delay=0.0, program="pacat"):
        """A shell whose child plays: the player descends from the shell."""
        script = "sleep %.3f; %s & wait" % (delay, _quoted(self.player_command(frequency, program)))
        return self._shell(script)

    def play_above(self, frequency, children):
        """A player that started others first (sh -c 'child & ... exec player'),
        so they descend from it. children: (frequency, program) pairs."""
        script = "".join(_quoted(self.player_command(f, program)) + " & " for f, program in children)
        script += "exec " + _quoted(self.player_command(frequency))
        return self._shell(script)

    def _shell(self, script):
        p = subprocess.Popen(["sh", "-c", script], env=self.server.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        self.processes.append(p)
        return p

    def child_playing(self, parent, frequency):
        """Pid of the child of parent that plays frequency, or None."""
        tone = os.path.basename(self.tone_file(frequency)).encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry, "rb") as f:
                    ppid = int(f.read().rsplit(b")", 1)[1].split()[1])
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    arguments = f.read().split(b"\0")
            except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
                continue
            if ppid == parent.pid and any(a.endswith(tone) for a in arguments):
                return int(entry)
        return None

    def wait_until_playing(self, count, timeout=5):
        """Until the server holds count playback streams."""
        def streams():
            out = self.server.pactl("list", "short", "sink-inputs").stdout
            return len([line for line in out.splitlines() if line.strip()])
        return _wait_for(lambda: streams() >= count, timeout, 0.02)

    def stop(self):
        for p in self.processes:
            try:
                # The player and anything it started, which may outlive it.
                os.killpg(p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            p.wait()


class Capture:
    """One pcmtap run: its status lines, and its stdout with arrival times."""

    def __init__(self, pcmtap, server, *args):
        """pcmtap is the program's path, or a command to put before the
        arguments (a loader and the program)."""
        self.started = time.monotonic()
        command = list(pcmtap) if isinstance(pcmtap, (list, tuple)) else [pcmtap]
        self.process = subprocess.Popen(command + [str(a) for a in args], env=server.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.raw_lines = []  # as written, line endings included
        self.ready_at = None
        self.chunks = []  # (monotonic arrival time, bytes)
        self.lock = threading.Lock()
        self.reading = True
        threading.Thread(target=self._read_err, daemon=True).start()
        threading.Thread(target=self._read_out, daemon=True).start()

    def _read_err(self):
        for raw in self.process.stderr:
            line = raw.decode(errors="replace").rstrip("\r\n")
            with self.lock:
                self.raw_lines.append(raw)
                if line.startswith("READY") and self.ready_at is None:
                    self.ready_at = time.monotonic()
                self.lines.append(line)

    def _read_out(self):
        fd = self.process.stdout.fileno()
        while self.reading:
            data = os.read(fd, 65536)
            if not data:
                break
            with self.lock:
                self.chunks.append((time.monotonic(), data))

    def wait_ready(self, timeout=10):
        if not _wait_for(lambda: self.ready_at is not None or self.process.poll() is not None, timeout):
            return None
        time.sleep(0.05)
        return self.ready_line()

    def ready_line(self):
        with self.lock:
            return next((line for line in self.lines if line.startswith("READY")), None)

    def status_lines(self):
        with self.lock:
            return list(self.lines)

    def raw_status_lines(self):
        with self.lock:
            return list(self.raw_lines)

    def pcm(self, since=None):
        with self.lock:
            return b"".join(data for t, data in self.chunks if since is None or t >= since)

    def arrival(self, frame):
        """When the chunk that holds output frame `frame` arrived, or None."""
        with self.lock:
            chunks = list(self.chunks)
        offset = frame * FRAME
        for t, data in chunks:
            if offset < len(data):
                return t
            offset -= len(data)
        return None

    def bytes_between(self, start, end):
        with self.lock:
            return sum(len(data) for t, data in self.chunks if start <= t < end)

    def first_arrival(self, frequency, after, level=2000):
        """Arrival time of the first 10 ms block at or after `after` that holds
        the tone at level or above."""
        with self.lock:
            chunks = list(self.chunks)
        buffered = b""
        for t, data in chunks:
            buffered += data
            while len(buffered) >= 480 * FRAME:
                block, buffered = buffered[:480 * FRAME], buffered[480 * FRAME:]
                if t >= after and tone_level(block, frequency) >= level:
                    return t
        return None

    def close_reader(self):
        """Plays a reader that goes away: closes our end of pcmtap's stdout."""
        self.reading = False
        self.process.stdout.close()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reading = False
        for stream in (self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except (OSError, ValueError):
                pass


def busy_cores():
    """A busy loop at ordinary priority on every core, as a loaded desktop
    has: the processes, to be killed."""
    spin = "while True: pass"
    return [subprocess.Popen([sys.executable, "-c", spin]) for _ in range(os.cpu_count() or 1)]


def samples_of(pcm):
    pcm = pcm[:len(pcm) - len(pcm) % FRAME]
    samples = array.array("h")
    samples.frombytes(pcm)
    return samples


def tone_level(pcm, frequency, rate=RATE, left=None):
    """Amplitude (0..32768) of one frequency in the left channel: the RMS of
    its level in Hann-windowed 100 ms blocks, so that a tone a drift
    corrector has moved by a few hundred ppm still counts as that tone, and
    tones 100 Hz apart do not leak into each other. left: that channel's
    samples already taken out of pcm, at rate."""
    left = samples_of(pcm)[0::2] if left is None else left
    block = min(len(left), rate // 10)
    if block == 0:
        return 0.0
    window = [0.5 - 0.5 * math.cos(2 * math.pi * (i + 0.5) / block) for i in range(block)]
    gain = sum(window)
    k = 2 * math.cos(2 * math.pi * frequency / rate)
    total = 0.0
    blocks = len(left) // block
    for b in range(blocks):
        s1 = s2 = 0.0
        for x, w in zip(left[b * block:(b + 1) * block], window):
            s1, s2 = x * w + k * s1 - s2, s1
        total += max(s1 * s1 + s2 * s2 - k * s1 * s2, 0.0)
    return 2 * math.sqrt(total / blocks) / gain


def tone_frequency(left, rate):
    """A tone's frequency from its rising zero crossings, interpolated: the
    median over 100 ms blocks, so that a server's hiccup spoils one block."""
    block, figures = rate // 10, []
    for start in range(0, len(left) - block, block):
        b = left[start:start + block + 1]
        ups = [i + x / (x - y) for i, (x, y) in enumerate(zip(b, b[1:])) if x < 0 <= y]
        if len(ups) > 1:
            figures.append((len(ups) - 1) * rate / (ups[-1] - ups[0]))
    return statistics.median(figures) if figures else 0.0


class FormatChecks:
    """For a test case with capture(): what the server converts to the format
    asked for keeps a tone's pitch and level against the default format, runs
    at its own rate, and a tone a lower rate cannot carry is filtered, not
    folded into its band."""
    ROWS = [([], RATE, 2, "h"), (["--rate", "16000", "--channels", "1"], 16000, 1, "h"),
            (["--rate", "44100"], 44100, 2, "h"), (["--format", "f32le"], RATE, 2, "f")]

    def assertFormatsConverted(self, latency_msec=None, seconds=2.0):
        """A 1 kHz tone captured in every row, then a 12 kHz one in the first two."""
        runs, figures = [], []  # frames a second; the tone's level, or where a lower rate folds it; frequency
        for played, rows in ((1000, self.ROWS), (12000, self.ROWS[:2])):
            player = self.players.play(played, latency_msec=latency_msec)
            self.assertTrue(self.players.wait_until_playing(len(runs) // 4 + 1))
            captures = [(self.capture("--include", player.pid, *row[0]), row) for row in rows]
            for c, _ in captures:
                self.assertIsNotNone(c.wait_ready(timeout=20), "status lines: %r" % c.status_lines())
            since = max(c.ready_at for c, _ in captures) + 1  # once every stream has joined the server's graph
            time.sleep(max(0, since + seconds + 0.5 - time.monotonic()))
            for c, (_, rate, channels, typecode) in captures:
                samples, frame = array.array(typecode), channels * array.array(typecode).itemsize
                samples.frombytes(c.pcm()[-(len(c.pcm(since)) // frame * frame):])
                left = [x * (32768 if typecode == "f" else 1) for x in samples[0::channels]]
                figures.append((c.bytes_between(since, since + seconds) / frame / seconds,
                                tone_level(b"", min(played, rate - played), rate, left), tone_frequency(left, rate)))
                c.stop()
            runs += captures
        aliasing = 20 * math.log10(max(figures[5][1], 0.01) / figures[4][1])
        report = "1 kHz %s; 12 kHz %.0f at 48 kHz, %.1f dB at 16 kHz" % (", ".join(
            "%s: %.0f at %.2f Hz, %.0f frames/s" % (" ".join(row[0]) or "default", f[1], f[2], f[0])
            for (_, row), f in zip(runs, figures)), figures[4][1], aliasing)
        print("\n  " + report, file=sys.stderr)
        for (_, row), (rate, _, _) in zip(runs, figures):
            self.assertAlmostEqual(rate, row[1], delta=row[1] / 50, msg=report)
        for _, level, hz in figures[:4]:
            self.assertAlmostEqual(hz, 1000, delta=1.0, msg=report)
            self.assertLessEqual(abs(20 * math.log10(max(level, 0.01) / figures[0][1])), 1, report)
        self.assertGreater(min(figures[0][1], figures[4][1]), PRESENT, report)
        self.assertLessEqual(aliasing, -50, report)


def cpu_seconds(pid):
    """CPU time of a process's live threads so far, in seconds, to the
    nanosecond (the scheduler's own account, not the clock-tick one)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / 1e9
