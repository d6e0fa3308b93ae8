// Windows through the X server: a window handle is an X window id, its
// process is what the window's _NET_WM_PID property says (set by every
// toolkit that follows the EWMH), its title _NET_WM_NAME or else WM_NAME, its
// owner WM_TRANSIENT_FOR. The top-level windows are the window manager's
// clients, or without one the root's children. libX11 is loaded on first
// use, so the binary runs where it is not installed; without it, or without
// a reachable display, no handle names a window and there are none to list.
#include <dlfcn.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;

// The few Xlib declarations used, as <X11/Xlib.h> has them.
typedef struct _XDisplay Display;
typedef unsigned long XID;
typedef unsigned long Atom;
typedef int (*XErrorHandler)(Display*, void*);
constexpr Atom XA_ATOM = 4;
constexpr Atom XA_CARDINAL = 6;
constexpr Atom XA_WINDOW = 33;
constexpr Atom XA_WM_NAME = 39;
constexpr Atom XA_WM_TRANSIENT_FOR = 68;
constexpr Atom AnyPropertyType = 0;
constexpr int Success = 0;
constexpr int IsUnmapped = 0;
constexpr long IconicState = 3;

// As <X11/Xlib.h> lays it out.
struct XWindowAttributes {
    int x, y, width, height, border_width, depth;
    void* visual;
    XID root;
    int c_class, bit_gravity, win_gravity, backing_store;
    unsigned long backing_planes, backing_pixel;
    int save_under;
    XID colormap;
    int map_installed, map_state;
    long all_event_masks, your_event_mask, do_not_propagate_mask;
    int override_redirect;
    void* screen;
};

