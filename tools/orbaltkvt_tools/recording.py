"""Recordings as arrays: every sample a `kvt record` file holds, as numpy columns.

The samples come from the file's raw channels (``/raw/basic_stream_data`` and
``/raw/extra_stream_data``: the robot's wire payloads, log time = host receive time), decoded by
``orbaltkvt_stream.Decoder``, the library's own decoder, with the joint layout the file's
``orbaltkvt`` metadata record names. Units are the robot's: rad, rad/s, Nm, m; times in ns.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Iterable, Union

import numpy as np

from . import recording_format as fmt
from .recording_file import PathLike, RecordingError, RecordingFile
from .recording_format import COUNTERS, METADATA, RAW_BASIC, RAW_EXTRA  # noqa: F401 - as before

# Payloads decoded per call: large enough to amortise the call, small enough that the
# decoder's per-sample records never hold much memory.
_CHUNK = 8192


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


def load(path: Union[PathLike, Iterable[PathLike]]) -> Recording:
    """Every sample of a recording written by ``kvt record`` (or ``kvt serve --record``), or of
    the files of one split recording given in order, as numpy arrays.

    Raises :class:`RecordingError` for a file that cannot be read, is cut short (``kvt recover``
    makes it whole) or is not such a recording.
    """
    import orbaltkvt_stream

    paths = [os.fspath(path)] if isinstance(path, (str, os.PathLike)) else [
        os.fspath(p) for p in path]
    if not paths:
        raise RecordingError("no recording given")
    # A first look at every file: the robot, and how many samples to make room for.
    looks = []
    for p in paths:
        with RecordingFile(p) as f:
            looks.append((f.metadata, f.counters, f.counts))
            if len(looks) == 1:
                names = f.layout()
    first = looks[0][0]
    robot = (first.get(fmt.SERIAL_NUMBER), first.get(fmt.LAYOUT))
    for p, (meta, _counters, _counts) in zip(paths[1:], looks[1:]):
        if (meta.get(fmt.SERIAL_NUMBER), meta.get(fmt.LAYOUT)) != robot:
            raise RecordingError(f"{p}: another robot or layout than {paths[0]}; load the files "
                                 "of one recording")
    decoder = orbaltkvt_stream.Decoder(_layout(paths[0], names))
    basic = _Columns(sum(c.get(RAW_BASIC, 0) for _m, _c, c in looks), True)
    extra = _Columns(sum(c.get(RAW_EXTRA, 0) for _m, _c, c in looks), False)
    for p in paths:
        with RecordingFile(p) as f:
            for chunk in f.raw_chunks(_CHUNK):
                batch = decoder.decode(*chunk, every_joint=True)
                basic.add(batch.basic)
                extra.add(batch.extra)
    counters = next((c for _m, c, _n in reversed(looks) if c), {})
    layout = decoder.layout
    return Recording(paths, first.get(fmt.SERIAL_NUMBER, ""), layout,
                     first.get(fmt.SERVICE_VERSION, ""), first.get(fmt.LIBRARY_VERSION, ""),
                     counters, basic.stream(layout), extra.stream(layout))


def _layout(path: str, names: dict[str, tuple[int, int]]) -> dict:
    from orbaltkvt import JointGroup

    try:
        return {JointGroup.__members__[name]: slice_ for name, slice_ in names.items()}
    except KeyError as exc:
        raise RecordingError(f"{path}: bad joint layout in the metadata ({exc!r})") from None


class _Columns:
    """One stream's columns, filled chunk by chunk into arrays made once for every row the
    files hold, so that memory stays near the arrays' own size: times, every joint, status and
    the Cartesian fields per group (the per-group joint fields are views of every joint)."""

    def __init__(self, rows: int, basic: bool):
        self.capacity = max(rows, 1)
        self.rows = 0
        self.basic = basic
        self.arrays: dict = {}

    def add(self, part) -> None:
        n = len(part)
        if n == 0:
            return
        if self.rows + n > self.capacity:  # a file without statistics: grow
            self._resize(max(2 * self.capacity, self.rows + n))
        columns = {name: getattr(part, name)
                   for name in ("receive_time_ns", "robot_time_ns", "timestamp", "valid")}
        columns.update({("joints", name): values for name, values in part.joints.items()})
        if self.basic:
            columns.update({("status", name): values for name, values in part.status.items()})
        for group, fields in part.groups.items():
            columns.update({("group", group, name): values for name, values in fields.items()
                            if name not in part.joints})
        rows = slice(self.rows, self.rows + n)
        for key, values in columns.items():
            target = self.arrays.get(key)
            if target is None:
                target = self.arrays[key] = self._empty(self.capacity, values)
            elif values.ndim == 2 and values.shape[1] > target.shape[1]:
                # More joints than any sample before: the earlier rows lack them.
                wider = self._empty(self.capacity, values)
                wider[:, :target.shape[1]] = target
                target = self.arrays[key] = wider
            if values.ndim == 2:
                target[rows, :values.shape[1]] = values
            else:
                target[rows] = values
        self.rows += n

    @staticmethod
    def _empty(rows: int, like: np.ndarray) -> np.ndarray:
        shape = (rows, *like.shape[1:])
        return np.full(shape, np.nan) if like.dtype.kind == "f" else np.zeros(shape, like.dtype)

    def _resize(self, capacity: int) -> None:
        for key, values in self.arrays.items():
            bigger = self._empty(capacity, values)
            bigger[:self.rows] = values[:self.rows]
            self.arrays[key] = bigger
        self.capacity = capacity

    def stream(self, layout: dict) -> Stream:
        if self.rows != self.capacity:
            self._resize(self.rows)
        a = self.arrays
        if not a:  # no sample at all
            return Stream(np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros((0, 2), np.int64),
                          np.zeros(0, bool), {g: {} for g in layout}, {}, {})
        joints = {k[1]: v for k, v in a.items() if isinstance(k, tuple) and k[0] == "joints"}
        status = {k[1]: v for k, v in a.items() if isinstance(k, tuple) and k[0] == "status"}
        listed = {k[1] for k in a if isinstance(k, tuple) and k[0] == "group"}
        groups: dict = {}
        for group in sorted(listed | set(layout), key=int):
            fields: dict[str, np.ndarray] = {}
            if group in layout:
                start, dof = layout[group]
                for name, values in joints.items():
                    if start + dof <= values.shape[1]:
                        fields[name] = values[:, start:start + dof]
                    else:  # the recording never held all of this group's joints
                        fields[name] = np.full((len(values), dof), np.nan)
                        fields[name][:, :max(values.shape[1] - start, 0)] = values[:, start:]
            fields.update({k[2]: v for k, v in a.items()
                           if isinstance(k, tuple) and k[0] == "group" and k[1] == group})
            groups[group] = fields
        return Stream(a["receive_time_ns"], a["robot_time_ns"], a["timestamp"], a["valid"],
                      groups, joints, status)
