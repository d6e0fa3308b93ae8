// Fuzzes the command line: the input, split at NUL bytes, is the argument
// vector; the parse must agree with a model of the rules written here from
// scratch, with nothing shared with the tool's own conversion.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/doubles/scripted_platform.h"

namespace {

const std::map<uint64_t, DWORD> kWindows = {
    {1, 100}, {4294967296ull, 200}, {UINT64_MAX, 300}, {77, 0},  // a window whose owner reads as 0
};

// strtoul/strtoull as where unsigned long has `bits` bits.
uint64_t ModelNumber(const std::string& text, int bits) {
    size_t i = 0;
    while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    while (i < text.size() && text[i] == '0') ++i;
    std::string digits;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') digits += text[i++];
    const unsigned __int128 max = bits == 32 ? 0xFFFFFFFFu : UINT64_MAX;
    if (digits.size() > 20) return static_cast<uint64_t>(max);
    unsigned __int128 value = 0;
    for (char digit : digits) value = value * 10 + static_cast<unsigned>(digit - '0');
    if (value > max) return static_cast<uint64_t>(max);
    return static_cast<uint64_t>(negative ? (max + 1 - value) & max : value);
}

// --rate, --channels, --format: digits alone within their range, or one of
// two names; false for anything else.
bool ModelFormat(const std::string& word, const std::string& value, PcmFormat& format) {
    if (word == "--format") {
        if (value != "s16le" && value != "f32le") return false;
        format.type = value == "s16le" ? SampleType::kS16 : SampleType::kF32;
        return true;
    }
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string digits = value.substr(std::min(value.find_first_not_of('0'), value.size()));
    const unsigned long number = digits.size() > 6 ? 0 : std::strtoul(digits.c_str(), nullptr, 10);
    if (word == "--rate" && number >= 8000 && number <= 192000) format.rate = static_cast<DWORD>(number);
    else if (word == "--channels" && (number == 1 || number == 2)) format.channels = static_cast<WORD>(number);
    else return false;
    return true;
}

// --list stands alone; every other word takes the argument after it.
CommandLine Model(const std::vector<std::string>& args) {
    CommandLine line;
    for (size_t i = 1; i < args.size(); i += 2) {
        const std::string& word = args[i];
        if (word == "--list") {
            line.list = true;
            --i;
            continue;
        }
        if (i + 1 == args.size()) break;
        const std::string& value = args[i + 1];
        if (word == "--app") {
            line.app = true;
            line.app_names.emplace_back();  // the conversion is the code page's, checked elsewhere
        } else if (word == "--include" || word == "--exclude" || word == "--mix") {
            line.pid = static_cast<DWORD>(ModelNumber(value, 32));
            line.include = line.include || word == "--include";
            line.exclude = line.exclude || word == "--exclude";
            line.mix = line.mix || word == "--mix";
        } else if (word == "--hwnd") {
            auto window = kWindows.find(ModelNumber(value, 64));
            if (window != kWindows.end()) line.pid = window->second;
            line.include = true;
        } else if (word == "--add-include" || word == "--add-exclude") {
            (word == "--add-include" ? line.add_include : line.add_exclude)
                .push_back(static_cast<DWORD>(ModelNumber(value, 32)));
        } else if (word == "--add-hwnd") {
            auto window = kWindows.find(ModelNumber(value, 64));
            line.add_include.push_back(window != kWindows.end() ? window->second : 0);
        } else if (word == "--rate" || word == "--channels" || word == "--format") {
            const unsigned bit = word == "--rate" ? 1 : word == "--channels" ? 2 : 4;
            line.bad_format = !ModelFormat(word, value, line.format) || (line.format_words & bit) != 0 ||
                              line.bad_format;
            line.format_words |= bit;
        }
    }
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scripted::Reset();
    scripted::SetCallLog(false);
    for (const auto& [handle, pid] : kWindows) scripted::SetWindow(handle, pid);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"pcmtap"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (size != 0) args.push_back(current);

    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const CommandLine parsed = ParseCommandLine(static_cast<int>(args.size()), argv.data());
    const CommandLine expected = Model(args);
    if (parsed.pid != expected.pid || parsed.include != expected.include || parsed.exclude != expected.exclude ||
        parsed.mix != expected.mix || parsed.list != expected.list || parsed.app != expected.app ||
        parsed.app_names.size() != expected.app_names.size() || parsed.add_include != expected.add_include ||
        parsed.add_exclude != expected.add_exclude || !(parsed.format == expected.format) ||
        parsed.bad_format != expected.bad_format) {
        fprintf(stderr, "parse disagrees with the model: pid %u/%u exclude %d/%d mix %d/%d list %d/%d app %d/%d\n",
                parsed.pid, expected.pid, parsed.exclude, expected.exclude, parsed.mix, expected.mix, parsed.list,
                expected.list, parsed.app, expected.app);
        abort();
    }
    return 0;
}
