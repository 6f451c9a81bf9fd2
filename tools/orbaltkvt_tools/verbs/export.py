"""kvt export: a recording's samples as CSV or Parquet files, every joint kept, or added to a
Parquet dataset of many recordings."""
from __future__ import annotations

import csv
import json
import os
import sys

from ..arrow import POSE, TWIST, WRENCH, axes as _axes  # noqa: F401 - named as before
from ..errors import ToolError, UsageError
from ..formatting import format_ns
from ..recording import RecordingError, Stream, load

NAME = "export"
HELP = "write a recording's samples as CSV or Parquet files, or add it to a Parquet dataset"
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
did not carry. The last column of every CSV file, robot_time_host, is the robot's time on
the host's clock (its offset and drift estimated from the receive times, or as the recorder
stored them). The samples are decoded from the recording's raw channels.

--format parquet writes DIR/basic.parquet and DIR/extra.parquet instead: one table per
stream, the same column names (Cartesian ones under their group: ARM_1.tcp_pose.x), times as
UTC timestamps in ns, a missing value as null, zstd-compressed, the robot, layout, versions,
counters and clock estimate in the file's key-value metadata. --dataset ROOT adds every FILE
(a split recording's files each on its own) to the Parquet dataset under ROOT, as
ROOT/robot=SERIAL/date=YYYY-MM-DD/NAME.basic.parquet and .extra.parquet (date of the first
sample, UTC; NAME from the file's name and its first sample's time): adding a file again
replaces its files, so no row is ever there twice."""

_BLOCK = 4096


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("mcap", metavar="FILE.mcap", nargs="+",
                   help="the recording (several: the files of one split recording, in order)")
    out = p.add_mutually_exclusive_group(required=True)
    out.add_argument("--csv", "-o", "--out", dest="csv", metavar="DIR",
                     help="directory for the files")
    out.add_argument("--dataset", metavar="ROOT",
                     help="add each FILE to the Parquet dataset under ROOT (made if missing)")
    p.add_argument("--format", choices=("csv", "parquet"),
                   help="file format (default csv; --dataset: parquet only)")
    p.set_defaults(run=run)


def _number(value: float) -> str:
    return "" if value != value else repr(value)


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
        self.writer.writerow(["host_time", "robot_time", *(h for h, _ in columns),
                              "robot_time_host"])
        floats = [getattr(values, "dtype", None) is not None and values.dtype.kind == "f"
                  for _h, values in columns]
        for start in range(0, len(stream), _BLOCK):
            block = slice(start, start + _BLOCK)
            lists = [values[block] if isinstance(values, list) else values[block].tolist()
                     for _h, values in columns]
            hosts = stream.receive_time_ns[block].tolist()
            robots = stream.robot_time_ns[block].tolist()
            on_host = stream.robot_time_host_ns[block].tolist()
            for i, (host, robot) in enumerate(zip(hosts, robots)):
                row = [format_ns(host), format_ns(robot)]
                row += [_number(c[i]) if f else c[i] for c, f in zip(lists, floats)]
                row.append(format_ns(on_host[i]))
                self.writer.writerow(row)
        self.rows = len(stream)
        self.file.close()


def _parquet(args) -> int:
    from .. import arrow, dataset

    try:
        if args.dataset is not None:
            for path in args.mcap:
                recording = load(path)
                for written, rows in dataset.add(args.dataset, recording):
                    print(f"{written}: {rows} rows", file=sys.stderr)
            return 0
        recording = load(args.mcap)
        os.makedirs(args.csv, exist_ok=True)
        for stream, table in arrow.to_arrow(recording).items():
            path = arrow.stream_file(args.csv, stream)
            size = arrow.write_parquet(table, path)
            print(f"{path}: {table.num_rows} rows, {size} bytes", file=sys.stderr)
    except (RecordingError, ImportError) as exc:  # ImportError: without the analysis extra
        raise ToolError(str(exc)) from None
    except OSError as exc:
        raise ToolError(f"cannot write {exc.filename or args.csv or args.dataset}: "
                        f"{exc.strerror or exc}") from None
    return 0


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
    if args.dataset is not None and args.format == "csv":
        raise UsageError("--dataset writes Parquet only")
    if args.dataset is not None or args.format == "parquet":
        return _parquet(args)
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
