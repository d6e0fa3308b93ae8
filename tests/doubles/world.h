// The scripted platform's state, shared by its groups. Not for tests: they
// use scripted_platform.h.
#pragma once

#include <array>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tests/doubles/scripted_platform.h"

namespace scripted::detail {

// Base of every scripted COM object: a name, a reference count, and a life
// until Reset() so that misuse is seen rather than crashing.
struct Tracked {
    explicit Tracked(std::string interface_name) : name(std::move(interface_name)) {}
    virtual ~Tracked() = default;
    std::string name;
    LONG refs = 1;
};

// Implements IUnknown for one interface I on top of Tracked.
template <typename I>
struct Counted : I, Tracked {
    explicit Counted(std::string interface_name) : Tracked(std::move(interface_name)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
};

struct Handle {
    std::string kind;  // "auto-reset event", "manual-reset event", "snapshot"
    bool closed = false;
    // events
    bool manual_reset = false;
    bool state = false;  // guarded by signal_lock
    std::mutex signal_lock;
    std::condition_variable signalled;
    // snapshots: the process list as it stood, shared with the world until it changes
    std::shared_ptr<const std::vector<Process>> processes;
    size_t next = 0;
    // process handles: the process as it was opened (Windows' handle keeps it)
    std::optional<Process> process;
    DWORD access = 0;
};

struct AudioClient;
struct CaptureClient;

// One process-loopback stream, from its activation on.
struct Stream {
    DWORD pid = 0;
    DWORD mode = 0;
    Loopback script;
    AudioClient* client = nullptr;
    CaptureClient* capture = nullptr;
    HANDLE event = nullptr;
    bool initialized = false, started = false, stopped = false;
    WAVEFORMATEX format{};
    DWORD stream_flags = 0;
    REFERENCE_TIME buffer_duration = 0;
    uint64_t start_ns = 0;
    // Packets: fetched from the script one ahead, ready once due.
    size_t next_index = 0;
    bool exhausted = false;
    std::optional<Packet> upcoming;
    std::deque<Packet> ready;
    size_t taken = 0;
    // The packet GetBuffer handed out, until ReleaseBuffer.
    bool buffer_out = false;
    UINT32 buffer_frames = 0;
    std::vector<BYTE> buffer;
    // Lost streams fail their capture calls with AUDCLNT_E_DEVICE_INVALIDATED.
    bool lost = false;
    size_t dropped = 0;
    uint64_t frames_dropped = 0;
    bool gap = false;  // dropped packets, and no packet flagged for it yet
};

// An activation whose completion is due later on the virtual clock. It
// holds one reference to the handler and one to the operation.
struct PendingActivation {
    uint64_t due_ns;
    bool on_thread;
    IActivateAudioInterfaceCompletionHandler* handler;
    IActivateAudioInterfaceAsyncOperation* operation;
    // The caller's variant, read again at the completion: it must still hold
    // what the call found there.
    const PROPVARIANT* variant;
    AUDIOCLIENT_ACTIVATION_PARAMS params;
};

struct Rule {
    std::string name;
    int nth;  // 0: every call
    HRESULT result;
    bool null_out;
};

struct World {
    std::recursive_mutex lock;

    std::vector<std::string> calls;
    bool log_calls = true;
    // Looked up by string_view: every platform call counts itself, and a long
    // run should not build a string for each.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
    };
    std::unordered_map<std::string, int, NameHash, std::equal_to<>> call_counts;
    // The counters of names counted lately, by the address of the name: the
    // same few literals come back on every turn of a loop.
    struct CountSlot {
        const char* address = nullptr;
        const std::string* name = nullptr;  // key in call_counts; nodes stay put
        int* count = nullptr;
    };
    std::array<CountSlot, 64> count_cache;
    std::vector<Rule> rules;
    std::vector<std::string> violations;

    uint64_t now_ns = 0;
    uint64_t horizon_ns = UINT64_MAX;
    int64_t frequency = 10000000;
    int64_t counter_start = 0;
    DWORD tick_start = 0;
    std::function<uint64_t(DWORD)> sleep_duration;
    std::vector<UINT> timer_periods;  // every timeBeginPeriod, in order

    std::shared_ptr<const std::vector<Process>> processes = std::make_shared<const std::vector<Process>>();
    // SetProcessesAt: the list that replaces processes when that call comes next.
    std::string processes_at_call;
    std::vector<Process> processes_then;
    DWORD own_pid = 4242;
    struct Window {
        DWORD owner_pid;
        uint64_t parent = 0;  // 0: a top-level window
        std::wstring class_name;
        std::wstring title = {};
        bool visible = true;
        uint64_t owner = 0;  // the owner window (GW_OWNER)
    };
    std::map<uint64_t, Window> windows;  // in ascending handle order, which stands for z-order
    uint64_t shell_window = 0;

