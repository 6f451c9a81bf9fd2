"""Fixtures for the bridge's tests: the simulated robot in its own process (the orbaltkvt Client
waits for it holding the interpreter lock)."""
from __future__ import annotations

from orbaltkvt_sim.testing import remote_simulator, require_netns  # noqa: F401
