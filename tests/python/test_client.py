"""The module end to end against the simulated robot."""
import dataclasses
import locale
import math
import subprocess
import sys
import time

import pytest

import orbaltkvt
from orbaltkvt import JointGroup
from orbaltkvt_sim import RPCReply

DUAL = [JointGroup.ALL, JointGroup.ARMS, JointGroup.ARM_1, JointGroup.ARM_2, JointGroup.EXT_AXIS]
DOFS = {JointGroup.ALL: 16, JointGroup.ARMS: 14, JointGroup.ARM_1: 7, JointGroup.ARM_2: 7,
        JointGroup.EXT_AXIS: 2}


def test_reads_every_method(shared_robot):
    _sim, client = shared_robot
    assert repr(client) == "<orbaltkvt.Client>"
    assert client.connected() is True
    assert client.groups() == {g: g.name for g in DUAL}

    states = client.states()
    assert list(states) == DUAL
    for group, s in states.items():
        assert isinstance(s, orbaltkvt.RobotStates)
        assert len(s.q) == len(s.tau) == len(s.temperature) == DOFS[group]
        w, x, y, z = s.tcp_pose[3:]
        assert math.isclose(w * w + x * x + y * y + z * z, 1.0, rel_tol=1e-3)
        assert isinstance(s.timestamp, tuple) and len(s.timestamp) == 2
    actions = client.actions()
    assert list(actions) == DUAL
    assert all(len(a.q_d) == DOFS[g] for g, a in actions.items())

    plan = client.plan_info()
    assert isinstance(plan, orbaltkvt.PlanInfo) and plan.pt_name
    assert isinstance(plan.waiting_for_step, bool)
    scores = client.configuration_score()
    assert list(scores) == DUAL
    assert all(0.0 <= v <= 100.0 for pair in scores.values() for v in pair)
    primitives = client.primitive_states()
    assert primitives and all(isinstance(k, JointGroup) for k in primitives)
    for record in primitives.values():
        assert record.pt_name
        assert all(isinstance(v, (int, float, str)) for v in record.names_and_values.values())

    assert isinstance(client.estop_released(), bool)
    assert isinstance(client.enabling_device_on(), bool)
    for io in (client.digital_inputs(), client.digital_outputs()):
        assert isinstance(io, list) and len(io) == 20 and all(isinstance(b, bool) for b in io)


def test_results_are_fresh_copies(shared_robot):
    _sim, client = shared_robot
    first = client.states()
    first[JointGroup.ARM_1].q.append(99.0)
    first[JointGroup.ARM_1].q = [0.0]
    assert len(client.states()[JointGroup.ARM_1].q) == 7


def test_values_match_what_the_robot_published(remote_simulator):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)
    sim.pause("both")
    sample = dataclasses.replace(sim.current_basic(), estop_released=True,
                                 enabling_device_on=False,
                                 digital_inputs=[i % 2 == 0 for i in range(20)],
                                 digital_outputs=[i < 3 for i in range(20)],
                                 timestamp=(-7, 123456))
    sample.joint_data.q = [float(i) for i in range(16)]
    sim.publish_basic(sample)
    deadline = time.monotonic() + 10
    while client.states()[JointGroup.ARM_2].timestamp != (-7, 123456):
        assert time.monotonic() < deadline, "published sample never arrived"
        time.sleep(0.01)
    states = client.states()
    assert states[JointGroup.ARM_2].q == [float(i) for i in range(7, 14)]
    assert states[JointGroup.EXT_AXIS].q == [14.0, 15.0]
    assert client.estop_released() is True and client.enabling_device_on() is False
    assert client.digital_inputs() == [i % 2 == 0 for i in range(20)]
    assert client.digital_outputs() == [i < 3 for i in range(20)]
    assert client.actions()[JointGroup.ARM_1].timestamp == (-7, 123456)


def test_native_failures_arrive_as_python_exceptions_with_their_texts(remote_simulator):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)

    sim.faults.set_rpc(4, no_reply=True, times=1)
    with pytest.raises(RuntimeError) as err:
        client.plan_info()
    assert str(err.value) == "[orbalt::kvt::Client] plan_info: No reply from the robot"
    assert client.connected() is True

    sim.faults.set_rpc(9, success=False, times=1)
    with pytest.raises(RuntimeError) as err:
        client.configuration_score()
    assert str(err.value) == "[orbalt::kvt::Model::configuration_score] No reply from the robot"

    def primitive_reply(*entries):
        sim.faults.set_rpc(3, times=1,
                           reply=RPCReply(3, True, string_container=list(entries)))

    primitive_reply("jointGroup=99999999999", "primitiveName=A")
    with pytest.raises(IndexError):
        client.primitive_states()
    primitive_reply("jointGroup=abc", "primitiveName=A")
    with pytest.raises(ValueError):
        client.primitive_states()
    primitive_reply("speed=1")
    with pytest.raises(RuntimeError) as err:
        client.primitive_states()
    assert str(err.value) == ("[orbalt::kvt::Client::primitive_states] Malformed primitive "
                              "states: missing jointGroup marker")
    primitive_reply("jointGroup=2", "primitiveName=7")
    with pytest.raises(RuntimeError):  # std::bad_variant_access
        client.primitive_states()
    primitive_reply("jointGroup=2", "primitiveName=Home", "speed=0.5", "count=3", "mode=fast")
    record = client.primitive_states()[JointGroup.ARMS]
    assert record.pt_name == "Home"
    assert record.names_and_values == {"speed": 0.5, "count": 3, "mode": "fast"}
    assert type(record.names_and_values["count"]) is int


def test_numbers_do_not_follow_a_decimal_comma_locale(remote_simulator):
    previous = locale.setlocale(locale.LC_ALL)
    try:
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
    except locale.Error:
        pytest.skip("the de_DE.UTF-8 locale is not installed; scripts/setup generates it")
    try:
        assert locale.localeconv()["decimal_point"] == ","
        sim = remote_simulator()
        client = orbaltkvt.Client(sim.sn, verbose=False)
        sim.faults.set_rpc(4, times=1, reply=RPCReply(4, True, string_container=[
            "pt", "node", "path", "1.5", "3", "plan", " 0.25x", "+2"]))
        plan = client.plan_info()
        assert plan.velocity_scale == 0.25 and plan.waiting_for_step is True
        sim.faults.set_rpc(3, times=1, reply=RPCReply(3, True, string_container=[
            "jointGroup= 2", "primitiveName=Home", "speed=0.5", "big=1e3", "comma=0,5",
            "count=-3"]))
        values = client.primitive_states()[JointGroup.ARMS].names_and_values
        assert values == {"speed": 0.5, "big": 1000.0, "comma": "0,5", "count": -3}
    finally:
        locale.setlocale(locale.LC_ALL, previous)


def test_incompatible_version_is_refused(remote_simulator):
    sim = remote_simulator()
    sim.faults.set_version("v2.1.0")
    with pytest.raises(RuntimeError) as err:
        orbaltkvt.Client(sim.sn.replace("-", " ", 1), verbose=False)
    assert str(err.value) == (
        f"[orbalt::kvt::Client] Version of this client is incompatible with robot [{sim.sn}]")


def test_process_exits_cleanly_while_a_client_is_alive(remote_simulator):
    sim = remote_simulator()
    code = (
        "import orbaltkvt\n"
        f"client = orbaltkvt.Client({sim.sn!r}, verbose=False)\n"
        "assert client.states()\n"
        "print('alive', flush=True)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert "alive" in done.stdout
    assert "panicked" not in done.stderr and "Abort" not in done.stderr
