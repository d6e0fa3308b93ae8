// The world itself: call log, scripted results, violations, the scripted
// standard streams, and the inventory of what is still open.
#include "tests/doubles/world.h"

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace scripted {
namespace detail {

World& TheWorld() {
    static World world;
    return world;
}

Outcome Enter(std::string_view name, HRESULT scripted) {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    if (Ending()) return {E_FAIL, false};
    World::CountSlot& slot = world.count_cache[(reinterpret_cast<uintptr_t>(name.data()) >> 4) % 64];
    if (slot.address != name.data() || *slot.name != name) {
        auto counted = world.call_counts.find(name);
        if (counted == world.call_counts.end()) counted = world.call_counts.emplace(std::string(name), 0).first;
        slot = {name.data(), &counted->first, &counted->second};
    }
    const int count = ++*slot.count;
    if (world.log_calls) world.calls.emplace_back(name);
    if (!world.processes_at_call.empty() && world.processes_at_call == name) {
        world.processes = std::make_shared<const std::vector<Process>>(std::move(world.processes_then));
        world.processes_at_call.clear();
    }
    for (const Rule& rule : world.rules)
        if (rule.name == name && (rule.nth == 0 || rule.nth == count)) return {rule.result, rule.null_out};
    return {scripted, false};
}

void Violation(const std::string& what) {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    world.violations.push_back(what);
}

HANDLE AddHandle(std::unique_ptr<Handle> handle) {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    Handle* raw = handle.get();
    world.handles.push_back(std::move(handle));
    world.handle_index[raw] = raw;
    return raw;
}

Handle* FindHandle(HANDLE value) {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    const auto found = world.handle_index.find(value);
    return found == world.handle_index.end() ? nullptr : found->second;
}

bool Dead(const Tracked& object, const char* method) {
    if (object.refs > 0) return false;
    Violation(object.name + "::" + method + " after its last Release");
    return true;
}

namespace {

ssize_t WriteStdout(void*, const char* data, size_t size) {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    if (world.now_ns >= world.stdout_stall_ns) {
        // The writer is blocked while the reader looks away.
        world.stdout_stall_ns = UINT64_MAX;
        AdvanceTo(world.now_ns + world.stdout_stall_length_ns);
    }
    if (world.now_ns >= world.stdout_close_ns) world.stdout_limit = std::min(world.stdout_limit, world.stdout_bytes);
    const size_t room = world.stdout_limit - std::min(world.stdout_limit, world.stdout_bytes);
    const size_t taken = std::min(room, size);
    if (world.keep_stdout) world.out.append(data, taken);
    world.stdout_bytes += taken;
    ++world.stdout_writes;
    if (taken < size) {
        // Whatever part went through, the write failed, and the C run-time
        // says why (glibc stops at a short write; Windows' WriteFile fails).
        world.doserrno = world.stdout_error;
        errno = world.stdout_errno;
        if (taken == 0) return -1;
    }
    return static_cast<ssize_t>(taken);
}

ssize_t WriteStderr(void*, const char* data, size_t size) {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    world.err.append(data, size);
    return static_cast<ssize_t>(size);
}

void JoinThreads() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        threads.swap(TheWorld().threads);
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace detail

using namespace detail;

void Reset() {
    EndThreads();
    JoinThreads();
    AbandonActivations();
    JoinThreads();
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    world.calls.clear();
    world.log_calls = true;
    world.call_counts.clear();
    world.count_cache = {};
    world.rules.clear();
    world.violations.clear();
    world.now_ns = 0;
    world.horizon_ns = UINT64_MAX;
    world.frequency = 10000000;
    world.counter_start = 0;
    world.tick_start = 0;
    world.sleep_duration = nullptr;
    world.timer_periods.clear();
    world.processes = std::make_shared<const std::vector<Process>>();
    world.processes_at_call.clear();
    world.processes_then.clear();
    world.own_pid = 4242;
    world.windows.clear();
    world.shell_window = 0;
    world.loopbacks.clear();
    world.activations.clear();
    world.streams.clear();
    world.endpoints.clear();
    world.objects.clear();
    world.handles.clear();
    world.handle_index.clear();
    world.stdout_limit = SIZE_MAX;
    world.stdout_close_ns = UINT64_MAX;
    world.stdout_writes = 0;
    world.stdout_bytes = 0;
    world.stdout_stall_ns = UINT64_MAX;
    world.stdout_stall_length_ns = 0;
    world.scheduling.clear();
    world.keep_stdout = true;
    world.stdout_error = ERROR_NO_DATA;
    world.stdout_errno = EPIPE;
    world.doserrno = 0;
    world.stdout_console = false;
    world.out.clear();
    world.err.clear();
    world.console.clear();
}

void SetHorizon(uint64_t ms) { TheWorld().horizon_ns = ms * 1000000u; }

RunResult Run(const std::function<int()>& body) {
    World& world = TheWorld();
    FILE* const saved_out = stdout;
    FILE* const saved_err = stderr;
    FILE* out = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, WriteStdout, nullptr, nullptr});
    FILE* err = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, WriteStderr, nullptr, nullptr});
    setvbuf(out, nullptr, _IOFBF, BUFSIZ);
    setvbuf(err, nullptr, _IONBF, 0);
    stdout = out;
    stderr = err;
    RunResult result;
    try {
        result.exit_code = body();
    } catch (const EndOfScript&) {
    }
    // As at the end of a process: whatever is still buffered goes out now.
    fclose(out);
    fclose(err);
    stdout = saved_out;
    stderr = saved_err;
    JoinThreads();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    result.out = world.out;
    result.err = world.err;
    result.console = world.console;
    return result;
}

