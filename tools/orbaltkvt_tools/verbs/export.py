"""kvt export: a recording's samples as CSV files, every joint kept."""
from __future__ import annotations

import csv
import json
import os
import sys

from ..errors import ToolError
from ..formatting import format_ns
from ..recording import RecordingError, Stream, load

NAME = "export"
HELP = "write a recording's samples as CSV files (host time, robot time, values)"
DESCRIPTION = """Reads a recording written by `kvt record` or `kvt serve --record` (or the files of
one split recording, in order) and writes into DIR, one row per sample with host_time and
robot_time in seconds (every nanosecond digit kept): joint_states.csv and
joint_states_desired.csv with every joint the robot sent, joint<k>.<field> for the robot's k-th
joint (q, theta [rad], dq, dtheta [rad/s], tau, tau_dot, tau_ext, tau_interact [Nm],
temperature; q_d, dq_d, tau_d), whatever joint groups the robot had at the time;
<GROUP>.cartesian.csv and <GROUP>.cartesian_desired.csv with each group's poses (x, y, z [m],
qw, qx, qy, qz), twists and wrenches; status.csv (I/O bits as True/False, system and
safety-board state as code and name); recording.json with the robot, its joint layout (which
joints form which group) and the recorder's loss counters. An empty field is a value the sample
did not carry. The samples are decoded from the recording's raw channels."""

POSE = ("x", "y", "z", "qw", "qx", "qy", "qz")
TWIST = ("vx", "vy", "vz", "wx", "wy", "wz")
WRENCH = ("fx", "fy", "fz", "tx", "ty", "tz")
_BLOCK = 4096


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("mcap", metavar="FILE.mcap", nargs="+",
                   help="the recording (several: the files of one split recording, in order)")
    p.add_argument("--csv", required=True, metavar="DIR", help="directory for the CSV files")
    p.set_defaults(run=run)


def _number(value: float) -> str:
    return "" if value != value else repr(value)


def _axes(name: str, width: int) -> tuple[str, ...]:
    if width == 7:
        return POSE
    return TWIST if name.removesuffix("_d") == "tcp_twist" else WRENCH


class _Table:
    """One CSV file: host and robot time, then numeric columns."""

    def __init__(self, directory: str, name: str):
        self.path = os.path.join(directory, name)
        try:
            self.file = open(self.path, "w", newline="")
        except OSError as exc:
            raise ToolError(f"cannot write {self.path}: {exc.strerror}") from None
        self.writer = csv.writer(self.file)
        self.rows = 0

    def write(self, stream: Stream, columns: list[tuple[str, object]]) -> None:
        """columns: (header, array (N,) or list) in order; floats NaN become empty. Rows are
        made a block at a time, so that only a block is ever held as Python values."""
        self.writer.writerow(["host_time", "robot_time", *(h for h, _ in columns)])
        floats = [getattr(values, "dtype", None) is not None and values.dtype.kind == "f"
                  for _h, values in columns]
        for start in range(0, len(stream), _BLOCK):
            block = slice(start, start + _BLOCK)
            lists = [values[block] if isinstance(values, list) else values[block].tolist()
                     for _h, values in columns]
            hosts = stream.receive_time_ns[block].tolist()
            robots = stream.robot_time_ns[block].tolist()
            for i, (host, robot) in enumerate(zip(hosts, robots)):
                row = [format_ns(host), format_ns(robot)]
                row += [_number(c[i]) if f else c[i] for c, f in zip(lists, floats)]
                self.writer.writerow(row)
        self.rows = len(stream)
        self.file.close()


def _joint_columns(stream: Stream) -> list[tuple[str, object]]:
    width = max((v.shape[1] for v in stream.joints.values()), default=0)
    return [(f"joint{k + 1}.{name}", values[:, k]) for k in range(width)
            for name, values in stream.joints.items()]


def _cartesian_columns(fields: dict, joints: dict) -> list[tuple[str, object]]:
    return [(f"{name}.{axis}", values[:, i]) for name, values in fields.items()
            if name not in joints for i, axis in enumerate(_axes(name, values.shape[1]))]


def _status_columns(stream: Stream) -> list[tuple[str, object]]:
    import orbaltkvt_stream

    columns: list[tuple[str, object]] = []
    for name, values in stream.status.items():
        if values.ndim == 2:
            columns += [(f"{name}.{i}", values[:, i]) for i in range(values.shape[1])]
            continue
        columns.append((name, values))
        namer = getattr(orbaltkvt_stream, f"{name}_name", None)
        if namer is not None:
            names = {code: namer(code) for code in set(values.tolist())}
            columns.append((f"{name}_name", [names[c] for c in values.tolist()]))
    return columns


def run(args) -> int:
    try:
        recording = load(args.mcap)
    except RecordingError as exc:
        raise ToolError(str(exc)) from None
    try:
        os.makedirs(args.csv, exist_ok=True)
    except OSError as exc:
        raise ToolError(f"cannot create {args.csv}: {exc.strerror}") from None
    tables = []
    for stream, suffix in ((recording.basic, ""), (recording.extra, "_desired")):
        table = _Table(args.csv, f"joint_states{suffix}.csv")
        table.write(stream, _joint_columns(stream))
        tables.append(table)
        for group, fields in stream.groups.items():
            table = _Table(args.csv, f"{group.name}.cartesian{suffix}.csv")
            table.write(stream, _cartesian_columns(fields, stream.joints))
            tables.append(table)
    table = _Table(args.csv, "status.csv")
    table.write(recording.basic, _status_columns(recording.basic))
    tables.append(table)

    about = {"files": recording.files, "serial_number": recording.serial_number,
             "layout": {g.name: {"start_id": s, "dof": d, "joints": f"joint{s + 1}-joint{s + d}"}
                        for g, (s, d) in recording.layout.items()},
             "service_version": recording.service_version,
             "library_version": recording.library_version, "counters": recording.counters}
    path = os.path.join(args.csv, "recording.json")
    try:
        with open(path, "w") as f:
            json.dump(about, f, indent=2)
            f.write("\n")
    except OSError as exc:
        raise ToolError(f"cannot write {path}: {exc.strerror}") from None
    for table in tables:
        print(f"{table.path}: {table.rows} rows", file=sys.stderr)
    print(f"{path}: the robot, its joint layout and the loss counters", file=sys.stderr)
    return 0
