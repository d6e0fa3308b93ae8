// Window handles the test declared, each with its owner, class and parent.
#include <algorithm>
#include <cwctype>
#include <vector>

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

BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    const Outcome outcome = Enter("EnumWindows");
    if (lpEnumFunc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (FAILED(outcome.result)) return FALSE;
    std::vector<uint64_t> top_level;
    for (const auto& [hwnd, window] : TheWorld().windows)
        if (window.parent == 0) top_level.push_back(hwnd);
    for (const uint64_t hwnd : top_level)
        if (!lpEnumFunc(reinterpret_cast<HWND>(hwnd), lParam)) return FALSE;
    return TRUE;
}

namespace {

const World::Window* FindWindow(HWND hWnd) {
    const auto found = TheWorld().windows.find(reinterpret_cast<uintptr_t>(hWnd));
    if (found != TheWorld().windows.end()) return &found->second;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

}  // namespace

BOOL IsWindowVisible(HWND hWnd) {
    Enter("IsWindowVisible");
    const World::Window* window = FindWindow(hWnd);
    return window != nullptr && window->visible ? TRUE : FALSE;
}

HWND GetWindow(HWND hWnd, UINT uCmd) {
    Enter("GetWindow");
    const World::Window* window = FindWindow(hWnd);
    if (window == nullptr) return nullptr;
    if (uCmd != GW_OWNER) {
        Violation("GetWindow with a command the doubles do not model");
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HWND>(window->owner);
}

int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    const Outcome outcome = Enter("GetWindowTextW");
    const World::Window* window = FindWindow(hWnd);
    if (lpString == nullptr || nMaxCount <= 0) return 0;
    lpString[0] = L'\0';
    if (window == nullptr || FAILED(outcome.result)) return 0;
    // Cut where it falls, a surrogate pair included, as Windows cuts it.
    const size_t copied = std::min(window->title.size(), static_cast<size_t>(nMaxCount - 1));
    window->title.copy(lpString, copied);
    lpString[copied] = L'\0';
    return static_cast<int>(copied);
}

int GetWindowTextLengthW(HWND hWnd) {
    Enter("GetWindowTextLengthW");
    const World::Window* window = FindWindow(hWnd);
    return window != nullptr ? static_cast<int>(window->title.size()) : 0;
}

HWND GetShellWindow() {
    Enter("GetShellWindow");
    return reinterpret_cast<HWND>(TheWorld().shell_window);
}
