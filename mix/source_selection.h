// Which process trees mix mode captures.
#pragma once

#include <set>

#include "platform/win32.h"

// The audible processes minus those that are, or descend from, the target,
// the tool itself or a voice-chat program, reduced to the topmost of each
// line of ancestry (within 32 generations).
std::set<DWORD> SelectMixSources(DWORD target_pid);
