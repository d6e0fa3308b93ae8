// Include and exclude modes: one stream relayed to standard output.
#pragma once

#include "capture/pcm_format.h"
#include "platform/win32.h"

// Opens the stream on pid (the pid's tree, or everything but it when
// exclude) in format, prints READY and copies every packet to stdout until the reader
// goes away (returns 0), a write fails otherwise ("ERROR output" line,
// returns 1) or the stream cannot be read (GetNextPacketSize or GetBuffer
// fails: "ERROR buffer" line, returns 1).
int RelaySingleStream(DWORD pid, bool exclude, const PcmFormat& format);
