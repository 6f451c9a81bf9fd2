"""Process exit with simulators still running or abruptly stopped.

A thread that is inside zenoh while the interpreter finalizes aborts the process when it comes
back to Python: a publishing loop in put(), or a zenoh thread delivering a query to a callback.
So whatever still runs when the process ends is made quiet first, while Python still runs:
publishing loops end and queryables are undeclared (those of abruptly stopped simulators too:
nothing answers once the process is going anyway).
"""

from __future__ import annotations

import atexit
import time

# Sessions, publishers and queryables of abruptly stopped simulators: kept referenced so nothing
# is undeclared or closed.
_abandoned: list = []
# Publishing loops and services running (or abandoned) now: each has quiesce().
_active: set = set()


def track(thing) -> None:
    _active.add(thing)


def untrack(thing) -> None:
    _active.discard(thing)


def abandon(*things) -> None:
    _abandoned.append(things)


@atexit.register
def _quiesce_at_exit() -> None:
    quieted = list(_active)
    for thing in quieted:
        thing.quiesce()
    if quieted:
        # A delivery that began before the undeclare may be waiting for the interpreter lock:
        # let it run to its end now rather than during finalization.
        time.sleep(0.1)
