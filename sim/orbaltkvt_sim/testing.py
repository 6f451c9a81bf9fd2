"""Pytest helpers for suites that need a simulated robot.

In a suite's conftest.py::

    from orbaltkvt_sim.testing import (  # noqa: F401
        remote_simulator, simulator, simulator_process, unique_sn)

then in a test::

    def test_peer_sees_second_probe(simulator):
        sim = simulator(preset="single")               # threads of this process
        sim.faults.answer_from(0, 2)
        ...                                            # query it from a zenoh session
        assert sim.request_count(0) == 2

    def test_client_sees_second_probe(remote_simulator):
        sim = remote_simulator(preset="single")        # own process, same API
        sim.faults.answer_from(0, 2)
        client = orbaltkvt.Client(sim.sn)              # blocks holding the interpreter lock
        assert sim.request_count(0) == 2

    def test_robot_dies(simulator_process):
        proc = simulator_process("--rate", "500")      # separate process, own zenoh session
        ...
        proc.kill()                                    # SIGKILL: gone without undeclaring

The in-process ``simulator`` needs this interpreter to run its threads: a client that waits
while holding the interpreter lock (the orbaltkvt module does) must use ``remote_simulator``.

Every process that opens a zenoh session must run inside the private network namespace of
scripts/netns; start pytest through it.
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import sys
import threading
import time
from pathlib import Path
from typing import Optional

import pytest
import zenoh

from . import messages as m
from .keys import KEY_PREFIX, RPC_SUFFIX, unique_sn
from .simulator import Simulator


def wait_for_service(session: zenoh.Session, sn: str, timeout: float = 10.0) -> bool:
    """Sends probes (request id 0) until the service of ``sn`` answers; False after ``timeout``.

    Discovery between two peers takes a moment after either opens its session, so a test waits
    here instead of sleeping a fixed time. Each probe counts as a request on the simulator.
    """
    key = KEY_PREFIX + sn + RPC_SUFFIX
    payload = m.encode_request(m.RPCRequest(m.REQ_PROBE))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for reply in session.get(key, payload=payload, timeout=0.5):
            if reply.ok is not None:
                return True
        time.sleep(0.02)
    return False


class SimulatorProcess:
    """``orbaltkvt-sim`` running as a child process (inherits this process's network namespace).

    ``args`` are extra command-line options. The serial number is ``sn`` (a fresh one by
    default). :meth:`start` returns once the simulator logged that it is serving.
    """

    def __init__(self, *args: str, sn: Optional[str] = None, python: str = sys.executable):
        self.sn = sn or unique_sn("PROC")
        self.args = [str(a) for a in args]
        self.python = python
        self.proc: Optional[subprocess.Popen] = None
        self._lines: list[str] = []
        self._reader: Optional[threading.Thread] = None

    def start(self, timeout: float = 15.0) -> "SimulatorProcess":
        """Starts the process and waits until it serves; a running one is left as it is."""
        if self.proc is not None and self.proc.poll() is None:
            return self
        env = dict(os.environ)
        package_root = str(Path(__file__).resolve().parent.parent)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root,
                                                           env.get("PYTHONPATH")]))
        self.proc = subprocess.Popen(
            [self.python, "-m", "orbaltkvt_sim", "--sn", self.sn, *self.args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            text=True, env=env)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if not self.wait_for_log("serving ", timeout):
            self.kill()
            raise RuntimeError("simulator process did not start:\n" + self.log)
        return self

    def _read(self) -> None:
        assert self.proc is not None and self.proc.stderr is not None
        for line in self.proc.stderr:
            self._lines.append(line.rstrip("\n"))

    @property
    def log(self) -> str:
        """Everything the process wrote to stderr so far."""
        return "\n".join(self._lines)

    def wait_for_log(self, text: str, timeout: float = 5.0) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(text in line for line in list(self._lines)):
                return True
            if self.proc is not None and self.proc.poll() is not None and self._reader is not None:
                self._reader.join(1.0)
                return any(text in line for line in self._lines)
            time.sleep(0.02)
        return False

    def _signal(self, sig: int, timeout: float) -> Optional[int]:
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        if self._reader is not None:
            self._reader.join(2.0)
        return code

    def terminate(self, timeout: float = 10.0) -> Optional[int]:
        """SIGTERM and wait; returns the exit code."""
        return self._signal(signal.SIGTERM, timeout)

    def interrupt(self, timeout: float = 10.0) -> Optional[int]:
        """SIGINT and wait; returns the exit code."""
        return self._signal(signal.SIGINT, timeout)

    def kill(self) -> Optional[int]:
        """SIGKILL: the robot vanishes without undeclaring anything."""
        return self._signal(signal.SIGKILL, 10.0)

    def wait(self, timeout: float = 10.0) -> Optional[int]:
        assert self.proc is not None
        code = self.proc.wait(timeout)
        if self._reader is not None:
            self._reader.join(2.0)
        return code

    def __enter__(self) -> "SimulatorProcess":
        return self.start()

    def __exit__(self, *exc) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.terminate()


ZENOHD_VERSION = "1.10.2"  # the transport crate's version; scripts/setup builds this one


def find_zenohd() -> Optional[str]:
    """The zenoh router program: $ORBALTKVT_ZENOHD, the per-machine build of scripts/setup, or
    zenohd on PATH; None when there is none."""
    candidates = [os.environ.get("ORBALTKVT_ZENOHD"),
                  os.path.expanduser("~/.cache/orbaltkvt-zenohd/bin/zenohd"),
                  shutil.which("zenohd")]
    for path in candidates:
        if path and os.access(path, os.X_OK):
            return path
    return None


def free_tcp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Router:
    """A zenohd router listening on 127.0.0.1 only, as a child process.

    It answers multicast scouting (zenohd's default), so a session with zenoh's default
    configuration finds it; :attr:`endpoint` is what a client connects to.
    """

    def __init__(self, program: Optional[str] = None, port: Optional[int] = None):
        self.program = program or find_zenohd()
        if self.program is None:
            raise FileNotFoundError("zenohd not found (scripts/setup builds it)")
        self.port = port or free_tcp_port()
        self.endpoint = f"tcp/127.0.0.1:{self.port}"
        self.proc: Optional[subprocess.Popen] = None
        self._log = None

    @property
    def log(self) -> str:
        """What the router wrote so far."""
        if self._log is None:
            return ""
        self._log.seek(0)
        return self._log.read().decode(errors="replace")

    def start(self, timeout: float = 15.0) -> "Router":
        self._log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [self.program, "--listen", self.endpoint],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"zenohd exited with {self.proc.returncode}:\n{self.log}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return self
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"zenohd did not listen on {self.endpoint}")

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10.0)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self._log is not None:
            self._log.close()
            self._log = None

    def __enter__(self) -> "Router":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def require_netns() -> None:
    """Stops the test run unless it runs inside the private namespace of scripts/netns."""
    if os.environ.get("ORBALTKVT_IN_NETNS") != "1":
        pytest.exit("zenoh sessions scout by multicast on every interface: run pytest through "
                    "scripts/netns", returncode=2)


def _started(build):
    """Body of a factory fixture: ``make(sn=None, **kwargs)`` builds with ``build`` and starts a
    simulator; every one made is stopped when the test ends."""
    require_netns()
    made = []

    def make(sn: Optional[str] = None, **kwargs):
        sim = build(sn, **kwargs)
        made.append(sim)
        return sim.start()

    yield make
    for sim in made:
        sim.stop()


@pytest.fixture
def simulator():
    """Factory fixture: ``simulator(**kwargs)`` returns a started in-process :class:`Simulator`.

    Keyword arguments are those of :class:`Simulator`; ``sn`` defaults to a fresh serial
    number. Every simulator made here is stopped when the test ends.
    """
    yield from _started(lambda sn, **kwargs: Simulator(sn or unique_sn(), **kwargs))


@pytest.fixture
def remote_simulator():
    """Factory fixture: ``remote_simulator(**kwargs)`` returns a started
    :class:`~orbaltkvt_sim.remote.RemoteSimulator` (same API, own process); each is stopped when
    the test ends. Use it when the code under test holds the interpreter lock while it waits."""
    from .remote import RemoteSimulator

    yield from _started(RemoteSimulator)


@pytest.fixture
def simulator_process():
    """Factory fixture: ``simulator_process(*cli_args, sn=None)`` returns a started
    :class:`SimulatorProcess`; each is terminated when the test ends."""
    require_netns()
    made: list[SimulatorProcess] = []

    def make(*args: str, sn: Optional[str] = None) -> SimulatorProcess:
        proc = SimulatorProcess(*args, sn=sn)
        made.append(proc)
        return proc.start()

    yield make
    for proc in made:
        if proc.proc is not None and proc.proc.poll() is None:
            proc.terminate()


@pytest.fixture
def zenoh_router():
    """A started :class:`Router` on a free loopback port; the test is skipped when zenohd is
    not installed (scripts/setup builds it once per machine)."""
    require_netns()
    if find_zenohd() is None:
        pytest.skip("zenohd not found: run scripts/setup, which builds zenohd "
                    f"{ZENOHD_VERSION} into ~/.cache/orbaltkvt-zenohd, or set ORBALTKVT_ZENOHD")
    with Router() as router:
        yield router
