"""Both streams as a subscriber on a separate peer sees them, decoded with zenoh.ext."""

import math
import time

import pytest

from orbaltkvt_sim import messages as m
from orbaltkvt_sim.testing import wait_for_service



def _unit(q):
    return math.sqrt(sum(v * v for v in q))


@pytest.mark.parametrize("preset, groups, joints", [("dual", [0, 2, 3, 4, 5], 16),
                                                    ("single", [0, 3], 7)])
def test_samples_follow_the_layouts(simulator, tap, preset, groups, joints):
    sim = simulator(preset=preset)
    basic, extra = tap(sim.key_basic), tap(sim.key_extra)
    b = m.decode_basic(basic.next())
    e = m.decode_extra(extra.next())

    assert b.joint_group_indices == groups and e.joint_group_indices == groups
    for name in ("q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                 "temperature", "contact_forces", "contact_positions"):
        assert len(getattr(b.joint_data, name)) == joints, name
    for name in ("q_d", "dq_d", "tau_d"):
        assert len(getattr(e.joint_data, name)) == joints, name
    assert len(b.cartesian_data) == len(groups) == len(e.cartesian_data)
    for block in b.cartesian_data:
        assert _unit(block.tcp_pose[3:]) == pytest.approx(1.0, abs=1e-5)
        assert _unit(block.flange_pose[3:]) == pytest.approx(1.0, abs=1e-5)
        assert block.spare_array == [0.0] * 6
    assert 0 <= b.system_state <= 18
    assert b.safety_board_state in (-1, 0, 8, 9, 10, 12, 14, 24, 40, 72, 136)
    assert 20.0 < min(b.joint_data.temperature) and max(b.joint_data.temperature) < 60.0
    assert abs(b.timestamp[0] - time.time()) < 60


def test_desired_values_are_close_to_measured(sim, tap):
    basic, extra = tap(sim.key_basic), tap(sim.key_extra)
    b = m.decode_basic(basic.next())
    e = m.decode_extra(extra.next())
    for qd, q in zip(e.joint_data.q_d, b.joint_data.q):
        assert qd == pytest.approx(q, abs=0.05)
    for d, c in zip(e.cartesian_data, b.cartesian_data):
        assert d.tcp_pose_d == pytest.approx(c.tcp_pose, abs=0.05)


def test_timestamps_advance_by_the_period(simulator, tap):
    sim = simulator(rate=200.0)
    basic = tap(sim.key_basic)
    samples = [m.decode_basic(p) for p in basic.wait(6)]
    stamps = [s.timestamp[0] * 10**9 + s.timestamp[1] for s in samples]
    steps = {b - a for a, b in zip(stamps, stamps[1:])}
    assert steps <= {5_000_000, 5_000_001, 4_999_999}, steps
    assert all(0 <= s.timestamp[1] < 10**9 for s in samples)

    sim.set_rate(100.0)
    time.sleep(0.05)
    start = len(basic.samples)
    samples = [m.decode_basic(p) for p in basic.wait(start + 4)[start:]]
    stamps = [s.timestamp[0] * 10**9 + s.timestamp[1] for s in samples]
    assert {b - a for a, b in zip(stamps, stamps[1:])} <= {10_000_000, 10_000_001, 9_999_999}


def test_motion_between_samples_is_small(simulator, tap):
    sim = simulator(model_rate=None)
    basic = tap(sim.key_basic)
    start = len(basic.samples)
    samples = [m.decode_basic(p) for p in basic.wait(start + 20)[start:start + 20]]
    moved = False
    for a, b in zip(samples, samples[1:]):
        dt = (b.timestamp[0] - a.timestamp[0]) + (b.timestamp[1] - a.timestamp[1]) / 1e9
        for qa, qb, v in zip(a.joint_data.q, b.joint_data.q, a.joint_data.dq):
            assert abs(qb - qa) <= 2.0 * dt + 1e-6
            moved |= qa != qb
    assert moved


def test_pause_and_resume_each_stream(sim, tap):
    basic, extra = tap(sim.key_basic), tap(sim.key_extra)
    extra.next()
    sim.pause("extra")
    assert sim.paused("extra") and not sim.paused("basic")
    time.sleep(0.05)  # let samples already in flight arrive
    count = len(extra.samples)
    basic.wait(len(basic.samples) + 50)
    assert len(extra.samples) == count
    sim.resume("extra")
    extra.next()
    sim.pause()
    published = sim.published("basic")
    time.sleep(0.05)
    assert sim.published("basic") == published
    sim.resume()
    basic.next()


def test_layout_switch_mid_run(sim, tap, rpc):
    basic = tap(sim.key_basic)
    assert m.decode_basic(basic.next()).joint_group_indices == [0, 2, 3, 4, 5]
    sim.set_layout("single")
    time.sleep(0.02)
    b = m.decode_basic(basic.next())
    assert b.joint_group_indices == [0, 3] and len(b.joint_data.q) == 7
    assert rpc.call(sim, 10, [3, 4]).float_container == [7.0, 0.0]
    sim.set_layout([("ARM_2", 0, 6), ("ARM_1", 6, 6)])
    time.sleep(0.02)
    b = m.decode_basic(basic.next())
    assert b.joint_group_indices == [4, 3] and len(b.joint_data.q) == 12


def test_custom_sample_on_demand(sim, tap):
    basic, extra = tap(sim.key_basic), tap(sim.key_extra)
    basic.next()
    extra.next()  # both subscriptions are known to the simulator's session now
    sim.pause()
    time.sleep(0.05)
    sample = sim.current_basic()
    sample.system_state = 14
    sample.digital_outputs = [True] * 20
    sample.timestamp = (7, 8)
    got = m.decode_basic(basic.after(lambda: sim.publish_basic(sample)))
    assert (got.system_state, got.digital_outputs, got.timestamp[0], got.timestamp[1]) == \
        (14, [True] * 20, 7, 8)
    custom = m.AllExtraStreamData([3], m.ExtraJointData([1.0], [2.0], [3.0]),
                                  [m.ExtraCartesianData()])
    got = m.decode_extra(extra.after(lambda: sim.publish_extra(custom)))
    assert (got.joint_group_indices, got.joint_data.q_d) == ([3], [1.0])
    assert basic.after(lambda: sim.publish_basic(b"\x01\x02")) == b"\x01\x02"


def test_replay_cycles_pre_encoded_samples(simulator, tap):
    sim = simulator(replay=True, replay_samples=50, rate=5000.0)
    basic, extra = tap(sim.key_basic), tap(sim.key_extra)
    start = len(basic.samples)
    payloads = basic.wait(start + 120)[start:start + 120]
    decoded = [m.decode_basic(p) for p in payloads]
    bodies = {p[:-8] for p in payloads}
    assert 1 < len(bodies) <= 50
    stamps = [d.timestamp[0] * 10**9 + d.timestamp[1] for d in decoded]
    assert stamps == sorted(stamps) and len(set(stamps)) == len(stamps)
    m.decode_extra(extra.next())


def test_streams_only_has_no_rpc(simulator, tap, peer):
    sim = simulator(rpc=False)
    tap(sim.key_basic).next()
    assert not wait_for_service(peer, sim.sn, timeout=0.5)


def test_rpc_only_has_no_streams(simulator, tap, peer):
    sim = simulator(streams=False)
    basic = tap(sim.key_basic)
    assert wait_for_service(peer, sim.sn)
    time.sleep(0.05)
    assert basic.samples == []
    with pytest.raises(RuntimeError):
        sim.publish_basic(b"")
