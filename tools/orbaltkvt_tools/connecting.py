"""The native modules a verb works through, opened so that a missing module or an unreachable
robot ends the verb in one line."""
from __future__ import annotations

import re

from .errors import ToolError, UsageError


def _missing(module: str, exc: ImportError) -> ToolError:
    return ToolError(f"the {module} module cannot be imported ({exc}); install it with "
                     "'pip install .' at the repository root")


def connect(serial_number: str):
    """A connected ``orbaltkvt.Client``, or :class:`ToolError` / :class:`UsageError`."""
    try:
        import orbaltkvt
    except ImportError as exc:
        raise _missing("orbaltkvt", exc) from None
    try:
        return orbaltkvt.Client(serial_number, verbose=False)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    except RuntimeError as exc:
        raise ToolError(f"cannot connect to robot {serial_number}: {exc}") from None


# The verbs show or print what arrives for people; waking them once every few milliseconds,
# rather than for every sample, costs far less and delays nothing anyone sees.
MAX_LATENCY = 0.005


def sample_stream(client, capacity: int = 10000, keep_payloads: bool = False):
    """An ``orbaltkvt_stream.SampleStream`` on ``client`` that wakes its reader once every
    :data:`MAX_LATENCY` seconds at most, or :class:`ToolError`."""
    try:
        import orbaltkvt_stream
    except ImportError as exc:
        raise _missing("orbaltkvt_stream", exc) from None
    return orbaltkvt_stream.SampleStream(client, capacity=capacity, keep_payloads=keep_payloads,
                                         max_latency=MAX_LATENCY)


def without_os_error(text: str) -> str:
    """The bridge's failure text without Rust's " (os error N)" suffix."""
    return re.sub(r" \(os error \d+\)", "", text)


def open_bridge(client, groups, **options):
    """An ``orbaltkvt_foxglove.Bridge`` (file writer and/or WebSocket server on native
    threads), or :class:`ToolError`."""
    try:
        import orbaltkvt_foxglove
    except ImportError as exc:
        raise _missing("orbaltkvt_foxglove", exc) from None
    try:
        return orbaltkvt_foxglove.Bridge(client, list(groups), **options)
    except (RuntimeError, ValueError) as exc:
        raise ToolError(without_os_error(str(exc))) from None
