import sys
import time
from pathlib import Path

import pytest

try:
    import orbaltkvt_sim  # noqa: F401
except ImportError:  # not installed: use the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))

import zenoh  # noqa: E402

from orbaltkvt_sim import messages as m  # noqa: E402
from orbaltkvt_sim.testing import (  # noqa: E402,F401
    remote_simulator, require_netns, simulator, simulator_process, unique_sn, wait_for_service)



@pytest.fixture(scope="session")
def peer():
    """The test's own zenoh peer, separate from every simulator's session."""
    require_netns()
    session = zenoh.open(zenoh.Config())
    yield session
    session.close()


@pytest.fixture
def sim(simulator, peer):
    """A started dual-arm simulator that ``peer`` has discovered."""
    s = simulator()
    assert wait_for_service(peer, s.sn), "simulator not discovered"
    s.reset_counts()
    return s


class Rpc:
    """Sends requests from the test peer and collects every reply, decoded with zenoh.ext."""

    def __init__(self, session):
        self.session = session

    def replies(self, sim_or_key, request_id, groups=(), timeout=2.0, payload=None):
        key = sim_or_key if isinstance(sim_or_key, str) else sim_or_key.key_rpc
        if payload is None:
            payload = m.encode_request(m.RPCRequest(request_id, list(groups)))
        out = []
        began = time.monotonic()
        for reply in self.session.get(key, payload=payload, timeout=timeout,
                                      encoding=zenoh.Encoding.ZENOH_SERIALIZED,
                                      consolidation=zenoh.ConsolidationMode.NONE):
            at = time.monotonic() - began
            if reply.ok is not None:
                out.append(("ok", reply.ok.payload.to_bytes(), at))
            else:
                out.append(("err", reply.err.payload.to_bytes(), at))
        return out

    def call(self, sim_or_key, request_id, groups=(), timeout=2.0) -> dict:
        """Exactly one good reply is expected; returns it decoded."""
        got = self.replies(sim_or_key, request_id, groups, timeout)
        assert [kind for kind, _, _ in got] == ["ok"], got
        return m.decode_reply(got[0][1])


@pytest.fixture
def rpc(peer):
    return Rpc(peer)


class StreamTap:
    """Collects raw payloads of one stream on the test peer, and when each arrived."""

    def __init__(self, session, key):
        self.samples: list[bytes] = []
        self.arrivals: list[float] = []  # time.monotonic(), one per sample
        self._sub = session.declare_subscriber(key, self._on_sample)

    def _on_sample(self, sample) -> None:
        self.arrivals.append(time.monotonic())
        self.samples.append(sample.payload.to_bytes())

    def wait(self, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        while len(self.samples) < count:
            assert time.monotonic() < deadline, f"only {len(self.samples)} of {count} samples"
            time.sleep(0.005)
        return self.samples

    def next(self, timeout=5.0) -> bytes:
        """The first sample that arrives after this call."""
        start = len(self.samples)
        return self.wait(start + 1, timeout)[start]

    def after(self, action, timeout=5.0) -> bytes:
        """The first sample that arrives once ``action()`` has been called."""
        start = len(self.samples)
        action()
        return self.wait(start + 1, timeout)[start]

    def close(self):
        self._sub.undeclare()


@pytest.fixture
def tap(peer):
    made = []

    def make(key):
        t = StreamTap(peer, key)
        made.append(t)
        return t

    yield make
    for t in made:
        t.close()
