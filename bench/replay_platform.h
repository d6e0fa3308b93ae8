// The Windows calls the tool makes, implemented for replaying recordings as
// fast as the CPU allows: a virtual clock that Sleep moves, a fixed process
// list, every player's session active, activation completed on the caller's
// thread, and packets handed out in place from the recordings' memory.
// Single-threaded: nothing here takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace replay {

// Thrown by Sleep and timed waits once the virtual clock would pass the horizon.
struct EndOfReplay {};

// A process in the snapshot, exe its name.
void AddProcess(DWORD pid, DWORD parent, const WCHAR* exe);

// An audible process whose loopback stream delivers `frames` stereo frames
// from `samples`, 480 every 10 ms of the virtual clock from its Start on.
// The memory must outlive the replay.
void AddPlayer(DWORD pid, const int16_t* samples, size_t frames);

void SetHorizon(uint64_t milliseconds);

}  // namespace replay

namespace replay::detail {

extern uint64_t now_ns;  // the virtual clock; only Sleep and timed waits move it

}  // namespace replay::detail
