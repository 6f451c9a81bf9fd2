"""Times and sizes as people write them, and library records as plain values."""
from __future__ import annotations

import argparse
import re
from typing import Any, Optional

NS = 1_000_000_000


def timestamp_ns(timestamp: tuple[int, int]) -> int:
    """The robot's (seconds, nanoseconds) pair as nanoseconds."""
    return timestamp[0] * NS + timestamp[1]


def format_ns(ns: int) -> str:
    """Nanoseconds as exact decimal seconds, e.g. ``1712345678.000125000``."""
    sign = "-" if ns < 0 else ""
    sec, nsec = divmod(abs(ns), NS)
    return f"{sign}{sec}.{nsec:09d}"


def parse_size(text: str) -> int:
    """Bytes from "100M", "1.5G", "500k", "64Mi" or a plain number (argparse type)."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d*)?)\s*([kKMGT]?)(i?)[bB]?\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 100M, 2G, 500k)")
    number, prefix, binary = match.groups()
    power = " kMGT".index(prefix.upper() if prefix not in ("k", "K") else "k") if prefix else 0
    return int(float(number) * (1024 if binary else 1000) ** power)


def record_dict(record: Any, fields: Optional[list[str]] = None) -> dict[str, Any]:
    """The properties of an orbaltkvt record as a plain dict (optionally only ``fields``)."""
    names = fields if fields is not None else [
        n for n in dir(record) if not n.startswith("_") and not callable(getattr(record, n))]
    return {n: getattr(record, n) for n in names}
