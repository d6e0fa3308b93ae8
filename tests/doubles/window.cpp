// Window handles the test declared, each with its owner.
#include "tests/doubles/world.h"

using namespace scripted::detail;

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    Enter("GetWindowThreadProcessId");
    World& world = TheWorld();
    auto found = world.windows.find(reinterpret_cast<uintptr_t>(hWnd));
    if (found == world.windows.end()) {
        SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE; the pid is left as it was
        return 0;
    }
    if (lpdwProcessId != nullptr) *lpdwProcessId = found->second;
    return 1;  // a thread id; the tool does not look at it
}
