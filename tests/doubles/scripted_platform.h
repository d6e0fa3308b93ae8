// The scripted platform: every Windows operation the tool calls, played from
// a script on a virtual clock, deterministic and fast.
//
// A test links the tool's code with this library instead of platform/posix,
// writes the world (processes, windows, endpoints and sessions, one loopback
// script per pid), runs the tool inside Run(), and then looks at what came
// out: stdout and stderr bytes, the exit code, the call log, and the objects
// and handles still open.
//
// Every COM object counts its references and every handle is tracked; an
// object is never freed before Reset(), so a call on a released object, a
// second release or a second CloseHandle is recorded as a violation instead
// of crashing the test.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace scripted {

// ---- The world as a whole ----------------------------------------------------

// Back to an empty world at virtual time 0 with the defaults below. Joins any
// activation thread still running.
void Reset();

// Thrown out of Sleep or WaitForSingleObject when the virtual clock would pass
// the horizon: the way a test ends a loop that only ends when stdout fails.
struct EndOfScript {};

// Virtual milliseconds after which the world ends (default: never).
void SetHorizon(uint64_t ms);

struct RunResult {
    std::optional<int> exit_code;  // empty when the run reached the horizon
    std::string out;               // every byte that reached stdout's reader
    std::string err;               // every byte written to stderr
    std::wstring console;          // every unit WriteConsoleW took, when stdout is a console
};

// Runs body with stdout and stderr replaced by the scripted streams. stdout is
// fully buffered (BUFSIZ), as when it is a pipe; stderr is unbuffered.
RunResult Run(const std::function<int()>& body);

// Waits until the platform's own threads (activation completions) are done
// and have dropped the references they held.
void Settle();

// Threads made with CreateThread run on real threads, but one at a time and
// in a fixed order: a thread gives way only inside a blocking call (Sleep, a
// timed wait), and the virtual clock moves only once every such thread is
// blocked, to the earliest wake-up. A run with none works as before. Reset()
// ends them: a blocked wait fails, a Sleep unwinds the thread.

// stdout's reader takes this many bytes and then goes away: a write that
// would pass it delivers what fits and fails.
void CloseStdoutAfter(size_t bytes);
// As CloseStdoutAfter, but the write fails for another reason: the C
// run-time reports `error` as its OS error (0 for none) and sets errno.
// The reader going away is ERROR_NO_DATA with EPIPE.
void FailStdoutAfter(size_t bytes, DWORD error, int errno_value = EIO);
// Whether stdout is a console (default: a pipe).
void SetStdoutConsole(bool console);
// The reader goes away at this virtual time.
void CloseStdoutAt(uint64_t ms);
// stdout's reader stops reading at this virtual time for stall_ms: the first
// write from then on blocks, and the clock moves on while it does.
void StallStdoutAt(uint64_t ms, uint64_t stall_ms);
// Number of writes that reached stdout's reader (each flush of a buffer is one).
size_t StdoutWrites();
// Bytes that have reached stdout's reader so far, during a Run.
size_t StdoutBytes();
// With false, the reader counts stdout's bytes but does not keep them (RunResult::out
// stays empty): for runs that write more than a test wants to hold.
void KeepStdout(bool keep);

// ---- Calls, results and faults -------------------------------------------------

// Every call is logged by name, for example "IAudioClient::Initialize",
// "IAudioCaptureClient::Release", "CloseHandle(auto-reset event)",
// "Process32NextW". Names are those of the interface the call was made on.
const std::vector<std::string>& Calls();
// The log filtered to names that match any of the shell patterns, such as
// "CloseHandle*", "*::Release" or "IAudioClient::*".
std::vector<std::string> CallsMatching(const std::vector<std::string>& patterns);
int CallCount(const std::string& name);
void ClearCalls();
// Stops (or resumes) logging names; counts and faults still work. For long runs.
void SetCallLog(bool enabled);

