// Events and handles. Waits with a time-out run on the virtual clock; an
// infinite wait (the activation's completion) really blocks, since the
// completion may come from another thread.
#include <algorithm>

#include "tests/doubles/world.h"

using namespace scripted::detail;

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

Handle* Find(HANDLE value) { return FindHandle(value); }

Handle* OpenEvent(HANDLE value, const char* call) {
    Handle* handle = Find(value);
    if (handle == nullptr || handle->closed || handle->kind == "snapshot") {
        Violation(std::string(call) + " on a handle that is not an open event");
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handle;
}

bool TakeSignal(Handle* event) {
    std::lock_guard<std::mutex> hold(event->signal_lock);
    if (!event->state) return false;
    if (!event->manual_reset) event->state = false;
    return true;
}

}  // namespace

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

HANDLE CreateEventW(void*, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    const Outcome outcome = Enter("CreateEventW");
    if (FAILED(outcome.result) || lpName != nullptr) {
        const ULONG code = static_cast<ULONG>(outcome.result);
        SetLastError((code >> 16) == 0x8007 ? code & 0xFFFF : ERROR_SUCCESS);
        return nullptr;
    }
    auto handle = std::make_unique<Handle>();
    handle->kind = bManualReset ? "manual-reset event" : "auto-reset event";
    handle->manual_reset = bManualReset != FALSE;
    handle->state = bInitialState != FALSE;
    return AddHandle(std::move(handle));
}

BOOL SetEvent(HANDLE hEvent) {
    Enter("SetEvent");
    Handle* event = OpenEvent(hEvent, "SetEvent");
    if (event == nullptr) return FALSE;
    SignalEvent(hEvent);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    Enter("ResetEvent");
    Handle* event = OpenEvent(hEvent, "ResetEvent");
    if (event == nullptr) return FALSE;
    std::lock_guard<std::mutex> hold(event->signal_lock);
    event->state = false;
    return TRUE;
}

namespace scripted::detail {

void SignalEvent(HANDLE value) {
    Handle* event = Find(value);
    if (event == nullptr || event->closed) return;
    {
        std::lock_guard<std::mutex> hold(event->signal_lock);
        event->state = true;
    }
    event->signalled.notify_all();
}

}  // namespace scripted::detail

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const Outcome outcome = Enter("WaitForSingleObject");
    if (FAILED(outcome.result)) {
        const ULONG code = static_cast<ULONG>(outcome.result);
        SetLastError((code >> 16) == 0x8007 ? code & 0xFFFF : ERROR_SUCCESS);
        return WAIT_FAILED;
    }
    Handle* event = OpenEvent(hHandle, "WaitForSingleObject");
    if (event == nullptr) return WAIT_FAILED;
    if (event->kind == "process") {
        if (dwMilliseconds != 0) Violation("a timed wait on a process handle is not scripted");
        if ((event->access & SYNCHRONIZE) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        return ProcessEnded(*event) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    if (Threaded()) {
        const uint64_t wake = dwMilliseconds == INFINITE ? UINT64_MAX : TheWorld().now_ns + dwMilliseconds * 1000000ull;
        // Taken at once if already set, as Windows does, without giving up the baton.
        if (TakeSignal(event)) return WAIT_OBJECT_0;
        const DWORD waited = BlockThread(wake, event);
        if (waited == WAIT_FAILED) SetLastError(ERROR_INVALID_HANDLE);
        return waited;
    }
    if (dwMilliseconds == INFINITE) {
        std::unique_lock<std::mutex> hold(event->signal_lock);
        event->signalled.wait(hold, [event] { return event->state; });
        if (!event->manual_reset) event->state = false;
        return WAIT_OBJECT_0;
    }
    World& world = TheWorld();
    const uint64_t deadline = world.now_ns + dwMilliseconds * 1000000ull;
    for (;;) {
        if (TakeSignal(event)) return WAIT_OBJECT_0;
        if (AwaitCompletions()) continue;  // a completion takes no virtual time: look again
        if (world.now_ns >= deadline) return WAIT_TIMEOUT;
        const uint64_t next = std::min(deadline, NextDeliveryNanoseconds());
        if (next > world.horizon_ns) throw scripted::EndOfScript{};
        AdvanceTo(next);
    }
}

// Process handles only. An end comes from the test's thread, between turns:
// the handles are looked at every 50 ms of virtual time.
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    const Outcome outcome = Enter("WaitForMultipleObjects");
    if (Ending()) throw ThreadEnd{};
    if (FAILED(outcome.result)) {
        const ULONG code = static_cast<ULONG>(outcome.result);
        SetLastError((code >> 16) == 0x8007 ? code & 0xFFFF : ERROR_SUCCESS);
        return WAIT_FAILED;
    }
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr || bWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<Handle*> processes;
    for (DWORD i = 0; i < nCount; ++i) {
        Handle* handle = Find(lpHandles[i]);
        if (handle == nullptr || handle->closed || handle->kind != "process") {
            Violation("WaitForMultipleObjects on a handle that is not an open process");
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if ((handle->access & SYNCHRONIZE) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        processes.push_back(handle);
    }
    World& world = TheWorld();
    const uint64_t deadline = dwMilliseconds == INFINITE ? UINT64_MAX : world.now_ns + dwMilliseconds * 1000000ull;
    for (;;) {
        for (DWORD i = 0; i < nCount; ++i)
            if (ProcessEnded(*processes[i])) return WAIT_OBJECT_0 + i;
        if (world.now_ns >= deadline) return WAIT_TIMEOUT;
        const uint64_t next = std::min<uint64_t>(deadline, world.now_ns + 50000000);
        if (Threaded()) {
            BlockThread(next, nullptr);
            continue;
        }
        if (next > world.horizon_ns) throw scripted::EndOfScript{};
        AdvanceTo(next);
    }
}

BOOL CloseHandle(HANDLE hObject) {
    Handle* handle = Find(hObject);
    if (handle == nullptr) {
        Enter("CloseHandle(unknown)");
        Violation("CloseHandle on a handle the platform never gave out");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const Outcome outcome = Enter("CloseHandle(" + handle->kind + ")");
    if (handle->closed) {
        Violation("CloseHandle on a " + handle->kind + " closed before");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    handle->closed = true;
    return SUCCEEDED(outcome.result) ? TRUE : FALSE;
}
