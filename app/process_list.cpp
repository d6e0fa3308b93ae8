#include "app/process_list.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "app/json_text.h"
#include "capture/status.h"
#include "capture/output.h"
#include "mix/audible_processes.h"
#include "mix/executable_name.h"
#include "mix/process_table.h"
#include "mix/source_selection.h"

namespace {

constexpr DWORD kLongestPath = 32768;  // units, NUL included: the longest path Windows knows

bool SameName(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Null where the process cannot be opened (protected, another user's, gone)
// or has no path, and where the path names another file than the snapshot
// did: its pid was reused between the two.
std::optional<std::wstring> ImagePath(DWORD pid, const std::wstring& name, std::vector<WCHAR>& buffer) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return std::nullopt;
    DWORD size = static_cast<DWORD>(buffer.size());
    const BOOL read = QueryFullProcessImageNameW(process, 0, buffer.data(), &size);
    CloseHandle(process);
    if (!read || size >= buffer.size()) return std::nullopt;
    // Matched from the end: a Linux file name may hold a backslash.
    const std::wstring_view path(buffer.data(), size);
    if (path.size() <= name.size() || !SameName(path.substr(path.size() - name.size()), name)) return std::nullopt;
    const WCHAR separator = path[path.size() - name.size() - 1];
    if (separator != L'\\' && separator != L'/') return std::nullopt;
    return std::wstring(path);
}

struct WindowSearch {
    std::map<DWORD, std::optional<std::wstring>>* titles;  // the listed pids; filled in as found
    std::vector<WCHAR> title;
};

// The first window in z-order of each listed process that is visible, has
// no owner (a dialog or tool window has one) and a title.
BOOL CALLBACK TakeMainWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD pid = 0;
    if (GetWindowThreadProcessId(window, &pid) == 0) return TRUE;
    const auto found = search->titles->find(pid);
    if (found == search->titles->end() || found->second.has_value()) return TRUE;
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr) return TRUE;
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return TRUE;
    search->title.resize(static_cast<size_t>(length) + 1);
    const int copied = GetWindowTextW(window, search->title.data(), length + 1);
    if (copied > 0) found->second = std::wstring(search->title.data(), static_cast<size_t>(copied));
    return TRUE;
}

// Runtimes that play for whichever app started them, under their own name
// in every app: WebView2, Qt WebEngine, CefSharp's subprocess, and on Linux
// WebKitGTK's and WPE's web and GPU processes. A browser's audio service
// is none: it runs the browser's own executable (chrome.exe or msedge.exe
// with --type=utility, firefox.exe -contentproc).
constexpr std::wstring_view kSharedHosts[] = {
    L"msedgewebview2.exe", L"qtwebengineprocess.exe", L"cefsharp.browsersubprocess.exe",
    L"webkitwebprocess",   L"webkitgpuprocess",       L"wpewebprocess",
};

bool IsSharedHost(std::wstring_view name) {
    return std::any_of(std::begin(kSharedHosts), std::end(kSharedHosts),
                       [&](std::wstring_view host) { return IsExecutableNamed(name, host); });
}

// The nearest ancestor that is no shared host names the app; null when the
// line ends first or that ancestor has no name.
std::optional<std::wstring> HostingApp(const AncestorChain& chain, const ProcessTable& table) {
    for (size_t i = 1; i < chain.size(); ++i) {
        const auto entry = table.find(chain[i]);
        if (entry == table.end()) break;
        if (IsSharedHost(entry->second.exe_name)) continue;
        if (entry->second.exe_name.empty()) break;
        return entry->second.exe_name;
    }
    return std::nullopt;
}

// The pid whose windows are the desktop's, 0 when there is no shell.
DWORD ShellPid() {
    DWORD pid = 0;
    const HWND shell = GetShellWindow();
    if (shell == nullptr || GetWindowThreadProcessId(shell, &pid) == 0) return 0;
    return pid;
}

bool ListedBefore(const ListedProcess& a, const ListedProcess& b) {
    if (a.active != b.active) return a.active;
    const int order = CompareStringOrdinal(a.name.data(), static_cast<int>(a.name.size()), b.name.data(),
                                           static_cast<int>(b.name.size()), TRUE);
    if (order != CSTR_EQUAL) return order == CSTR_LESS_THAN;
    if (a.name != b.name) return a.name < b.name;
    return a.pid < b.pid;
}

