"""The publishing loop: one thread sends a source's samples when they are due.

A source has a ``schedule`` (when sample k is due) and ``send(k0, k1, origin)`` (publish samples
k0 .. k1-1). The loop sleeps until the next sample is due but at least one wake period, then
sends every sample due by then back to back: the average rate is exact and the schedule is kept
(a robot's timestamps stay evenly spaced), while a high rate costs one wake-up per burst instead
of one per sample.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import NamedTuple, Optional, Protocol

from . import exit as process_exit

log = logging.getLogger("orbaltkvt_sim")


class Schedule(Protocol):
    period: float         # seconds; a sample sent this much after it was due went out late
    backlog: int          # more samples due at once than this: the loop has stalled
    skips_backlog: bool   # after a stall drop the samples due meanwhile (else play on later)

    def due(self, elapsed: float) -> int:
        """How many samples are due ``elapsed`` seconds after the origin."""

    def at(self, k: int) -> Optional[float]:
        """Seconds after the origin when sample ``k`` is due; None after the last one."""


class Origin(NamedTuple):
    """Where a schedule starts: the monotonic clock and the wall clock (ns) at sample 0."""

    t0: float
    wall_ns: int
    schedule: Schedule


class Rate:
    """An even schedule: sample k is due k / hz seconds after the origin, without end."""

    skips_backlog = True

    def __init__(self, hz: float):
        if hz <= 0:
            raise ValueError("rate must be positive")
        self.hz = float(hz)
        self.period = 1.0 / self.hz
        self.backlog = max(10, int(self.hz * 0.05))

    def due(self, elapsed: float) -> int:
        return int(elapsed * self.hz) + 1

    def at(self, k: int) -> float:
        return k / self.hz


class Pacer:
    """The publishing loop of ``source``. A new ``source.schedule`` (a rate change) restarts
    the schedule from now. :attr:`ended` is set when the schedule has no more samples."""

    def __init__(self, source, wake_period: float = 0.002, name: str = "orbaltkvt-sim-streams"):
        self.source = source
        self.wake_period = max(0.0, float(wake_period))
        self.ended = threading.Event()
        self._name = name
        self._stop = False
        self._thread: Optional[threading.Thread] = None

    def start(self) -> "Pacer":
        self._stop = False
        self._thread = threading.Thread(target=self._run, name=self._name, daemon=True)
        self._thread.start()
        process_exit.track(self)
        return self

    def stop(self, timeout: Optional[float] = None) -> None:
        self._stop = True
        if self._thread is not None:
            self._thread.join(timeout)
            self._thread = None
        process_exit.untrack(self)

    def quiesce(self) -> None:
        self.stop(5.0)

    def _run(self) -> None:
        source, wake = self.source, self.wake_period
        schedule = origin = None
        sent = ticks = late = 0
        skipped = stalls = 0  # samples dropped from the backlog, and how many times
        while not self._stop:
            if source.schedule is not schedule:
                schedule = source.schedule
                origin = Origin(time.monotonic(), time.time_ns(), schedule)
                sent = 0
            now = time.monotonic()
            elapsed = now - origin.t0
            due = schedule.due(elapsed) - sent
            if due > schedule.backlog:
                # Stalled (suspended, or starved of CPU): do not flood the readers with the
                # backlog. An endless schedule drops it; a finite one (a recording) plays on
                # from here, later.
                if stalls == 0:
                    log.warning("stream pacing fell %d samples behind; %s", due - 1,
                                "skipping them" if schedule.skips_backlog
                                else "playing on from here")
                stalls += 1
                if schedule.skips_backlog:
                    skipped += due - 1
                    sent += due - 1
                else:
                    origin = origin._replace(t0=now - schedule.at(sent))
                due = 1
            if due > 1:
                late += min(due, max(0, schedule.due(elapsed - schedule.period) - sent))
            if due > 0:
                source.send(sent, sent + due, origin)
                sent += due
                ticks += due
            upcoming = schedule.at(sent)
            if upcoming is None:
                self.ended.set()
                break
            # Sleep until the next sample is due, but at least one wake period: at high rates
            # the samples due meanwhile go out in one burst, which costs far less CPU (in Python
            # and in zenoh's transmit path) than one wake-up per sample.
            delay = max(origin.t0 + upcoming, now + wake) - time.monotonic()
            if delay > 0:
                time.sleep(min(delay, 0.05))
        if stalls > 1 or skipped:
            # The warning above is given once; this says what every stall came to.
            if skipped:
                log.warning("stream pacing skipped %d samples in %d stalls", skipped, stalls)
            else:
                log.warning("stream pacing fell behind %d times, playing on each time", stalls)
        if ticks and wake == 0:
            # A poller sees only the newest sample: those sent a period late, right before the
            # next one, are lost to it whatever it does.
            log.info("stream pacing: %d of %d samples went out late, back to back with the next",
                     late, ticks)
