"""Captures one second of what a process plays and says what arrived.

    python3 capture_one_second.py PID
"""

import array
import sys

import pcmtap

pid = int(sys.argv[1])
with pcmtap.capture(include=pid) as tap:
    pcm = tap.read(48000)  # one second: 48000 frames of stereo s16le

samples = array.array("h", pcm)  # s16le: byte-swap these on a big-endian machine
peak = max((abs(s) for s in samples), default=0)
print("%s: %d frames, peak %d" % (tap.ready_info, len(pcm) // pcmtap.FORMAT.bytes_per_frame, peak))
