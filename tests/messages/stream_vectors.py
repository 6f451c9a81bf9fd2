"""Prints stream-message payloads for the decoder tests, one per line: <name> <hex>, then "end".

The "known" samples are encoded twice, by eclipse-zenoh's zenoh.ext serializer and by the
simulator's encoder, so the tests can check that both agree. Every other payload is the
simulator's encoding, with its fault shapes applied. The values of the known samples follow
the rules that stream_messages_offline_test.cpp checks:

  basic joint field f (q = 0 ... temperature = 8), joint j:  10 * f + j + 0.5
  contact_forces[j]:     (j, j + 0.25, j + 0.5); contact_positions[j]: the negatives
  basic Cartesian block k, field c (flange_pose = 0 ... raw_ft_sensor = 6), entry e:
                         100 * k + 10 * c + e
"""
import dataclasses
import struct
import sys

from zenoh.ext import Float32, Int16, Int32, UInt16, UInt32, z_serialize

from orbaltkvt_sim import messages as m
from orbaltkvt_sim.faults import StreamFault, apply_stream_content
from orbaltkvt_sim.model import RobotModel

JOINTS = 3


def known_basic() -> m.AllBasicStreamData:
    fields = [[10.0 * f + j + 0.5 for j in range(JOINTS)] for f in range(9)]
    blocks = [m.BasicCartesianData(*([100.0 * k + 10 * c + e for e in range(size)]
                                     for c, size in enumerate(m.CARTESIAN_SIZES)))
              for k in range(2)]
    return m.AllBasicStreamData(
        system_state=7, safety_board_state=-1, estop_released=True, enabling_device_on=False,
        safety_inputs=[i % 2 == 0 for i in range(8)],
        digital_inputs=[i % 3 == 0 for i in range(20)],
        digital_outputs=[i % 4 == 1 for i in range(20)],
        joint_group_indices=[3, 5],
        joint_data=m.BasicJointData(
            *fields,
            [[j, j + 0.25, j + 0.5] for j in range(JOINTS)],
            [[-j, -j - 0.25, -j - 0.5] for j in range(JOINTS)]),
        cartesian_data=blocks, timestamp=(-5, 4000000000))


def known_extra() -> m.AllExtraStreamData:
    return m.AllExtraStreamData(
        joint_group_indices=[4],
        joint_data=m.ExtraJointData([1.5, 2.5], [-1.0], []),
        cartesian_data=[m.ExtraCartesianData([float(e) for e in range(7)],
                                             [10.0 + e for e in range(6)],
                                             [20.0 + e for e in range(6)])])


def floats(values):
    return [Float32(v) for v in values]


def zenoh_basic(s: m.AllBasicStreamData) -> bytes:
    jd = s.joint_data
    joint = tuple(floats(getattr(jd, name)) for name in m.JOINT_FIELDS)
    contacts = tuple([floats(v) for v in vectors]
                     for vectors in (jd.contact_forces, jd.contact_positions))
    cartesian = [tuple(floats(getattr(c, name)) for name in m.CARTESIAN_FIELDS)
                 for c in s.cartesian_data]
    value = (UInt16(s.system_state), Int16(s.safety_board_state), s.estop_released,
             s.enabling_device_on, list(s.safety_inputs), list(s.digital_inputs),
             list(s.digital_outputs), [UInt16(v) for v in s.joint_group_indices],
             joint + contacts, cartesian, Int32(s.timestamp[0]), UInt32(s.timestamp[1]))
    return z_serialize(value).to_bytes()


def zenoh_extra(s: m.AllExtraStreamData) -> bytes:
    jd = s.joint_data
    cartesian = [tuple(floats(getattr(c, name)) for name in m.EXTRA_CARTESIAN_FIELDS)
                 for c in s.cartesian_data]
    value = ([UInt16(v) for v in s.joint_group_indices],
             (floats(jd.q_d), floats(jd.dq_d), floats(jd.tau_d)), cartesian)
    return z_serialize(value).to_bytes()


def basic_without_spare(s: m.AllBasicStreamData) -> bytes:
    """The basic layout with the unused fifth Cartesian array left out."""
    body = m.encode_basic_body(dataclasses.replace(s, cartesian_data=[]))
    # Re-encode the Cartesian part by hand: the body ends with its (empty) sequence length.
    body = body[:-1] + m.varint(len(s.cartesian_data))
    for c in s.cartesian_data:
        for name in m.CARTESIAN_FIELDS:
            if name != "spare_array":
                body += z_serialize(floats(getattr(c, name))).to_bytes()
    return body + m.encode_timestamp(s.timestamp)


def main() -> None:
    basic, extra = known_basic(), known_extra()
    out = {
        "basic_known_zenoh": zenoh_basic(basic),
        "basic_known_sim": m.encode_basic(basic),
        "extra_known_zenoh": zenoh_extra(extra),
        "extra_known_sim": m.encode_extra(extra),
        "basic_empty": m.encode_basic(m.AllBasicStreamData()),
        "extra_empty": m.encode_extra(m.AllExtraStreamData()),
        "basic_trailing_byte": StreamFault(trailing_byte=True).apply_bytes(m.encode_basic(basic)),
        "extra_trailing_byte": StreamFault(trailing_byte=True).apply_bytes(m.encode_extra(extra)),
        "extra_with_timestamp": m.encode_extra(extra) + struct.pack("<iI", 1, 2),
        "basic_without_spare": basic_without_spare(basic),
        "basic_count_mismatch": m.encode_basic(
            apply_stream_content(StreamFault(count_mismatch=True), "basic", basic)),
        "extra_count_mismatch": m.encode_extra(
            dataclasses.replace(extra, joint_group_indices=[3, 4])),
        "basic_group_index_6": m.encode_basic(
            apply_stream_content(StreamFault(group_index=6), "basic", basic)),
    }
    bad_basic = {"safety_inputs": (7, 9), "digital_inputs": (19, 21), "digital_outputs": (21,),
                 "contact_forces": (2, 4), "contact_positions": (4,), "flange_pose": (6, 8),
                 "tcp_pose": (6,), "tcp_twist": (5, 7), "tcp_wrench_local": (5,),
                 "spare_array": (5, 7), "raw_tcp_wrench_local": (7,), "raw_ft_sensor": (0,)}
    for name, sizes in bad_basic.items():
        for size in sizes:
            fault = StreamFault(bad_array=name, bad_array_size=size)
            out[f"basic_bad_{name}_{size}"] = m.encode_basic(
                apply_stream_content(fault, "basic", basic))
    for name, sizes in {"tcp_pose_d": (6, 8), "tcp_twist_d": (5,), "tcp_wrench_d": (7,)}.items():
        for size in sizes:
            fault = StreamFault(bad_array=name, bad_array_size=size)
            out[f"extra_bad_{name}_{size}"] = m.encode_extra(
                apply_stream_content(fault, "extra", extra))

    model = RobotModel("dual")
    dual = model.basic(1.0, (7, 8))
    out["basic_dual"] = m.encode_basic(dual)
    out["extra_dual"] = m.encode_extra(model.extra(1.0, dual))

    for name, payload in out.items():
        sys.stdout.write(f"{name} {payload.hex()}\n")
    sys.stdout.write("end\n")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
