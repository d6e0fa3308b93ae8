// Executable names: how a process's name is matched, and which names --app
// takes.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32.h"

// Whether a process's executable file name is `wanted`, compared as Windows
// compares file names (ordinal, ignoring case through the system's table),
// with or without ".exe" on either side. An empty name, one that could not
// be read, is no name at all: it never matches.
bool IsExecutableNamed(std::wstring_view exe_name, std::wstring_view wanted);

// An --app value, from the process's code page (argv's) to UTF-16.
std::wstring AppNameFromArgument(const char* text);

// An executable's file name as --app takes it: not empty, no directory, at
// most MAX_PATH units.
bool IsValidAppName(std::wstring_view name);
