"""A small robot model that produces smooth, plausible data for the two streams and the replies.

Joints move on sums of sines whose frequencies are whole multiples of ``MOTION_PERIOD``, so the
whole motion repeats exactly and stays inside joint limits. Flange and TCP poses come from a plain
serial chain per arm (revolute joints about alternating local z and y axes, fixed link offsets along
local z); on the dual preset both arms stand on a carriage moved by the two external axes (a linear
track along world x and a turntable about z). Twists are exact for that chain: each joint adds its
axis times its velocity. Torques follow a gravity-like cosine term plus damping, so ``tau_dot`` is
the analytic derivative.

All values are SI: metres, radians, newtons, newton-metres, degrees Celsius for temperatures.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from .messages import (
    AllBasicStreamData,
    AllExtraStreamData,
    BasicCartesianData,
    BasicJointData,
    ExtraCartesianData,
    ExtraJointData,
    JOINT_GROUPS,
    JOINT_GROUP_NAMES,
)

MOTION_PERIOD = 20.0  # seconds; every joint motion and the status cycle repeat after this
STATUS_PERIOD = 40.0

ALL, ARMS, ARM_1, ARM_2, EXT_AXIS = (JOINT_GROUPS[n] for n in ("ALL", "ARMS", "ARM_1", "ARM_2",
                                                             "EXT_AXIS"))


@dataclass(frozen=True)
class GroupSpec:
    """A joint group: its wire value, the index of its first joint and its number of joints."""

    group: int
    start: int
    dof: int

    @property
    def name(self) -> str:
        return JOINT_GROUP_NAMES.get(self.group, str(self.group))


Layout = tuple[GroupSpec, ...]

PRESETS: dict[str, Layout] = {
    "dual": (GroupSpec(ALL, 0, 16), GroupSpec(ARMS, 0, 14), GroupSpec(ARM_1, 0, 7),
             GroupSpec(ARM_2, 7, 7), GroupSpec(EXT_AXIS, 14, 2)),
    "single": (GroupSpec(ALL, 0, 7), GroupSpec(ARM_1, 0, 7)),
}


def make_layout(spec) -> Layout:
    """Builds a layout from a preset name, a layout, or an iterable of (group, start, dof).

    Groups may be named ("ARM_1") or given by value (3). The order given is the order the streams
    list them in, so a layout can also be deliberately unsorted.
    """
    if isinstance(spec, str):
        try:
            return PRESETS[spec]
        except KeyError:
            raise ValueError(f"unknown preset {spec!r}; choose one of {sorted(PRESETS)}") from None
    groups = []
    for item in spec:
        if isinstance(item, GroupSpec):
            groups.append(item)
            continue
        group, start, dof = item
        if isinstance(group, str):
            group = JOINT_GROUPS[group]
        if start < 0 or dof < 0:
            raise ValueError("start and dof must not be negative")
        groups.append(GroupSpec(int(group), int(start), int(dof)))
    return tuple(groups)


def joint_count(layout: Layout) -> int:
    return max((g.start + g.dof for g in layout), default=0)


@dataclass(frozen=True)
class RobotClock:
    """A robot clock that is not the host's: ahead of it by ``offset`` seconds at the first
    sample and gaining ``drift_ppm`` microseconds a second on it (negative: behind, losing). The
    defaults are the host's clock, which the model's timestamps follow unless told otherwise.
    """

    offset: float = 0.0
    drift_ppm: float = 0.0

    def robot_ns(self, host_ns: int, first_host_ns: int) -> int:
        """The robot's time at host time ``host_ns``, the first sample due at ``first_host_ns``."""
        return (host_ns + round(self.offset * 1e9)
                + round(self.drift_ppm * 1e-6 * (host_ns - first_host_ns)))

    def stamp(self, source) -> None:
        """Makes a model source (orbaltkvt_sim.sources.ModelSource) stamp its samples with this
        clock. Such a source stamps sample k of a schedule at ``origin.wall_ns + k / hz`` of the
        origin it sends from, so the robot's clock is that origin moved by the offset, at a rate
        that spaces its stamps by (1 + drift) host periods."""
        from .pacing import Rate

        if self.offset == 0.0 and self.drift_ppm == 0.0:
            return
        send = source.send
        scale = 1.0 + self.drift_ppm * 1e-6

        def send_on_robot_clock(k0: int, k1: int, origin) -> None:
            send(k0, k1, origin._replace(wall_ns=self.robot_ns(origin.wall_ns, origin.wall_ns),
                                         schedule=Rate(origin.schedule.hz / scale)))

        source.send = send_on_robot_clock


