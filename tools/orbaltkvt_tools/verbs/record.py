"""kvt record: write the robot's data to an MCAP file."""
from __future__ import annotations

import gc
import signal
import sys
import time

from .. import channels as ch
from ..common import (POLLING_NOTE, ToolError, add_group_option, add_poll_options, connect,
                      make_poller, select_groups)

HELP = "record joint states, TCP and flange frames, desired actions and status to MCAP"
DESCRIPTION = f"""Records one robot to an MCAP file until Ctrl-C or --seconds: per joint group
foxglove.JointStates (q [rad], dq [rad/s], tau [Nm]) and the desired ones (q_d, dq_d, tau_d),
foxglove.FrameTransforms for each group's TCP and flange poses (and desired TCP poses) under the
frame "world" [m], and a JSON status channel (e-stop, enabling device, digital I/O). Log time is
the host's receive time, publish time the robot's timestamp. {POLLING_NOTE}"""


def add_parser(sub) -> None:
    p = sub.add_parser("record", help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("-o", "--output", required=True, metavar="FILE.mcap", help="file to write")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    add_group_option(p)
    add_poll_options(p)
    p.set_defaults(run=run)


class Progress:
    """One live line on stderr: samples written and missed, file size, rate. On a terminal it
    is redrawn in place; otherwise a line is printed every ``every`` seconds."""

    def __init__(self, poller, size=None, every: float = 10.0):
        self.poller = poller
        self.size = size
        self.tty = sys.stderr.isatty()
        self.every = 0.25 if self.tty else every
        self.start = time.monotonic()
        self.next_at = self.start + self.every
        self.written = 0

    def text(self) -> str:
        p = self.poller
        elapsed = max(1e-9, time.monotonic() - self.start)
        parts = [f"{self.written} samples", f"{p.missed} missed"]
        if p.kept:
            parts[-1] += f" ({100 * (1 - p.kept_fraction):.2f} %)"
        if p.pauses:
            parts.append(f"{p.pauses} stream pauses")
        if self.size is not None:
            parts.append(f"{self.size() / 1e6:.1f} MB")
        parts.append(f"{self.written / elapsed:.0f} samples/s over {elapsed:.1f} s")
        return ", ".join(parts)

    def tick(self) -> None:
        now = time.monotonic()
        if now < self.next_at:
            return
        self.next_at = now + self.every
        if self.tty:
            sys.stderr.write("\r\x1b[K" + self.text())
        else:
            sys.stderr.write(self.text() + "\n")
        sys.stderr.flush()

    def finish(self, prefix: str) -> None:
        sys.stderr.write(("\r\x1b[K" if self.tty else "") + f"{prefix}: {self.text()}\n")
        sys.stderr.flush()


_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


def stream(client, poller, groups, sinks, seconds, progress) -> None:
    """Writes every new sample to every sink until ``seconds`` pass or Ctrl-C.

    A sample is taken, encoded and handed to the sinks right after it is seen, in a small part
    of the pause before the next look; files are compressed and written by a thread of their own.
    """
    end = None if seconds is None else time.monotonic() + seconds
    encoder = ch.SampleEncoder(groups)
    # Everything made so far lives to the end: keep the collector from walking it again and
    # again, which stalls the loop for milliseconds while samples go by.
    gc.freeze()
    try:
        while (states := poller.next(end)) is not None:
            # A server nobody watches (and no file): keep counting, skip the encoding.
            if any(sink.busy() for sink in sinks):
                log_ns = time.time_ns()
                messages = encoder.messages(states, client.actions(), ch.read_status(client))
                # Ctrl-C lands between samples, so every channel holds the same samples.
                signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
                try:
                    for sink in sinks:
                        sink.write(messages, log_ns)
                    progress.written += 1
                finally:
                    signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOP_SIGNALS)
            progress.tick()
    except KeyboardInterrupt:
        pass


def first_groups(client, seconds: float = 5.0):
    """The joint groups of the first sample; fails if the robot sends none."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        states = client.states()
        if states:
            return list(states)
        time.sleep(0.01)
    raise ToolError(f"the robot sent no sample within {seconds:g} s")


def run(args) -> int:
    client = connect(args.serial_number)
    groups = select_groups(first_groups(client), args.groups)
    sink = ch.McapSink(args.output, ch.channel_infos(groups),
                       metadata={"serial_number": args.serial_number})
    poller = make_poller(client, args)
    progress = Progress(poller, size=sink.size)
    try:
        stream(client, poller, groups, [sink], args.seconds, progress)
    except BaseException:
        try:
            sink.close()
        except ToolError:
            pass  # the same failure again, already on its way
        raise
    sink.close()
    progress.finish(f"wrote {args.output}")
    return 0
