#include "app/command_line.h"

#include <algorithm>
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

// Digits and nothing else, from low to high.
bool ReadBoundedNumber(const char* text, DWORD low, DWORD high, DWORD& value) {
    uint64_t number = 0;
    const char* digit = text;
    for (; *digit >= '0' && *digit <= '9'; ++digit) {
        number = number * 10 + static_cast<unsigned>(*digit - '0');
        if (number > high) return false;
    }
    if (digit == text || *digit != '\0' || number < low) return false;
    value = static_cast<DWORD>(number);
    return true;
}

const char* const kFormatWords[] = {"--rate", "--channels", "--format"};

// The format word's index in kFormatWords, or -1 for any other word.
int FormatWordIndex(const char* word) {
    for (int i = 0; i < 3; ++i)
        if (strcmp(word, kFormatWords[i]) == 0) return i;
    return -1;
}

bool ReadFormatValue(int index, const char* value, PcmFormat& format) {
    DWORD number = 0;
    switch (index) {
    case 0:
        if (!ReadBoundedNumber(value, 8000, 192000, number)) return false;
        format.rate = number;
        return true;
    case 1:
        if (!ReadBoundedNumber(value, 1, 2, number)) return false;
        format.channels = static_cast<WORD>(number);
        return true;
    default:
        if (strcmp(value, "s16le") == 0) {
            format.type = SampleType::kS16;
        } else if (strcmp(value, "f32le") == 0) {
            format.type = SampleType::kF32;
        } else {
            return false;
        }
        return true;
    }
}

HWND WindowFrom(const char* value) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(ParseDecimal(value, UINT64_MAX)));
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
            line.include = true;
        } else if (strcmp(word, "--exclude") == 0) {
            line.pid = static_cast<DWORD>(ParseDecimal(value, UINT32_MAX));
            line.exclude = true;
        } else if (strcmp(word, "--mix") == 0) {
            line.pid = static_cast<DWORD>(ParseDecimal(value, UINT32_MAX));
            line.mix = true;
        } else if (strcmp(word, "--hwnd") == 0) {
            FindWindowOwner(WindowFrom(value), line.pid);
            line.include = true;
        } else if (strcmp(word, "--app") == 0) {
            line.app = true;
            line.app_names.push_back(AppNameFromArgument(value));
        } else if (strcmp(word, "--add-include") == 0) {
            line.add_include.push_back(static_cast<DWORD>(ParseDecimal(value, UINT32_MAX)));
        } else if (strcmp(word, "--add-hwnd") == 0) {
            DWORD owner = 0;
            FindWindowOwner(WindowFrom(value), owner);
            line.add_include.push_back(owner);
        } else if (strcmp(word, "--add-exclude") == 0) {
            line.add_exclude.push_back(static_cast<DWORD>(ParseDecimal(value, UINT32_MAX)));
        } else if (const int index = FormatWordIndex(word); index >= 0) {
            const unsigned bit = 1u << index;
            if ((line.format_words & bit) != 0 || !ReadFormatValue(index, value, line.format)) line.bad_format = true;
            line.format_words |= bit;
        }
    }
    return line;
}

RunChoice ChooseRun(const CommandLine& line) {
    RunChoice run;
    if (line.bad_format) return run;
    run.format = line.format;
    const bool include_words = line.app || !line.add_include.empty();
    const bool exclude_words = !line.add_exclude.empty();
    if (!include_words && !exclude_words) {
        if (line.pid == 0) return run;
        run.kind = line.mix ? RunKind::Mix : line.exclude ? RunKind::Exclude : RunKind::Include;
        run.pid = line.pid;
        return run;
    }
    // Only where a new word is on the line: lines of the four options alone
    // keep their meaning, errors included.
    if (include_words && (line.exclude || line.mix || exclude_words)) return run;
    if (exclude_words && (line.include || line.mix)) return run;
    const std::vector<DWORD>& added = include_words ? line.add_include : line.add_exclude;
    if (std::find(added.begin(), added.end(), 0u) != added.end()) return run;
    if (!std::all_of(line.app_names.begin(), line.app_names.end(), IsValidAppName)) return run;

    run.pids.insert(added.begin(), added.end());
    if (line.pid != 0) run.pids.insert(line.pid);  // the mode is the added words' own, checked above
    if (include_words) {
        run.app_names = line.app_names;
        run.kind = run.pids.empty() ? RunKind::App : RunKind::Includes;
    } else {
        run.kind = RunKind::Excludes;
    }
    // One pid alone is the one stream it always was.
    if (run.pids.size() == 1 && run.app_names.empty()) {
        run.kind = include_words ? RunKind::Include : RunKind::Exclude;
        run.pid = *run.pids.begin();
        run.pids.clear();
    }
    return run;
}
