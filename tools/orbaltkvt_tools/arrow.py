"""A recording as Arrow tables, one per stream, and as Parquet files.

Every column is named as ``kvt export`` names it in its CSV files, so a query written against
one reads the other: ``joint<k>.<field>`` for the robot's k-th joint (every joint the robot
sent, in its full-DoF order), ``<GROUP>.<field>.<axis>`` for a group's Cartesian fields (the
CSV's ``<GROUP>.cartesian.csv`` columns under the group's name), the status columns of
``status.csv`` on the basic stream. Times are ``timestamp[ns, UTC]``: ``host_time`` (receive
time), ``robot_time`` (the robot's own clock) and ``robot_time_host`` (the robot's time on the
host's clock, see :mod:`orbaltkvt_tools.clock`). A value a sample did not carry is null (NaN in
the numpy arrays of :func:`~orbaltkvt_tools.recording.load`, empty in the CSV files).

The time, status and valid columns share the numpy arrays' memory; a per-joint column is one
column of an (N, J) array, so it is copied once (Arrow has no strided columns).

The robot, its layout, versions, counters and clock estimate travel in the schema's metadata
(:data:`METADATA_KEYS`), which Parquet keeps as the file's key-value metadata.

Needs the ``analysis`` extra: pyarrow (pandas and polars for the DataFrames).
"""
from __future__ import annotations

import json
import os
from typing import TYPE_CHECKING, Any, Iterator, Optional

import numpy as np

from . import recording_format as fmt

if TYPE_CHECKING:
    import pyarrow as pa

    from .recording import Recording, Stream

STREAMS = ("basic", "extra")

POSE = ("x", "y", "z", "qw", "qx", "qy", "qz")
TWIST = ("vx", "vy", "vz", "wx", "wy", "wz")
WRENCH = ("fx", "fy", "fz", "tx", "ty", "tz")

# Key-value metadata of every table and Parquet file; JSON where the value is not text.
META_STREAM = "orbaltkvt.stream"
META_SERIAL_NUMBER = "orbaltkvt.serial_number"
META_LAYOUT = "orbaltkvt.layout"
META_SERVICE_VERSION = "orbaltkvt.service_version"
META_LIBRARY_VERSION = "orbaltkvt.library_version"
META_COUNTERS = "orbaltkvt.counters"
META_CLOCK = "orbaltkvt.clock"
META_FILES = "orbaltkvt.files"
METADATA_KEYS = (META_STREAM, META_SERIAL_NUMBER, META_LAYOUT, META_SERVICE_VERSION,
                 META_LIBRARY_VERSION, META_COUNTERS, META_CLOCK, META_FILES)

# Rows per Parquet row group come from this many bytes of uncompressed column data, so that a
# reader (and the writer) holds about this much per row group whatever the robot's width.
ROW_GROUP_BYTES = 64 << 20
MIN_ROW_GROUP_ROWS = 1024
ZSTD_LEVEL = 3


def _pa():
    try:
        import pyarrow
    except ImportError:
        raise ImportError("Arrow and Parquet need pyarrow: pip install "
                          "'orbaltkvt-tools[analysis]'") from None
    return pyarrow


def axes(name: str, width: int) -> tuple[str, ...]:
    """The axis names of a Cartesian field ``name`` that is ``width`` wide."""
    if width == 7:
        return POSE
    return TWIST if name.removesuffix("_d") == "tcp_twist" else WRENCH


def _timestamps(values: np.ndarray) -> "pa.Array":
    pa = _pa()
    return pa.array(np.ascontiguousarray(values, dtype=np.int64)).view(pa.timestamp("ns", "UTC"))


def _floats(values: np.ndarray) -> "pa.Array":
    """A contiguous float64 column; NaN (a value the sample did not carry) as null."""
    pa = _pa()
    missing = np.isnan(values)
    return pa.array(values, mask=missing if missing.any() else None)


def _per_column(values: np.ndarray) -> np.ndarray:
    """(N, W) as (W, N): one copy, after which every column is contiguous."""
    return np.ascontiguousarray(values.T)


def columns(stream: "Stream") -> Iterator[tuple[str, "pa.Array"]]:
    """(name, Arrow array) of every column of ``stream``'s table, in the table's order."""
    import orbaltkvt_stream

    pa = _pa()
    yield "host_time", _timestamps(stream.receive_time_ns)
    yield "robot_time", _timestamps(stream.robot_time_ns)
    yield "robot_time_host", _timestamps(stream.robot_time_host_ns)
    yield "valid", pa.array(stream.valid)
    joints = {name: _per_column(values) for name, values in stream.joints.items()}
    width = max((v.shape[0] for v in joints.values()), default=0)
    for k in range(width):
        for name, values in joints.items():
            yield f"joint{k + 1}.{name}", _floats(values[k])
    for group, fields in stream.groups.items():
        for name, values in fields.items():
            if name in stream.joints:
                continue
            for axis, column in zip(axes(name, values.shape[1]), _per_column(values)):
                yield f"{group.name}.{name}.{axis}", _floats(column)
    for name, values in stream.status.items():
        if values.ndim == 2:
            for i, column in enumerate(_per_column(values)):
                yield f"{name}.{i}", pa.array(column)
            continue
        yield name, pa.array(values)
        namer = getattr(orbaltkvt_stream, f"{name}_name", None)
        if namer is not None:
            codes, index = np.unique(values, return_inverse=True)
            yield f"{name}_name", pa.DictionaryArray.from_arrays(
                pa.array(index.astype(np.int32)), pa.array([namer(int(c)) for c in codes]))


