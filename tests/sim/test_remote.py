"""The simulator in a child process, driven through the in-process API."""

import time

import pytest

from orbaltkvt_sim import RPCReply
from orbaltkvt_sim import messages as m
from orbaltkvt_sim.testing import wait_for_service



def test_remote_api_matches_in_process(remote_simulator, peer, rpc, tap):
    sim = remote_simulator(preset="single")
    assert sim.key_rpc == f"orbalt/robot/{sim.sn}/rpc"
    assert wait_for_service(peer, sim.sn)
    sim.reset_counts()

    sim.faults.answer_from(0, 2)
    sim.faults.custom_reply(4, RPCReply(4, True, string_container=["x"] * 8))
    assert rpc.replies(sim.key_rpc, 0, timeout=1.0) == []
    assert rpc.call(sim.key_rpc, 0).success is False
    assert rpc.call(sim.key_rpc, 4).string_container == ["x"] * 8
    assert sim.request_count(0) == 2
    assert sim.request_counts() == {0: 2, 4: 1}
    assert sim.malformed_requests() == 0          # attributes are read by calling them
    assert sim.faults.version() == "v2.1"
    assert [g.dof for g in sim.layout()] == [7, 7]

    basic = tap(sim.key_basic)
    sample = sim.current_basic()
    sample.system_state = 17
    sim.pause("basic")
    time.sleep(0.05)
    got = m.decode_basic(basic.after(lambda: sim.publish_basic(sample)))
    assert got.system_state == 17 and got.joint_group_indices == [0, 3]


def test_remote_errors_are_raised_here(remote_simulator):
    sim = remote_simulator(streams=False)
    with pytest.raises(ValueError, match="shorten"):
        sim.faults.set_rpc(1, shorten="nothing")
    with pytest.raises(AttributeError):
        sim.no_such_method()


def test_killed_remote_vanishes(remote_simulator, tap):
    sim = remote_simulator()
    basic = tap(sim.key_basic)
    basic.next()
    sim.kill()
    time.sleep(0.1)
    count = len(basic.samples)
    time.sleep(0.1)
    assert len(basic.samples) == count
