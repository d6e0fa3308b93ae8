// Window handles the test declared, each with its owner, class and parent.
#include <cwctype>

#include "tests/doubles/world.h"

using namespace scripted::detail;

namespace {

constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;

// Window class names compare without regard to case.
bool SameClass(const std::wstring& a, LPCWSTR b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i)
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
    return i == a.size() && b[i] == L'\0';
}

}  // namespace

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    Enter("GetWindowThreadProcessId");
    World& world = TheWorld();
    auto found = world.windows.find(reinterpret_cast<uintptr_t>(hWnd));
    if (found == world.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // the pid is left as it was
        return 0;
    }
    if (lpdwProcessId != nullptr) *lpdwProcessId = found->second.owner_pid;
    return 1;  // a thread id; the tool does not look at it
}

// Windows have no titles here: a title asked for matches none.
HWND FindWindowExW(HWND hWndParent, HWND hWndChildAfter, LPCWSTR lpszClass, LPCWSTR lpszWindow) {
    const Outcome outcome = Enter("FindWindowExW");
    World& world = TheWorld();
    const auto parent = reinterpret_cast<uintptr_t>(hWndParent);
    const auto after = reinterpret_cast<uintptr_t>(hWndChildAfter);
    if ((parent != 0 && world.windows.count(parent) == 0) || (after != 0 && world.windows.count(after) == 0)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    if (FAILED(outcome.result) || lpszWindow != nullptr) return nullptr;
    for (auto at = after != 0 ? world.windows.upper_bound(after) : world.windows.begin(); at != world.windows.end();
         ++at)
        if (at->second.parent == parent && (lpszClass == nullptr || SameClass(at->second.class_name, lpszClass)))
            return reinterpret_cast<HWND>(at->first);
    return nullptr;
}
