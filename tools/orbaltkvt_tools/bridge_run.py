"""What `kvt record` and `kvt serve` share: the file options, the channels they write, and
running the native bridge until it is told to stop."""
from __future__ import annotations

import time
from typing import Optional

from . import recording_format as fmt
from .connecting import without_os_error
from .errors import ToolError, UsageError
from .formatting import parse_size
from .progress import Progress
from .signals import StopSignals

CHANNELS = f"""per joint group foxglove.JointStates (q [rad], dq [rad/s], tau [Nm]) and the
desired ones (q_d, dq_d, tau_d), foxglove.FrameTransforms for each group's TCP and flange poses
(and desired TCP poses) under the frame "{fmt.WORLD_FRAME}" [m], a JSON status channel (e-stop,
enabling device, digital and safety I/O, system and safety-board state with their names) and
the wire payloads of both streams unchanged ({fmt.RAW_BASIC}, {fmt.RAW_EXTRA}), and about once
a second the loss counters as JSON ({fmt.COUNTERS_TOPIC}: each stream's counters and each
viewer's messages sent and dropped). Log time is the host's receive time, publish time the
robot's timestamp (the host's for the counters)."""


def add_file_options(parser) -> None:
    parser.add_argument("--split-size", type=parse_size, default=0, metavar="SIZE",
                        help="start a new file after SIZE bytes (e.g. 100M, 2G): FILE_000.mcap, "
                             "FILE_001.mcap, ...; default: one file")
    parser.add_argument("--split-duration", type=float, default=0.0, metavar="S",
                        help="start a new file after S seconds of log time; default: one file")
    parser.add_argument("--chunk-duration", type=float, default=1.0, metavar="S",
                        help="a chunk is compressed and written at most S seconds after its first "
                             "message (default 1): what a SIGKILL or power loss can cost")


def file_options(args) -> dict:
    for name in ("split_duration", "chunk_duration"):
        if getattr(args, name) < 0:
            raise UsageError(f"--{name.replace('_', '-')} must not be negative")
    return {"split_size": args.split_size, "split_duration": args.split_duration,
            "chunk_duration": args.chunk_duration}


def first_groups(client, seconds: float = 5.0):
    """The joint groups of the first sample; fails if the robot sends none."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        states = client.states()
        if states:
            return list(states)
        time.sleep(0.01)
    raise ToolError(f"the robot sent no sample within {seconds:g} s")


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
        try:
            stats = bridge.close()
        finally:
            progress.close()
    return stats


def file_summary(stats: dict, path: str) -> str:
    files = stats.get("files_written", 1)
    return (f"wrote {path}" + (f" ({files} files)" if files > 1 else "")
            + f", {stats.get('samples_written', 0)} samples of both streams, "
            f"{stats.get('bytes_written', 0) / 1e6:.1f} MB")


def failure(stats: dict, path, chunk_duration: Optional[float] = None) -> ToolError:
    """The bridge's own failure text ("cannot write FILE: reason"), as one line; with the
    file's ``chunk_duration``, followed by how many of the samples received were not written."""
    text = without_os_error(str(stats["error"])).strip()
    if path and not text.startswith("cannot "):
        text = f"cannot write {path}: {text}"
    if chunk_duration is not None:
        # The file is left without its counters record, so the line is the only place that
        # says what the failure cost. Samples of the chunk under way when the write failed were
        # handed to the file but are lost with that chunk.
        received = sum(stats[s]["received"] for s in ("basic", "extra"))
        written = stats.get("samples_written", 0)
        text += (f" (of {received} samples received, {received - written} not written and "
                 f"{written} handed to the file, less the last chunk's, at most "
                 f"{chunk_duration:g} s of them)")
    return ToolError(text)
