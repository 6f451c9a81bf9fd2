"""The robot's clock on the host's: offset and drift of the robot's timestamps against the
host's receive times, and the robot's times converted with them.

Each sample gives one point (robot time, receive time - robot time). The network, the robot's
send path and the host's scheduler only ever delay a sample, so every point lies on or above
the line of the true offset and drift, and the samples that met the least delay mark it: the
lower envelope of the points (the passive method of Olson, 2010). The envelope here is the
smallest delay in each of a few hundred consecutive intervals of robot time; the line through
it has the Theil-Sen slope (the median of the pairwise slopes) and lies under all of the
envelope but its lowest 2 %, so that intervals in which no sample got through quickly (a
stalled host) and a few samples below the rest (wrong timestamps) neither tilt nor lower it,
as they would the lower convex hull's edges.

The offset includes the least delay the samples met, which no passive method can tell from the
offset itself: on one host over loopback tens of microseconds, over a network more.

A recorder may store its own estimate in a file (metadata record :data:`RECORD`); it is read
and preferred over estimating from the samples.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Iterable, Optional

import numpy as np

from . import recording_format as fmt

RECORD = fmt.CLOCK
"""The metadata record of a stored estimate: :data:`RECORD_KEYS`, every value a decimal
string."""
RECORD_KEYS = fmt.CLOCK_KEYS
OFFSET_NS, DRIFT, T0_ROBOT_NS, SAMPLES = RECORD_KEYS

# Intervals of the lower envelope: enough for the median to ignore a quarter of them, long
# enough that each holds samples that got through without delay (at 1 kHz and 60 s each spans
# about a quarter second).
_INTERVALS = 256
_PER_INTERVAL = 64
_BELOW = 0.02


@dataclass(frozen=True)
class ClockEstimate:
    """``host = robot + offset_ns + drift * (robot - t0_robot_ns)``, all in ns."""

    offset_ns: int
    """Host time minus robot time at robot time ``t0_robot_ns``."""
    drift: float
    """Host ns per robot ns, minus 1 (positive: the robot's clock runs slow)."""
    t0_robot_ns: int
    samples: int
    """The samples the estimate was made from (0: none, the robot's times are kept)."""
    stored: bool = False
    """Read from the file (made by the recorder), not estimated from the samples here."""

    def host_ns(self, robot_time_ns: np.ndarray) -> np.ndarray:
        """int64 host times of the robot times ``robot_time_ns`` (int64 ns)."""
        robot = np.asarray(robot_time_ns, dtype=np.int64)
        # The drift term in float64: below a nanosecond of error for days of recording.
        shift = np.rint(self.drift * (robot - self.t0_robot_ns).astype(np.float64))
        return robot + self.offset_ns + shift.astype(np.int64)

    def record(self) -> dict[str, str]:
        """The estimate as a :data:`RECORD` metadata record's keys and values."""
        return {OFFSET_NS: str(self.offset_ns),
                DRIFT: np.format_float_positional(float(self.drift), trim="-"),
                T0_ROBOT_NS: str(self.t0_robot_ns), SAMPLES: str(self.samples)}


def parse(record: dict[str, str]) -> Optional[ClockEstimate]:
    """A stored estimate from its record's keys; None when they are not all there and numbers."""
    try:
        return ClockEstimate(int(record[OFFSET_NS]), float(record[DRIFT]),
                             int(record[T0_ROBOT_NS]), int(record[SAMPLES]), stored=True)
    except (KeyError, ValueError, TypeError):
        return None


def estimate(robot_time_ns: np.ndarray, receive_time_ns: np.ndarray,
             valid: Optional[np.ndarray] = None) -> ClockEstimate:
    """The offset and drift of the robot's clock from samples' robot times and host receive
    times (int64 ns, same length; ``valid`` selects the samples to use)."""
    robot = np.asarray(robot_time_ns, dtype=np.int64)
    receive = np.asarray(receive_time_ns, dtype=np.int64)
    # Temporaries of the samples' length are few: a recording of hours is loaded in bounded
    # memory, and the estimate must not double it.
    if valid is not None and not np.all(valid):
        robot, receive = robot[valid], receive[valid]
    if len(robot) == 0:
        return ClockEstimate(0, 0.0, 0, 0)
    if np.any(robot[1:] < robot[:-1]):
        order = np.argsort(robot, kind="stable")
        robot, receive = robot[order], receive[order]
    t0 = int(robot[0])
    lag = receive - robot
    lag0 = int(lag.min())
    if len(robot) == 1 or int(robot[-1]) == t0:
        return ClockEstimate(lag0, 0.0, t0, len(robot))
    intervals = int(np.clip(len(robot) // _PER_INTERVAL, 2, _INTERVALS))
    bounds = np.linspace(0, len(robot), intervals + 1).astype(np.int64)
    picked = np.array([a + int(np.argmin(lag[a:b])) for a, b in zip(bounds[:-1], bounds[1:])])
    ex = (robot[picked] - t0).astype(np.float64)
    ey = (lag[picked] - lag0).astype(np.float64)
    i, j = np.triu_indices(len(ex), k=1)
    dx = ex[j] - ex[i]
    apart = dx > 0
    if not apart.any():
        return ClockEstimate(lag0 + int(round(float(np.median(ey)))), 0.0, t0, len(robot))
    slope = float(np.median((ey[j] - ey[i])[apart] / dx[apart]))
    # The line goes under the envelope, not through its middle: under all of it but its
    # lowest few points, which a handful of wrong timestamps may be.
    intercept = float(np.quantile(ey - slope * ex, _BELOW))
    return ClockEstimate(lag0 + int(round(intercept)), slope, t0, len(robot))


def stored(paths: Iterable[str]) -> Optional[ClockEstimate]:
    """The estimate the recorder stored, from the last of ``paths`` that has one (a split
    recording's last file covers it all, as its counters do); None when none has."""
    from mcap.reader import make_reader

    found = None
    for path in paths:
        try:
            with open(path, "rb") as f:
                for meta in make_reader(f).iter_metadata():
                    if meta.name == RECORD:
                        found = parse(dict(meta.metadata)) or found
        except Exception:  # noqa: BLE001 - the file was read whole before: keep estimating
            continue
    return found


def attach(recording, records: Optional[Iterable[dict[str, str]]] = None):
    """Sets ``recording.clock`` (stored in its files, else estimated from the samples loaded:
    a time window gives an estimate of its own) and every stream's ``robot_time_host_ns``;
    returns ``recording``. ``records``: the files' :data:`RECORD` records (empty for a file
    without one), when the caller read them already; else the files are read for them."""
    if records is None:
        clock = stored(recording.files)
    else:
        found = [parse(r) for r in records if r]
        clock = next((c for c in reversed(found) if c is not None), None)
    if clock is None:
        # The basic stream carries the robot's own stamps. Extra samples bear the stamp of the
        # basic sample before them and arrive later: above the line too, only further.
        source = recording.basic if len(recording.basic) else recording.extra
        clock = estimate(source.robot_time_ns, source.receive_time_ns, source.valid)
    recording.clock = clock
    for stream in (recording.basic, recording.extra):
        stream.robot_time_host_ns = clock.host_ns(stream.robot_time_ns)
    return recording