# ---------------------------------------------------------------------------------------------
# Kinematics on tuples: quaternions are (w, x, y, z), positions (x, y, z).

def _qmul(a, b):
    aw, ax, ay, az = a
    bw, bx, by, bz = b
    return (aw * bw - ax * bx - ay * by - az * bz,
            aw * bx + ax * bw + ay * bz - az * by,
            aw * by - ax * bz + ay * bw + az * bx,
            aw * bz + ax * by - ay * bx + az * bw)


def _rotate(q, v):
    w, x, y, z = q
    vx, vy, vz = v
    # v + 2w(u x v) + 2u x (u x v), u = (x, y, z)
    tx = 2.0 * (y * vz - z * vy)
    ty = 2.0 * (z * vx - x * vz)
    tz = 2.0 * (x * vy - y * vx)
    return (vx + w * tx + (y * tz - z * ty),
            vy + w * ty + (z * tx - x * tz),
            vz + w * tz + (x * ty - y * tx))


def _conj(q):
    return (q[0], -q[1], -q[2], -q[3])


def _axis_z(q):
    w, x, y, z = q
    return (2.0 * (x * z + w * y), 2.0 * (y * z - w * x), 1.0 - 2.0 * (x * x + y * y))


def _axis_y(q):
    w, x, y, z = q
    return (2.0 * (x * y - w * z), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z + w * x))


def _axis_x(q):
    w, x, y, z = q
    return (1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y + w * z), 2.0 * (x * z - w * y))


def _cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


ARM_LINKS = (0.34, 0.0, 0.40, 0.0, 0.40, 0.0, 0.126)  # offset along local z after each joint
TOOL_OFFSET = (0.0, 0.0, 0.15)
IDENTITY = (1.0, 0.0, 0.0, 0.0)
_S = math.sqrt(0.5)
# Arm mounts on the torso: left arm tilted +90 deg about x (pointing +y), right arm -90 deg.
ARM_MOUNTS = (((0.0, 0.18, 1.05), (_S, _S, 0.0, 0.0)), ((0.0, -0.18, 1.05), (_S, -_S, 0.0, 0.0)))
SINGLE_MOUNT = ((0.0, 0.0, 0.0), IDENTITY)
CARRIAGE_TOP = (0.0, 0.0, 0.25)


class _Chain:
    """Walks a serial chain, keeping the pose and the joint axes needed for the twist."""

    __slots__ = ("p", "q", "w", "joints")

    def __init__(self, p=(0.0, 0.0, 0.0), q=IDENTITY):
        self.p = p
        self.q = q
        self.w = [0.0, 0.0, 0.0]  # angular velocity
        self.joints = []  # (kind, axis, origin, rate)

    def fixed(self, offset, rot=IDENTITY):
        o = _rotate(self.q, offset)
        self.p = (self.p[0] + o[0], self.p[1] + o[1], self.p[2] + o[2])
        self.q = _qmul(self.q, rot)

    def prismatic_x(self, pos, rate):
        a = _axis_x(self.q)
        self.joints.append((0, a, None, rate))
        self.p = (self.p[0] + a[0] * pos, self.p[1] + a[1] * pos, self.p[2] + a[2] * pos)

    def revolute(self, axis, angle, rate, link):
        h = 0.5 * angle
        c, s = math.cos(h), math.sin(h)
        if axis == "z":
            a = _axis_z(self.q)
            self.q = _qmul(self.q, (c, 0.0, 0.0, s))
        else:
            a = _axis_y(self.q)
            self.q = _qmul(self.q, (c, 0.0, s, 0.0))
        self.joints.append((1, a, self.p, rate))
        if link:
            # A turn about local z leaves local z where it was.
            z = a if axis == "z" else _axis_z(self.q)
            self.p = (self.p[0] + z[0] * link, self.p[1] + z[1] * link, self.p[2] + z[2] * link)

    def twist(self, point):
        """Linear and angular velocity of ``point`` rigidly attached to the chain's end."""
        vx = vy = vz = wx = wy = wz = 0.0
        for kind, a, o, rate in self.joints:
            if kind == 0:
                vx += a[0] * rate
                vy += a[1] * rate
                vz += a[2] * rate
            else:
                wx += a[0] * rate
                wy += a[1] * rate
                wz += a[2] * rate
                c = _cross(a, (point[0] - o[0], point[1] - o[1], point[2] - o[2]))
                vx += c[0] * rate
                vy += c[1] * rate
                vz += c[2] * rate
        return [vx, vy, vz, wx, wy, wz]

    def pose(self):
        return [self.p[0], self.p[1], self.p[2], self.q[0], self.q[1], self.q[2], self.q[3]]


