#include "app/command_line.h"

#include <cstring>

#include "mix/process_table.h"

namespace {

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsFrameHost(DWORD pid) {
    const ProcessTable table = SnapshotProcesses();
    const auto found = table.find(pid);
    return found != table.end() && found->second.exe_name == L"applicationframehost.exe";
}

// The pid output is written straight into the target; a handle that names no
// window leaves it as the platform leaves it. The top-level window of a Store
// app belongs to ApplicationFrameHost.exe, which draws the frame and plays
// nothing; the app's own process owns the CoreWindow child inside it. A
// suspended or minimised app's CoreWindow is elsewhere: then the frame host
// stays the target, as nothing better is known.
void FindWindowOwner(HWND window, DWORD& pid) {
    if (GetWindowThreadProcessId(window, &pid) == 0) return;
    const HWND core = FindWindowExW(window, nullptr, L"Windows.UI.Core.CoreWindow", nullptr);
    if (core == nullptr || !IsFrameHost(pid)) return;
    DWORD app_pid = 0;
    if (GetWindowThreadProcessId(core, &app_pid) != 0 && app_pid != 0) pid = app_pid;
}

}  // namespace

uint64_t ParseDecimal(const char* text, uint64_t max) {
    while (IsCSpace(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    uint64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const unsigned digit = static_cast<unsigned>(*text - '0');
        if (magnitude > (max - digit) / 10) return max;  // out of range, whatever the sign
        magnitude = magnitude * 10 + digit;
    }
    // Negation in the unsigned type of the conversion: max is 2^n - 1.
    return negative ? (max - magnitude + 1) & max : magnitude;
}

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine line;
    for (int i = 2; i < argc + 1; i += 2) {
        const char* word = argv[i - 1];
        if (strcmp(word, "--list") == 0) {
            line.list = true;
            --i;  // a word without a value
            continue;
        }
        if (i == argc) break;  // the unpaired last argument
        const char* value = argv[i];
        if (strcmp(word, "--include") == 0) {
            line.pid = static_cast<DWORD>(ParseDecimal(value, UINT32_MAX));
        } else if (strcmp(word, "--exclude") == 0) {
            line.pid = static_cast<DWORD>(ParseDecimal(value, UINT32_MAX));
            line.exclude = true;
        } else if (strcmp(word, "--mix") == 0) {
            line.pid = static_cast<DWORD>(ParseDecimal(value, UINT32_MAX));
            line.mix = true;
        } else if (strcmp(word, "--hwnd") == 0) {
            const uint64_t handle = ParseDecimal(value, UINT64_MAX);
            FindWindowOwner(reinterpret_cast<HWND>(static_cast<uintptr_t>(handle)), line.pid);
        } else if (strcmp(word, "--app") == 0) {
            line.app = true;
            line.app_name = AppNameFromArgument(value);
        }
    }
    return line;
}