def metadata(recording: "Recording", stream: str) -> dict[str, str]:
    """The key-value metadata of ``stream``'s table (:data:`METADATA_KEYS`)."""
    clock = recording.clock
    return {
        META_STREAM: stream,
        META_SERIAL_NUMBER: recording.serial_number,
        META_LAYOUT: fmt.encode_layout({g.name: s for g, s in recording.layout.items()}),
        META_SERVICE_VERSION: recording.service_version,
        META_LIBRARY_VERSION: recording.library_version,
        META_COUNTERS: json.dumps(recording.counters),
        META_CLOCK: json.dumps(clock.record() if clock is not None else {}),
        META_FILES: json.dumps([os.path.basename(f) for f in recording.files]),
    }


def table(recording: "Recording", stream: str) -> "pa.Table":
    """``stream`` ("basic" or "extra") of ``recording`` as one table, a row per sample."""
    pa = _pa()
    names, arrays = [], []
    for name, array in columns(getattr(recording, stream)):
        names.append(name)
        arrays.append(array)
    return pa.Table.from_arrays(arrays, names=names, metadata=metadata(recording, stream))


def to_arrow(recording: "Recording") -> dict[str, "pa.Table"]:
    return {stream: table(recording, stream) for stream in STREAMS}


def to_pandas(recording: "Recording") -> dict[str, Any]:
    # Timestamps stay nanoseconds (pandas' own unit); nulls become NaN as in the arrays.
    return {stream: t.to_pandas() for stream, t in to_arrow(recording).items()}


def to_polars(recording: "Recording") -> dict[str, Any]:
    try:
        import polars
    except ImportError:
        raise ImportError("DataFrames need polars: pip install "
                          "'orbaltkvt-tools[analysis]'") from None
    return {stream: polars.from_arrow(t) for stream, t in to_arrow(recording).items()}


def row_group_rows(t: "pa.Table") -> int:
    """Rows per row group for ``t``: about :data:`ROW_GROUP_BYTES` of column data each."""
    row = max(t.nbytes // max(t.num_rows, 1), 1)
    return max(MIN_ROW_GROUP_ROWS, ROW_GROUP_BYTES // row)


def write_parquet(t: "pa.Table", path: str, *, atomic: bool = False) -> int:
    """Writes ``t`` (with its metadata) to ``path`` as zstd Parquet in row groups of
    :func:`row_group_rows`; with ``atomic`` through a temporary file beside it, renamed over
    ``path`` once complete, so that readers see the old file or the new one, never a part.
    Returns the file's size in bytes. Raises OSError."""
    import pyarrow.parquet as pq

    # Evenly spaced times delta-encode to almost nothing. Floats stay whole: a robot repeats
    # a value over several samples, and zstd finds whole repeated values (splitting them into
    # their bytes, or a dictionary, made the files two to three times larger).
    encodings = {f.name: "DELTA_BINARY_PACKED" for f in t.schema
                 if _pa().types.is_timestamp(f.type)}
    # Hidden, and not named *.parquet: no dataset reader takes it for a part of the dataset.
    folder, base = os.path.split(path)
    target = os.path.join(folder, f".{base}.{os.getpid()}.tmp") if atomic else path
    try:
        pq.write_table(t, target, row_group_size=row_group_rows(t), compression="zstd",
                       compression_level=ZSTD_LEVEL, use_dictionary=False,
                       column_encoding=encodings)
        if atomic:
            os.replace(target, path)
    except BaseException:
        if atomic and os.path.exists(target):
            os.unlink(target)
        raise
    return os.path.getsize(path)


def read_metadata(path: str) -> dict[str, str]:
    """The :data:`METADATA_KEYS` of a Parquet file written here."""
    import pyarrow.parquet as pq

    meta = pq.read_schema(path).metadata or {}
    return {k.decode(): v.decode() for k, v in meta.items() if k.decode() in METADATA_KEYS}


def stream_file(directory: str, stream: str, name: Optional[str] = None) -> str:
    """The Parquet file of ``stream`` in ``directory``: ``<stream>.parquet``, or
    ``<name>.<stream>.parquet`` for a recording called ``name``."""
    return os.path.join(directory, f"{name}.{stream}.parquet" if name else f"{stream}.parquet")
