"""kvt export: one CSV file per channel of an MCAP recording."""
from __future__ import annotations

import csv
import os
import sys

from .. import mcapfile
from ..common import ToolError

HELP = "write one CSV per channel of a recording (host time, robot time, values)"
DESCRIPTION = """Reads an MCAP file written by `kvt record` or `kvt serve --record` and writes one
CSV file per channel into DIR (/ARM_1/joint_states becomes ARM_1.joint_states.csv): a header row,
then one row per message with host_time and robot_time in seconds (every nanosecond digit kept)
followed by the values: <joint>.position [rad], .velocity [rad/s], .effort [Nm] for joint states;
<frame>.x/.y/.z [m] and .qx/.qy/.qz/.qw for frames; status fields (I/O bits as True/False,
system and safety-board state as code and name). The raw channels (wire payloads) are left out."""


def add_parser(sub) -> None:
    p = sub.add_parser("export", help=HELP, description=DESCRIPTION)
    p.add_argument("mcap", metavar="FILE.mcap", help="the recording")
    p.add_argument("--csv", required=True, metavar="DIR", help="directory for the CSV files")
    p.set_defaults(run=run)


def csv_name(topic: str) -> str:
    return topic.strip("/").replace("/", ".") + ".csv"


def run(args) -> int:
    try:
        os.makedirs(args.csv, exist_ok=True)
    except OSError as exc:
        raise ToolError(f"cannot create {args.csv}: {exc.strerror}") from None
    writers: dict[str, tuple] = {}
    try:
        for topic, schema, log_ns, pub_ns, msg in mcapfile.read(args.mcap):
            values = {k: v for k, v in mcapfile.flatten(schema, msg).items()
                      if not k.startswith("timestamp.")}
            entry = writers.get(topic)
            if entry is None:
                path = os.path.join(args.csv, csv_name(topic))
                file = open(path, "w", newline="")
                writer = csv.DictWriter(file, ["host_time", "robot_time", *values],
                                        restval="", extrasaction="ignore")
                writer.writeheader()
                entry = writers[topic] = (file, writer, [0])
            values["host_time"] = mcapfile.seconds(log_ns)
            values["robot_time"] = mcapfile.seconds(pub_ns)
            entry[1].writerow(values)
            entry[2][0] += 1
    finally:
        for file, _writer, _count in writers.values():
            file.close()
    for topic, (_file, _writer, count) in sorted(writers.items()):
        print(f"{os.path.join(args.csv, csv_name(topic))}: {count[0]} rows", file=sys.stderr)
    return 0
