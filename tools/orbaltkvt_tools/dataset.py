"""Recordings of a fleet as one Parquet dataset, partitioned hive-style by robot and day:

    ROOT/robot=<serial number>/date=<YYYY-MM-DD>/<name>.basic.parquet
                                                 <name>.extra.parquet

so that DuckDB (``read_parquet('ROOT/**/*.basic.parquet', hive_partitioning = true,
union_by_name = true)``), Polars (``scan_parquet``) or Spark read every recording as one
table with ``robot`` and ``date`` columns, and a query on a robot or a day opens only its
folders. The date is the UTC day of the recording's first sample (host time).

A recording's files are named after its first file and its first sample's host time, so the
same recording added again lands on the same names: it replaces them (each renamed into place
once complete), and no row is ever there twice. Robots with other joint counts have other
columns; readers fill the missing ones with null (``union_by_name``).
"""
from __future__ import annotations

import datetime
import os
import re
from typing import TYPE_CHECKING
from urllib.parse import quote

from . import arrow
from .recording_file import RecordingError

if TYPE_CHECKING:
    from .recording import Recording

ROBOT = "robot"
DATE = "date"


def partition(root: str, serial_number: str, first_ns: int) -> str:
    """The folder of a robot's recordings of the UTC day of ``first_ns`` (ns since the epoch)."""
    day = datetime.datetime.fromtimestamp(first_ns // 1_000_000_000, datetime.timezone.utc)
    # A serial number is a folder name: nothing in it may act as a separator or a wildcard.
    return os.path.join(root, f"{ROBOT}={quote(serial_number, safe='-_.')}",
                        f"{DATE}={day:%Y-%m-%d}")


def name(recording: "Recording") -> str:
    """The recording's name in the dataset: its first file's name and first sample's time,
    e.g. ``run-20261209T134258.724Z``."""
    stem = os.path.splitext(os.path.basename(recording.files[0]))[0]
    first = int(recording.basic.receive_time_ns[0])
    at = datetime.datetime.fromtimestamp(first // 1_000_000_000, datetime.timezone.utc)
    millis = first // 1_000_000 % 1000
    return f"{re.sub(r'[^A-Za-z0-9_.-]', '_', stem)}-{at:%Y%m%dT%H%M%S}.{millis:03d}Z"


def add(root: str, recording: "Recording") -> list[tuple[str, int]]:
    """Adds ``recording`` to the dataset under ``root`` (made if missing), replacing the files
    of an earlier addition of it. Returns (path, rows) of every file written. Raises
    RecordingError for a recording without samples and OSError."""
    if len(recording.basic) == 0:
        raise RecordingError(f"{recording.files[0]} holds no samples to add to a dataset")
    folder = partition(root, recording.serial_number, int(recording.basic.receive_time_ns[0]))
    os.makedirs(folder, exist_ok=True)
    called = name(recording)
    written = []
    for stream, table in arrow.to_arrow(recording).items():
        path = arrow.stream_file(folder, stream, called)
        arrow.write_parquet(table, path, atomic=True)
        written.append((path, table.num_rows))
    return written
