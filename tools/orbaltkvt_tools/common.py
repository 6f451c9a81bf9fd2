"""What the verbs share: expected failures, connecting, joint groups, loss counters, conversions."""
from __future__ import annotations

from typing import Any, Optional

NS = 1_000_000_000

COUNTERS_NOTE = (
    "Every sample of both streams is queued in native code (a bounded queue per stream); the "
    "counters say what happened to them: received, delivered, dropped (the queue was full, the "
    "oldest went), gaps (samples the robot stamped that never arrived, from its timestamps) and "
    "malformed.")


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


def sample_stream(client, capacity: int = 10000, keep_payloads: bool = False):
    """An ``orbaltkvt_stream.SampleStream`` on ``client``, or :class:`ToolError`."""
    try:
        import orbaltkvt_stream
    except ImportError as exc:
        raise ToolError(f"the orbaltkvt_stream module cannot be imported ({exc}); install it "
                        "with 'pip install .' at the repository root") from None
    return orbaltkvt_stream.SampleStream(client, capacity=capacity, keep_payloads=keep_payloads)


def counters_dict(counters) -> dict[str, int]:
    """One stream's counters (an ``orbaltkvt_stream.Counters`` or a dict) as a plain dict."""
    return dict(counters) if isinstance(counters, dict) else counters._asdict()


def loss_text(name: str, counters) -> str:
    """``basic: kept 59990 of 60000, dropped 0, gaps 10``: kept is what was delivered, of what
    the robot sent before the end (delivered, dropped, malformed and the gaps; samples that
    arrived after the end are not counted)."""
    c = counters_dict(counters)
    sent = c.get("delivered", 0) + c.get("dropped", 0) + c.get("malformed", 0) + c.get("gaps", 0)
    text = (f"{name}: kept {c.get('delivered', 0)} of {sent}, dropped {c.get('dropped', 0)}, "
            f"gaps {c.get('gaps', 0)}")
    if c.get("malformed"):
        text += f", malformed {c['malformed']}"
    return text


class StopSignals:
    """While active, SIGINT and SIGTERM only set a flag: a loop that waits in native code
    with the interpreter lock released sees it at its next look and closes its file complete,
    whichever thread the signal was delivered to."""

    SIGNALS = ("SIGINT", "SIGTERM")

    def __init__(self):
        self.received: Optional[int] = None
        self._previous: dict = {}

    def _set(self, signum, _frame) -> None:
        self.received = signum

    def __bool__(self) -> bool:
        return self.received is not None

    def __enter__(self) -> "StopSignals":
        import signal

        for name in self.SIGNALS:
            sig = getattr(signal, name)
            self._previous[sig] = signal.signal(sig, self._set)
        return self

    def __exit__(self, *exc) -> None:
        import signal

        for sig, handler in self._previous.items():
            signal.signal(sig, handler)


def parse_size(text: str) -> int:
    """Bytes from "100M", "1.5G", "500k", "64Mi" or a plain number (argparse type)."""
    import argparse
    import re

    match = re.fullmatch(r"\s*(\d+(?:\.\d*)?)\s*([kKMGT]?)(i?)[bB]?\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 100M, 2G, 500k)")
    number, prefix, binary = match.groups()
    power = " kMGT".index(prefix.upper() if prefix not in ("k", "K") else "k") if prefix else 0
    return int(float(number) * (1024 if binary else 1000) ** power)


def open_bridge(client, groups, **options):
    """An ``orbaltkvt_foxglove.Bridge`` (file writer and/or WebSocket server on native
    threads), or :class:`ToolError`."""
    try:
        import orbaltkvt_foxglove
    except ImportError as exc:
        raise ToolError(f"the orbaltkvt_foxglove module cannot be imported ({exc}); install it "
                        "with 'pip install .' at the repository root") from None
    try:
        return orbaltkvt_foxglove.Bridge(client, list(groups), **options)
    except (RuntimeError, ValueError) as exc:
        import re

        raise ToolError(re.sub(r" \(os error \d+\)", "", str(exc))) from None
