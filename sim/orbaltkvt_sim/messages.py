"""Wire messages of the robot data service: plain dataclasses, pure encoders and decoders.

Every payload uses zenoh's serialization format, and the encoders produce it with zenoh.ext's own
serializer:

* uint16/int16/int32/uint32/float32 are little-endian, a bool is one byte (0 or 1);
* a sequence is its element count as an unsigned LEB128 varint followed by the elements;
* a string is a sequence of UTF-8 bytes;
* a fixed array (float[7], bool[20], ...) travels exactly like a sequence, so its length is on the
  wire and a reader checks it;
* a nested structure is its fields concatenated, with no prefix of its own.

The encoders never validate: they write whatever the dataclass holds, which is what lets tests build
hostile samples (a 6-value pose, 21 digital inputs, an index 6) through the same code that builds good
ones. The decoders use zenoh.ext's deserializer too and are strict: a wrong fixed-array length, a
short payload or trailing bytes raise :class:`DecodeError`.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Sequence

from zenoh import ZBytes
from zenoh.ext import (Float32, Int16, Int32, UInt8, UInt16, UInt32, ZDeserializeError,
                      z_deserialize, z_serialize)

# Joint-group values as they travel on the wire (value -1, UNKNOWN, travels as 65535).
JOINT_GROUPS = {"UNKNOWN": -1, "ALL": 0, "ARMS": 2, "ARM_1": 3, "ARM_2": 4, "EXT_AXIS": 5}
JOINT_GROUP_NAMES = {v: k for k, v in JOINT_GROUPS.items()}

# Request ids the data service knows.
REQ_PROBE = 0
REQ_VERSION = 1
REQ_PRIMITIVE_STATES = 3
REQ_PLAN_INFO = 4
REQ_MANIPULABILITY = 9
REQ_START_ID_AND_DOF = 10

# Fixed-array sizes of the stream messages.
POSE_SIZE = 7
VEC6_SIZE = 6
VEC3_SIZE = 3
SAFETY_INPUTS = 8
DIGITAL_CHANNELS = 20


def _zeros(n: int) -> list[float]:
    return [0.0] * n


@dataclass
class BasicCartesianData:
    """One measured Cartesian block of a joint group; poses are (x, y, z, qw, qx, qy, qz)."""

    flange_pose: list[float] = field(default_factory=lambda: [0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0])
    tcp_pose: list[float] = field(default_factory=lambda: [0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0])
    tcp_twist: list[float] = field(default_factory=lambda: _zeros(6))
    tcp_wrench_local: list[float] = field(default_factory=lambda: _zeros(6))
    spare_array: list[float] = field(default_factory=lambda: _zeros(6))
    raw_tcp_wrench_local: list[float] = field(default_factory=lambda: _zeros(6))
    raw_ft_sensor: list[float] = field(default_factory=lambda: _zeros(6))


CARTESIAN_FIELDS = ("flange_pose", "tcp_pose", "tcp_twist", "tcp_wrench_local", "spare_array",
                    "raw_tcp_wrench_local", "raw_ft_sensor")
CARTESIAN_SIZES = (7, 7, 6, 6, 6, 6, 6)


@dataclass
class BasicJointData:
    """Measured per-joint values; every list is full-DoF (one entry per joint of the robot)."""

    q: list[float] = field(default_factory=list)
    theta: list[float] = field(default_factory=list)
    dq: list[float] = field(default_factory=list)
    dtheta: list[float] = field(default_factory=list)
    tau: list[float] = field(default_factory=list)
    tau_dot: list[float] = field(default_factory=list)
    tau_ext: list[float] = field(default_factory=list)
    tau_interact: list[float] = field(default_factory=list)
    temperature: list[float] = field(default_factory=list)
    contact_forces: list[list[float]] = field(default_factory=list)
    contact_positions: list[list[float]] = field(default_factory=list)


JOINT_FIELDS = ("q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                "temperature")


@dataclass
class AllBasicStreamData:
    """One sample of the basic (measured) stream."""

    system_state: int = 0
    safety_board_state: int = 0
    estop_released: bool = False
    enabling_device_on: bool = False
    safety_inputs: list[bool] = field(default_factory=lambda: [False] * SAFETY_INPUTS)
    digital_inputs: list[bool] = field(default_factory=lambda: [False] * DIGITAL_CHANNELS)
    digital_outputs: list[bool] = field(default_factory=lambda: [False] * DIGITAL_CHANNELS)
    joint_group_indices: list[int] = field(default_factory=list)
    joint_data: BasicJointData = field(default_factory=BasicJointData)
    cartesian_data: list[BasicCartesianData] = field(default_factory=list)
    timestamp: tuple[int, int] = (0, 0)


@dataclass
class ExtraCartesianData:
    """One desired Cartesian block of a joint group."""

    tcp_pose_d: list[float] = field(default_factory=lambda: [0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0])
    tcp_twist_d: list[float] = field(default_factory=lambda: _zeros(6))
    tcp_wrench_d: list[float] = field(default_factory=lambda: _zeros(6))


EXTRA_CARTESIAN_FIELDS = ("tcp_pose_d", "tcp_twist_d", "tcp_wrench_d")
EXTRA_CARTESIAN_SIZES = (7, 6, 6)


@dataclass
class ExtraJointData:
    """Desired per-joint values, full-DoF."""

    q_d: list[float] = field(default_factory=list)
    dq_d: list[float] = field(default_factory=list)
    tau_d: list[float] = field(default_factory=list)


@dataclass
class AllExtraStreamData:
    """One sample of the extra (desired) stream. It carries no timestamp of its own."""

    joint_group_indices: list[int] = field(default_factory=list)
    joint_data: ExtraJointData = field(default_factory=ExtraJointData)
    cartesian_data: list[ExtraCartesianData] = field(default_factory=list)


@dataclass
class RPCRequest:
    request_id: int = 0
    joint_groups: list[int] = field(default_factory=list)


@dataclass
class RPCReply:
    request_id: int = 0
    success: bool = False
    joint_groups: list[int] = field(default_factory=list)
    int_container: list[int] = field(default_factory=list)
    string_container: list[str] = field(default_factory=list)
    float_container: list[float] = field(default_factory=list)
    float2d_container: list[list[float]] = field(default_factory=list)


REPLY_CONTAINERS = ("joint_groups", "int_container", "string_container", "float_container",
                    "float2d_container")


# --------------------------------------------------------------------------------------------
# Encoding

def varint(n: int) -> bytes:
    """Unsigned LEB128, the sequence-length prefix."""
    if n < 0:
        raise ValueError("sequence length must not be negative")
    if n < 0x80:
        return bytes((n,))
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


# Every payload is made by zenoh.ext's serializer, so the simulator's wire format is zenoh's
# own and never this project's. The typed wrappers pick the widths: UInt16/Int16/Int32/UInt32
# and Float32; bool and str are native; a list is a sequence, a tuple a structure. Values are
# not validated: a list of any length goes out as given, which is how hostile samples are made.

def _f32(values: Sequence[float]) -> list:
    return [Float32(v) for v in values]


def _u16(values: Sequence[int]) -> list:
    # UNKNOWN (-1) and other negative group values wrap like a cast to uint16.
    return [UInt16(v & 0xFFFF) for v in values]


def encode_timestamp(timestamp: tuple[int, int]) -> bytes:
    return z_serialize((Int32(timestamp[0]), UInt32(timestamp[1]))).to_bytes()


def encode_basic_body(msg: AllBasicStreamData) -> bytes:
    """Everything of a basic sample but its trailing timestamp (see :func:`encode_timestamp`)."""
    jd = msg.joint_data
    joint = (_f32(jd.q), _f32(jd.theta), _f32(jd.dq), _f32(jd.dtheta), _f32(jd.tau),
             _f32(jd.tau_dot), _f32(jd.tau_ext), _f32(jd.tau_interact), _f32(jd.temperature),
             [_f32(v) for v in jd.contact_forces], [_f32(v) for v in jd.contact_positions])
    cartesian = [(_f32(c.flange_pose), _f32(c.tcp_pose), _f32(c.tcp_twist),
                  _f32(c.tcp_wrench_local), _f32(c.spare_array), _f32(c.raw_tcp_wrench_local),
                  _f32(c.raw_ft_sensor)) for c in msg.cartesian_data]
    return z_serialize((UInt16(msg.system_state & 0xFFFF), Int16(msg.safety_board_state),
                        bool(msg.estop_released), bool(msg.enabling_device_on),
                        [bool(b) for b in msg.safety_inputs], [bool(b) for b in msg.digital_inputs],
                        [bool(b) for b in msg.digital_outputs], _u16(msg.joint_group_indices),
                        joint, cartesian)).to_bytes()


def encode_basic(msg: AllBasicStreamData) -> bytes:
    return encode_basic_body(msg) + encode_timestamp(msg.timestamp)


def encode_extra(msg: AllExtraStreamData) -> bytes:
    jd = msg.joint_data
    cartesian = [(_f32(c.tcp_pose_d), _f32(c.tcp_twist_d), _f32(c.tcp_wrench_d))
                 for c in msg.cartesian_data]
    return z_serialize((_u16(msg.joint_group_indices),
                        (_f32(jd.q_d), _f32(jd.dq_d), _f32(jd.tau_d)), cartesian)).to_bytes()


def encode_request(msg: RPCRequest) -> bytes:
    return z_serialize((UInt16(msg.request_id & 0xFFFF), _u16(msg.joint_groups))).to_bytes()


def encode_reply(msg: RPCReply) -> bytes:
    return z_serialize((UInt16(msg.request_id & 0xFFFF), bool(msg.success),
                        _u16(msg.joint_groups), [Int32(v) for v in msg.int_container],
                        [str(v) for v in msg.string_container], _f32(msg.float_container),
                        [_f32(row) for row in msg.float2d_container])).to_bytes()


# --------------------------------------------------------------------------------------------
# Decoding, with zenoh.ext's deserializer: the service reads requests with it, tests and tools
# read samples and replies. It ignores bytes left at the end, so each decoder also requires that
# the same fields followed by one more byte do not decode; fixed arrays are checked after it.

class DecodeError(ValueError):
    """A payload that does not match its layout."""


_F = list[Float32]
_BASIC = (UInt16, Int16, bool, bool, list[bool], list[bool], list[bool], list[UInt16],
          _F, _F, _F, _F, _F, _F, _F, _F, _F, list[_F], list[_F],
          list[tuple[_F, _F, _F, _F, _F, _F, _F]], Int32, UInt32)
_EXTRA = (list[UInt16], _F, _F, _F, list[tuple[_F, _F, _F]])
_REQUEST = (UInt16, list[UInt16])
_REPLY = (UInt16, bool, list[UInt16], list[Int32], list[str], _F, list[_F])
_LAYOUTS = {fields: (tuple[fields], tuple[fields + (UInt8,)])
            for fields in (_BASIC, _EXTRA, _REQUEST, _REPLY)}


def _decode(fields: tuple, payload) -> tuple:
    exact, longer = _LAYOUTS[fields]
    data = ZBytes(bytes(payload))
    try:
        values = z_deserialize(exact, data)
    except ZDeserializeError as exc:
        raise DecodeError(f"does not decode: {exc}") from None
    try:
        z_deserialize(longer, data)
    except ZDeserializeError:
        return values
    raise DecodeError("payload has bytes after the last field")


def _fixed(name: str, values: list, size: int) -> list:
    if len(values) != size:
        raise DecodeError(f"{name} has {len(values)} entries, expected {size}")
    return values


def _ints(values) -> list[int]:
    return [int(v) for v in values]


def decode_basic(data: bytes) -> AllBasicStreamData:
    v = _decode(_BASIC, data)
    return AllBasicStreamData(
        int(v[0]), int(v[1]), v[2], v[3], _fixed("safety_inputs", v[4], SAFETY_INPUTS),
        _fixed("digital_inputs", v[5], DIGITAL_CHANNELS),
        _fixed("digital_outputs", v[6], DIGITAL_CHANNELS), _ints(v[7]),
        BasicJointData(*v[8:17], *([_fixed(name, f, VEC3_SIZE) for f in vectors]
                                   for name, vectors in zip(("contact_forces",
                                                             "contact_positions"), v[17:19]))),
        [BasicCartesianData(*(_fixed(name, values, size) for name, size, values
                              in zip(CARTESIAN_FIELDS, CARTESIAN_SIZES, block)))
         for block in v[19]],
        (int(v[20]), int(v[21])))


def decode_extra(data: bytes) -> AllExtraStreamData:
    v = _decode(_EXTRA, data)
    return AllExtraStreamData(
        _ints(v[0]), ExtraJointData(*v[1:4]),
        [ExtraCartesianData(*(_fixed(name, values, size) for name, size, values
                              in zip(EXTRA_CARTESIAN_FIELDS, EXTRA_CARTESIAN_SIZES, block)))
         for block in v[4]])


def decode_request(data: bytes) -> RPCRequest:
    v = _decode(_REQUEST, data)
    return RPCRequest(int(v[0]), _ints(v[1]))


def decode_reply(data: bytes) -> RPCReply:
    v = _decode(_REPLY, data)
    return RPCReply(int(v[0]), v[1], _ints(v[2]), _ints(v[3]), v[4], v[5], v[6])