// The nth call of that name (1-based, counted since Reset; 0 = every call)
// returns result instead of its scripted outcome. For calls that return BOOL
// or a handle, a negative result makes them fail, with GetLastError giving
// the Win32 code inside an HRESULT_FROM_WIN32 value (0 otherwise).
void SetResult(const std::string& name, HRESULT result, int nth = 0);
// The nth call of that name succeeds but hands back a null object.
void SetNullOut(const std::string& name, int nth = 0);
// Forgets every SetResult and SetNullOut; call counts go on. Long runs that
// keep injecting faults drop the spent ones this way.
void ClearResults();

// Misuses seen: a call on a released object, a release below zero, a second
// CloseHandle, a ReleaseBuffer that does not match GetBuffer, ...
const std::vector<std::string>& Violations();

// ---- Clock ---------------------------------------------------------------------

void SetPerformanceFrequency(int64_t ticks_per_second);  // default 10 MHz
void SetPerformanceCounterStart(int64_t ticks);          // counter at time 0 (default 0)
void SetTickCountStart(DWORD ms);                        // GetTickCount at time 0 (default 0)
// How long Sleep(ms) really takes, in virtual nanoseconds (default ms * 10^6).
void SetSleepDuration(std::function<uint64_t(DWORD ms)> duration);
uint64_t NowNanoseconds();
// The period of every timeBeginPeriod call, in order.
std::vector<UINT> TimerPeriods();
// Moves the clock forward, delivering packets on the way.
void AdvanceTime(uint64_t ns);

// ---- Processes and windows ---------------------------------------------------

// As on Windows, a parent id is never updated: a parent that exited is a pid
// the list does not hold, or one that a later process holds now, with a later
// creation time. Toolhelp gives pid, parent and name; NtQuerySystemInformation
// gives those with the creation time.
// OpenProcess refuses a protected process (access denied) and one the list
// does not hold; QueryFullProcessImageNameW fails for one without a path
// (System, Registry, ...). A process handle keeps the process it was opened
// on: GetProcessTimes answers with its creation time after it has ended, and
// WaitForSingleObject (timeout 0 only) finds it ended once the list holds no
// process of that pid, creation time and name.
struct Process {
    DWORD pid;
    DWORD parent;
    std::wstring exe;
    LONGLONG created = 0;  // 100 ns units; 0 when the test does not say
    std::wstring path = {};      // the full image path; empty: none can be read
    bool protected_process = false;
};
void SetProcesses(std::vector<Process> processes);
// The list becomes `processes` as the next call of that name begins (such as
// "OpenProcess": a pid reused between the snapshot and the open).
void SetProcessesAt(const std::string& call, std::vector<Process> processes);
void SetCurrentProcessId(DWORD pid);  // default 4242
// A top-level window, or with parent_hwnd a child window; Store apps' frames
// have a child of class "Windows.UI.Core.CoreWindow" owned by the app.
void SetWindow(uint64_t hwnd, DWORD owner_pid);
void SetChildWindow(uint64_t hwnd, uint64_t parent_hwnd, DWORD owner_pid, std::wstring class_name);
// The title, visibility and owner window of a window set before. Windows
// made by SetWindow are visible, untitled and unowned; EnumWindows gives the
// top-level ones in ascending handle order, which stands for z-order.
void SetWindowLook(uint64_t hwnd, std::wstring title, bool visible = true, uint64_t owner_hwnd = 0);
// The desktop's window, which GetShellWindow gives (default: none, 0).
void SetShellWindow(uint64_t hwnd);

// ---- Process-loopback streams --------------------------------------------------

struct Packet {
    uint64_t at_ms = 0;              // available this long after the stream's Start
    UINT32 frames = 480;
    bool silent = false;             // data then holds garbage that must not be read
    int16_t value = 0;               // every sample, unless samples is given
    std::vector<int16_t> samples;    // frames x channels interleaved samples
    // What GetNextPacketSize reports while this packet is next, if not frames.
    std::optional<UINT32> next_size;
    // Flagged AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY; the device also sets it
    // on the first packet after it dropped some.
    bool discontinuity = false;
};

