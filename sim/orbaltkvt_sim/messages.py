"""Wire messages of the robot data service: plain dataclasses and pure encoders/decoders.

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
ones. The decoders are strict and raise :class:`DecodeError` on a wrong fixed-array length, a short
payload or trailing bytes, with the texts a client reports for those cases.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Sequence

from zenoh.ext import Float32, Int16, Int32, UInt16, UInt32, z_serialize

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

_struct_cache: dict[str, struct.Struct] = {}


def _st(fmt: str) -> struct.Struct:
    s = _struct_cache.get(fmt)
    if s is None:
        if len(_struct_cache) > 512:  # hostile samples make many one-off shapes
            _struct_cache.clear()
        s = _struct_cache[fmt] = struct.Struct(fmt)
    return s


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
# Decoding

class DecodeError(ValueError):
    """A payload that does not match its layout."""


class Reader:
    """Sequential reader over one payload."""

    def __init__(self, data: bytes):
        self.data = bytes(data)
        self.pos = 0

    def _take(self, fmt: struct.Struct):
        end = self.pos + fmt.size
        if end > len(self.data):
            raise DecodeError("Deserialization failure")
        values = fmt.unpack_from(self.data, self.pos)
        self.pos = end
        return values

    def scalar(self, code: str):
        return self._take(_st("<" + code))[0]

    def length(self) -> int:
        shift = 0
        n = 0
        while True:
            if self.pos >= len(self.data) or shift > 63:
                raise DecodeError("Deserialization failure:: Failed to read sequence length")
            b = self.data[self.pos]
            self.pos += 1
            n |= (b & 0x7F) << shift
            if not b & 0x80:
                return n
            shift += 7

    def seq(self, code: str) -> list:
        n = self.length()
        if n * struct.calcsize(code) > len(self.data) - self.pos:
            raise DecodeError("Deserialization failure")
        return list(self._take(_st("<%d%s" % (n, code))))

    def fixed(self, code: str, size: int) -> list:
        n = self.length()
        if n != size:
            raise DecodeError("Incorrect sequence size")
        return list(self._take(_st("<%d%s" % (n, code))))

    def string(self) -> str:
        n = self.length()
        if n > len(self.data) - self.pos:
            raise DecodeError("Deserialization failure")
        raw = self.data[self.pos:self.pos + n]
        self.pos += n
        return raw.decode("utf-8")

    def done(self) -> None:
        if self.pos != len(self.data):
            raise DecodeError("Payload contains more bytes than required for deserialization")


def decode_basic(data: bytes) -> AllBasicStreamData:
    r = Reader(data)
    msg = AllBasicStreamData()
    msg.system_state = r.scalar("H")
    msg.safety_board_state = r.scalar("h")
    msg.estop_released = r.scalar("?")
    msg.enabling_device_on = r.scalar("?")
    msg.safety_inputs = r.fixed("?", SAFETY_INPUTS)
    msg.digital_inputs = r.fixed("?", DIGITAL_CHANNELS)
    msg.digital_outputs = r.fixed("?", DIGITAL_CHANNELS)
    msg.joint_group_indices = r.seq("H")
    jd = msg.joint_data
    for name in JOINT_FIELDS:
        setattr(jd, name, r.seq("f"))
    jd.contact_forces = [r.fixed("f", VEC3_SIZE) for _ in range(r.length())]
    jd.contact_positions = [r.fixed("f", VEC3_SIZE) for _ in range(r.length())]
    for _ in range(r.length()):
        c = BasicCartesianData(*(r.fixed("f", n) for n in CARTESIAN_SIZES))
        msg.cartesian_data.append(c)
    msg.timestamp = (r.scalar("i"), r.scalar("I"))
    r.done()
    return msg


def decode_extra(data: bytes) -> AllExtraStreamData:
    r = Reader(data)
    msg = AllExtraStreamData()
    msg.joint_group_indices = r.seq("H")
    msg.joint_data = ExtraJointData(r.seq("f"), r.seq("f"), r.seq("f"))
    for _ in range(r.length()):
        msg.cartesian_data.append(
            ExtraCartesianData(*(r.fixed("f", n) for n in EXTRA_CARTESIAN_SIZES)))
    r.done()
    return msg


def decode_request(data: bytes) -> RPCRequest:
    r = Reader(data)
    msg = RPCRequest(r.scalar("H"), r.seq("H"))
    r.done()
    return msg


def decode_reply(data: bytes) -> RPCReply:
    r = Reader(data)
    msg = RPCReply()
    msg.request_id = r.scalar("H")
    msg.success = r.scalar("?")
    msg.joint_groups = r.seq("H")
    msg.int_container = r.seq("i")
    msg.string_container = [r.string() for _ in range(r.length())]
    msg.float_container = r.seq("f")
    msg.float2d_container = [r.seq("f") for _ in range(r.length())]
    r.done()
    return msg
