// A selected process held from the snapshot until its source is gone, so
// that its pid names no other process meanwhile: Windows gives no pid of a
// process to another while a handle to it is open.
#pragma once

#include "platform/win32.h"

// A handle to the process on pid that the snapshot saw: opened for waiting
// and querying, and given up at once (null) when the process on pid now was
// created at another time than snapshot_created (the pid was reused since;
// 0: the snapshot did not know the time, and only the open is checked), has
// ended, or cannot be opened. The caller closes it.
HANDLE HoldProcess(DWORD pid, LONGLONG snapshot_created);

// Whether the held process has ended. A wait that fails says nothing.
bool HasEnded(HANDLE process);
