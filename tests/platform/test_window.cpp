// Window to process without a display: no handle names a window.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/win32.h"

namespace {

TEST(Window, WithoutADisplayTheProcessIdIsLeftUntouched) {
    unsetenv("DISPLAY");
    for (uintptr_t handle : {uintptr_t{0}, uintptr_t{1}, uintptr_t{0x3a00007}}) {
        DWORD pid = 0xdeadbeef;
        EXPECT_EQ(GetWindowThreadProcessId(reinterpret_cast<HWND>(handle), &pid), 0u) << handle;
        EXPECT_EQ(pid, 0xdeadbeefu) << handle;
        EXPECT_EQ(GetLastError(), 1400u);
    }
}

}  // namespace
