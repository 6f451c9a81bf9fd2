"""Recordings as arrays: the samples a `kvt record` file holds, as numpy columns.

The samples come from the file's raw channels (``/raw/basic_stream_data`` and
``/raw/extra_stream_data``: the robot's wire payloads, log time = host receive time), read
natively chunk by chunk through the file's summary and decoded by the library's own decoder
(``orbaltkvt_recording``), with the joint layout the file's ``orbaltkvt`` metadata record
names. :func:`load` reads a time window, some groups, some fields, in float64 or float32;
:func:`windows` reads a recording in consecutive windows. Units are the robot's: rad, rad/s,
Nm, m; times in ns.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Iterable, Iterator, Optional, Union

import numpy as np

from . import clock
from . import recording_format as fmt
from .recording_file import PathLike, RecordingError, RecordingIndex, unreadable
from .recording_format import COUNTERS, METADATA, RAW_BASIC, RAW_EXTRA  # noqa: F401 - as before

@dataclass
class Stream:
    """One stream's samples, a row each, in the order the host received them."""

    receive_time_ns: np.ndarray
    """int64 (N,): host receive time, ns since the Unix epoch."""
    robot_time_ns: np.ndarray
    """int64 (N,): the robot's timestamp in ns (for extra samples: that of the basic sample
    received before)."""
    timestamp: np.ndarray
    """int64 (N, 2): the same timestamp as the robot's (seconds, nanoseconds)."""
    valid: np.ndarray
    """bool (N,): the sample decoded and fit the recorded joint layout."""
    groups: dict[Any, dict[str, np.ndarray]]
    """{JointGroup: {field: float64 (N, width)}}: per group of the recorded layout its per-joint
    fields (DoF wide; views into :attr:`joints`, NaN where a sample lacks those joints), and for
    every group a sample listed its Cartesian fields (poses 7 wide: x, y, z [m], qw, qx, qy, qz;
    twists and wrenches 6), NaN where a sample lacks the group."""
    joints: dict[str, np.ndarray]
    """{field: float64 (N, J)}: every joint each sample carries, in the robot's full-DoF order
    whatever the layout; J is the most joints of any sample, NaN beyond a sample's own."""
    status: dict[str, np.ndarray] = field(default_factory=dict)
    """Basic stream only: estop_released, enabling_device_on bool (N,); digital_inputs,
    digital_outputs bool (N, 20); safety_inputs bool (N, 8); system_state, safety_board_state
    int32 (N,)."""
    robot_time_host_ns: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    """int64 (N,): the robot's timestamp on the host's clock, ns since the Unix epoch (the
    recording's clock estimate applied to robot_time_ns, see orbaltkvt_tools.clock)."""

    def __len__(self) -> int:
        return len(self.receive_time_ns)


@dataclass
class Recording:
    """A recording's robot and every sample of its two streams."""

    files: list[str]
    """The files read, in order."""
    serial_number: str
    layout: dict[Any, tuple[int, int]]
    """{JointGroup: (start_id, dof)}: the joint layout the recorder read the robot with."""
    service_version: str
    library_version: str
    counters: dict[str, int]
    """The recorder's counters at the end of the last file (basic_received, basic_delivered,
    basic_dropped, basic_gaps, basic_malformed, the same for extra_, samples_written), counted
    from the start of the recording; empty when the file lacks them."""
    basic: Stream
    """The measured states: RobotStates fields per group, status columns."""
    extra: Stream
    """The desired actions: RobotActions fields (q_d, dq_d, tau_d, tcp_pose_d, ...) per group."""
    clock: Any = None
    """The robot's clock against the host's (orbaltkvt_tools.clock.ClockEstimate): stored in
    the files by the recorder, else estimated from the basic stream when loaded."""

    def to_arrow(self) -> dict:
        """{"basic": pyarrow.Table, "extra": pyarrow.Table}, columns named as kvt export's
        CSV files name them (see orbaltkvt_tools.arrow). Needs pyarrow."""
        from . import arrow

        return arrow.to_arrow(self)

    def to_pandas(self) -> dict:
        """{"basic": pandas.DataFrame, "extra": pandas.DataFrame} of :meth:`to_arrow`."""
        from . import arrow

        return arrow.to_pandas(self)

    def to_polars(self) -> dict:
        """{"basic": polars.DataFrame, "extra": polars.DataFrame} of :meth:`to_arrow`."""
        from . import arrow

        return arrow.to_polars(self)


