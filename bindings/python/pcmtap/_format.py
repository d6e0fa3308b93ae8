"""The output format a capture asks pcmtap for, checked before anything starts."""

from typing import List, NamedTuple, Optional, Tuple

_MIN_RATE = 8000
_MAX_RATE = 192000
_BITS = {"s16le": 16, "f32le": 32}


class Format(NamedTuple):
    sample_rate: int
    channels: int
    bits_per_sample: int
    bytes_per_frame: int
    sample_format: str = "s16le"  # 's16le' (signed 16-bit) or 'f32le' (32-bit float)


def _format_of(rate: int, channels: int, sample_format: str) -> Format:
    bits = _BITS[sample_format]
    return Format(rate, channels, bits, channels * bits // 8, sample_format)


FORMAT = _format_of(48000, 2, "s16le")


def format_args(rate: Optional[int], channels: Optional[int],
                sample_format: Optional[str]) -> Tuple[List[str], Format]:
    """The options that ask pcmtap for a format, only those given (so that a
    capture without them runs exactly as before), and the format it delivers."""
    args: List[str] = []
    for name, value in (("rate", rate), ("channels", channels)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
            raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if rate is not None:
        if not _MIN_RATE <= rate <= _MAX_RATE:
            raise ValueError("rate must be between %d and %d frames a second, got %d"
                             % (_MIN_RATE, _MAX_RATE, rate))
        args += ["--rate", str(rate)]
    if channels is not None:
        if channels not in (1, 2):
            raise ValueError("channels must be 1 or 2, got %d" % channels)
        args += ["--channels", str(channels)]
    if sample_format is not None:
        if not isinstance(sample_format, str):
            raise TypeError("format must be a str, not %s" % type(sample_format).__name__)
        if sample_format not in _BITS:
            raise ValueError("format must be 's16le' or 'f32le', got %r" % sample_format)
        args += ["--format", sample_format]
    return args, _format_of(FORMAT.sample_rate if rate is None else rate,
                            FORMAT.channels if channels is None else channels,
                            FORMAT.sample_format if sample_format is None else sample_format)
