// Window to process through the X server: a window handle is an X window id,
// and its process is what the window's _NET_WM_PID property says (set by
// every toolkit that follows the EWMH). libX11 is loaded on first use, so
// the binary runs where it is not installed; without it, or without a
// reachable display, no handle names a window.
#include <dlfcn.h>

#include <mutex>

#include "platform/win32.h"

namespace {

constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;

// The few Xlib declarations used, as <X11/Xlib.h> has them.
typedef struct _XDisplay Display;
typedef unsigned long XID;
typedef unsigned long Atom;
typedef int (*XErrorHandler)(Display*, void*);
constexpr Atom XA_CARDINAL = 6;
constexpr int Success = 0;

struct Xlib {
    Display* (*OpenDisplay)(const char*);
    Atom (*InternAtom)(Display*, const char*, int);
    int (*GetWindowProperty)(Display*, XID, Atom, long, long, int, Atom, Atom*, int*, unsigned long*, unsigned long*,
                             unsigned char**);
    int (*Free)(void*);
    XErrorHandler (*SetErrorHandler)(XErrorHandler);
    Display* display;
    Atom net_wm_pid;
};

// A window that has gone is an ordinary answer, not a reason to exit (Xlib's
// default error handler exits).
int IgnoreXError(Display*, void*) { return 0; }

// Opened once; the connection lives as long as the process. Null when X is
// not available.
Xlib* OpenXlib() {
    static Xlib xlib;
    static Xlib* opened = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return;
        xlib.OpenDisplay = reinterpret_cast<decltype(xlib.OpenDisplay)>(dlsym(library, "XOpenDisplay"));
        xlib.InternAtom = reinterpret_cast<decltype(xlib.InternAtom)>(dlsym(library, "XInternAtom"));
        xlib.GetWindowProperty =
            reinterpret_cast<decltype(xlib.GetWindowProperty)>(dlsym(library, "XGetWindowProperty"));
        xlib.Free = reinterpret_cast<decltype(xlib.Free)>(dlsym(library, "XFree"));
        xlib.SetErrorHandler = reinterpret_cast<decltype(xlib.SetErrorHandler)>(dlsym(library, "XSetErrorHandler"));
        if (xlib.OpenDisplay == nullptr || xlib.InternAtom == nullptr || xlib.GetWindowProperty == nullptr ||
            xlib.Free == nullptr || xlib.SetErrorHandler == nullptr)
            return;
        xlib.display = xlib.OpenDisplay(nullptr);
        if (xlib.display == nullptr) return;
        xlib.SetErrorHandler(IgnoreXError);
        xlib.net_wm_pid = xlib.InternAtom(xlib.display, "_NET_WM_PID", 0);
        opened = &xlib;
    });
    return opened;
}

// The window's _NET_WM_PID, 0 when it has none or is no window.
DWORD WindowProcessId(Xlib* xlib, XID window) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, remaining = 0;
    unsigned char* data = nullptr;
    const int status = xlib->GetWindowProperty(xlib->display, window, xlib->net_wm_pid, 0, 1, 0, XA_CARDINAL, &type,
                                               &format, &items, &remaining, &data);
    DWORD pid = 0;
    // 32-bit properties come back as an array of long.
    if (status == Success && data != nullptr && type == XA_CARDINAL && format == 32 && items == 1)
        pid = static_cast<DWORD>(*reinterpret_cast<unsigned long*>(data));
    if (data != nullptr) xlib->Free(data);
    return pid;
}

}  // namespace

// The thread id is not known from X; the pid stands in for it, so that a
// found window gives a non-zero result as on Windows.
DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    const auto window = static_cast<XID>(reinterpret_cast<uintptr_t>(hWnd));
    static std::mutex serial;  // one Xlib connection, used by one caller at a time
    std::lock_guard<std::mutex> hold(serial);
    Xlib* xlib = window != 0 ? OpenXlib() : nullptr;
    const DWORD pid = xlib != nullptr ? WindowProcessId(xlib, window) : 0;
    if (pid == 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId != nullptr) *lpdwProcessId = pid;
    return pid;
}

// Window classes are Windows' own; X windows have none, so no child matches,
// as for a window on Windows without a child of that class.
HWND FindWindowExW(HWND, HWND, LPCWSTR, LPCWSTR) { return nullptr; }