def load(path: Union[PathLike, Iterable[PathLike]], start: Optional[float] = None,
         end: Optional[float] = None, groups: Optional[Iterable[Any]] = None,
         fields: Optional[Iterable[str]] = None, streams: Iterable[str] = ("basic", "extra"),
         dtype: Any = np.float64) -> Recording:
    """The samples of a recording written by ``kvt record`` (or ``kvt serve --record``), or of
    the files of one split recording given in order, as numpy arrays.

    By default every sample and every field. ``start``/``end`` [s, from the recording's first
    sample] keep the rows received in [start, end), and only the file's chunks that overlap
    that window are read. ``groups`` (``JointGroup`` or names) and ``fields`` (names, e.g.
    ``("q", "tcp_pose")``, for both streams; status fields too) make only those columns; with
    ``groups``, :attr:`Stream.joints` is empty and each group's per-joint fields are arrays of
    their own, and with ``fields`` alone it holds only those fields. ``streams`` names the
    streams to read ("basic", "extra"); another one is empty. ``dtype`` float64 or float32:
    float32 holds the wire's exact values in half the memory. Every array is made once at its
    final size, so memory is about the arrays'; :func:`windows` reads a file in bounded pieces.

    Raises :class:`RecordingError` for a file that cannot be read, is cut short (``kvt recover``
    makes it whole) or is not such a recording; ValueError for an unknown group, field, stream
    or dtype.
    """
    paths = _paths(path)
    looks = [RecordingIndex(p) for p in paths]
    return _load(paths, looks, looks[0].start_ns, start, end, groups, fields, streams, dtype)


def windows(path: Union[PathLike, Iterable[PathLike]], seconds: float = 10.0,
            start: Optional[float] = None, end: Optional[float] = None,
            **options: Any) -> Iterator[Recording]:
    """Consecutive :class:`Recording` s of ``seconds`` each ([start + k * seconds, start +
    (k + 1) * seconds), from the recording's first sample), from ``start`` (default 0) to
    ``end`` (default: the last sample); ``options`` as :func:`load` takes them (groups,
    fields, streams, dtype). Only one window is in memory at a time (unless the caller keeps
    them), so a file larger than memory is processed in a loop."""
    if not seconds > 0:
        raise ValueError(f"seconds must be positive, not {seconds!r}")
    paths = _paths(path)
    looks = [RecordingIndex(p) for p in paths]
    first = looks[0].start_ns
    last = (max(look.end_ns for look in looks) - first) / 1e9
    begin = 0.0 if start is None else float(start)
    k = 0
    while True:
        lo = begin + k * seconds
        if (end is not None and lo >= end) or (end is None and lo > last):
            return
        hi = lo + seconds if end is None else min(lo + seconds, end)
        yield _load(paths, looks, first, lo, hi, **options)
        k += 1


_ALL_TIME = (-(2 ** 63), 2 ** 63 - 1)


def _paths(path) -> list[str]:
    paths = [os.fspath(path)] if isinstance(path, (str, os.PathLike)) else [
        os.fspath(p) for p in path]
    if not paths:
        raise RecordingError("no recording given")
    return paths


def _load(paths: list[str], looks: list, first_ns: int, start: Optional[float],
          end: Optional[float], groups: Optional[Iterable[Any]] = None,
          fields: Optional[Iterable[str]] = None, streams: Iterable[str] = ("basic", "extra"),
          dtype: Any = np.float64) -> Recording:
    import orbaltkvt_recording

    first = looks[0].metadata
    names = looks[0].layout()
    robot = (first.get(fmt.SERIAL_NUMBER), first.get(fmt.LAYOUT))
    for p, look in zip(paths[1:], looks[1:]):
        if (look.metadata.get(fmt.SERIAL_NUMBER), look.metadata.get(fmt.LAYOUT)) != robot:
            raise RecordingError(f"{p}: another robot or layout than {paths[0]}; load the files "
                                 "of one recording")
    layout = _layout(paths[0], names)
    selection = _Selection(layout, groups, fields, streams, dtype)
    start_ns, end_ns = (_ALL_TIME[k] if t is None else
                        min(max(first_ns + int(round(t * 1e9)), _ALL_TIME[0]), _ALL_TIME[1])
                        for k, t in enumerate((start, end)))
    try:
        read = orbaltkvt_recording.read(
            paths, [(int(g), s, d) for g, (s, d) in layout.items()], start_ns, end_ns,
            basic="basic" in selection.streams, extra="extra" in selection.streams,
            groups=selection.groups, fields=selection.fields,
            float32=selection.dtype == np.float32)
    except orbaltkvt_recording.FormatError as exc:
        raise unreadable(", ".join(paths), f"FormatError: {exc}") from None
    except OSError as exc:
        raise RecordingError(f"cannot read {', '.join(paths)}: {exc.strerror or exc}") from None
    basic = _Columns(read.get("basic"), selection)
    extra = _Columns(read.get("extra"), selection)
    counters = next((look.counters for look in reversed(looks) if look.counters), {})
    return clock.attach(Recording(
        paths, first.get(fmt.SERIAL_NUMBER, ""), layout, first.get(fmt.SERVICE_VERSION, ""),
        first.get(fmt.LIBRARY_VERSION, ""), counters, basic.stream(layout), extra.stream(layout)),
        [look.clock for look in looks])


