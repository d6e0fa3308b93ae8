// Events, waiting and handles over a mutex and a condition variable.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/posix/kernel_object.h"
#include "platform/win32.h"

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct Event {
    KernelObject header;
    std::mutex lock;
    std::condition_variable signalled;
    bool manual_reset;
    bool state;  // guarded by lock
};

void DestroyEvent(KernelObject* object) { delete reinterpret_cast<Event*>(object); }

bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

Event* AsEvent(HANDLE handle) {
    if (!IsValid(handle)) return nullptr;
    auto* object = static_cast<KernelObject*>(handle);
    return object->kind == KernelObjectKind::Event ? reinterpret_cast<Event*>(object) : nullptr;
}

}  // namespace

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

HANDLE CreateEventW(void*, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    if (lpName != nullptr) {
        // Named events are shared between processes on Windows; the tool uses none.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* event = new Event{{KernelObjectKind::Event, DestroyEvent}, {}, {}, bManualReset != FALSE, bInitialState != FALSE};
    return &event->header;
}

BOOL SetEvent(HANDLE hEvent) {
    Event* event = AsEvent(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> hold(event->lock);
        event->state = true;
    }
    if (event->manual_reset)
        event->signalled.notify_all();
    else
        event->signalled.notify_one();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    Event* event = AsEvent(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(event->lock);
    event->state = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    Event* event = AsEvent(hHandle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> hold(event->lock);
    auto is_set = [event] { return event->state; };
    if (dwMilliseconds == INFINITE)
        event->signalled.wait(hold, is_set);
    else if (!event->signalled.wait_for(hold, std::chrono::milliseconds(dwMilliseconds), is_set))
        return WAIT_TIMEOUT;
    if (!event->manual_reset) event->state = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) {
    if (!IsValid(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* object = static_cast<KernelObject*>(hObject);
    object->destroy(object);
    return TRUE;
}