struct Xlib {
    Display* (*OpenDisplay)(const char*);
    Atom (*InternAtom)(Display*, const char*, int);
    int (*GetWindowProperty)(Display*, XID, Atom, long, long, int, Atom, Atom*, int*, unsigned long*, unsigned long*,
                             unsigned char**);
    int (*Free)(void*);
    XErrorHandler (*SetErrorHandler)(XErrorHandler);
    XID (*DefaultRootWindow)(Display*);
    int (*QueryTree)(Display*, XID, XID*, XID*, XID**, unsigned int*);
    int (*GetWindowAttributes)(Display*, XID, XWindowAttributes*);
    Display* display;
    Atom net_wm_pid, net_wm_name, utf8_string, wm_state, client_list_stacking, client_list;
    Atom net_wm_window_type, net_wm_window_type_desktop;
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
        xlib.DefaultRootWindow =
            reinterpret_cast<decltype(xlib.DefaultRootWindow)>(dlsym(library, "XDefaultRootWindow"));
        xlib.QueryTree = reinterpret_cast<decltype(xlib.QueryTree)>(dlsym(library, "XQueryTree"));
        xlib.GetWindowAttributes =
            reinterpret_cast<decltype(xlib.GetWindowAttributes)>(dlsym(library, "XGetWindowAttributes"));
        if (xlib.OpenDisplay == nullptr || xlib.InternAtom == nullptr || xlib.GetWindowProperty == nullptr ||
            xlib.Free == nullptr || xlib.SetErrorHandler == nullptr || xlib.DefaultRootWindow == nullptr ||
            xlib.QueryTree == nullptr || xlib.GetWindowAttributes == nullptr)
            return;
        xlib.display = xlib.OpenDisplay(nullptr);
        if (xlib.display == nullptr) return;
        xlib.SetErrorHandler(IgnoreXError);
        xlib.net_wm_pid = xlib.InternAtom(xlib.display, "_NET_WM_PID", 0);
        xlib.net_wm_name = xlib.InternAtom(xlib.display, "_NET_WM_NAME", 0);
        xlib.utf8_string = xlib.InternAtom(xlib.display, "UTF8_STRING", 0);
        xlib.wm_state = xlib.InternAtom(xlib.display, "WM_STATE", 0);
        xlib.client_list_stacking = xlib.InternAtom(xlib.display, "_NET_CLIENT_LIST_STACKING", 0);
        xlib.client_list = xlib.InternAtom(xlib.display, "_NET_CLIENT_LIST", 0);
        xlib.net_wm_window_type = xlib.InternAtom(xlib.display, "_NET_WM_WINDOW_TYPE", 0);
        xlib.net_wm_window_type_desktop = xlib.InternAtom(xlib.display, "_NET_WM_WINDOW_TYPE_DESKTOP", 0);
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

// A property's items: 32-bit ones as longs, 8-bit ones as bytes. False when
// the window has no such property of that type (any type for AnyPropertyType).
bool ReadProperty(Xlib* xlib, XID window, Atom property, Atom wanted, Atom& type, int& format,
                  std::vector<unsigned long>& longs, std::string& bytes) {
    unsigned long items = 0, remaining = 0;
    unsigned char* data = nullptr;
    type = 0;
    format = 0;
    // At most 1 MB of a property: titles and client lists are far smaller.
    const int status = xlib->GetWindowProperty(xlib->display, window, property, 0, 1 << 18, 0, wanted, &type, &format,
                                               &items, &remaining, &data);
    const bool found = status == Success && data != nullptr && type != 0 && (wanted == AnyPropertyType || type == wanted);
    if (found && format == 32) longs.assign(reinterpret_cast<unsigned long*>(data), reinterpret_cast<unsigned long*>(data) + items);
    if (found && format == 8) bytes.assign(reinterpret_cast<char*>(data), items);
    if (data != nullptr) xlib->Free(data);
    return found;
}

// Top-level windows, topmost first.
std::vector<XID> TopLevelWindows(Xlib* xlib) {
    const XID root = xlib->DefaultRootWindow(xlib->display);
    Atom type;
    int format;
    std::vector<unsigned long> clients;
    std::string unused;
    std::vector<XID> windows;
    // The window manager's lists hold its clients bottom first.
    if ((ReadProperty(xlib, root, xlib->client_list_stacking, XA_WINDOW, type, format, clients, unused) ||
         ReadProperty(xlib, root, xlib->client_list, XA_WINDOW, type, format, clients, unused)) &&
        format == 32) {
        windows.assign(clients.rbegin(), clients.rend());
        return windows;
    }
    XID root_out = 0, parent = 0;
    XID* children = nullptr;
    unsigned int count = 0;
    if (xlib->QueryTree(xlib->display, root, &root_out, &parent, &children, &count) != 0 && children != nullptr)
        windows.assign(std::reverse_iterator<XID*>(children + count), std::reverse_iterator<XID*>(children));
    if (children != nullptr) xlib->Free(children);
    return windows;
}

// Latin-1 (STRING) widens unit for unit; UTF-8 goes through the code page.
std::wstring WindowTitle(Xlib* xlib, XID window) {
    Atom type;
    int format;
    std::vector<unsigned long> unused;
    std::string bytes;
    std::wstring title;
    const bool utf8 = ReadProperty(xlib, window, xlib->net_wm_name, xlib->utf8_string, type, format, unused, bytes) ||
                      (ReadProperty(xlib, window, XA_WM_NAME, AnyPropertyType, type, format, unused, bytes) &&
                       type == xlib->utf8_string);
    if (format != 8) return title;
    if (!utf8) {
        for (const char byte : bytes) title.push_back(static_cast<WCHAR>(static_cast<unsigned char>(byte)));
        return title;
    }
    if (bytes.empty()) return title;
    title.resize(bytes.size());
    const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), title.data(),
                                          static_cast<int>(title.size()));
    title.resize(units > 0 ? static_cast<size_t>(units) : 0);
    return title;
}

XID AsWindow(HWND hWnd) { return static_cast<XID>(reinterpret_cast<uintptr_t>(hWnd)); }

std::mutex serial;  // one Xlib connection, used by one caller at a time

}  // namespace

// The thread id is not known from X; the pid stands in for it, so that a
// found window gives a non-zero result as on Windows.
DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    const XID window = AsWindow(hWnd);
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

