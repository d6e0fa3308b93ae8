// Process trees for the process-loopback device.
#pragma once

#include "platform/win32.h"

// Whether pid is root or one of its descendants, following parent links as
// they stand now. A pid whose process has gone matches only itself.
bool IsInProcessTree(DWORD pid, DWORD root);
