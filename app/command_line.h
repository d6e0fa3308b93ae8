// The command line: option pairs that set the target pid and the run mode.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "capture/pcm_format.h"
#include "mix/executable_name.h"  // the --app name rules
#include "platform/win32.h"

struct CommandLine {
    DWORD pid = 0;                        // last of --include/--exclude/--mix/--hwnd wins; 0 means none
    bool include = false;                 // --include or --hwnd seen; never cleared
    bool exclude = false;                 // --exclude seen; never cleared
    bool mix = false;                     // --mix seen; never cleared
    bool app = false;                     // --app seen; never cleared
    std::vector<std::wstring> app_names;  // every --app's value, in order, from the code page to UTF-16
    std::vector<DWORD> add_include;       // every --add-include pid and --add-hwnd owner, as read (0: none)
    std::vector<DWORD> add_exclude;       // every --add-exclude pid, as read
    bool list = false;                    // --list seen (a word without a value)
    PcmFormat format;                     // --rate, --channels, --format; 48 kHz stereo s16le without them
    unsigned format_words = 0;            // one bit per format word seen
    bool bad_format = false;              // a format value unreadable or out of range, or a format word twice
};

// The run a whole command line asks for.
enum class RunKind {
    BadArguments,  // the "args" error
    Include,       // one stream: pid's tree
    Exclude,       // one stream: everything but pid's tree
    Mix,           // every audible tree but pid's and voice chat's
    App,           // the trees of the processes that run app_names
    Includes,      // several targets: pids' trees and app_names'
    Excludes,      // every audible tree but pids', pcmtap's own and its parent's line
};

struct RunChoice {
    RunKind kind = RunKind::BadArguments;
    DWORD pid = 0;           // Include, Exclude, Mix
    std::set<DWORD> pids;    // Includes, Excludes
    std::vector<std::wstring> app_names;  // App, Includes
    PcmFormat format;        // what is written, in every run
};

// Decimal conversion with the semantics of the C library's strtoul (max
// 0xFFFFFFFF, as where unsigned long has 32 bits) and strtoull (max
// 0xFFFFFFFFFFFFFFFF), without an end pointer: leading white space skipped,
// an optional sign (minus negates modulo max + 1), digits up to the first
// non-digit, 0 without digits, max when the magnitude does not fit.
uint64_t ParseDecimal(const char* text, uint64_t max);

// Walks argv[1..] in pairs (word, value); unknown words and an unpaired last
// argument are skipped. The format words' values are read strictly: digits
// alone for --rate (8000..192000) and --channels (1 or 2), s16le or f32le
// for --format. --list is a word alone: the next pair starts after
// it. --hwnd and --add-hwnd resolve the window's owner at once.
CommandLine ParseCommandLine(int argc, char** argv);

// The run of a line read whole, --list aside. A line of the four pid options
// alone means what it always has (the last pid, the mode from every option).
// --app, --add-include, --add-hwnd and --add-exclude add targets: one pid
// alone is still one stream, more are mixed. Include-side and exclude-side
// words together, an added pid of 0 and a name no file can have are errors,
// and so is a bad or repeated format word, whatever the mode.
RunChoice ChooseRun(const CommandLine& line);

// The whole tool: reads the command line, prepares stdout and COM, runs the
// chosen mode and returns the process exit code.
int PcmtapMain(int argc, char** argv);