def _layout(path: str, names: dict[str, tuple[int, int]]) -> dict:
    from orbaltkvt import JointGroup

    try:
        return {JointGroup.__members__[name]: slice_ for name, slice_ in names.items()}
    except KeyError as exc:
        raise RecordingError(f"{path}: bad joint layout in the metadata ({exc!r})") from None


class _Selection:
    """What :func:`load` was asked to make, checked against the record field tables."""

    def __init__(self, layout: dict, groups, fields, streams, dtype):
        from orbaltkvt import JointGroup
        import orbaltkvt_stream

        self.streams = (streams,) if isinstance(streams, str) else tuple(streams)
        for name in self.streams:
            if name not in fmt.STREAMS:
                raise ValueError(f"unknown stream {name!r}; streams are {', '.join(fmt.STREAMS)}")
        self.dtype = np.dtype(dtype).type
        if self.dtype not in (np.float64, np.float32):
            raise ValueError(f"dtype must be float64 or float32, not {np.dtype(dtype)}")
        self.groups: Optional[set[int]] = None
        self.wanted = None
        if groups is not None:
            if isinstance(groups, (str, JointGroup)):
                groups = [groups]
            wanted = []
            for g in groups:
                try:
                    wanted.append(g if isinstance(g, JointGroup) else JointGroup.__members__[g])
                except (KeyError, TypeError):
                    raise ValueError(f"unknown joint group {g!r}") from None
            self.wanted = set(wanted)
            self.groups = {int(g) for g in wanted}
        self.fields: Optional[set[str]] = None
        if fields is not None:
            fields = [fields] if isinstance(fields, str) else list(fields)
            known = {f.name for table in orbaltkvt_stream.FIELDS.values() for f in table}
            for name in fields:
                if name not in known:
                    raise ValueError(f"unknown field {name!r}")
            self.fields = set(fields)
        self.layout = {g: s for g, s in layout.items() if self.wanted is None or g in self.wanted}


class _Columns:
    """One stream's columns as the native reader made them (each array once, at its final
    size); :meth:`stream` adds the per-group joint views of every joint."""

    def __init__(self, read: Optional[dict], selection: _Selection):
        self.read = read
        self.selection = selection

    def stream(self, layout: dict) -> Stream:
        from orbaltkvt import JointGroup

        a = self.read
        layout = self.selection.layout
        if a is None or len(a["receive_time_ns"]) == 0:  # not asked for, or no sample at all
            return Stream(np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros((0, 2), np.int64),
                          np.zeros(0, bool), {g: {} for g in layout}, {}, {})
        rows = len(a["receive_time_ns"])
        joints = a["joints"]
        listed = {JointGroup(k): v for k, v in a["groups"].items()}
        groups: dict = {}
        for group in sorted(set(listed) | set(layout), key=int):
            fields: dict[str, np.ndarray] = {}
            if group in layout and self.selection.groups is None:
                start, dof = layout[group]
                for name, values in joints.items():
                    if start + dof <= values.shape[1]:
                        fields[name] = values[:, start:start + dof]
                    else:  # the recording never held all of this group's joints
                        fields[name] = np.full((rows, dof), np.nan, values.dtype)
                        fields[name][:, :max(values.shape[1] - start, 0)] = values[:, start:]
            fields.update(listed.get(group, {}))
            groups[group] = fields
        return Stream(a["receive_time_ns"], a["robot_time_ns"], a["timestamp"], a["valid"],
                      groups, joints, a["status"])