def _status_at(t: float):
    """System state, safety board state, estop released, enabling device on, at sim time t."""
    if t < 1.0:
        return 1, 0, True, False  # INIT, STARTUP
    c = (t - 1.0) % STATUS_PERIOD
    if c < 4.0:
        return 3, 12, True, False  # STOPPED_AUTO, NORMAL
    if c < 30.0:
        return 7, 12, True, True  # WORKING_AUTO_EXECUTE, NORMAL
    if c < 34.0:
        return 2, 10, True, False  # STOPPED_MANUAL, REDUCED
    if c < 38.0:
        return 11, 10, True, True  # FREEDRIVE_MANUAL, REDUCED
    return 13, 72, False, False  # FAULT_MANUAL, CAT_1_STOP: emergency stop pressed


class RobotModel:
    """Computes samples and reply contents at a given simulation time (seconds from start)."""

    def __init__(self, layout="dual"):
        self.set_layout(layout)
        # Cues a test sets while running: the e-stop held pressed, digital inputs held at a value.
        self.estop_pressed = False
        self.held_inputs: dict[int, bool] = {}

    def set_layout(self, layout) -> None:
        self.layout: Layout = make_layout(layout)
        self.n = joint_count(self.layout)
        by_group = {g.group: g for g in self.layout}
        self.arms = [by_group[a] for a in (ARM_1, ARM_2) if a in by_group]
        self.ext = by_group.get(EXT_AXIS)
        n = self.n
        # Per joint: centre, two amplitudes and harmonics, phase. Chosen once per layout so the
        # motion is deterministic.
        w0 = 2.0 * math.pi / MOTION_PERIOD
        self._motion = []
        for i in range(n):
            centre = 0.3 * math.sin(1.7 * i + 0.4)
            a1 = 0.35 + 0.1 * ((i * 7) % 5) / 4.0
            a2 = 0.08
            k1 = 1 + (i % 3)
            k2 = 3 + (i % 4)
            ph = 0.9 * i
            self._motion.append((centre, a1, k1 * w0, a2, k2 * w0, ph))
        self._torque = [(12.0 - 0.6 * (i % 7), 0.8 * i + 0.3, 1.5) for i in range(n)]
        self._empty_basic = BasicJointData()

    # -- joints ---------------------------------------------------------------------------------

    def joints(self, t: float):
        """Positions, velocities and accelerations of every joint at time t."""
        q, dq, ddq = [], [], []
        sin, cos = math.sin, math.cos
        for centre, a1, w1, a2, w2, ph in self._motion:
            x1 = w1 * t + ph
            x2 = w2 * t + 2.0 * ph
            s1, c1, s2, c2 = sin(x1), cos(x1), sin(x2), cos(x2)
            q.append(centre + a1 * s1 + a2 * s2)
            dq.append(a1 * w1 * c1 + a2 * w2 * c2)
            ddq.append(-a1 * w1 * w1 * s1 - a2 * w2 * w2 * s2)
        if self.ext is not None and self.ext.dof >= 1:
            # The track joint is metres, not radians: keep it within +-0.4 m of 0.5 m.
            i = self.ext.start
            scale = 0.8
            q[i] = 0.5 + scale * (q[i] - self._motion[i][0])
            dq[i] *= scale
            ddq[i] *= scale
        return q, dq, ddq

    # -- Cartesian ------------------------------------------------------------------------------

    def _carriage(self, chain: _Chain, q, dq):
        e = self.ext
        if e is None:
            return
        if e.dof >= 1:
            chain.prismatic_x(q[e.start], dq[e.start])
        if e.dof >= 2:
            chain.revolute("z", q[e.start + 1], dq[e.start + 1], 0.0)
        chain.fixed(CARRIAGE_TOP)

    def _arm(self, index: int, arm: GroupSpec, q, dq):
        chain = _Chain()
        self._carriage(chain, q, dq)
        mount = ARM_MOUNTS[index % 2] if (self.ext is not None or len(self.arms) > 1) \
            else SINGLE_MOUNT
        chain.fixed(*mount)
        for j in range(min(arm.dof, len(ARM_LINKS))):
            k = arm.start + j
            chain.revolute("z" if j % 2 == 0 else "y", q[k], dq[k], ARM_LINKS[j])
        return chain

    def _block(self, chain: _Chain, t: float, seed: int) -> BasicCartesianData:
        flange = chain.pose()
        tool = _rotate(chain.q, TOOL_OFFSET)
        tcp_p = (chain.p[0] + tool[0], chain.p[1] + tool[1], chain.p[2] + tool[2])
        tcp = [tcp_p[0], tcp_p[1], tcp_p[2]] + flange[3:]
        twist = chain.twist(tcp_p)
        # A 1.2 kg tool plus a slowly varying contact force, both seen from the TCP frame.
        s = math.sin(0.7 * t + seed)
        world_force = (2.0 * s, 1.5 * math.cos(0.5 * t + seed), -1.2 * 9.81 - 3.0 * s * s)
        f = _rotate(_conj(chain.q), world_force)
        m = (0.06 * f[1], -0.06 * f[0], 0.02 * s)
        wrench = [f[0], f[1], f[2], m[0], m[1], m[2]]
        bias = (0.4, -0.3, 0.8, 0.02, -0.01, 0.015)
        raw = [wrench[i] + bias[i] + 0.05 * math.sin(40.0 * t + i + seed) for i in range(6)]
        return BasicCartesianData(
            flange_pose=flange, tcp_pose=tcp, tcp_twist=twist, tcp_wrench_local=wrench,
            spare_array=[0.0] * 6, raw_tcp_wrench_local=raw, raw_ft_sensor=list(raw))

    def _ext_block(self, q, dq, t: float) -> BasicCartesianData:
        chain = _Chain()
        self._carriage(chain, q, dq)
        block = self._block(chain, t, 7)
        block.tcp_wrench_local = [0.0] * 6
        block.raw_tcp_wrench_local = [0.0] * 6
        block.raw_ft_sensor = [0.0] * 6
        return block

    def cartesian(self, t: float, q, dq) -> list[BasicCartesianData]:
        arm_blocks = [self._block(self._arm(i, a, q, dq), t, i) for i, a in enumerate(self.arms)]
        blocks = []
        for g in self.layout:
            if g.group == EXT_AXIS:
                blocks.append(self._ext_block(q, dq, t))
                continue
            block = None
            for arm, b in zip(self.arms, arm_blocks):
                if arm.group == g.group:
                    block = b
                    break
            if block is None:
                # ALL, ARMS and unnamed groups report the first arm that starts inside them.
                for arm, b in zip(self.arms, arm_blocks):
                    if g.start <= arm.start < g.start + max(g.dof, 1):
                        block = b
                        break
            blocks.append(block if block is not None else BasicCartesianData())
        return blocks

    # -- whole samples --------------------------------------------------------------------------

    def status(self, t: float):
        system, board, estop, enabling = _status_at(t)
        estop = estop and not self.estop_pressed
        door = not (system in (2, 11) and 0.5 < (t % 4.0) < 1.0)
        safety = [estop, estop, door, door, enabling, enabling, True, True]
        sec = int(t)
        inputs = [bool((sec >> b) & 1) for b in range(8)]
        inputs += [bool(int(t * 2.0) & 1), system == 7, board == 12, enabling]
        inputs += [bool(((sec // 3) + b) % 5 == 0) for b in range(8)]
        for channel, value in self.held_inputs.items():
            inputs[channel] = value
        outputs = [bool(((sec - 1) >> b) & 1) for b in range(8)] if sec > 0 else [False] * 8
        outputs += [system == 7, not estop, False, enabling]
        outputs += [bool((sec // 2 + b) % 4 == 0) for b in range(8)]
        return system, board, estop, enabling, safety, inputs, outputs

    def basic(self, t: float, timestamp=(0, 0)) -> AllBasicStreamData:
        q, dq, ddq = self.joints(t)
        n = self.n
        cos, sin = math.cos, math.sin
        tau, tau_dot, tau_ext, tau_int, theta, dtheta, temp = [], [], [], [], [], [], []
        forces, points = [], []
        for i in range(n):
            g, ph, damp = self._torque[i]
            c, s = cos(q[i] + ph), sin(q[i] + ph)
            tq = g * c + damp * dq[i]
            tau.append(tq)
            tau_dot.append(-g * s * dq[i] + damp * ddq[i])
            ext = 0.4 * sin(0.9 * t + i)
            tau_ext.append(ext)
            tau_int.append(0.5 * ext + 0.05 * c)
            # Elastic joints: the link side lags the motor side by the torque over the stiffness.
            theta.append(q[i] - tq / 5000.0)
            dtheta.append(dq[i] - tau_dot[i] / 5000.0)
            temp.append(31.0 + 0.4 * (i % 7) + 2.5 * sin(2.0 * math.pi * t / 600.0 + i)
                        + 0.02 * abs(tq))
            forces.append([0.3 * ext, -0.2 * ext, 0.1 * ext])
            points.append([0.0, 0.0, 0.05 + 0.01 * (i % 7)])
        system, board, estop, enabling, safety, inputs, outputs = self.status(t)
        return AllBasicStreamData(
            system_state=system, safety_board_state=board, estop_released=estop,
            enabling_device_on=enabling, safety_inputs=safety, digital_inputs=inputs,
            digital_outputs=outputs, joint_group_indices=[g.group for g in self.layout],
            joint_data=BasicJointData(q, theta, dq, dtheta, tau, tau_dot, tau_ext, tau_int, temp,
                                      forces, points),
            cartesian_data=self.cartesian(t, q, dq), timestamp=timestamp)

    def extra(self, t: float, basic: AllBasicStreamData) -> AllExtraStreamData:
        """Desired values a controller tracking ``basic`` would command: a few ms ahead."""
        lead = 0.004
        jd = basic.joint_data
        q_d = [q + lead * v for q, v in zip(jd.q, jd.dq)]
        dq_d = list(jd.dq)
        tau_d = [tq - e for tq, e in zip(jd.tau, jd.tau_ext)]
        blocks = []
        for c in basic.cartesian_data:
            tw = c.tcp_twist
            pose = list(c.tcp_pose)
            pose[0] += lead * tw[0]
            pose[1] += lead * tw[1]
            pose[2] += lead * tw[2]
            blocks.append(ExtraCartesianData(pose, list(tw), [0.0, 0.0, -5.0, 0.0, 0.0, 0.0]))
        return AllExtraStreamData(list(basic.joint_group_indices), ExtraJointData(q_d, dq_d, tau_d),
                                  blocks)

    # -- reply contents -------------------------------------------------------------------------

    def primitive_states(self, t: float) -> list[str]:
        """name=value entries, one section per arm group that runs a primitive."""
        system = _status_at(t)[0]
        working = system == 7
        names = ("MoveL", "MoveJ", "Contact", "Hold")
        entries = []
        for i, arm in enumerate(self.arms):
            phase = (t / 5.0 + i) % 1.0
            name = names[int(t / 5.0 + i) % len(names)] if working else "Hold"
            entries += [
                f"jointGroup={arm.group}",
                f"primitiveName={name}",
                f"reachedTarget={1 if phase > 0.9 else 0}",
                f"progress={phase:.3f}",
                f"timePeriod={t % 5.0:.3f}",
                f"cycles={int(t / 5.0)}",
                f"frame={'WORLD' if i == 0 else 'TCP'}",
                "stopReason=",
            ]
        return entries

    def plan_info(self, t: float) -> list[str]:
        system = _status_at(t)[0]
        step = int(t / 5.0)
        nodes = ("approach", "grasp", "lift", "place")
        node = nodes[step % len(nodes)]
        return [
            "MoveL" if system == 7 else "Hold",
            node,
            f"pick_place/cycle/{node}",
            f"{t % 5.0:.3f}",
            str(step % len(nodes)),
            "pick_place",
            "0.5" if system == 7 else "0.25",
            "1" if system in (2, 3) else "0",
        ]

    def manipulability(self, t: float) -> tuple[list[int], list[list[float]]]:
        """Per group: [group, condition number, six manipulability values in 0..1]."""
        q, _, _ = self.joints(t)
        groups, rows = [], []
        for g in self.layout:
            joints = q[g.start:g.start + g.dof] or [0.0]
            base = [abs(math.sin(v)) for v in joints]
            values = [0.2 + 0.8 * base[k % len(base)] * (0.6 + 0.4 * abs(math.cos(t + k)))
                      for k in range(6)]
            cond = max(values) / max(min(values), 1e-3)
            groups.append(g.group)
            rows.append([float(g.group), cond] + values)
        return groups, rows

    def start_ids_and_dofs(self, asked) -> tuple[list[int], list[int], list[float]]:
        """One row per asked group; groups this robot does not have report start 0 and DoF 0."""
        by_group = {g.group: g for g in self.layout}
        groups, starts, dofs = [], [], []
        for value in asked:
            spec = by_group.get(value)
            groups.append(value)
            starts.append(spec.start if spec else 0)
            dofs.append(float(spec.dof) if spec else 0.0)
        return groups, starts, dofs
