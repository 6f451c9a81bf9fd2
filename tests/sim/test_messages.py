"""Encoders checked against zenoh's own serializer; strict decoders checked on hostile payloads."""

import dataclasses
import struct

import pytest
from zenoh.ext import Float32, Int32, UInt16, z_serialize

from orbaltkvt_sim import messages as m
from orbaltkvt_sim.model import RobotModel

import wire


@pytest.fixture(scope="module")
def basic():
    return RobotModel("dual").basic(3.25, timestamp=(-5, 4_000_000_000))


@pytest.fixture(scope="module")
def extra(basic):
    return RobotModel("dual").extra(3.25, basic)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def test_basic_sample_decodes_with_zenoh_field_by_field(basic):
    d = wire.decode_basic(m.encode_basic(basic))
    assert d["system_state"] == basic.system_state
    assert d["safety_board_state"] == basic.safety_board_state
    assert d["estop_released"] is basic.estop_released
    assert d["safety_inputs"] == basic.safety_inputs
    assert d["digital_inputs"] == basic.digital_inputs
    assert d["digital_outputs"] == basic.digital_outputs
    assert d["joint_group_indices"] == [0, 2, 3, 4, 5]
    for name in m.JOINT_FIELDS:
        assert d[name] == [f32(v) for v in getattr(basic.joint_data, name)], name
    assert d["contact_forces"][5] == [f32(v) for v in basic.joint_data.contact_forces[5]]
    for got, want in zip(d["cartesian_data"], basic.cartesian_data):
        for name in m.CARTESIAN_FIELDS:
            assert got[name] == [f32(v) for v in getattr(want, name)], name
    assert (d["ts_sec"], d["ts_nsec"]) == (-5, 4_000_000_000)


def test_extra_sample_decodes_with_zenoh(extra):
    d = wire.decode_extra(m.encode_extra(extra))
    assert d["joint_group_indices"] == extra.joint_group_indices
    assert d["q_d"] == [f32(v) for v in extra.joint_data.q_d]
    assert d["cartesian_data"][2]["tcp_pose_d"] == [f32(v) for v in
                                                    extra.cartesian_data[2].tcp_pose_d]


def test_request_and_reply_bytes_equal_zenohs_serializer():
    assert m.encode_request(m.RPCRequest(10, [2, 3])) == \
        z_serialize((UInt16(10), [UInt16(2), UInt16(3)])).to_bytes()
    # UNKNOWN (-1) travels as 65535
    assert m.encode_request(m.RPCRequest(10, [-1])) == \
        z_serialize((UInt16(10), [UInt16(65535)])).to_bytes()
    long_row = [0.5] * 200  # a length above 127 needs two LEB128 bytes
    reply = m.RPCReply(9, True, [3, 4], [7, -1], ["v2.1", "é" * 70, ""], [1.5],
                       [long_row, []])
    expected = z_serialize((
        UInt16(9), True, [UInt16(3), UInt16(4)], [Int32(7), Int32(-1)], ["v2.1", "é" * 70, ""],
        [Float32(1.5)], [[Float32(v) for v in long_row], []])).to_bytes()
    assert m.encode_reply(reply) == expected


@pytest.mark.parametrize("n, encoded", [(0, b"\x00"), (127, b"\x7f"), (128, b"\x80\x01"),
                                        (16384, b"\x80\x80\x01")])
def test_sequence_length_is_leb128(n, encoded):
    assert m.varint(n) == encoded
    assert z_serialize([True] * n).to_bytes()[:len(encoded)] == encoded


def test_decoders_round_trip(basic, extra):
    assert m.decode_basic(m.encode_basic(basic)).joint_group_indices == [0, 2, 3, 4, 5]
    assert m.decode_extra(m.encode_extra(extra)).joint_data.q_d[0] == pytest.approx(
        extra.joint_data.q_d[0], rel=1e-6)
    req = m.RPCRequest(10, [0, 2, 3, 4, 5])
    assert m.decode_request(m.encode_request(req)) == req
    reply = m.RPCReply(4, True, [], [], ["a", "b=c", ""], [], [[1.0, 2.0]])
    assert m.decode_reply(m.encode_reply(reply)) == reply


def test_empty_basic_sample_is_valid():
    empty = m.AllBasicStreamData()
    d = wire.decode_basic(m.encode_basic(empty))
    assert d["joint_group_indices"] == [] and d["cartesian_data"] == [] and d["q"] == []
    assert m.decode_basic(m.encode_basic(empty)) == empty


def _with(msg, **changes):
    msg = dataclasses.replace(msg)
    for path, value in changes.items():
        target = msg
        parts = path.split("__")
        for part in parts[:-1]:
            target = target[int(part)] if part.isdigit() else getattr(target, part)
        setattr(target, parts[-1], value)
    return msg


@pytest.mark.parametrize("change", [
    {"safety_inputs": [True] * 7},
    {"safety_inputs": [True] * 9},
    {"digital_inputs": [False] * 21},
    {"digital_outputs": [False] * 19},
])
def test_wrong_fixed_header_array_is_rejected(basic, change):
    payload = m.encode_basic(_with(basic, **change))
    with pytest.raises(m.DecodeError, match="^Incorrect sequence size$"):
        m.decode_basic(payload)
    with pytest.raises(wire.WireError):
        wire.decode_basic(payload)


def test_wrong_nested_fixed_arrays_are_rejected(basic):
    bad_contact = dataclasses.replace(basic.joint_data,
                                      contact_forces=[[0.0] * 4] + basic.joint_data.contact_forces[1:])
    bad_pose = [dataclasses.replace(basic.cartesian_data[0], tcp_pose=[0.0] * 6)]
    bad_spare = [dataclasses.replace(basic.cartesian_data[0], spare_array=[0.0] * 5)]
    for msg in (dataclasses.replace(basic, joint_data=bad_contact),
                dataclasses.replace(basic, cartesian_data=bad_pose),
                dataclasses.replace(basic, cartesian_data=bad_spare)):
        with pytest.raises(m.DecodeError, match="^Incorrect sequence size$"):
            m.decode_basic(m.encode_basic(msg))


def test_truncated_payloads_fail_everywhere(basic):
    payload = m.encode_basic(basic)
    # Every cut point, sampled, including inside the timestamp.
    for cut in list(range(0, len(payload), 37)) + [len(payload) - 1, len(payload) - 5]:
        with pytest.raises(m.DecodeError, match="^Deserialization failure"):
            m.decode_basic(payload[:cut])


def test_trailing_bytes_are_rejected(basic, extra):
    with pytest.raises(m.DecodeError, match="more bytes than required"):
        m.decode_basic(m.encode_basic(basic) + b"\x00")
    # An extra sample that carries a timestamp has trailing bytes.
    with pytest.raises(m.DecodeError, match="more bytes than required"):
        m.decode_extra(m.encode_extra(extra) + m.encode_timestamp((1, 2)))
    with pytest.raises(m.DecodeError, match="more bytes than required"):
        m.decode_reply(m.encode_reply(m.RPCReply(1, True)) + b"\x01")
    with pytest.raises(wire.WireError, match="after the last field"):
        wire.decode_reply(m.encode_reply(m.RPCReply(1, True)) + b"\x01")


def test_mismatched_counts_encode_and_decode(basic):
    # The layout does not tie indices to Cartesian blocks; only readers complain.
    msg = dataclasses.replace(basic, joint_group_indices=[3, 3], cartesian_data=basic.cartesian_data[:1])
    assert m.decode_basic(m.encode_basic(msg)).joint_group_indices == [3, 3]
