// App mode's selection: the process trees whose root runs one executable.
#pragma once

#include <set>
#include <string>

#include "platform/win32.h"

// Every process running app_name, taken afresh from the process table, but
// pcmtap, its tree, the parent that started it and that parent's ancestors
// (a stream on one of those would carry the parent's sound), reduced to the
// topmost of each line of ancestry: a match below another match is inside
// that one's stream already. Whether the processes play yet does not count:
// a stream opened early takes the tree's first sound.
std::set<DWORD> SelectAppSources(const std::wstring& app_name);
