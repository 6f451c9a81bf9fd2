"""Deployments beyond one robot on one segment: a cell of robots read by one process, and a
robot that is reachable only through a zenoh router. The clients use the default
configuration throughout."""
import struct
import time

import pytest

import orbaltkvt
from orbaltkvt import JointGroup
from orbaltkvt_sim import RobotModel
from orbaltkvt_sim.fleet import FLEET_PHASE_STEP
from orbaltkvt_sim.testing import unique_sn


def _key(values) -> tuple:
    """The values as they travel (float32)."""
    return struct.unpack(f"<{len(values)}f", struct.pack(f"<{len(values)}f", *values))


def _fleet_values(k: int, states: int = 100, hold_ms: int = 10) -> tuple[set, set]:
    """Every measured and desired joint-position vector robot k of a default fleet publishes
    (its replay cycle)."""
    model = RobotModel("dual")
    q, q_d = set(), set()
    for i in range(states):
        t = 1.0 + (k - 1) * FLEET_PHASE_STEP + i * hold_ms / 1000.0
        basic = model.basic(t)
        q.add(_key(basic.joint_data.q))
        q_d.add(_key(model.extra(t, basic).joint_data.q_d))
    return q, q_d


def _wait_for_new_sample(client, after, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        states = client.states()
        if states[JointGroup.ALL].timestamp != after:
            return states
        time.sleep(0.005)
    pytest.fail("no new sample")


def test_fleet_of_four_read_by_one_process_without_crosstalk(simulator_process):
    prefix = unique_sn("CELL")
    fleet = simulator_process("--fleet", "4", sn=prefix)
    # Robots start one after the other; the clients ask once every one serves.
    assert fleet.wait_for_log("fleet of 4 robots serving", timeout=60.0), fleet.log
    expected = {k: _fleet_values(k) for k in range(1, 5)}
    for a in expected:
        for b in expected:
            assert a == b or not (expected[a][0] & expected[b][0]
                                  or expected[a][1] & expected[b][1])

    clients = {k: orbaltkvt.Client(f"{prefix}-{k}", verbose=False) for k in range(1, 5)}
    try:
        last = {k: None for k in clients}
        for _ in range(25):
            for k, client in clients.items():
                states = _wait_for_new_sample(client, last[k])
                last[k] = states[JointGroup.ALL].timestamp
                q = _key(states[JointGroup.ALL].q)
                q_d = _key(client.actions()[JointGroup.ALL].q_d)
                owners = [j for j, (qs, _) in expected.items() if q in qs]
                assert owners == [k], f"client of robot {k} shows robot {owners}'s positions"
                owners = [j for j, (_, q_ds) in expected.items() if q_d in q_ds]
                assert owners == [k], f"client of robot {k} shows robot {owners}'s actions"
            time.sleep(0.01)
        assert all(c.connected() for c in clients.values())
    finally:
        clients.clear()


def test_robot_reached_only_through_a_router(zenoh_router, simulator_process):
    # The robot is a zenoh client of the router, multicast scouting off: the router is the only
    # way to it. The library finds the router by its default multicast scouting.
    sim = simulator_process("--connect", zenoh_router.endpoint)
    client = orbaltkvt.Client(sim.sn, verbose=False)
    try:
        first = client.states()
        assert list(first) == [JointGroup.ALL, JointGroup.ARMS, JointGroup.ARM_1,
                               JointGroup.ARM_2, JointGroup.EXT_AXIS]
        assert len(first[JointGroup.ARM_1].q) == 7
        later = _wait_for_new_sample(client, first[JointGroup.ALL].timestamp)
        assert later[JointGroup.ALL].timestamp > first[JointGroup.ALL].timestamp
        actions = client.actions()
        assert len(actions[JointGroup.ALL].q_d) == 16
        assert client.plan_info().pt_name
        assert client.connected()
    finally:
        del client
    assert sim.proc.poll() is None, sim.log
