// Threads made with CreateThread, run deterministically: each on a real
// thread, but only one at a time. A baton passes only inside a blocking call
// (Sleep, a timed wait): the caller blocks, and the first thread in creation
// order (the one that made the first thread comes first) that may go on gets
// the baton. When none may, the virtual clock moves to the earliest wake-up,
// delivery or activation completion, and they are asked again. A test with
// one thread never gets here.
#include <algorithm>

#include "tests/doubles/world.h"

namespace scripted::detail {
namespace {

struct ScriptedThread {
    bool blocked = false;
    uint64_t wake_ns = UINT64_MAX;  // while blocked: when it may go on regardless
    Handle* event = nullptr;        // while blocked: what it waits for, if anything
    DWORD outcome = WAIT_OBJECT_0;
    bool ending = false;  // Reset: unwind instead of going on
    bool end_of_script = false;
    bool done = false;
    std::thread thread;
};

struct Scheduler {
    std::mutex lock;
    std::condition_variable turn;
    std::vector<std::unique_ptr<ScriptedThread>> threads;  // creation order; [0] made the first one
    ScriptedThread* holder = nullptr;
};

Scheduler& TheScheduler() {
    static Scheduler scheduler;
    return scheduler;
}

thread_local ScriptedThread* self = nullptr;

bool Ready(ScriptedThread& thread) {
    if (!thread.blocked) return false;
    if (thread.event != nullptr) {
        std::lock_guard<std::mutex> hold(thread.event->signal_lock);
        if (thread.event->state) {
            if (!thread.event->manual_reset) thread.event->state = false;
            thread.outcome = WAIT_OBJECT_0;
            return true;
        }
    }
    if (TheWorld().now_ns < thread.wake_ns) return false;
    thread.outcome = WAIT_TIMEOUT;
    return true;
}

// With the scheduler locked and the caller giving up the baton: hands it to
// the next thread that may go on, moving the clock until one may.
void PassBaton(std::unique_lock<std::mutex>& hold) {
    Scheduler& scheduler = TheScheduler();
    World& world = TheWorld();
    for (;;) {
        hold.unlock();
        AwaitCompletions();  // they take no virtual time, and may set what a thread waits for
        hold.lock();
        for (const auto& thread : scheduler.threads)
            if (!thread->done && Ready(*thread)) {
                scheduler.holder = thread.get();
                scheduler.turn.notify_all();
                return;
            }
        uint64_t next = NextDeliveryNanoseconds();
        for (const auto& thread : scheduler.threads)
            if (thread->blocked && !thread->done) next = std::min(next, thread->wake_ns);
        if (next == UINT64_MAX || next > world.horizon_ns) {
            // The world ends: the first thread, the test's, leaves its Run.
            ScriptedThread& first = *scheduler.threads.front();
            first.end_of_script = true;
            scheduler.holder = &first;
            scheduler.turn.notify_all();
            return;
        }
        AdvanceTo(next);
    }
}

void RunThread(ScriptedThread* thread, LPTHREAD_START_ROUTINE start, LPVOID parameter) {
    self = thread;
    Scheduler& scheduler = TheScheduler();
    {
        std::unique_lock<std::mutex> hold(scheduler.lock);
        scheduler.turn.wait(hold, [&] { return scheduler.holder == thread; });
        thread->blocked = false;
    }
    try {
        if (!thread->ending) start(parameter);
    } catch (const ThreadEnd&) {
    }
    std::unique_lock<std::mutex> hold(scheduler.lock);
    thread->done = true;
    if (thread->ending) {
        scheduler.holder = nullptr;
        scheduler.turn.notify_all();
    } else {
        PassBaton(hold);
    }
}

}  // namespace

bool Threaded() { return self != nullptr; }

bool Ending() { return self != nullptr && self->ending; }

DWORD BlockThread(uint64_t wake_ns, Handle* event) {
    Scheduler& scheduler = TheScheduler();
    std::unique_lock<std::mutex> hold(scheduler.lock);
    ScriptedThread& me = *self;
    if (me.ending) {
        // Being unwound: a wait fails at once, a pause ends the thread.
        if (event != nullptr) return WAIT_FAILED;
        throw ThreadEnd{};
    }
    me.blocked = true;
    me.wake_ns = wake_ns;
    me.event = event;
    PassBaton(hold);
    scheduler.turn.wait(hold, [&] { return scheduler.holder == &me; });
    me.blocked = false;
    me.event = nullptr;
    if (me.ending) {
        if (event != nullptr) return WAIT_FAILED;
        throw ThreadEnd{};
    }
    if (me.end_of_script) {
        me.end_of_script = false;
        throw EndOfScript{};
    }
    return me.outcome;
}

void EndThreads() {
    Scheduler& scheduler = TheScheduler();
    std::unique_lock<std::mutex> hold(scheduler.lock);
    for (size_t i = 1; i < scheduler.threads.size(); ++i) {
        ScriptedThread& thread = *scheduler.threads[i];
        if (thread.done) continue;
        thread.ending = true;
        scheduler.holder = &thread;
        scheduler.turn.notify_all();
        scheduler.turn.wait(hold, [&] { return thread.done; });
    }
    std::vector<std::unique_ptr<ScriptedThread>> threads;
    threads.swap(scheduler.threads);
    scheduler.holder = nullptr;
    hold.unlock();
    for (const auto& thread : threads)
        if (thread->thread.joinable()) thread->thread.join();
    self = nullptr;
}

}  // namespace scripted::detail

using namespace scripted::detail;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    const Outcome outcome = Enter("CreateThread");
    if (FAILED(outcome.result) || lpStartAddress == nullptr || dwCreationFlags != 0) {
        const ULONG code = static_cast<ULONG>(outcome.result);
        SetLastError((code >> 16) == 0x8007 ? code & 0xFFFF : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Scheduler& scheduler = TheScheduler();
    std::unique_lock<std::mutex> hold(scheduler.lock);
    if (self == nullptr) {
        // The caller joins the scheduled threads, first in order, holding the baton.
        scheduler.threads.push_back(std::make_unique<ScriptedThread>());
        self = scheduler.threads.back().get();
        scheduler.holder = self;
    }
    scheduler.threads.push_back(std::make_unique<ScriptedThread>());
    ScriptedThread* thread = scheduler.threads.back().get();
    thread->blocked = true;
    thread->wake_ns = TheWorld().now_ns;  // may start at the creator's next blocking call
    thread->thread = std::thread(RunThread, thread, lpStartAddress, lpParameter);
    if (lpThreadId != nullptr) *lpThreadId = static_cast<DWORD>(scheduler.threads.size());
    hold.unlock();
    auto handle = std::make_unique<Handle>();
    handle->kind = "thread";
    return AddHandle(std::move(handle));
}
