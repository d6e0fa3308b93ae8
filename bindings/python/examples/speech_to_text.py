"""Hands what a process plays to a speech-to-text model one second at a time,
at 16 kHz mono in float, as such models take it; here the "model" prints
each second's loudness.

    python3 speech_to_text.py PID [SECONDS]
"""

import array
import math
import sys

import pcmtap

RATE = 16000


def transcribe(second: "array.array[float]") -> None:
    rms = math.sqrt(sum(s * s for s in second) / len(second))
    print("one second, rms %.4f" % rms)


pid = int(sys.argv[1])
seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
with pcmtap.capture(include=pid, rate=RATE, channels=1, format="f32le") as tap:
    for _ in range(seconds):
        second = array.array("f", tap.read(RATE))
        if sys.byteorder == "big":
            second.byteswap()
        if len(second) < RATE:
            break  # the capture ended
        transcribe(second)
