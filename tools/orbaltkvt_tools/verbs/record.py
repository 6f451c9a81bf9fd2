"""kvt record: write every sample of the robot to MCAP files."""
from __future__ import annotations

import re
import sys
import time

from ..common import (COUNTERS_NOTE, StopSignals, ToolError, UsageError, add_group_option,
                      connect, loss_text, open_bridge, parse_size, select_groups)

HELP = "record every sample (joint states, frames, desired actions, status, raw) to MCAP"
CHANNELS = """per joint group foxglove.JointStates (q [rad], dq [rad/s], tau [Nm]) and the
desired ones (q_d, dq_d, tau_d), foxglove.FrameTransforms for each group's TCP and flange poses
(and desired TCP poses) under the frame "world" [m], a JSON status channel (e-stop, enabling
device, digital and safety I/O, system and safety-board state with their names) and the wire
payloads of both streams unchanged (/raw/basic_stream_data, /raw/extra_stream_data). Log time
is the host's receive time, publish time the robot's timestamp."""
DESCRIPTION = f"""Records one robot until Ctrl-C (SIGINT), SIGTERM or --seconds: {CHANNELS}
Decoding, encoding, compression and writing run in native code on threads of their own; the
file is closed complete on any of those stops, with the serial number, joint layout and versions
("orbaltkvt") and the loss counters ("orbaltkvt.counters") as metadata. {COUNTERS_NOTE} The
loss summary ("kept N of M, dropped D, gaps G" per stream) goes to stderr at the end. A file cut
short by SIGKILL or a power loss is made whole with 'kvt recover'."""


def add_file_options(parser) -> None:
    parser.add_argument("--split-size", type=parse_size, default=0, metavar="SIZE",
                        help="start a new file after SIZE bytes (e.g. 100M, 2G): FILE_000.mcap, "
                             "FILE_001.mcap, ...; default: one file")
    parser.add_argument("--split-duration", type=float, default=0.0, metavar="S",
                        help="start a new file after S seconds of log time; default: one file")
    parser.add_argument("--chunk-duration", type=float, default=1.0, metavar="S",
                        help="a chunk is compressed and written at most S seconds after its first "
                             "message (default 1): what a SIGKILL or power loss can cost")


def add_parser(sub) -> None:
    p = sub.add_parser("record", help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("-o", "--output", required=True, metavar="FILE.mcap", help="file to write")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    add_group_option(p)
    add_file_options(p)
    p.set_defaults(run=run)


def file_options(args) -> dict:
    for name in ("split_duration", "chunk_duration"):
        if getattr(args, name) < 0:
            raise UsageError(f"--{name.replace('_', '-')} must not be negative")
    return {"split_size": args.split_size, "split_duration": args.split_duration,
            "chunk_duration": args.chunk_duration}


class Progress:
    """One live line on stderr: samples written, what each stream kept, file size. On a
    terminal it is redrawn in place; otherwise a line is printed every ``every`` seconds."""

    def __init__(self, every: float = 10.0):
        self.tty = sys.stderr.isatty()
        self.every = 0.25 if self.tty else every
        self.start = time.monotonic()
        self.next_at = self.start + self.every

    def text(self, stats: dict) -> str:
        elapsed = max(1e-9, time.monotonic() - self.start)
        parts = []
        if "samples_written" in stats:
            parts.append(f"{stats['samples_written']} samples of both streams written")
        parts += [loss_text(name, stats[name]) for name in ("basic", "extra") if name in stats]
        if stats.get("bytes_written"):
            files = stats.get("files_written", 1)
            parts.append(f"{stats['bytes_written'] / 1e6:.1f} MB"
                         + (f" in {files} files" if files > 1 else ""))
        viewers = [v for v in stats.get("viewers") or [] if v.get("subscriptions")]
        if viewers:
            parts.append(f"{len(viewers)} viewers, {stats.get('messages_served', 0)} messages "
                         "served")
        parts.append(f"{elapsed:.1f} s")
        return "; ".join(parts)

    def tick(self, stats: dict) -> None:
        now = time.monotonic()
        if now < self.next_at:
            return
        self.next_at = now + self.every
        sys.stderr.write(("\r\x1b[K" if self.tty else "") + self.text(stats)
                         + ("" if self.tty else "\n"))
        sys.stderr.flush()

    def finish(self, prog: str, stats: dict, what: str) -> None:
        lines = [f"{prog}: {what}"]
        lines += [f"{prog}: {loss_text(name, stats[name])}" for name in ("basic", "extra")
                  if name in stats]
        sys.stderr.write(("\r\x1b[K" if self.tty else "") + "\n".join(lines) + "\n")
        sys.stderr.flush()


def run_bridge(bridge, seconds, progress: Progress, stop: StopSignals) -> dict:
    """Waits (the interpreter lock released) until ``seconds`` pass, a stop signal arrives or the
    bridge fails, showing progress; then closes the bridge and returns its final stats."""
    end = None if seconds is None else time.monotonic() + seconds
    try:
        while not stop:
            wait = 0.2 if end is None else min(0.2, end - time.monotonic())
            if wait <= 0 or not bridge.wait(wait):
                break
            progress.tick(bridge.stats())
    finally:
        stats = bridge.close()
    return stats


def first_groups(client, seconds: float = 5.0):
    """The joint groups of the first sample; fails if the robot sends none."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        states = client.states()
        if states:
            return list(states)
        time.sleep(0.01)
    raise ToolError(f"the robot sent no sample within {seconds:g} s")


def summary(stats: dict, path: str) -> str:
    files = stats.get("files_written", 1)
    return (f"wrote {path}" + (f" ({files} files)" if files > 1 else "")
            + f", {stats.get('samples_written', 0)} samples of both streams, "
            f"{stats.get('bytes_written', 0) / 1e6:.1f} MB")


def failure(stats: dict, path) -> ToolError:
    """The bridge's own failure text ("cannot write FILE: reason"), as one line."""
    text = re.sub(r" \(os error \d+\)", "", str(stats["error"])).strip()
    if path and not text.startswith("cannot "):
        text = f"cannot write {path}: {text}"
    return ToolError(text)


def run(args) -> int:
    options = file_options(args)
    client = connect(args.serial_number)
    groups = select_groups(first_groups(client), args.groups)
    with StopSignals() as stop:
        bridge = open_bridge(client, groups, mcap=args.output, **options)
        progress = Progress()
        stats = run_bridge(bridge, args.seconds, progress, stop)
    if stats.get("error"):
        raise failure(stats, args.output)
    progress.finish("kvt record", stats, summary(stats, args.output))
    return 0