// The list is taken first and the callback runs without the connection's
// lock, so that it may ask about each window.
BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    if (lpEnumFunc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<XID> windows;
    {
        std::lock_guard<std::mutex> hold(serial);
        if (Xlib* xlib = OpenXlib()) windows = TopLevelWindows(xlib);
    }
    for (const XID window : windows)
        if (!lpEnumFunc(reinterpret_cast<HWND>(static_cast<uintptr_t>(window)), lParam)) return FALSE;
    return TRUE;
}

// Mapped, or iconic (a minimised window is still a visible one on Windows).
BOOL IsWindowVisible(HWND hWnd) {
    std::lock_guard<std::mutex> hold(serial);
    Xlib* xlib = AsWindow(hWnd) != 0 ? OpenXlib() : nullptr;
    if (xlib == nullptr) return FALSE;
    XWindowAttributes attributes{};
    if (xlib->GetWindowAttributes(xlib->display, AsWindow(hWnd), &attributes) == 0) return FALSE;
    if (attributes.map_state != IsUnmapped) return TRUE;
    Atom type;
    int format;
    std::vector<unsigned long> state;
    std::string unused;
    return ReadProperty(xlib, AsWindow(hWnd), xlib->wm_state, AnyPropertyType, type, format, state, unused) &&
                   format == 32 && !state.empty() && static_cast<long>(state[0]) == IconicState
               ? TRUE
               : FALSE;
}

// Only the owner is known of X windows: a transient's WM_TRANSIENT_FOR.
HWND GetWindow(HWND hWnd, UINT uCmd) {
    std::lock_guard<std::mutex> hold(serial);
    Xlib* xlib = AsWindow(hWnd) != 0 ? OpenXlib() : nullptr;
    if (xlib == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (uCmd != GW_OWNER) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    Atom type;
    int format;
    std::vector<unsigned long> owner;
    std::string unused;
    SetLastError(ERROR_SUCCESS);
    if (ReadProperty(xlib, AsWindow(hWnd), XA_WM_TRANSIENT_FOR, XA_WINDOW, type, format, owner, unused) &&
        format == 32 && !owner.empty() && owner[0] != 0)
        return reinterpret_cast<HWND>(static_cast<uintptr_t>(owner[0]));
    return nullptr;
}

int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    if (lpString == nullptr || nMaxCount <= 0) return 0;
    std::wstring title;
    {
        std::lock_guard<std::mutex> hold(serial);
        if (Xlib* xlib = AsWindow(hWnd) != 0 ? OpenXlib() : nullptr) title = WindowTitle(xlib, AsWindow(hWnd));
    }
    const size_t copied = std::min(title.size(), static_cast<size_t>(nMaxCount - 1));
    title.copy(lpString, copied);
    lpString[copied] = L'\0';
    return static_cast<int>(copied);
}

int GetWindowTextLengthW(HWND hWnd) {
    std::lock_guard<std::mutex> hold(serial);
    Xlib* xlib = AsWindow(hWnd) != 0 ? OpenXlib() : nullptr;
    return xlib != nullptr ? static_cast<int>(WindowTitle(xlib, AsWindow(hWnd)).size()) : 0;
}

// The desktop is the top-level window of the desktop type (the EWMH's
// _NET_WM_WINDOW_TYPE_DESKTOP: a file manager's or a shell's desktop icons).
HWND GetShellWindow() {
    std::lock_guard<std::mutex> hold(serial);
    Xlib* xlib = OpenXlib();
    if (xlib == nullptr) return nullptr;
    for (const XID window : TopLevelWindows(xlib)) {
        Atom type;
        int format;
        std::vector<unsigned long> types;
        std::string unused;
        if (ReadProperty(xlib, window, xlib->net_wm_window_type, XA_ATOM, type, format, types, unused) &&
            format == 32 && std::find(types.begin(), types.end(), xlib->net_wm_window_type_desktop) != types.end())
            return reinterpret_cast<HWND>(static_cast<uintptr_t>(window));
    }
    return nullptr;
}
