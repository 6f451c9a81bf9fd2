"""The module's names, types and conversions; no robot needed."""
import pickle

import pytest

import orbaltkvt
from orbaltkvt import JointGroup


def test_module_doc_string():
    assert orbaltkvt.__doc__ == "Orbalt Kovetra (KVT)"


def test_joint_group_compares_strictly_and_converts_to_int():
    assert JointGroup.ARMS != 2
    assert int(JointGroup.ARMS) == 2
    assert JointGroup.ARMS.value == 2
    assert JointGroup.ARMS.name == "ARMS"
    assert JointGroup(3) == JointGroup.ARM_1
    assert JointGroup(value=5) == JointGroup.EXT_AXIS
    assert [(m.name, int(m)) for m in JointGroup.__members__.values()] == [
        ("UNKNOWN", -1), ("ALL", 0), ("ARMS", 2), ("ARM_1", 3), ("ARM_2", 4), ("EXT_AXIS", 5)]
    assert str(JointGroup.ARM_2) == "JointGroup.ARM_2"
    assert repr(JointGroup.UNKNOWN) == "<JointGroup.UNKNOWN: -1>"
    with pytest.raises(TypeError):
        JointGroup.ARMS < JointGroup.ARM_1  # noqa: B015 - no ordering
    with pytest.raises(TypeError):
        JointGroup.ARMS | JointGroup.ARM_1  # noqa: B015 - no bitwise operators


def test_joint_group_takes_any_integer():
    one = JointGroup(1)
    assert int(one) == 1
    assert one.name == "???"
    assert one != JointGroup.ALL


def test_joint_group_members_are_module_attributes_and_hash_and_pickle_by_value():
    for name in ("UNKNOWN", "ALL", "ARMS", "ARM_1", "ARM_2", "EXT_AXIS"):
        assert getattr(orbaltkvt, name) is getattr(JointGroup, name)
    assert {JointGroup.ARMS: "a"}[JointGroup(2)] == "a"
    assert pickle.loads(pickle.dumps(JointGroup.ARM_1)) == JointGroup.ARM_1


def test_new_records_start_from_zeros_and_empties():
    states = orbaltkvt.RobotStates()
    assert states.timestamp == (0, 0)
    assert states.q == []
    assert states.tcp_pose == [0.0] * 7
    assert states.raw_ft_sensor == [0.0] * 6
    actions = orbaltkvt.RobotActions()
    assert actions.timestamp == (0, 0) and actions.q_d == [] and actions.tcp_wrench_d == [0.0] * 6
    plan = orbaltkvt.PlanInfo()
    assert (plan.pt_name, plan.velocity_scale, plan.waiting_for_step) == ("", 0.0, False)
    primitive = orbaltkvt.PrimitiveStates()
    assert primitive.pt_name == "" and primitive.names_and_values == {}


def test_record_properties_read_copies_and_write_whole_fields():
    states = orbaltkvt.RobotStates()
    states.q.append(1.0)
    assert states.q == []
    states.q = [1.0, 2.5]
    assert states.q == [1.0, 2.5]
    states.timestamp = (-3, 4)
    assert states.timestamp == (-3, 4)
    primitive = orbaltkvt.PrimitiveStates()
    primitive.names_and_values = {"count": 3, "speed": 0.5, "mode": "fast"}
    values = primitive.names_and_values
    assert values == {"count": 3, "speed": 0.5, "mode": "fast"}
    assert [type(values[k]) for k in ("count", "speed", "mode")] == [int, float, str]


def test_fixed_size_assignment_errors_leave_the_field_unchanged():
    states = orbaltkvt.RobotStates()
    states.tcp_pose = [1, 2, 3, 1, 0, 0, 0]
    with pytest.raises(TypeError):
        states.tcp_pose = [0.0] * 6
    with pytest.raises(TypeError):
        states.tcp_pose = ["x"] * 7
    assert states.tcp_pose == [1, 2, 3, 1, 0, 0, 0]
    actions = orbaltkvt.RobotActions()
    with pytest.raises(TypeError):
        actions.tcp_twist_d = [0.0] * 7
    assert actions.tcp_twist_d == [0.0] * 6


def test_client_rejects_wrong_argument_types_and_malformed_serial_numbers():
    with pytest.raises(TypeError):
        orbaltkvt.Client(1234)
    with pytest.raises(TypeError):
        orbaltkvt.Client(robot_sn=None)
    for sn in ("AB--1", "AB-$*", "AB-1/**"):  # key-expression syntax would reach other robots
        with pytest.raises(ValueError) as err:
            orbaltkvt.Client(sn, verbose=False)
        assert str(err.value) == (
            "[orbalt::kvt::Client] Format of the provided robot serial number is invalid")
    with pytest.raises(ValueError):
        orbaltkvt.Client(robot_sn="A_B-1")
