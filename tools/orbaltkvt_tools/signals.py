"""Stopping a verb whose work waits in native code."""
from __future__ import annotations

import signal
from typing import Optional


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
        for name in self.SIGNALS:
            sig = getattr(signal, name)
            self._previous[sig] = signal.signal(sig, self._set)
        return self

    def __exit__(self, *exc) -> None:
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)
