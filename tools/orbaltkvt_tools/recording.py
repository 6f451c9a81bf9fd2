"""Recordings as arrays: every sample a `kvt record` file holds, as numpy columns.

The samples come from the file's raw channels (``/raw/basic_stream_data`` and
``/raw/extra_stream_data``: the robot's wire payloads, log time = host receive time), decoded by
``orbaltkvt_stream.Decoder``, the library's own decoder, with the joint layout the file's
``orbaltkvt`` metadata record names. Units are the robot's: rad, rad/s, Nm, m; times in ns.
"""
from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any, Iterable, Union

import numpy as np

RAW_BASIC = "/raw/basic_stream_data"
RAW_EXTRA = "/raw/extra_stream_data"
METADATA = "orbaltkvt"
COUNTERS = "orbaltkvt.counters"

# Payloads decoded per call: large enough to amortise the call, small enough that the
# decoder's per-sample records never hold much memory.
_CHUNK = 8192

PathLike = Union[str, "os.PathLike[str]"]


class RecordingError(ValueError):
    """A file that is not a whole recording of a robot; the text is one line naming the file."""


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
    decoder = None
    first: dict[str, str] = {}
    counters: dict[str, int] = {}
    parts: tuple[list, list] = ([], [])
    for p in paths:
        meta, file_counters = _read(p, lambda m: None)
        if decoder is None:
            first = meta
            decoder = orbaltkvt_stream.Decoder(_layout(p, meta))
        elif (meta.get("serial_number"), meta.get("layout")) != (first.get("serial_number"),
                                                                 first.get("layout")):
            raise RecordingError(f"{p}: another robot or layout than {paths[0]}; load the files "
                                 "of one recording")
        _read(p, lambda batch: (parts[0].append(_columns(batch.basic, True)),
                                parts[1].append(_columns(batch.extra, False))), decoder)
        counters = file_counters or counters
    layout = decoder.layout
    return Recording(paths, first.get("serial_number", ""), layout,
                     first.get("service_version", ""), first.get("library_version", ""),
                     counters, _stream(parts[0], layout), _stream(parts[1], layout))


def _read(path: str, take, decoder=None) -> tuple[dict[str, str], dict[str, int]]:
    """The file's metadata and counters; with a decoder, ``take`` gets each decoded chunk."""
    from mcap.reader import make_reader

    try:
        f = open(path, "rb")
    except OSError as exc:
        raise RecordingError(f"cannot read {path}: {exc.strerror or exc}") from None
    with f:
        try:
            reader = make_reader(f)
            meta, counters = None, {}
            for record in reader.iter_metadata():
                if record.name == METADATA:
                    meta = dict(record.metadata)
                elif record.name == COUNTERS:
                    counters = {k: int(v) for k, v in record.metadata.items()}
            if meta is None:
                raise RecordingError(f'{path} is not a recording of a robot (it has no "{METADATA}"'
                                     " metadata record)")
            topics = {c.topic for c in reader.get_summary().channels.values()}
            if RAW_BASIC not in topics:
                raise RecordingError(f"{path} holds no {RAW_BASIC} channel: the samples cannot "
                                     "be decoded without the robot's payloads")
            if decoder is None:
                return meta, counters
            chunk: tuple[list, list, list, list] = ([], [], [], [])
            for _schema, channel, message in reader.iter_messages(
                    topics=[RAW_BASIC, RAW_EXTRA], log_time_order=True):
                k = 0 if channel.topic == RAW_BASIC else 2
                chunk[k].append(message.data)
                chunk[k + 1].append(message.log_time)
                if len(chunk[0]) + len(chunk[2]) >= _CHUNK:
                    take(decoder.decode(*chunk, every_joint=True))
                    chunk = ([], [], [], [])
            take(decoder.decode(*chunk, every_joint=True))
            return meta, counters
        except RecordingError:
            raise
        except Exception as exc:  # noqa: BLE001 - whatever the reader makes of a bad file
            text = f"{type(exc).__name__}: {exc}".replace("\n", " ")
            raise RecordingError(f"{path} is not a readable MCAP file ({text}); a recording "
                                 "cut short can be made whole with 'kvt recover'") from None


def _layout(path: str, meta: dict[str, str]) -> dict:
    from orbaltkvt import JointGroup

    try:
        return {JointGroup.__members__[name]: (int(g["start_id"]), int(g["dof"]))
                for name, g in json.loads(meta.get("layout", "")).items()}
    except (ValueError, KeyError, TypeError, AttributeError) as exc:
        raise RecordingError(f"{path}: bad joint layout in the metadata ({exc!r})") from None


def _join(arrays: list[np.ndarray]) -> np.ndarray:
    """Rows of every part; 2-D float parts of different widths are widened with NaN."""
    if len(arrays) == 1:
        return arrays[0]
    if arrays[0].ndim == 2 and len({a.shape[1] for a in arrays}) > 1:
        width = max(a.shape[1] for a in arrays)
        out = np.full((sum(len(a) for a in arrays), width), np.nan)
        row = 0
        for a in arrays:
            out[row:row + len(a), :a.shape[1]] = a
            row += len(a)
        return out
    return np.concatenate(arrays)


def _columns(part, basic: bool) -> dict:
    """What a chunk of one stream keeps: times, every joint, status and the Cartesian fields per
    group (the per-group joint columns are taken from every joint later)."""
    cols: dict = {name: getattr(part, name)
                  for name in ("receive_time_ns", "robot_time_ns", "timestamp", "valid")}
    cols.update({("joints", name): values for name, values in part.joints.items()})
    if basic:
        cols.update({("status", name): values for name, values in part.status.items()})
    for group, fields in part.groups.items():
        cols.update({("group", group, name): values for name, values in fields.items()
                     if name not in part.joints})
    cols["rows"] = len(part)
    return cols


def _stream(chunks: list[dict], layout: dict) -> Stream:
    """One stream's chunks joined field by field, each field's chunks released once joined, so
    that the peak stays near the arrays' own size."""
    keys = list(dict.fromkeys(k for c in chunks for k in c if k != "rows"))
    joined: dict = {}
    for key in keys:
        template = next(c[key] for c in chunks if key in c)
        # A chunk lacks a key only for a group its samples did not list: NaN rows.
        parts = [c.pop(key) if key in c else np.full((c["rows"], *template.shape[1:]), np.nan)
                 for c in chunks]
        del template
        joined[key] = _join(parts)
    joints = {k[1]: v for k, v in joined.items() if isinstance(k, tuple) and k[0] == "joints"}
    status = {k[1]: v for k, v in joined.items() if isinstance(k, tuple) and k[0] == "status"}
    groups: dict = {}
    listed = {k[1] for k in joined if isinstance(k, tuple) and k[0] == "group"}
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
        fields.update({k[2]: v for k, v in joined.items()
                       if isinstance(k, tuple) and k[0] == "group" and k[1] == group})
        groups[group] = fields
    return Stream(joined["receive_time_ns"], joined["robot_time_ns"], joined["timestamp"],
                  joined["valid"], groups, joints, status)
