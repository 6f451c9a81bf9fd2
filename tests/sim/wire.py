"""Independent decoding of the simulator's payloads with zenoh.ext, field by field.

The types mirror the layouts: a fixed array travels like a list, so its length is checked here
after decoding. z_deserialize ignores bytes left at the end, so each decoder also requires that
the same types followed by one more byte do not decode.
"""

import zenoh
from zenoh.ext import Float32, Int16, Int32, UInt8, UInt16, UInt32, ZDeserializeError, z_deserialize

F = list[Float32]

BASIC_FIELDS = (
    ("system_state", UInt16), ("safety_board_state", Int16), ("estop_released", bool),
    ("enabling_device_on", bool), ("safety_inputs", list[bool]), ("digital_inputs", list[bool]),
    ("digital_outputs", list[bool]), ("joint_group_indices", list[UInt16]),
    ("q", F), ("theta", F), ("dq", F), ("dtheta", F), ("tau", F), ("tau_dot", F),
    ("tau_ext", F), ("tau_interact", F), ("temperature", F),
    ("contact_forces", list[F]), ("contact_positions", list[F]),
    ("cartesian_data", list[tuple[F, F, F, F, F, F, F]]),
    ("ts_sec", Int32), ("ts_nsec", UInt32),
)
CARTESIAN = ("flange_pose", "tcp_pose", "tcp_twist", "tcp_wrench_local", "spare_array",
             "raw_tcp_wrench_local", "raw_ft_sensor")
EXTRA_FIELDS = (
    ("joint_group_indices", list[UInt16]), ("q_d", F), ("dq_d", F), ("tau_d", F),
    ("cartesian_data", list[tuple[F, F, F]]),
)
EXTRA_CARTESIAN = ("tcp_pose_d", "tcp_twist_d", "tcp_wrench_d")
REQUEST_FIELDS = (("request_id", UInt16), ("joint_groups", list[UInt16]))
REPLY_FIELDS = (
    ("request_id", UInt16), ("success", bool), ("joint_groups", list[UInt16]),
    ("int_container", list[Int32]), ("string_container", list[str]),
    ("float_container", F), ("float2d_container", list[F]),
)


class WireError(AssertionError):
    pass


def _plain(value):
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, (bool, str)):
        return value
    if isinstance(value, float):
        return value
    try:
        return int(value)
    except (TypeError, ValueError):
        return float(value)


def decode(fields, payload) -> dict:
    """Decodes ``payload`` as exactly the given fields; raises WireError otherwise."""
    data = zenoh.ZBytes(bytes(payload))
    types = tuple(t for _, t in fields)
    try:
        values = z_deserialize(tuple[types], data)
    except ZDeserializeError as exc:
        raise WireError(f"does not decode: {exc}") from None
    try:
        z_deserialize(tuple[types + (UInt8,)], data)
    except ZDeserializeError:
        pass
    else:
        raise WireError("payload has bytes after the last field")
    return {name: _plain(v) for (name, _), v in zip(fields, values)}


def _check_fixed(name, values, size):
    if len(values) != size:
        raise WireError(f"{name} has {len(values)} entries, expected {size}")


def decode_basic(payload) -> dict:
    d = decode(BASIC_FIELDS, payload)
    _check_fixed("safety_inputs", d["safety_inputs"], 8)
    _check_fixed("digital_inputs", d["digital_inputs"], 20)
    _check_fixed("digital_outputs", d["digital_outputs"], 20)
    for name in ("contact_forces", "contact_positions"):
        for v in d[name]:
            _check_fixed(name, v, 3)
    blocks = []
    for raw in d["cartesian_data"]:
        block = dict(zip(CARTESIAN, raw))
        for name, size in zip(CARTESIAN, (7, 7, 6, 6, 6, 6, 6)):
            _check_fixed(name, block[name], size)
        blocks.append(block)
    d["cartesian_data"] = blocks
    return d


def decode_extra(payload) -> dict:
    d = decode(EXTRA_FIELDS, payload)
    blocks = []
    for raw in d["cartesian_data"]:
        block = dict(zip(EXTRA_CARTESIAN, raw))
        for name, size in zip(EXTRA_CARTESIAN, (7, 6, 6)):
            _check_fixed(name, block[name], size)
        blocks.append(block)
    d["cartesian_data"] = blocks
    return d


def decode_reply(payload) -> dict:
    return decode(REPLY_FIELDS, payload)
