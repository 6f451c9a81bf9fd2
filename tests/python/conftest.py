"""Fixtures for the Python module's tests.

The module never releases the interpreter lock while it waits for the robot, so the simulated
robot always runs in a separate process here, scripted through JSON lines on its standard input
(tests/support/sim_control.py)."""
from __future__ import annotations

import itertools
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parents[1]
_serials = itertools.count(1)


def unique_sn() -> str:
    return f"PY-{os.getpid()}-{next(_serials):04d}"


def require_netns() -> None:
    if os.environ.get("ORBALTKVT_IN_NETNS") != "1":
        pytest.exit("zenoh sessions scout by multicast on every interface: run pytest through "
                    "scripts/netns", returncode=2)


class ControlledSim:
    """The simulated robot in a child process; `command` sends one JSON command."""

    def __init__(self, sn: str, *options: str):
        self.sn = sn
        self.proc = subprocess.Popen(
            [sys.executable, str(TESTS / "support" / "sim_control.py"), sn, *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ready = self._readline(30.0)
        if ready != "ready":
            self.stop()
            raise RuntimeError(f"simulator did not start: {ready!r}")

    def _readline(self, timeout: float) -> str:
        result: list[str] = []
        reader = threading.Thread(target=lambda: result.append(self.proc.stdout.readline()))
        reader.start()
        reader.join(timeout)
        if not result:
            raise TimeoutError("no answer from the simulator")
        return result[0].strip()

    def command(self, cmd: str, **fields):
        self.proc.stdin.write(json.dumps({"cmd": cmd, **fields}) + "\n")
        self.proc.stdin.flush()
        line = self._readline(30.0)
        if not line.startswith("ok "):
            raise RuntimeError(f"simulator refused {cmd}: {line}")
        return json.loads(line[3:])

    def stop(self) -> None:
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(10)
            except (subprocess.TimeoutExpired, BrokenPipeError):
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def robot():
    """Factory: ``robot(*options)`` starts a simulated robot with a fresh serial number."""
    require_netns()
    made: list[ControlledSim] = []

    def make(*options: str, sn: str | None = None) -> ControlledSim:
        sim = ControlledSim(sn or unique_sn(), *options)
        made.append(sim)
        return sim

    yield make
    for sim in made:
        sim.stop()


@pytest.fixture(scope="module")
def shared_robot():
    """One simulated robot and one client for the read-only tests of a module."""
    require_netns()
    import orbaltkvt

    sim = ControlledSim(unique_sn())
    try:
        client = orbaltkvt.Client(sim.sn, verbose=False)
        yield sim, client
        del client
    finally:
        sim.stop()
