// Events and waiting over a futex; threads over pthreads. Setting an event
// takes no lock and never waits: a sound server's real-time thread sets the
// event of a capture client, and must not wait on the reader that it wakes.
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/posix/kernel_object.h"
#include "platform/win32.h"

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct Event {
    KernelObject header;
    bool manual_reset;
    std::atomic<uint32_t> state;    // 1 while set; the futex word
    std::atomic<uint32_t> waiters;  // threads in WaitForSingleObject on it
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");

void DestroyEvent(KernelObject* object) { delete reinterpret_cast<Event*>(object); }

bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

Event* AsEvent(HANDLE handle) {
    if (!IsValid(handle)) return nullptr;
    auto* object = static_cast<KernelObject*>(handle);
    return object->kind == KernelObjectKind::Event ? reinterpret_cast<Event*>(object) : nullptr;
}

uint32_t* Word(std::atomic<uint32_t>* state) { return reinterpret_cast<uint32_t*>(state); }

// Sleeps while the word is 0, up to timeout (null: for ever); wakes early now and then.
void FutexWait(std::atomic<uint32_t>* state, const timespec* timeout) {
    syscall(SYS_futex, Word(state), FUTEX_WAIT_PRIVATE, 0u, timeout, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>* state, int count) {
    syscall(SYS_futex, Word(state), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Takes the event's signal if it is set: an auto-reset event only once.
bool Consume(Event* event) {
    if (event->manual_reset) return event->state.load() != 0;
    uint32_t set = 1;
    return event->state.compare_exchange_strong(set, 0);
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
    auto* event = new Event{{KernelObjectKind::Event, DestroyEvent}, bManualReset != FALSE, {}, {}};
    event->state.store(bInitialState != FALSE ? 1 : 0);
    return &event->header;
}

// The store comes before the look at the waiters, and a waiter counts itself
// before it looks at the state (both sequentially consistent): either the
// waiter sees the event set, or the setter sees the waiter and wakes it.
BOOL SetEvent(HANDLE hEvent) {
    Event* event = AsEvent(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (event->state.exchange(1) == 0 && event->waiters.load() != 0)
        FutexWake(&event->state, event->manual_reset ? INT_MAX : 1);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    Event* event = AsEvent(hEvent);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->state.store(0);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    Event* event = AsEvent(hHandle);
    if (event == nullptr) {
        auto* object = IsValid(hHandle) ? static_cast<KernelObject*>(hHandle) : nullptr;
        if (object != nullptr && object->wait != nullptr) return object->wait(object, dwMilliseconds);
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const int64_t deadline = NowNs() + int64_t{dwMilliseconds} * 1000000;
    event->waiters.fetch_add(1);
    DWORD result = WAIT_OBJECT_0;
    while (!Consume(event)) {
        if (dwMilliseconds == INFINITE) {
            FutexWait(&event->state, nullptr);
            continue;
        }
        const int64_t left = deadline - NowNs();
        if (left <= 0) {
            result = WAIT_TIMEOUT;
            break;
        }
        const timespec timeout = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        FutexWait(&event->state, &timeout);
    }
    event->waiters.fetch_sub(1);
    return result;
}

// One poll() where every object has a descriptor (processes' pidfds);
// otherwise each object is looked at every 10 ms.
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr || bWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    pollfd descriptors[MAXIMUM_WAIT_OBJECTS];
    bool pollable = true;
    for (DWORD i = 0; i < nCount; ++i) {
        if (!IsValid(lpHandles[i])) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        descriptors[i] = {static_cast<KernelObject*>(lpHandles[i])->descriptor, POLLIN, 0};
        pollable = pollable && descriptors[i].fd >= 0;
    }
    const int64_t deadline = NowNs() + int64_t{dwMilliseconds} * 1000000;
    for (;;) {
        if (pollable) {
            const int64_t left = dwMilliseconds == INFINITE ? -1 : std::max<int64_t>(0, deadline - NowNs()) / 1000000;
            const int ready = poll(descriptors, nCount, static_cast<int>(std::min<int64_t>(left, INT32_MAX)));
            if (ready < 0 && errno != EINTR) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
        }
        for (DWORD i = 0; i < nCount; ++i) {
            const DWORD one = WaitForSingleObject(lpHandles[i], 0);
            if (one != WAIT_TIMEOUT) return one == WAIT_OBJECT_0 ? WAIT_OBJECT_0 + i : one;
        }
        if (dwMilliseconds != INFINITE && NowNs() >= deadline) return WAIT_TIMEOUT;
        if (!pollable) {
            const timespec slice = {0, 10000000};
            nanosleep(&slice, nullptr);
        }
    }
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