// A console shows UTF-16 as it is, where bytes would be read in its own code
// page. Written in pieces a console takes in one call, never between the
// two halves of a pair.
HRESULT WriteToConsole(const std::string& text) {
    constexpr DWORD kPiece = 8192;
    std::wstring units(text.size(), L'\0');  // never more units than bytes
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), units.data(),
                                           static_cast<int>(units.size()));
    if (length <= 0) return HRESULT_FROM_WIN32(GetLastError());
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    for (size_t at = 0; at < static_cast<size_t>(length);) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(kPiece, static_cast<size_t>(length) - at));
        const WCHAR last = units[at + piece - 1];
        if (at + piece < static_cast<size_t>(length) && last >= 0xD800 && last <= 0xDBFF) --piece;
        DWORD written = 0;
        if (!WriteConsoleW(console, units.data() + at, piece, &written, nullptr))
            return HRESULT_FROM_WIN32(GetLastError());
        if (written == 0) return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        at += written;
    }
    return S_OK;
}

void AppendNullable(std::string& out, const std::optional<std::wstring>& text) {
    if (text)
        AppendJsonString(out, *text);
    else
        out += "null";
}

}  // namespace

std::vector<ListedProcess> FindListedProcesses(HRESULT* failure) {
    const std::map<DWORD, bool> owners = FindSessionOwners(failure);
    std::vector<ListedProcess> listed;
    if (owners.empty()) return listed;
    const ProcessTable table = SnapshotProcesses(false);
    const DWORD shell_pid = ShellPid();
    // Each row's own pid, then the ancestors whose windows it may show.
    std::vector<AncestorChain> lines;
    std::map<DWORD, std::optional<std::wstring>> titles;
    std::vector<WCHAR> buffer(kLongestPath);
    for (const auto& [pid, active] : owners) {
        const auto entry = table.find(pid);
        if (entry == table.end()) continue;
        ListedProcess process;
        process.pid = pid;
        process.name = entry->second.exe_name;
        process.active = active;
        // The chain keeps a parent only if it started before its child.
        AncestorChain chain = BuildAncestorChain(pid, table);
        if (chain.size() >= 2 && table.count(chain[1]) != 0) process.parent = chain[1];
        process.path = ImagePath(pid, process.name, buffer);
        if (IsSharedHost(process.name)) process.host = HostingApp(chain, table);
        const auto past = std::find_if(chain.begin() + (chain.empty() ? 0 : 1), chain.end(),
                                       [&](DWORD up) { return up == shell_pid || table.count(up) == 0; });
        chain.erase(past, chain.end());
        for (const DWORD up : chain) titles[up];
        listed.push_back(std::move(process));
        lines.push_back(std::move(chain));
    }
    WindowSearch search{&titles, {}};
    EnumWindows(TakeMainWindow, reinterpret_cast<LPARAM>(&search));
    for (size_t i = 0; i < listed.size(); ++i) {
        for (const DWORD up : lines[i]) {
            if (!titles[up]) continue;
            listed[i].window = titles[up];
            break;
        }
    }
    std::sort(listed.begin(), listed.end(), ListedBefore);
    return listed;
}

std::string FormatListedProcess(const ListedProcess& process) {
    std::string line = "{\"pid\":" + std::to_string(process.pid) + ",\"parent\":";
    line += process.parent ? std::to_string(*process.parent) : "null";
    line += ",\"name\":";
    AppendJsonString(line, process.name);
    line += ",\"path\":";
    AppendNullable(line, process.path);
    line += process.active ? ",\"active\":true,\"window\":" : ",\"active\":false,\"window\":";
    AppendNullable(line, process.window);
    line += ",\"host\":";
    AppendNullable(line, process.host);
    line += "}\n";
    return line;
}

int ListProcesses() {
    HRESULT failure = S_OK;
    const std::vector<ListedProcess> listed = FindListedProcesses(&failure);
    if (FAILED(failure)) return ReportError("sessions", failure);
    std::string text;
    for (const ListedProcess& process : listed) text += FormatListedProcess(process);
    if (text.empty()) return 0;
    if (IsConsoleOutput()) {
        const HRESULT written = WriteToConsole(text);
        return written == S_OK ? 0 : EndOfOutput(written);
    }
    HRESULT written = WriteOutput(text.data(), text.size());
    if (written == S_OK) written = FlushOutput();
    return written == S_OK ? 0 : EndOfOutput(written);
}
