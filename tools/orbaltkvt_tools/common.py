"""What the verbs share: expected failures, connecting, polling for new samples, conversions."""
from __future__ import annotations

import math
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Optional

NS = 1_000_000_000

POLLING_NOTE = (
    "kvt polls the orbaltkvt client, which keeps only the newest sample of each stream: a "
    "sample that is replaced before the next look is never seen. Such samples are counted as "
    "missed (from gaps in the robot's timestamps), not hidden.")


class ToolError(Exception):
    """A failure the user can act on: reported as one line on stderr, exit status 1."""


class UsageError(Exception):
    """Bad input that argparse could not catch (a malformed serial number): exit status 2."""


def connect(serial_number: str):
    """A connected ``orbaltkvt.Client``, or :class:`ToolError` / :class:`UsageError`."""
    try:
        import orbaltkvt
    except ImportError as exc:
        raise ToolError(f"the orbaltkvt module cannot be imported ({exc}); install it with "
                        "'pip install .' at the repository root") from None
    try:
        return orbaltkvt.Client(serial_number, verbose=False)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    except RuntimeError as exc:
        raise ToolError(f"cannot connect to robot {serial_number}: {exc}") from None


def group_by_name(name: str):
    """The ``JointGroup`` called ``name`` (case-insensitive), or :class:`UsageError`."""
    from orbaltkvt import JointGroup

    member = JointGroup.__members__.get(name.upper())
    if member is None:
        choices = ", ".join(n for n in JointGroup.__members__ if n != "UNKNOWN")
        raise UsageError(f"unknown joint group {name!r} (one of {choices})")
    return member


def timestamp_ns(timestamp: tuple[int, int]) -> int:
    """The robot's (seconds, nanoseconds) pair as nanoseconds."""
    return timestamp[0] * NS + timestamp[1]


def format_ns(ns: int) -> str:
    """Nanoseconds as exact decimal seconds, e.g. ``1712345678.000125000``."""
    sign = "-" if ns < 0 else ""
    sec, nsec = divmod(abs(ns), NS)
    return f"{sign}{sec}.{nsec:09d}"


def record_dict(record: Any, fields: Optional[list[str]] = None) -> dict[str, Any]:
    """The properties of an orbaltkvt record as a plain dict (optionally only ``fields``)."""
    names = fields if fields is not None else [
        n for n in dir(record) if not n.startswith("_") and not callable(getattr(record, n))]
    return {n: getattr(record, n) for n in names}


def fine_groups(groups) -> list:
    """The groups to show people: ALL and ARMS overlap the finer groups, so they are left out
    when the robot has anything finer."""
    from orbaltkvt import JointGroup

    fine = [g for g in (JointGroup.ARM_1, JointGroup.ARM_2, JointGroup.EXT_AXIS) if g in groups]
    return fine or list(groups)


def select_groups(groups, spec: Optional[str]) -> list:
    """The groups named by ``spec``: None for :func:`fine_groups`, "all", or "G,G,...";
    :class:`UsageError` for a name the robot does not have."""
    if spec is None:
        return fine_groups(groups)
    if spec.lower() == "all":
        return list(groups)
    wanted = [group_by_name(n.strip()) for n in spec.split(",") if n.strip()]
    missing = [g.name for g in wanted if g not in groups]
    if missing:
        raise UsageError(f"the robot has no joint group {missing[0]} "
                         f"(it has {', '.join(g.name for g in groups)})")
    return wanted


def add_group_option(parser) -> None:
    parser.add_argument("--groups", metavar="all|G,...",
                        help="joint groups to take (default: all but ALL and ARMS, which only "
                             "repeat the joints of ARM_1, ARM_2 and EXT_AXIS when the robot has "
                             "those; 'all' takes every group)")