void Settle() { JoinThreads(); }

void CloseStdoutAfter(size_t bytes) { TheWorld().stdout_limit = bytes; }

void FailStdoutAfter(size_t bytes, DWORD error, int errno_value) {
    World& world = TheWorld();
    world.stdout_limit = bytes;
    world.stdout_error = error;
    world.stdout_errno = errno_value;
}

void SetStdoutConsole(bool console) { TheWorld().stdout_console = console; }

void CloseStdoutAt(uint64_t ms) { TheWorld().stdout_close_ns = ms * 1000000u; }

void StallStdoutAt(uint64_t ms, uint64_t stall_ms) {
    TheWorld().stdout_stall_ns = ms * 1000000u;
    TheWorld().stdout_stall_length_ns = stall_ms * 1000000u;
}

size_t StdoutWrites() { return TheWorld().stdout_writes; }

size_t StdoutBytes() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    return TheWorld().stdout_bytes;
}

void KeepStdout(bool keep) { TheWorld().keep_stdout = keep; }

const std::vector<std::string>& Calls() { return TheWorld().calls; }

std::vector<std::string> CallsMatching(const std::vector<std::string>& patterns) {
    std::vector<std::string> matching;
    for (const std::string& call : TheWorld().calls)
        for (const std::string& pattern : patterns)
            if (fnmatch(pattern.c_str(), call.c_str(), 0) == 0) {
                matching.push_back(call);
                break;
            }
    return matching;
}

int CallCount(const std::string& name) {
    auto found = TheWorld().call_counts.find(name);
    return found == TheWorld().call_counts.end() ? 0 : found->second;
}

void ClearCalls() { TheWorld().calls.clear(); }

void SetCallLog(bool enabled) { TheWorld().log_calls = enabled; }

void SetResult(const std::string& name, HRESULT result, int nth) {
    TheWorld().rules.push_back(Rule{name, nth, result, false});
}

void SetNullOut(const std::string& name, int nth) { TheWorld().rules.push_back(Rule{name, nth, S_OK, true}); }

void ClearResults() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    TheWorld().rules.clear();
}

const std::vector<std::string>& Violations() { return TheWorld().violations; }

void SetProcesses(std::vector<Process> processes) {
    TheWorld().processes = std::make_shared<const std::vector<Process>>(std::move(processes));
}

void SetProcessesAt(const std::string& call, std::vector<Process> processes) {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    world.processes_at_call = call;
    world.processes_then = std::move(processes);
}

void SetCurrentProcessId(DWORD pid) { TheWorld().own_pid = pid; }

void SetWindow(uint64_t hwnd, DWORD owner_pid) { TheWorld().windows[hwnd] = {owner_pid, 0, L"Window"}; }

void SetChildWindow(uint64_t hwnd, uint64_t parent_hwnd, DWORD owner_pid, std::wstring class_name) {
    TheWorld().windows[hwnd] = {owner_pid, parent_hwnd, std::move(class_name)};
}

void SetShellWindow(uint64_t hwnd) { TheWorld().shell_window = hwnd; }

void SetWindowLook(uint64_t hwnd, std::wstring title, bool visible, uint64_t owner_hwnd) {
    World::Window& window = TheWorld().windows.at(hwnd);
    window.title = std::move(title);
    window.visible = visible;
    window.owner = owner_hwnd;
}

std::vector<std::string> OpenObjects() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    std::vector<std::string> open;
    for (const auto& object : TheWorld().objects)
        if (object->refs > 0) open.push_back(object->name);
    return open;
}

std::vector<std::string> OpenHandles() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    std::vector<std::string> open;
    for (const auto& handle : TheWorld().handles)
        if (!handle->closed) open.push_back(handle->kind);
    return open;
}

}  // namespace scripted
