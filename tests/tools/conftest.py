"""Fixtures for the kvt tools' tests: the real `kvt` command in a child process against the
simulated robot. The robot runs in its own process too (`remote_simulator`), since a test may also
hold an orbaltkvt Client, which waits for the robot without releasing the interpreter lock."""
from __future__ import annotations

import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from orbaltkvt_sim.testing import remote_simulator, require_netns  # noqa: F401

ROOT = Path(__file__).resolve().parents[2]


def kvt_command() -> list[str]:
    installed = Path(sys.executable).parent / "kvt"
    return [str(installed)] if installed.exists() else [sys.executable, "-m", "orbaltkvt_tools"]


def kvt_env() -> dict:
    env = dict(os.environ)
    # The tools from this tree even where they are not installed; the module from PYTHONPATH.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "tools"),
                                                      env.get("PYTHONPATH")]))
    return env


class Child:
    """A running `kvt` command whose stdout and stderr lines are collected as they arrive, each
    with the host time (monotonic) it was read."""

    def __init__(self, *args: str):
        self.proc = subprocess.Popen([*kvt_command(), *map(str, args)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     env=kvt_env())
        self.out: list[tuple[float, str]] = []
        self.err: list[str] = []
        self._readers = [threading.Thread(target=self._read, args=(s, sink, stamp), daemon=True)
                         for s, sink, stamp in ((self.proc.stdout, self.out, True),
                                                (self.proc.stderr, self.err, False))]
        for r in self._readers:
            r.start()

    @staticmethod
    def _read(stream, sink, stamp) -> None:
        try:
            for line in stream:
                line = line.rstrip("\n")
                sink.append((time.monotonic(), line) if stamp else line)
        except (OSError, ValueError):
            pass  # the test closed the pipe: the reader went away

    def wait_for(self, predicate, timeout: float, stream: str = "out"):
        """The first line (out: (time, text); err: text) that satisfies ``predicate``, else None."""
        deadline = time.monotonic() + timeout
        seen = 0
        while time.monotonic() < deadline:
            lines = self.out if stream == "out" else self.err
            for item in lines[seen:]:
                if predicate(item[1] if stream == "out" else item):
                    return item
            seen = len(lines)
            if self.proc.poll() is not None and not any(r.is_alive() for r in self._readers):
                return None
            time.sleep(0.01)
        return None

    def finish(self, timeout: float = 30.0) -> int:
        code = self.proc.wait(timeout)
        for r in self._readers:
            r.join(5.0)
        return code

    def stop(self, sig=None) -> int:
        import signal

        if self.proc.poll() is None:
            self.proc.send_signal(sig or signal.SIGINT)
        return self.finish()

    @property
    def stderr(self) -> str:
        return "\n".join(self.err)


@pytest.fixture
def kvt():
    """Factory: ``kvt(*args)`` starts the command; each one still running is killed at the end."""
    require_netns()
    started: list[Child] = []

    def start(*args: str) -> Child:
        child = Child(*args)
        started.append(child)
        return child

    # For running the command under another program: its argv and environment.
    start.command = kvt_command
    start.env = kvt_env
    yield start
    for child in started:
        if child.proc.poll() is None:
            child.proc.kill()
            child.proc.wait()
