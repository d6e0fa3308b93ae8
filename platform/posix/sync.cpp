// Events, waiting and handles over a mutex and a condition variable; threads
// over pthreads.
#include <pthread.h>

#include <atomic>
#include <cerrno>
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

namespace {

struct Thread {
    KernelObject header;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

void DestroyThread(KernelObject* object) { delete reinterpret_cast<Thread*>(object); }

void* RunThread(void* argument) {
    auto* thread = static_cast<Thread*>(argument);
    const LPTHREAD_START_ROUTINE start = thread->start;
    const LPVOID parameter = thread->parameter;
    CloseHandle(&thread->header);  // the thread's own reference
    start(parameter);
    return nullptr;
}

}  // namespace

// As on Windows, the thread runs on when its handle is closed, and a process
// that returns from main ends it wherever it is: it is detached, never joined.
// The handle keeps no reference to the running thread; waiting on it is not
// supported (the tool never does).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Two objects: the one the thread closes itself, and the caller's handle.
    auto* running = new Thread{{KernelObjectKind::Thread, DestroyThread}, lpStartAddress, lpParameter};
    auto* handle = new Thread{{KernelObjectKind::Thread, DestroyThread}, lpStartAddress, lpParameter};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (dwStackSize != 0) pthread_attr_setstacksize(&attributes, dwStackSize);
    pthread_t id;
    const int error = pthread_create(&id, &attributes, RunThread, running);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete running;
        delete handle;
        SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    static std::atomic<DWORD> next_id{1};
    if (lpThreadId != nullptr) *lpThreadId = next_id++;
    return &handle->header;
}
