"""kvt record --snapshot: the flight recorder. The last seconds of the robot stay in a bounded
native ring; each trigger writes them, and the seconds after it, to a recording of its own."""
from __future__ import annotations

import json
import re
import signal
import sys

from .connecting import without_os_error
from .errors import ToolError, UsageError
from .progress import Progress

DEFAULT_AFTER = 2.0
TRIGGERS = ("estop", "fault", "safety")
HELP = f"""Flight recorder: --snapshot S keeps the last S seconds in memory (its bound is said on
stderr at start) and writes nothing until a trigger; each trigger writes FILE_<robot time>.mcap
(the trigger sample's robot time as seconds.nanoseconds) holding the S seconds before and the
--after seconds (default {DEFAULT_AFTER:g}) after it, robot time. --trigger, repeatable: estop
(the e-stop is pressed), fault (the system state enters FAULT_MANUAL, FAULT_AUTO or
FAULT_EXTERNAL_AUTO), safety (the safety board leaves NORMAL), input:N (digital input N, 0 to
19, changes either way); SIGUSR1 triggers by hand. A trigger within a file's after-window
extends it, up to a file of 2 x (S + after) seconds; a later one starts the next file, which
may overlap it.
Each written file is one JSON line on stdout: file, trigger, robot_time_ns, first_ns, last_ns,
samples."""


def add_snapshot_options(parser) -> None:
    group = parser.add_argument_group("flight recorder", HELP)
    group.add_argument("--snapshot", type=float, metavar="SECONDS",
                       help="keep the last SECONDS and write them on a trigger")
    group.add_argument("--after", type=float, default=None, metavar="S",
                       help=f"seconds written after a trigger (default {DEFAULT_AFTER:g})")
    group.add_argument("--trigger", action="append", default=[], metavar="WHAT",
                       help="estop, fault, safety or input:N (repeatable)")


def check_trigger(text: str) -> str:
    match = re.fullmatch(r"input:(\d{1,2})", text)
    if text in TRIGGERS or (match and int(match.group(1)) < 20):
        return text
    raise UsageError(f"--trigger {text}: estop, fault, safety or input:N (N 0 to 19)")


def snapshot_options(args) -> dict | None:
    """The FlightRecorder's window and triggers, or None without --snapshot."""
    if args.snapshot is None:
        if args.trigger or args.after is not None:
            raise UsageError("--trigger and --after go with --snapshot")
        return None
    if not args.snapshot > 0:
        raise UsageError("--snapshot must be more than 0 seconds")
    after = DEFAULT_AFTER if args.after is None else args.after
    if after < 0:
        raise UsageError("--after must not be negative")
    if args.split_size or args.split_duration:
        raise UsageError("--snapshot files are not split")
    return {"seconds": args.snapshot, "after": after,
            "triggers": [check_trigger(t) for t in args.trigger]}


def open_recorder(client, groups, path: str, **options):
    try:
        import orbaltkvt_foxglove
    except ImportError as exc:
        raise ToolError(f"the native recorder is missing: {exc}") from None
    try:
        return orbaltkvt_foxglove.FlightRecorder(client, list(groups), path, **options)
    except (RuntimeError, ValueError) as exc:
        raise ToolError(without_os_error(str(exc))) from None


def file_line(f: dict) -> str:
    return json.dumps({"file": f["path"], "trigger": f["trigger"],
                       "robot_time_ns": f["trigger_ns"], "first_ns": f["first_ns"],
                       "last_ns": f["last_ns"], "samples": f["samples"]})


def run_snapshot(recorder, seconds, stop, window: dict) -> dict:
    """Runs until ``seconds`` pass, a stop signal arrives or the recorder fails, printing each
    file as it is written; SIGUSR1 triggers. Returns the final stats."""
    import time

    previous = signal.signal(signal.SIGUSR1, lambda *_: recorder.trigger())
    triggers = ", ".join(window["triggers"] + ["SIGUSR1"])
    # Said once SIGUSR1 is caught, so that whoever reads this line may send it.
    print(f"kvt record: flight recorder keeps the last {window['seconds']:g} s and "
          f"{window['after']:g} s after each trigger ({triggers}) in at most "
          f"{recorder.max_bytes / 2**20:.1f} MiB", file=sys.stderr, flush=True)
    progress = Progress()
    shown = 0
    end = None if seconds is None else time.monotonic() + seconds

    def show(stats: dict) -> None:
        nonlocal shown
        for f in stats["files"][shown:]:
            print(file_line(f), flush=True)
        shown = len(stats["files"])

    try:
        while not stop:
            wait = 0.2 if end is None else min(0.2, end - time.monotonic())
            if wait <= 0 or not recorder.wait(wait):
                break
            stats = recorder.stats()
            show(stats)
            progress.tick(stats)
    finally:
        signal.signal(signal.SIGUSR1, previous)
        try:
            stats = recorder.close()
        finally:
            progress.close()
    show(stats)
    return stats


def summary(stats: dict) -> str:
    files = stats["files"]
    text = (f"wrote {len(files)} files, {sum(f['samples'] for f in files)} samples of both "
            "streams")
    if stats.get("evicted"):
        text += f"; the memory bound pushed {stats['evicted']} samples out of the window early"
    return text
