"""kvt echo: one JSON line per new sample on stdout."""
from __future__ import annotations

import json
import sys
import time

from .. import channels as ch
from ..common import (POLLING_NOTE, ToolError, UsageError, add_poll_options, connect,
                      group_by_name, make_poller, record_dict)

HELP = "print one JSON line per new sample (states, actions or status), for jq"
DESCRIPTION = f"""Prints one JSON object per line for every new sample (a new robot timestamp):
"timestamp" [sec, nsec] (the robot's), "host_time_ns" (when this host saw it), "missed" (samples
replaced unseen since the previous line), and the values: for states and actions one object per
joint group under "groups" (or the fields of --group at the top level), for status the e-stop,
enabling device and digital I/O. SI units (rad, rad/s, Nm, m). {POLLING_NOTE}"""

WHAT = ("states", "actions", "status")


def add_parser(sub) -> None:
    p = sub.add_parser("echo", help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("--what", choices=WHAT, default="states", help="what to print (default states)")
    p.add_argument("--group", metavar="G", help="only this joint group, e.g. ARM_1")
    p.add_argument("--fields", metavar="F,...", help="only these fields, e.g. q,tau")
    p.add_argument("--count", type=int, metavar="N", help="stop after N samples")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    add_poll_options(p)
    p.set_defaults(run=run)


def _fields(args, template) -> list[str] | None:
    if args.fields is None:
        return None
    names = [f.strip() for f in args.fields.split(",") if f.strip()]
    known = set(record_dict(template))
    unknown = [n for n in names if n not in known]
    if unknown:
        raise UsageError(f"unknown field {unknown[0]!r} for {args.what} "
                         f"(one of {', '.join(sorted(known))})")
    return names


def run(args) -> int:
    import orbaltkvt

    if args.what == "status" and (args.group or args.fields):
        raise UsageError("--group and --fields apply to states and actions only")
    group = group_by_name(args.group) if args.group else None
    template = orbaltkvt.RobotStates() if args.what == "states" else orbaltkvt.RobotActions()
    fields = _fields(args, template)
    client = connect(args.serial_number)
    poller = make_poller(client, args)
    end = None if args.seconds is None else time.monotonic() + args.seconds
    out = sys.stdout
    printed = 0
    missed_before = 0
    while args.count is None or printed < args.count:
        states = poller.next(end)
        if states is None:
            break
        host_ns = time.time_ns()
        line = {"timestamp": list(next(iter(states.values())).timestamp),
                "host_time_ns": host_ns, "missed": poller.missed - missed_before}
        missed_before = poller.missed
        if args.what == "status":
            line.update(ch.read_status(client))
        else:
            records = states if args.what == "states" else client.actions()
            if args.what == "actions" and records:
                line["timestamp"] = list(next(iter(records.values())).timestamp)
            if group is not None:
                if group not in records:
                    raise ToolError(f"the robot has no joint group {group.name}")
                line.update(_values(records[group], fields))
            else:
                line["groups"] = {g.name: _values(r, fields) for g, r in records.items()}
        out.write(json.dumps(line, separators=(",", ":")) + "\n")
        out.flush()
        printed += 1
    if poller.missed:
        print(f"kvt echo: {printed} samples printed, {poller.missed} missed", file=sys.stderr)
    return 0


def _values(record, fields) -> dict:
    values = record_dict(record, fields)
    values.pop("timestamp", None)
    return values
