#include "app/process_list.h"

#include <algorithm>
#include <map>

#include "app/json_text.h"
#include "capture/status.h"
#include "capture/output.h"
#include "mix/audible_processes.h"
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

bool ListedBefore(const ListedProcess& a, const ListedProcess& b) {
    if (a.active != b.active) return a.active;
    const int order = CompareStringOrdinal(a.name.data(), static_cast<int>(a.name.size()), b.name.data(),
                                           static_cast<int>(b.name.size()), TRUE);
    if (order != CSTR_EQUAL) return order == CSTR_LESS_THAN;
    if (a.name != b.name) return a.name < b.name;
    return a.pid < b.pid;
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
        const AncestorChain chain = BuildAncestorChain(pid, table);
        if (chain.size() >= 2 && table.count(chain[1]) != 0) process.parent = chain[1];
        process.path = ImagePath(pid, process.name, buffer);
        listed.push_back(std::move(process));
        titles[pid];
    }
    WindowSearch search{&titles, {}};
    EnumWindows(TakeMainWindow, reinterpret_cast<LPARAM>(&search));
    for (ListedProcess& process : listed) process.window = titles[process.pid];
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
    line += "}\n";
    return line;
}

int ListProcesses() {
    HRESULT failure = S_OK;
    const std::vector<ListedProcess> listed = FindListedProcesses(&failure);
    if (FAILED(failure)) return ReportError("sessions", failure);
    std::string text;
    for (const ListedProcess& process : listed) text += FormatListedProcess(process);
    HRESULT written = text.empty() ? S_OK : WriteOutput(text.data(), text.size());
    if (written == S_OK) written = FlushOutput();
    return written == S_OK ? 0 : EndOfOutput(written);
}
