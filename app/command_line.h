// The command line: option pairs that set the target pid and the run mode.
#pragma once

#include <cstdint>
#include <string>

#include "mix/executable_name.h"  // the --app name rules
#include "platform/win32.h"

struct CommandLine {
    DWORD pid = 0;          // last option that set one wins; 0 means none
    bool exclude = false;   // --exclude seen; never cleared
    bool mix = false;       // --mix seen; never cleared
    bool app = false;       // --app seen; never cleared
    std::wstring app_name;  // the last --app's value, from the code page to UTF-16
    bool list = false;      // --list seen (a word without a value)
};

// Decimal conversion with the semantics of the C library's strtoul (max
// 0xFFFFFFFF, as where unsigned long has 32 bits) and strtoull (max
// 0xFFFFFFFFFFFFFFFF), without an end pointer: leading white space skipped,
// an optional sign (minus negates modulo max + 1), digits up to the first
// non-digit, 0 without digits, max when the magnitude does not fit.
uint64_t ParseDecimal(const char* text, uint64_t max);

// Walks argv[1..] in pairs (word, value); unknown words and an unpaired last
// argument are skipped. --list is a word alone: the next pair starts after
// it. --hwnd resolves the window's owner at once.
CommandLine ParseCommandLine(int argc, char** argv);

// The whole tool: reads the command line, prepares stdout and COM, runs the
// chosen mode and returns the process exit code.
int PcmtapMain(int argc, char** argv);