@dataclass
class Poller:
    """Polls ``client.states()`` and hands out only new samples (a new robot timestamp).

    Samples replaced before the next poll are counted in :attr:`missed`, from the gaps between
    the robot timestamps of consecutive new samples divided by the stream's sample period. The
    period is ``1 / rate`` when the rate is given, otherwise the smallest gap seen so far (the
    count is redone from the gaps seen when a smaller one shows up). A gap
    after the host saw no new sample for ``pause_after`` seconds is a pause of the stream (the
    robot sent nothing), counted in :attr:`pauses` instead. A timestamp that goes back (a robot
    restart) starts counting afresh.
    """

    client: Any
    rate: Optional[float] = None
    interval: Optional[float] = None
    pause_after: float = 0.25
    kept: int = 0
    missed: int = 0
    pauses: int = 0
    period_ns: Optional[int] = None
    last_ns: Optional[int] = None
    last_change: float = field(default_factory=time.monotonic)
    polls: int = 0
    _gaps: Counter = field(default_factory=Counter)

    def __post_init__(self) -> None:
        if self.rate:
            self.period_ns = max(1, round(NS / self.rate))

    def poll(self):
        """``states()`` if it holds a new sample, else None."""
        self.polls += 1
        states = self.client.states()
        if not states:
            return None
        ns = timestamp_ns(next(iter(states.values())).timestamp)
        if ns == self.last_ns:
            return None
        now = time.monotonic()
        if self.last_ns is not None and ns > self.last_ns:
            gap = ns - self.last_ns
            if now - self.last_change > self.pause_after and gap > 2 * (self.period_ns or 0):
                self.pauses += 1
            else:
                self._gaps[gap] += 1
                if self.rate is None and (self.period_ns is None or gap < self.period_ns):
                    self.period_ns = gap
                    self.missed = sum(n * self._skipped(g) for g, n in self._gaps.items())
                else:
                    self.missed += self._skipped(gap)
        self.last_ns = ns
        self.last_change = now
        self.kept += 1
        return states

    def _skipped(self, gap: int) -> int:
        return max(0, round(gap / self.period_ns) - 1)

    def next(self, deadline: Optional[float] = None):
        """Waits for a new sample; None once ``deadline`` (monotonic) has passed.

        Right after a new sample the next one is most of a period away, so the first look comes
        0.6 periods after the last new sample was seen, then one every eighth of a period. Seen
        late, the next sample is there at the first look, which moves the looks earlier again.
        """
        if self.interval is None and self.period_ns is not None and self.last_ns is not None:
            delay = self.last_change + 0.6 * self.period_ns / NS - time.monotonic()
            if deadline is not None:
                delay = min(delay, deadline - time.monotonic())
            if delay > 0:
                time.sleep(delay)
        while True:
            states = self.poll()
            if states is not None:
                return states
            if deadline is not None and time.monotonic() >= deadline:
                return None
            pause = self.sleep_time()
            if pause > 0:  # --poll-interval 0 looks without pause, a core busy
                time.sleep(pause)

    def sleep_time(self) -> float:
        """Time between two looks while waiting: an eighth of the sample period, at most 1 ms."""
        if self.interval is not None:
            return self.interval
        period = self.period_ns / NS if self.period_ns is not None else None
        if period is None:
            return 0.00025
        if time.monotonic() - self.last_change > 10 * period:
            return 0.001  # the stream stalled: look less often until it is back
        return min(0.001, period / 8)

    @property
    def kept_fraction(self) -> float:
        seen = self.kept + self.missed
        return self.kept / seen if seen else math.nan

    def age(self) -> float:
        """Seconds (host clock) since the newest sample last changed."""
        return time.monotonic() - self.last_change


def add_poll_options(parser) -> None:
    parser.add_argument("--rate", type=float, metavar="HZ",
                        help="the robot's stream rate, for counting missed samples (default: "
                             "inferred from the smallest gap between robot timestamps)")
    parser.add_argument("--poll-interval", type=float, metavar="S",
                        help="seconds between two polls, 0 for none (a whole core busy; "
                             "default: paced by the sample period: the first look 0.6 periods "
                             "after a new sample, then every eighth of a period, at most 1 ms)")


def make_poller(client, args) -> Poller:
    return Poller(client, rate=args.rate, interval=args.poll_interval)