    std::map<DWORD, Loopback> loopbacks;
    std::vector<Activation> activations;
    std::vector<std::unique_ptr<Stream>> streams;
    std::vector<Endpoint> endpoints;

    std::vector<std::unique_ptr<Tracked>> objects;
    std::vector<std::unique_ptr<Handle>> handles;
    std::unordered_map<HANDLE, Handle*> handle_index;  // the same handles, for lookups in long runs
    std::vector<std::thread> threads;
    std::vector<PendingActivation> pending_activations;
    // Completion threads started and not yet done, guarded by flight_lock.
    std::mutex flight_lock;
    std::condition_variable flight_done;
    int in_flight = 0;
    std::vector<SchedulingCall> scheduling;

    size_t stdout_limit = SIZE_MAX;
    uint64_t stdout_close_ns = UINT64_MAX;
    size_t stdout_writes = 0;
    size_t stdout_bytes = 0;  // taken by the reader, kept in `out` or not
    uint64_t stdout_stall_ns = UINT64_MAX;
    uint64_t stdout_stall_length_ns = 0;
    bool keep_stdout = true;
    // A write that reaches stdout_limit fails with this OS error and errno.
    DWORD stdout_error = ERROR_NO_DATA;
    int stdout_errno = EPIPE;
    unsigned long doserrno = 0;  // the C run-time's OS error of its last failed write
    bool stdout_console = false;
    std::string out;
    std::string err;
    std::wstring console;
};

World& TheWorld();

// What a scripted call does: logged and counted; the outcome is the rule's
// result if one matches this call, else `scripted`.
struct Outcome {
    HRESULT result;
    bool null_out;
};
Outcome Enter(std::string_view name, HRESULT scripted = S_OK);

void Violation(const std::string& what);

// Makes a scripted object owned by the world, with one reference.
template <typename T, typename... Args>
T* Make(Args&&... args) {
    auto object = std::make_unique<T>(std::forward<Args>(args)...);
    T* raw = object.get();
    TheWorld().objects.push_back(std::move(object));
    return raw;
}

// True (after recording a violation) when a method is called on an object
// whose references are all gone.
bool Dead(const Tracked& object, const char* method);

// Gives out a new handle, owned by the world.
HANDLE AddHandle(std::unique_ptr<Handle> handle);
// The handle given out as value, or null.
Handle* FindHandle(HANDLE value);

// Time and packets.
void AdvanceTo(uint64_t ns);         // delivers packets on the way
uint64_t NextDeliveryNanoseconds();  // UINT64_MAX when none is scheduled (activations too)
// Blocks while an activation completes on a thread of its own (it takes no
// virtual time); true if it had to wait.
bool AwaitCompletions();
// Drops the references of activations that never completed.
void AbandonActivations();
void SignalEvent(HANDLE event);
// Whether the process a process handle was opened on has left the list.
bool ProcessEnded(const Handle& handle);

// Threads made with CreateThread (threads.cpp): run one at a time, switching
// only inside blocking calls.
struct ThreadEnd {};  // thrown out of a blocking call to unwind a thread at Reset
// Whether the caller is one of the scheduled threads (the one that made the
// first thread included); if not, blocking calls work as before.
bool Threaded();
// Whether the caller is a thread being unwound at Reset: the test's state its
// scripts refer to may be gone, so its calls fail without consulting them.
bool Ending();
// Blocks the calling scheduled thread until the clock reaches wake_ns or, with
// an event, until that is signalled: WAIT_OBJECT_0 or WAIT_TIMEOUT.
DWORD BlockThread(uint64_t wake_ns, Handle* event);
// Unwinds every thread made with CreateThread and joins it.
void EndThreads();

template <typename I>
HRESULT STDMETHODCALLTYPE Counted<I>::QueryInterface(REFIID riid, void** out) {
    Enter(name + "::QueryInterface");
    if (out == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(I)) {
        AddRef();
        *out = static_cast<I*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

template <typename I>
ULONG STDMETHODCALLTYPE Counted<I>::AddRef() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    if (Dead(*this, "AddRef")) return 0;
    return static_cast<ULONG>(++refs);
}

template <typename I>
ULONG STDMETHODCALLTYPE Counted<I>::Release() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    Enter(name + "::Release");
    if (Dead(*this, "Release")) return 0;
    return static_cast<ULONG>(--refs);
}

}  // namespace scripted::detail
