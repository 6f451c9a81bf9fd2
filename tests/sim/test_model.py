"""The robot model: layouts, kinematic consistency, smooth motion and reply contents."""

import math

import pytest

from orbaltkvt_sim.model import PRESETS, RobotModel, make_layout


def rotate(q, v):
    w, x, y, z = q
    r = [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
         [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
         [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]
    return [sum(r[i][k] * v[k] for k in range(3)) for i in range(3)]


def test_presets_form_one_full_dof_vector():
    dual = {g.name: (g.start, g.dof) for g in PRESETS["dual"]}
    assert dual == {"ALL": (0, 16), "ARMS": (0, 14), "ARM_1": (0, 7), "ARM_2": (7, 7),
                    "EXT_AXIS": (14, 2)}
    single = {g.name: (g.start, g.dof) for g in PRESETS["single"]}
    assert single == {"ALL": (0, 7), "ARM_1": (0, 7)}
    for preset, joints in (("dual", 16), ("single", 7)):
        sample = RobotModel(preset).basic(1.0)
        for name in ("q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                     "temperature", "contact_forces", "contact_positions"):
            assert len(getattr(sample.joint_data, name)) == joints, (preset, name)
        assert len(sample.cartesian_data) == len(sample.joint_group_indices)


def test_custom_layout_by_name_or_value():
    layout = make_layout([("ARM_1", 0, 6), (4, 6, 6)])
    assert [(g.group, g.start, g.dof) for g in layout] == [(3, 0, 6), (4, 6, 6)]
    assert RobotModel(layout).n == 12
    with pytest.raises(ValueError):
        make_layout("triple")


@pytest.mark.parametrize("preset", ["dual", "single"])
def test_poses_are_consistent_and_twist_matches_motion(preset):
    model = RobotModel(preset)
    h = 1e-5
    for t in (2.0, 7.3, 13.9):
        now, later = model.basic(t), model.basic(t + h)
        for block, block_h in zip(now.cartesian_data, later.cartesian_data):
            tcp, flange = block.tcp_pose, block.flange_pose
            assert math.fsum(v * v for v in tcp[3:]) == pytest.approx(1.0, abs=1e-9)
            assert tcp[3:] == flange[3:]
            offset = rotate(tcp[3:], [0.0, 0.0, 0.15])
            assert tcp[:3] == pytest.approx([f + o for f, o in zip(flange[:3], offset)], abs=1e-9)
            # Linear velocity against a finite difference of the position.
            fd = [(b - a) / h for a, b in zip(tcp[:3], block_h.tcp_pose[:3])]
            assert block.tcp_twist[:3] == pytest.approx(fd, abs=1e-3)
            # Angular velocity: omega = 2 * dq/dt * conj(q), vector part.
            w, x, y, z = tcp[3:]
            dw, dx, dy, dz = [(b - a) / h for a, b in zip(tcp[3:], block_h.tcp_pose[3:])]
            omega = [2 * (-dw * x + dx * w - dy * z + dz * y),
                     2 * (-dw * y + dx * z + dy * w - dz * x),
                     2 * (-dw * z - dx * y + dy * x + dz * w)]
            assert block.tcp_twist[3:] == pytest.approx(omega, abs=1e-3)


def test_whole_robot_groups_report_the_first_arm():
    sample = RobotModel("dual").basic(4.0)
    blocks = dict(zip(sample.joint_group_indices, sample.cartesian_data))
    assert blocks[0] == blocks[3] and blocks[2] == blocks[3]
    assert blocks[3].tcp_pose != blocks[4].tcp_pose


def test_motion_is_smooth_and_derivatives_agree():
    model = RobotModel("dual")
    dt = 0.001
    for t in (0.5, 6.0, 11.0):
        a, b = model.basic(t), model.basic(t + dt)
        for i in range(model.n):
            assert abs(b.joint_data.q[i] - a.joint_data.q[i]) < 0.01
            assert (b.joint_data.q[i] - a.joint_data.q[i]) / dt == pytest.approx(
                a.joint_data.dq[i], abs=0.02)
            assert (b.joint_data.tau[i] - a.joint_data.tau[i]) / dt == pytest.approx(
                a.joint_data.tau_dot[i], abs=0.2)
        for pa, pb in zip(a.cartesian_data, b.cartesian_data):
            assert max(abs(x - y) for x, y in zip(pa.tcp_pose, pb.tcp_pose)) < 0.01


def test_track_axis_stays_on_its_track():
    model = RobotModel("dual")
    track = [model.joints(t / 10.0)[0][14] for t in range(0, 200)]
    assert 0.1 <= min(track) and max(track) <= 0.9


def test_status_header_changes_over_a_cycle():
    model = RobotModel("dual")
    seen = {model.basic(t).system_state for t in range(0, 45)}
    assert {1, 2, 3, 7, 11} <= seen
    stopped = [model.basic(t) for t in range(0, 45) if not model.basic(t).estop_released]
    assert stopped and all(not s.safety_inputs[0] for s in stopped)
    inputs = {tuple(model.basic(t).digital_inputs) for t in range(0, 10)}
    assert len(inputs) > 5


def test_desired_values_track_measured():
    model = RobotModel("dual")
    basic = model.basic(5.0)
    extra = model.extra(5.0, basic)
    assert extra.joint_group_indices == basic.joint_group_indices
    assert extra.joint_data.q_d == pytest.approx(basic.joint_data.q, abs=0.01)
    for d, b in zip(extra.cartesian_data, basic.cartesian_data):
        assert d.tcp_pose_d == pytest.approx(b.tcp_pose, abs=0.01)


def _typed(value):
    word = value.split()[0] if value.split() else ""
    if word.lstrip("-").isdigit() and not word.startswith("+"):
        return int
    try:
        float(word)
        return float
    except ValueError:
        return str


@pytest.mark.parametrize("t", [0.5, 10.0])
def test_primitive_states_sections(t):
    entries = RobotModel("dual").primitive_states(t)
    assert entries[0] == "jointGroup=3" and "jointGroup=4" in entries
    assert "" not in entries
    sections = "\n".join(entries).split("jointGroup=")[1:]
    kinds = set()
    for section in sections:
        lines = section.splitlines()
        assert lines[1].startswith("primitiveName=") and len(lines[1]) > len("primitiveName=")
        kinds |= {_typed(line.split("=", 1)[1]) for line in lines[2:]}
    assert kinds == {int, float, str}


def test_plan_info_has_eight_entries_with_numbers_at_the_end():
    info = RobotModel("dual").plan_info(8.0)
    assert len(info) == 8
    float(info[6])
    int(info[7])


def test_manipulability_rows_per_group():
    groups, rows = RobotModel("dual").manipulability(3.0)
    assert groups == [0, 2, 3, 4, 5]
    assert all(len(row) >= 8 for row in rows)
    assert all(0.0 < v <= 1.0 for row in rows for v in row[2:8])


def test_start_ids_answer_every_asked_group():
    groups, starts, dofs = RobotModel("single").start_ids_and_dofs([3, 0, 4, 3])
    assert groups == [3, 0, 4, 3]
    assert starts == [0, 0, 0, 0]
    assert dofs == [7.0, 7.0, 0.0, 7.0]
