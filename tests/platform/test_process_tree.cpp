// Which processes a process-loopback device counts as the target's tree.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/audio_process_tree.h"

namespace {

// A child that starts a grandchild; both sleep until killed. Reports the
// grandchild's pid through a pipe.
struct Family {
    pid_t child = -1;
    pid_t grandchild = -1;
    Family() {
        int fds[2];
        if (pipe(fds) != 0) return;
        child = fork();
        if (child == 0) {
            const pid_t grandchild_pid = fork();
            if (grandchild_pid == 0) {
                pause();
                _exit(0);
            }
            (void)!write(fds[1], &grandchild_pid, sizeof(grandchild_pid));
            pause();
            _exit(0);
        }
        (void)!read(fds[0], &grandchild, sizeof(grandchild));
        close(fds[0]);
        close(fds[1]);
    }
    ~Family() {
        if (grandchild > 0) kill(grandchild, SIGKILL);
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
};

TEST(ProcessTree, FollowsParentLinksDownwardOnly) {
    Family family;
    ASSERT_GT(family.grandchild, 0);
    const auto self = static_cast<DWORD>(getpid());
    const auto child = static_cast<DWORD>(family.child);
    const auto grandchild = static_cast<DWORD>(family.grandchild);
    struct Case {
        DWORD pid, root;
        bool expected;
    } cases[] = {
        {self, self, true},
        {child, self, true},
        {grandchild, self, true},
        {grandchild, child, true},
        {self, child, false},
        {child, grandchild, false},
        {0, 0, false},
        {child, 0, false},
        {self, static_cast<DWORD>(getppid()), true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsInProcessTree(c.pid, c.root), c.expected) << "pid " << c.pid << " under " << c.root;
}

TEST(ProcessTree, AProcessThatHasGoneMatchesOnlyItself) {
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    EXPECT_TRUE(IsInProcessTree(static_cast<DWORD>(gone), static_cast<DWORD>(gone)));
    EXPECT_FALSE(IsInProcessTree(static_cast<DWORD>(gone), static_cast<DWORD>(getpid())));
}

}  // namespace
