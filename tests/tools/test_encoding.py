"""kvt's own protobuf packing and MCAP writer, held against foxglove-sdk's encoder and the mcap
package's readers."""
from __future__ import annotations

import io
import random
import struct
import zlib
from types import SimpleNamespace

import zstandard
from foxglove.messages import (FrameTransform, FrameTransforms, JointState, JointStates,
                               Quaternion, Timestamp, Vector3)
from mcap.reader import make_reader
from mcap.records import Chunk, MessageIndex
from mcap.stream_reader import StreamReader
from mcap_protobuf.decoder import DecoderFactory
from orbaltkvt import JointGroup
from orbaltkvt_tools import channels as ch
from orbaltkvt_tools.mcapwriter import McapWriter

NS = 1_000_000_000


def _record(rng, dof, zeros=False):
    values = lambda n: [0.0 if zeros and i % 2 else rng.uniform(-4, 4) for i in range(n)]
    return SimpleNamespace(timestamp=(1_796_734_247, 365_601_744), q=values(dof), dq=values(dof),
                           tau=values(dof), tcp_pose=values(7), flange_pose=values(7),
                           q_d=values(dof), dq_d=values(dof), tau_d=values(dof),
                           tcp_pose_d=values(7))


def _sdk_joints(prefix, stamp, q, dq, tau):
    return JointStates(timestamp=stamp, joints=[
        JointState(name=f"{prefix}_joint{i + 1}", position=p, velocity=v, effort=e)
        for i, (p, v, e) in enumerate(zip(q, dq, tau))]).encode()


def _sdk_transforms(items, stamp):
    return FrameTransforms(transforms=[
        FrameTransform(timestamp=stamp, parent_frame_id="world", child_frame_id=child,
                       translation=Vector3(x=p[0], y=p[1], z=p[2]),
                       rotation=Quaternion(x=p[4], y=p[5], z=p[6], w=p[3]))
        for child, p in items]).encode()


def test_messages_match_foxglove_sdk():
    rng = random.Random(7)
    decode = DecoderFactory().decoder_for("protobuf", SimpleNamespace(
        id=1, name="foxglove.FrameTransforms", encoding="protobuf",
        data=bytes(FrameTransforms.get_schema().data)))
    groups = [JointGroup.ARM_1, JointGroup.EXT_AXIS]
    encoder = ch.SampleEncoder(groups)
    for zeros, dofs in ((False, (7, 2)), (True, (7, 2)), (False, (6, 3))):  # then fewer joints
        states = {g: _record(rng, n, zeros) for g, n in zip(groups, dofs)}
        states[JointGroup.ALL] = _record(rng, 9)  # not taken: left out
        stamp = Timestamp(sec=1_796_734_247, nsec=365_601_744)
        out = {topic: (data, ns) for topic, data, ns in encoder.messages(
            states, states, {"estop_released": True, "digital_inputs": [True, False]})}
        assert set(out) == {"/ARM_1/joint_states", "/ARM_1/joint_states_desired",
                            "/EXT_AXIS/joint_states", "/EXT_AXIS/joint_states_desired", "/tf",
                            "/tf_desired", "/status"}
        for g in groups:
            s = states[g]
            # Byte for byte: JointState's numbers are optional fields, written even when zero.
            assert out[f"/{g.name}/joint_states"][0] == _sdk_joints(
                g.name.lower(), stamp, s.q, s.dq, s.tau)
            assert out[f"/{g.name}/joint_states_desired"][0] == _sdk_joints(
                g.name.lower(), stamp, s.q_d, s.dq_d, s.tau_d)
        frames = [(f"{g.name}/{kind}", getattr(states[g], f"{kind}_pose"))
                  for g in groups for kind in ("tcp", "flange")]
        desired = [(f"{g.name}/tcp_desired", states[g].tcp_pose_d) for g in groups]
        for topic, items in (("/tf", frames), ("/tf_desired", desired)):
            expected = _sdk_transforms(items, stamp)
            if not zeros:
                assert out[topic][0] == expected
            # foxglove-sdk leaves zero coordinates out; the decoded messages are the same.
            assert decode(out[topic][0]) == decode(expected)
        assert out["/status"][0] == (b'{"timestamp":{"sec":1796734247,"nsec":365601744},'
                                     b'"estop_released":true,"digital_inputs":[true,false]}')
        assert {ns for _d, ns in out.values()} == {1_796_734_247 * NS + 365_601_744}


def test_writer_files_read_back_with_the_mcap_package():
    rng = random.Random(3)
    f = io.BytesIO()
    w = McapWriter(f, library="test", chunk_size=4096)
    a = w.register_schema("A", "protobuf", b"\x01\x02")
    b = w.register_schema("B", "jsonschema", b"{}")
    channels = [w.register_channel("/a", "protobuf", a), w.register_channel("/b", "json", b),
                w.register_channel("/c", "protobuf", a, {"k": "v"})]
    w.add_metadata("orbaltkvt", {"serial_number": "SN-1"})
    sent = []
    t = 10 * NS
    for i in range(700):
        t += rng.choice((1_000_000, 1_000_000, -3_000_000))  # now and then back in time
        batch = [(c, t - 5, rng.randbytes(rng.randrange(0, 300)))
                 for c in rng.sample(channels, rng.randrange(1, 4))]
        w.add(t, batch)
        sent += [(c, t, p, d) for c, p, d in batch]
    w.finish()
    data = f.getvalue()

    reader = make_reader(io.BytesIO(data))
    summary = reader.get_summary()
    stats = summary.statistics
    assert stats.message_count == len(sent)
    assert stats.channel_message_counts == {c: sum(1 for s in sent if s[0] == c) for c in channels}
    assert (stats.message_start_time, stats.message_end_time) == (min(s[1] for s in sent),
                                                                   max(s[1] for s in sent))
    assert len(summary.chunk_indexes) == stats.chunk_count > 10
    assert [summary.channels[c].topic for c in channels] == ["/a", "/b", "/c"]
    assert summary.channels[3].metadata == {"k": "v"}
    assert summary.schemas[2].encoding == "jsonschema"
    got = [(c.id, m.log_time, m.publish_time, m.data) for _s, c, m in reader.iter_messages()]
    assert sorted(got) == sorted(sent)
    assert [m[1] for m in got] == sorted(s[1] for s in sent)  # in log-time order
    assert [m.metadata for m in reader.iter_metadata()] == [{"serial_number": "SN-1"}]

    # Record by record, CRCs checked: every index entry points at its message in its chunk.
    indexed = 0
    chunk = None
    for record in StreamReader(io.BytesIO(data), skip_magic=False, validate_crcs=True,
                               emit_chunks=True).records:
        if isinstance(record, Chunk):
            chunk = zstandard.ZstdDecompressor().decompress(record.data, record.uncompressed_size)
            assert zlib.crc32(chunk) == record.uncompressed_crc
        elif isinstance(record, MessageIndex):
            times = [t for t, _o in record.records]
            assert times == sorted(times)
            for log_time, offset in record.records:
                op, _len, channel, _seq, t = struct.unpack_from("<BQHIQ", chunk, offset)
                assert (op, channel, t) == (0x05, record.channel_id, log_time)
                indexed += 1
    assert indexed == len(sent)
    # The footer's CRC covers the summary, the summary offsets and the footer up to itself.
    summary_start, = struct.unpack_from("<Q", data, len(data) - 8 - 20)
    crc, = struct.unpack_from("<I", data, len(data) - 8 - 4)
    assert crc == zlib.crc32(data[summary_start:len(data) - 8 - 4])
