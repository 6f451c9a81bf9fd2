"""A simulator in a child process, driven through the same Python API as an in-process one.

Needed whenever the code under test blocks while holding the interpreter lock (the orbaltkvt
Python module does: its calls wait for the robot without releasing it). A simulator running as
threads of that same interpreter could then not answer, so it runs in its own process::

    with RemoteSimulator(preset="single") as sim:
        sim.faults.answer_from(0, 2)
        client = orbaltkvt.Client(sim.sn)
        assert sim.request_count(0) == 2
        assert sim.malformed_requests() == 0      # attributes are read by calling them

Every method and attribute of :class:`~orbaltkvt_sim.simulator.Simulator` (and of its
``faults``) is reached the same way; arguments and results travel by pickling, so fault fields
that are callables (custom replies, stream transforms) must be module-level functions.
:meth:`kill` ends the child with SIGKILL: the robot vanishes without undeclaring anything.

The child inherits this process's network namespace.
"""

from __future__ import annotations

import logging
import multiprocessing
import os
import signal
import sys
import traceback
from typing import Any, Optional

from .keys import unique_sn
from .simulator import Simulator


def _resolve(sim: Simulator, path: str):
    target: Any = sim
    for name in path.split("."):
        if name.startswith("_"):
            raise AttributeError(f"{path}: private attributes are not reachable")
        target = getattr(target, name)
    return target


def _child_main(conn, sn: str, kwargs: dict, log_level: int) -> None:
    logging.basicConfig(stream=sys.stderr, level=log_level,
                        format="%(asctime)s.%(msecs)03d orbaltkvt-sim %(message)s",
                        datefmt="%H:%M:%S")
    sim = Simulator(sn, **kwargs)
    try:
        sim.start()
    except Exception as exc:  # noqa: BLE001 - reported to the parent
        conn.send(("error", repr(exc)))
        return
    conn.send(("ok", {"sn": sim.sn, "key_basic": sim.key_basic, "key_extra": sim.key_extra,
                      "key_rpc": sim.key_rpc}))
    while True:
        try:
            path, args, kw = conn.recv()
        except (EOFError, OSError):  # the parent is gone
            break
        if path == "__exit__":
            break
        try:
            target = _resolve(sim, path)
            result = target(*args, **kw) if callable(target) else target
            conn.send(("ok", result))
        except Exception as exc:  # noqa: BLE001 - re-raised in the parent
            conn.send(("raise", (exc, traceback.format_exc())))
    sim.stop()
    conn.close()


class RemoteError(RuntimeError):
    """The child failed in a way that cannot be re-raised as the original exception."""


class _Proxy:
    def __init__(self, owner: "RemoteSimulator", path: str):
        self._owner = owner
        self._path = path

    def __getattr__(self, name: str) -> "_Proxy":
        if name.startswith("_"):
            raise AttributeError(name)
        return _Proxy(self._owner, f"{self._path}.{name}")

    def __call__(self, *args, **kwargs):
        return self._owner._call(self._path, args, kwargs)


class RemoteSimulator:
    """A :class:`Simulator` in a child process. Keyword arguments are the Simulator's.

    ``sn``, ``key_basic``, ``key_extra`` and ``key_rpc`` are plain attributes once started;
    everything else is reached as ``remote.name(...)`` or ``remote.faults.name(...)``.
    """

    def __init__(self, sn: Optional[str] = None, *, log_level: int = logging.INFO, **kwargs):
        self.sn = sn or unique_sn("REMOTE")
        self._kwargs = kwargs
        self._log_level = log_level
        self._conn = None
        self._proc = None

    def start(self, timeout: float = 30.0) -> "RemoteSimulator":
        ctx = multiprocessing.get_context("spawn")  # zenoh's threads do not survive fork
        parent, child = ctx.Pipe()
        self._proc = ctx.Process(target=_child_main, name="orbaltkvt-sim",
                                 args=(child, self.sn, self._kwargs, self._log_level),
                                 daemon=True)
        self._proc.start()
        child.close()
        self._conn = parent
        if not parent.poll(timeout):
            self.kill()
            raise RemoteError("simulator process did not start in time")
        status, info = parent.recv()
        if status != "ok":
            self.kill()
            raise RemoteError(f"simulator process failed to start: {info}")
        for name, value in info.items():
            setattr(self, name, value)
        return self

    def _call(self, path: str, args, kwargs):
        if self._conn is None:
            raise RemoteError("simulator process not running")
        self._conn.send((path, args, kwargs))
        status, value = self._conn.recv()
        if status == "raise":
            exc, text = value
            raise exc from RemoteError(text)
        return value

    def __getattr__(self, name: str) -> _Proxy:
        if name.startswith("_"):
            raise AttributeError(name)
        return _Proxy(self, name)

    @property
    def pid(self) -> Optional[int]:
        return self._proc.pid if self._proc is not None else None

    def stop(self, abrupt: bool = False, timeout: float = 10.0) -> None:
        """Stops the simulator. With ``abrupt`` the child stays alive but silent (see
        :meth:`Simulator.stop`); otherwise the child stops cleanly and exits."""
        if self._conn is None:
            return
        if abrupt:
            self._call("stop", (True,), {})
            return
        try:
            self._conn.send(("__exit__", (), {}))
        except OSError:
            pass
        self._join(timeout)

    def kill(self) -> None:
        """SIGKILL: the child vanishes without undeclaring anything."""
        if self._proc is not None and self._proc.pid is not None and self._proc.is_alive():
            os.kill(self._proc.pid, signal.SIGKILL)
        self._join(10.0)

    def _join(self, timeout: float) -> None:
        if self._proc is not None:
            self._proc.join(timeout)
            if self._proc.is_alive():
                self._proc.kill()
                self._proc.join()
        if self._conn is not None:
            self._conn.close()
        self._conn = None

    def __enter__(self) -> "RemoteSimulator":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
