"""kvt echo: one JSON line per sample on stdout."""
from __future__ import annotations

import json
import sys
import time

import numpy as np

from ..connecting import connect, sample_stream
from ..counters import COUNTERS_NOTE, counters_dict, loss_text
from ..errors import ToolError, UsageError
from ..formatting import record_dict
from ..groups import group_by_name

NAME = "echo"
HELP = "print one JSON line per sample (states, actions or status), for jq"
DESCRIPTION = f"""Prints one JSON object per line for every sample of the stream asked for
(basic: states and status; extra: actions): "timestamp" [sec, nsec] (the robot's; for actions
that of the newest basic sample before it), "host_time_ns" (when this host received it), the
values, and the stream's counters "received", "dropped", "gaps" and "malformed" as they were
when the line's batch was taken. For states and actions one object per joint group under
"groups" (or the fields of --group at the top level); for status the e-stop, enabling device,
digital and safety I/O, and the system and safety-board states (code and name). SI units (rad,
rad/s, Nm, m). {COUNTERS_NOTE} At the end the loss summary goes to stderr."""

WHAT = ("states", "actions", "status")
COUNTERS = ("received", "dropped", "gaps", "malformed")


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("--what", choices=WHAT, default="states", help="what to print (default states)")
    p.add_argument("--group", metavar="G", help="only this joint group, e.g. ARM_1")
    p.add_argument("--fields", metavar="F,...", help="only these fields, e.g. q,tau")
    p.add_argument("--count", type=int, metavar="N", help="stop after N samples")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    p.set_defaults(run=run)


def _fields(args) -> list[str]:
    import orbaltkvt

    template = orbaltkvt.RobotStates() if args.what == "states" else orbaltkvt.RobotActions()
    known = [n for n in record_dict(template) if n != "timestamp"]
    if args.fields is None:
        return known
    names = [f.strip() for f in args.fields.split(",") if f.strip()]
    unknown = [n for n in names if n not in known]
    if unknown:
        raise UsageError(f"unknown field {unknown[0]!r} for {args.what} "
                         f"(one of {', '.join(sorted(known))})")
    return names


class _Status:
    """Status columns into per-sample dicts, with the names of the state codes."""

    def __init__(self):
        import orbaltkvt_stream

        self.system = orbaltkvt_stream.system_state_name
        self.board = orbaltkvt_stream.safety_board_state_name

    def rows(self, part) -> list[dict]:
        cols = {k: v.tolist() for k, v in part.status.items()}
        out = []
        for i in range(len(part)):
            row = {k: v[i] for k, v in cols.items()}
            row["system_state_name"] = self.system(row["system_state"])
            row["safety_board_state_name"] = self.board(row["safety_board_state"])
            out.append(row)
        return out


def _group_rows(part, groups, fields, single) -> list[dict]:
    """Per sample: the fields of each group the sample holds (a group it lacks is NaN)."""
    n = len(part)
    rows: list[dict] = [{} for _ in range(n)]
    for group in groups:
        cols = part.groups.get(group)
        if cols is None:
            continue
        present = ~np.isnan(cols[fields[0]]).all(axis=1)
        lists = {f: cols[f].tolist() for f in fields}
        for i in range(n):
            if present[i]:
                values = {f: lists[f][i] for f in fields}
                if single:
                    rows[i].update(values)
                else:
                    rows[i].setdefault("groups", {})[group.name] = values
    return rows


def run(args) -> int:
    if args.what == "status" and (args.group or args.fields):
        raise UsageError("--group and --fields apply to states and actions only")
    group = group_by_name(args.group) if args.group else None
    fields = _fields(args) if args.what != "status" else []
    client = connect(args.serial_number)
    stream = sample_stream(client)
    basic = args.what != "actions"
    counters = stream.basic_counters if basic else stream.extra_counters
    if group is not None and group not in stream.layout:
        raise ToolError(f"the robot has no joint group {group.name}")
    groups = [group] if group is not None else list(stream.layout)
    status = _Status() if args.what == "status" else None
    end = None if args.seconds is None else time.monotonic() + args.seconds
    out = sys.stdout
    printed = 0
    try:
        while args.count is None or printed < args.count:
            wait = 0.2 if end is None else min(0.2, end - time.monotonic())
            if wait <= 0:
                break
            batch = stream.next(timeout=wait)
            part = batch.basic if basic else batch.extra
            if not len(part):
                continue
            known = {k: v for k, v in counters_dict(counters()).items() if k in COUNTERS}
            values = (status.rows(part) if status is not None
                      else _group_rows(part, groups, fields, group is not None))
            stamps = part.timestamp.tolist()
            received = part.receive_time_ns.tolist()
            valid = part.valid.tolist()
            lines = []
            for i, row in enumerate(values):
                if not valid[i]:
                    continue  # a sample that did not decode is counted as malformed
                line = {"timestamp": stamps[i], "host_time_ns": received[i], **row, **known}
                lines.append(json.dumps(line, separators=(",", ":")))
                if args.count is not None and printed + len(lines) >= args.count:
                    break
            if lines:
                out.write("\n".join(lines) + "\n")
                out.flush()
                printed += len(lines)
    except KeyboardInterrupt:
        pass
    final = counters()
    stream.close()
    c = counters_dict(final)
    if c["dropped"] or c["gaps"] or c["malformed"]:
        print(f"kvt echo: {printed} lines; {loss_text('basic' if basic else 'extra', final)}",
              file=sys.stderr)
    return 0
