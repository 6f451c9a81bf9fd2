"""Encoders checked against zenoh's own serializer; the decoders every test reads with."""

import dataclasses
import struct

import pytest
from zenoh.ext import Float32, Int32, UInt16, z_serialize

from orbaltkvt_sim import messages as m
from orbaltkvt_sim.model import RobotModel


@pytest.fixture(scope="module")
def basic():
    return RobotModel("dual").basic(3.25, timestamp=(-5, 4_000_000_000))


@pytest.fixture(scope="module")
def extra(basic):
    return RobotModel("dual").extra(3.25, basic)


def f32(values):
    return [struct.unpack("<f", struct.pack("<f", v))[0] for v in values]


def test_samples_decode_field_by_field(basic, extra):
    d = m.decode_basic(m.encode_basic(basic))
    assert (d.system_state, d.safety_board_state, d.estop_released) == \
        (basic.system_state, basic.safety_board_state, basic.estop_released)
    assert (d.safety_inputs, d.digital_inputs, d.digital_outputs) == \
        (basic.safety_inputs, basic.digital_inputs, basic.digital_outputs)
    assert d.joint_group_indices == [0, 2, 3, 4, 5]
    for name in m.JOINT_FIELDS:
        assert getattr(d.joint_data, name) == f32(getattr(basic.joint_data, name)), name
    assert d.joint_data.contact_forces[5] == f32(basic.joint_data.contact_forces[5])
    for got, want in zip(d.cartesian_data, basic.cartesian_data, strict=True):
        for name in m.CARTESIAN_FIELDS:
            assert getattr(got, name) == f32(getattr(want, name)), name
    assert d.timestamp == (-5, 4_000_000_000)

    e = m.decode_extra(m.encode_extra(extra))
    assert e.joint_group_indices == extra.joint_group_indices
    assert e.joint_data.q_d == f32(extra.joint_data.q_d)
    assert e.cartesian_data[2].tcp_pose_d == f32(extra.cartesian_data[2].tcp_pose_d)

    empty = m.AllBasicStreamData()
    assert m.decode_basic(m.encode_basic(empty)) == empty
    # The layout does not tie indices to Cartesian blocks; only readers complain.
    msg = dataclasses.replace(basic, joint_group_indices=[3, 3],
                              cartesian_data=basic.cartesian_data[:1])
    assert m.decode_basic(m.encode_basic(msg)).joint_group_indices == [3, 3]


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
    assert m.decode_reply(expected) == reply
    assert m.decode_request(m.encode_request(m.RPCRequest(10, [0, 3]))) == m.RPCRequest(10, [0, 3])


@pytest.mark.parametrize("n, encoded", [(0, b"\x00"), (127, b"\x7f"), (128, b"\x80\x01"),
                                        (16384, b"\x80\x80\x01")])
def test_sequence_length_is_leb128(n, encoded):
    assert m.varint(n) == encoded
    assert z_serialize([True] * n).to_bytes()[:len(encoded)] == encoded


def test_wrong_fixed_arrays_short_and_long_payloads_are_refused(basic):
    payload = m.encode_basic(basic)
    for bad, error in ((m.encode_basic(dataclasses.replace(basic, safety_inputs=[True] * 9)),
                        "safety_inputs has 9 entries, expected 8"),
                       (payload[:-1], "does not decode"),
                       (payload + b"\x00", "after the last field")):
        with pytest.raises(m.DecodeError, match=error):
            m.decode_basic(bad)
