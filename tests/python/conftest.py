"""Fixtures for the Python module's tests.

The module never releases the interpreter lock while it waits for the robot, so the simulated
robot always runs in a separate process here (`remote_simulator`)."""
from __future__ import annotations

import pytest

from orbaltkvt_sim import RemoteSimulator
from orbaltkvt_sim.testing import (  # noqa: F401
    remote_simulator, require_netns, simulator_process, zenoh_router)


@pytest.fixture(scope="module")
def shared_robot():
    """One simulated robot and one client for the read-only tests of a module."""
    require_netns()
    import orbaltkvt

    sim = RemoteSimulator().start()
    try:
        client = orbaltkvt.Client(sim.sn, verbose=False)
        yield sim, client
        del client
    finally:
        sim.stop()