// The packets of one stream, by index; empty once the script has no more.
typedef std::function<std::optional<Packet>(size_t index)> PacketSource;

// As on Windows, the device keeps no more unread audio than the duration
// given to Initialize (at least one packet): once the reader is further
// behind, the oldest packets go, and the next one left is flagged.
struct Loopback {
    HRESULT activation_result = S_OK;  // what GetActivateResult hands back
    bool complete_on_thread = true;    // ActivateCompleted on a thread of its own
    uint64_t activation_ms = 0;        // virtual time from the call to the completion
    // If given, drawn afresh for each activation on the pid, in place of activation_ms.
    std::function<uint64_t()> activation_draw;
    // The stream is lost this long after Start (the audio service restarted):
    // from then on GetNextPacketSize and GetBuffer fail with
    // AUDCLNT_E_DEVICE_INVALIDATED, and nothing more is delivered.
    std::optional<uint64_t> lost_at_ms;
    std::vector<Packet> packets;  // used when source is empty
    PacketSource source;
    // The target plays through a path the loopback cannot see (reported of
    // some conferencing apps): packets of zeros, 480 frames every 10 ms from
    // Start, in place of packets and source.
    bool unseen_path = false;
    // The device's clock against the performance counter, in ppm: at +100 a
    // packet due at_ms of device time after Start arrives at_ms / 1.0001 ms
    // of counter time after it.
    double rate_ppm = 0;
};
// The script for every activation on pid (either mode). Pids without one get
// a stream that opens and delivers nothing.
void SetLoopback(DWORD pid, Loopback script);
// Every stream activated so far is lost now, as when the audio service
// restarts; later activations work.
void InvalidateStreams();

struct Activation {
    std::wstring path;
    IID iid;
    VARTYPE vt;
    ULONG blob_size;
    AUDIOCLIENT_ACTIVATION_PARAMS params;  // copied from the blob
};
std::vector<Activation> Activations();

struct StreamState {
    const IAudioClient* audio_client;  // the stream's, as handed out
    DWORD pid;
    DWORD mode;
    bool initialized, started, stopped;
    bool event_set;          // SetEventHandle was given an event
    bool event_closed;       // that event has been closed
    int audio_client_refs;   // references the tool still holds
    int capture_client_refs;
    size_t packets_taken;    // packets released with ReleaseBuffer
    WAVEFORMATEX format;     // as passed to Initialize
    DWORD stream_flags;
    REFERENCE_TIME buffer_duration;
    size_t packets_dropped;  // by the device, the reader being too far behind
    uint64_t frames_dropped;
};
// One entry per activation that produced an audio client, in order.
std::vector<StreamState> Streams();

// ---- Scheduling ----------------------------------------------------------------

struct SchedulingCall {
    std::string call;  // "AvSetMmThreadCharacteristicsW" or "SetProcessInformation"
    std::thread::id thread;
    std::wstring task;     // AvSetMmThreadCharacteristicsW's task name
    bool current_process;  // SetProcessInformation on GetCurrentProcess()'s handle
    PROCESS_INFORMATION_CLASS info_class;
    PROCESS_POWER_THROTTLING_STATE throttling;  // as passed, when the size fits
    DWORD size;
};
std::vector<SchedulingCall> SchedulingCalls();

// ---- Endpoints and sessions ----------------------------------------------------

struct Session {
    AudioSessionState state = AudioSessionStateActive;
    bool system_sounds = false;
    DWORD pid = 0;
};
struct Endpoint {
    std::vector<Session> sessions;
};
void SetEndpoints(std::vector<Endpoint> endpoints);

// ---- Leaks ---------------------------------------------------------------------

// Names of the platform objects with references still held, such as
// "IAudioClient", and of the handles still open, such as "auto-reset event".
std::vector<std::string> OpenObjects();
std::vector<std::string> OpenHandles();

}  // namespace scripted
