"""orbaltkvt_foxglove end to end: the bridge records the simulated robot and serves it, the files
are read back with the mcap package and the live channels with a plain WebSocket viewer."""
from __future__ import annotations

import asyncio
import json
import os
import socket
import struct
import subprocess
import sys
import textwrap
import time

import orbaltkvt
import orbaltkvt_foxglove
import orbaltkvt_stream
import pytest
import websockets
from mcap.reader import make_reader
from mcap_protobuf.decoder import DecoderFactory
from orbaltkvt import JointGroup

GROUPS = [JointGroup.ARM_1, JointGroup.ARM_2]
BASIC = ["/ARM_1/joint_states", "/ARM_2/joint_states", "/tf", "/status",
         "/raw/basic_stream_data"]
EXTRA = ["/ARM_1/joint_states_desired", "/ARM_2/joint_states_desired", "/tf_desired",
         "/raw/extra_stream_data"]
NS = 1_000_000_000


def read_mcap(path):
    """(metadata by name, {topic: [(log time, publish time, decoded body)]}, summary)."""
    protobuf = DecoderFactory()
    topics: dict[str, list] = {}
    with open(path, "rb") as f:
        reader = make_reader(f)
        summary = reader.get_summary()
        assert summary is not None, f"{path} is not complete"
        metadata = {m.name: dict(m.metadata) for m in reader.iter_metadata()}
        for schema, channel, m in reader.iter_messages(log_time_order=False):
            if channel.message_encoding == "protobuf":
                body = protobuf.decoder_for("protobuf", schema)(m.data)
            elif channel.message_encoding == "json":
                body = json.loads(m.data)
            else:
                body = m.data
            topics.setdefault(channel.topic, []).append((m.log_time, m.publish_time, body))
    return metadata, topics, summary


def record(client, seconds: float, **kwargs) -> dict:
    bridge = orbaltkvt_foxglove.Bridge(client, GROUPS, **kwargs)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        assert bridge.wait(0.1), bridge.stats()
    return bridge.close()


def test_recording_holds_every_sample_on_every_channel(remote_simulator, tmp_path):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)
    stats = record(client, 2.0, mcap=str(tmp_path / "run.mcap"))
    metadata, topics, summary = read_mcap(tmp_path / "run.mcap")

    assert stats["error"] is None and stats["files_written"] == 1
    assert stats["basic"]["dropped"] == 0 and stats["extra"]["dropped"] == 0, stats
    basic, extra = stats["basic"]["delivered"], stats["extra"]["delivered"]
    assert basic > 500 and stats["samples_written"] == basic + extra
    # Each sample once on each of its stream's channels.
    assert {t: len(topics[t]) for t in BASIC} == {t: basic for t in BASIC}
    assert {t: len(topics[t]) for t in EXTRA} == {t: extra for t in EXTRA}
    assert summary.statistics.message_count == stats["messages_written"]
    assert os.path.getsize(tmp_path / "run.mcap") == stats["bytes_written"]

    info = metadata["orbaltkvt"]
    assert info["serial_number"] == sim.sn and info["groups"] == "ARM_1,ARM_2"
    assert (info["service_version"], info["library_version"]) == ("v2.1", "2.1.0")
    layout = json.loads(info["layout"])
    assert layout["ARM_2"] == {"start_id": 7, "dof": 7}, layout
    counters = {k: int(v) for k, v in metadata["orbaltkvt.counters"].items()}
    assert counters["samples_written"] == stats["samples_written"]
    assert counters["basic_delivered"] == basic and counters["extra_malformed"] == 0

    # The raw payloads decode, with the library's decoder, into the samples of the decoded
    # channels: the same robot timestamps in the same order, and the same joint values.
    decoder = orbaltkvt_stream.Decoder({getattr(JointGroup, g): (s["start_id"], s["dof"])
                                        for g, s in layout.items()})
    raw = topics["/raw/basic_stream_data"]
    batch = decoder.decode([body for _l, _p, body in raw], [log for log, _p, _b in raw]).basic
    assert batch.valid.all()
    joints = topics["/ARM_2/joint_states"]
    assert list(batch.robot_time_ns) == [pub for _l, pub, _b in joints] == [pub for _l, pub, _b in raw]
    assert [log for log, _p, _b in joints] == list(batch.receive_time_ns)
    last = joints[-1][2]
    assert [j.name for j in last.joints] == [f"arm_2_joint{n}" for n in range(1, 8)]
    assert [j.position for j in last.joints] == list(batch.groups[JointGroup.ARM_2]["q"][-1])
    assert last.timestamp.seconds * NS + last.timestamp.nanos == batch.robot_time_ns[-1]
    tf = topics["/tf"][-1][2]
    assert [t.child_frame_id for t in tf.transforms] == [
        "ARM_1/tcp", "ARM_1/flange", "ARM_2/tcp", "ARM_2/flange"]
    assert all(t.parent_frame_id == "world" for t in tf.transforms)
    status = topics["/status"][-1][2]
    assert status["timestamp"]["sec"] * NS + status["timestamp"]["nsec"] == batch.robot_time_ns[-1]
    assert len(status["digital_inputs"]) == 20 and len(status["safety_inputs"]) == 8
    assert isinstance(status["system_state_name"], str)
    # Extra samples carry the timestamp of the newest basic sample before them.
    desired = topics["/ARM_1/joint_states_desired"]
    stamps = {pub for _l, pub, _b in joints}
    assert sum(pub in stamps for _l, pub, _b in desired) >= len(desired) - 1


def test_samples_that_do_not_fit_the_layout_keep_their_payload_status_and_frames(
        remote_simulator, tmp_path):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)
    bridge = orbaltkvt_foxglove.Bridge(client, GROUPS, mcap=str(tmp_path / "unfit.mcap"))
    deadline = time.monotonic() + 30
    while bridge.stats()["samples_written"] == 0:
        assert time.monotonic() < deadline and bridge.wait(0.05), bridge.stats()
    # Two joints short of the layout: the samples decode but give no group a record.
    sim.faults.set_stream("basic", drop_joints=2, times=50)
    deadline = time.monotonic() + 1.5
    while time.monotonic() < deadline:
        assert bridge.wait(0.1), bridge.stats()
    stats = bridge.close()
    _metadata, topics, _summary = read_mcap(tmp_path / "unfit.mcap")

    basic = stats["basic"]["delivered"]
    assert stats["basic"]["malformed"] == 0 and stats["basic"]["dropped"] == 0, stats
    assert {t: len(topics[t]) for t in ["/raw/basic_stream_data", "/status", "/tf"]} == {
        t: basic for t in ["/raw/basic_stream_data", "/status", "/tf"]}
    empty = [pub for _l, pub, body in topics["/tf"] if not body.transforms]
    assert len(empty) == 50
    assert len(topics["/ARM_1/joint_states"]) == len(topics["/ARM_2/joint_states"]) == basic - 50
    # Each one is still the robot's sample, at its own time, on every basic channel.
    assert set(empty) <= {pub for _l, pub, _b in topics["/raw/basic_stream_data"]}
    assert set(empty) <= {pub for _l, pub, _b in topics["/status"]}
    assert not set(empty) & {pub for _l, pub, _b in topics["/ARM_1/joint_states"]}


def test_more_joint_groups_than_a_recording_takes_are_refused_before_any_file(remote_simulator,
                                                                           tmp_path):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)
    with pytest.raises(ValueError, match=r"^9 joint groups given; a recording takes 1 to 8$"):
        orbaltkvt_foxglove.Bridge(client, [JointGroup.ARM_1] * 9, mcap=str(tmp_path / "x.mcap"))
    assert list(tmp_path.iterdir()) == []


def test_split_files_lose_no_sample_and_each_is_complete(remote_simulator, tmp_path):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)
    stats = record(client, 2.5, mcap=str(tmp_path / "run.mcap"), split_size=300_000,
                   chunk_size=64 * 1024)
    files = sorted(p.name for p in tmp_path.iterdir())
    assert stats["error"] is None and len(files) == stats["files_written"] >= 3, (files, stats)
    assert files == [f"run_{i:03d}.mcap" for i in range(len(files))]
    raw, samples, file_samples = [], 0, 0
    for name in files:
        metadata, topics, _summary = read_mcap(tmp_path / name)
        assert metadata["orbaltkvt"]["serial_number"] == sim.sn
        assert int(metadata["orbaltkvt.counters"]["samples_written"]) > samples
        samples = int(metadata["orbaltkvt.counters"]["samples_written"])
        raw += [pub for _l, pub, _b in topics["/raw/basic_stream_data"]]
        # A file ends between samples: each of its samples is on all of its channels.
        assert len({len(topics[t]) for t in BASIC}) == 1
        # Its own counters say what it holds; the running totals stay beside them.
        counters = metadata["orbaltkvt.counters"]
        assert int(counters["file_basic_samples"]) == len(topics["/raw/basic_stream_data"])
        assert int(counters["file_extra_samples"]) == len(topics["/raw/extra_stream_data"])
        assert counters["file_basic_gaps"] == counters["file_basic_dropped"] == "0"
        file_samples += int(counters["file_basic_samples"]) + int(counters["file_extra_samples"])
        assert file_samples == int(counters["samples_written"])
    assert samples == stats["samples_written"]
    assert len(raw) == stats["basic"]["delivered"] and raw == sorted(set(raw))


async def viewer(port: int, protocol: str, *, rcvbuf: int = 0):
    """A WebSocket viewer offering one subprotocol name, subscribed to every channel:
    (connection, {subscription: topic})."""
    sock = socket.socket()
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.connect(("127.0.0.1", port))
    ws = await websockets.connect(f"ws://127.0.0.1:{port}", sock=sock, subprotocols=[protocol],
                                  max_queue=1 if rcvbuf else 16)
    assert ws.subprotocol == protocol
    channels = {}
    while len(channels) < len(BASIC) + len(EXTRA) + 1:
        msg = json.loads(await ws.recv())
        if msg["op"] == "advertise":
            channels.update({c["id"]: c["topic"] for c in msg["channels"]})
    subs = {i: topic for i, (cid, topic) in enumerate(sorted(channels.items()))}
    by_topic = {v: k for k, v in channels.items()}
    await ws.send(json.dumps({"op": "subscribe", "subscriptions": [
        {"id": i, "channelId": by_topic[topic]} for i, topic in subs.items()]}))
    return ws, subs


async def messages(ws, subs, until=lambda got: False):
    """Reads data messages, (topic, log time, payload), until ``until(list so far)`` or the
    server closes the connection."""
    got = []
    try:
        while not until(got):
            data = await ws.recv()
            if isinstance(data, bytes) and data[0] == 1:
                sub, log = struct.unpack_from("<IQ", data, 1)
                got.append((subs[sub], log, data[13:]))
    except websockets.ConnectionClosed:
        pass
    return got


def test_viewers_of_either_protocol_name_get_every_channel_and_a_stalled_one_loses_only_its_oldest(
        remote_simulator, tmp_path):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)
    bridge = orbaltkvt_foxglove.Bridge(client, GROUPS, mcap=str(tmp_path / "live.mcap"),
                                       serve=("127.0.0.1", 0), viewer_backlog=256)
    assert bridge.port > 0
    every = set(BASIC + EXTRA + ["/kvt/counters"])

    async def session():
        # The protocol's old name, as older apps and client libraries offer it.
        fast, fast_subs = await viewer(bridge.port, "foxglove.websocket.v1")
        got = await asyncio.wait_for(messages(fast, fast_subs, lambda got: every <= {
            t for t, _l, _p in got}), 30)
        await fast.close()
        with pytest.raises(websockets.InvalidStatus, match="400"):
            await websockets.connect(f"ws://127.0.0.1:{bridge.port}",
                                     subprotocols=["foxglove.other.v1"])
        # A viewer of the new name that stops reading: its queue, the kernel's buffers and then
        # the queue's oldest messages go; the recording goes on.
        slow, slow_subs = await viewer(bridge.port, "foxglove.sdk.v1", rcvbuf=4096)
        deadline = time.monotonic() + 60
        while max((v["queued"] for v in bridge.stats()["viewers"]), default=0) < 60_000:
            assert time.monotonic() < deadline and bridge.wait(0), bridge.stats()
            await asyncio.sleep(0.05)
        resumed = time.time_ns()
        late = await asyncio.wait_for(messages(slow, slow_subs, lambda got: bool(got) and any(
            t == "/raw/basic_stream_data" and log > resumed for t, log, _p in got[-20:])), 60)
        # It reads on while the bridge closes: everything sent reaches it before the close.
        closing = asyncio.create_task(asyncio.to_thread(bridge.close))
        late += await asyncio.wait_for(messages(slow, slow_subs), 30)
        return got, late, await closing

    got, late, stats = asyncio.run(session())
    assert stats["error"] is None and stats["basic"]["dropped"] == 0, stats
    _metadata, topics, _summary = read_mcap(tmp_path / "live.mcap")
    assert len(topics["/raw/basic_stream_data"]) == stats["basic"]["delivered"]

    # What the live viewer got is what the file holds, byte for byte, and decodes.
    file_raw = [body for _l, _p, body in topics["/raw/basic_stream_data"]]
    fast_raw = [p for t, _l, p in got if t == "/raw/basic_stream_data"]
    assert fast_raw and all(p in file_raw for p in fast_raw)
    live_status = [json.loads(p) for t, _l, p in got if t == "/status"]
    file_status = {json.dumps(b, sort_keys=True) for _l, _p, b in topics["/status"]}
    assert live_status and all(json.dumps(b, sort_keys=True) in file_status for b in live_status)

    # The stalled viewer lost messages, the oldest of its queue: what it got is in order, ends
    # with samples logged after it read again, and misses a run of samples the file holds.
    slow_raw = [p for t, _l, p in late if t == "/raw/basic_stream_data"]
    index = [file_raw.index(p) for p in slow_raw]
    assert index == sorted(index) and len(set(index)) == len(index)
    assert len(index) < index[-1] - index[0] + 1, "nothing was dropped"
    # ... and each viewer's counts say so exactly.
    fast_v, slow_v = stats["viewers"]
    assert (fast_v["id"], slow_v["id"]) == (1, 2)
    # (A viewer in Python can fall 256 messages behind on a busy host, so the first may lose
    # some too; it left mid-stream, so what was still queued for it is neither.)
    assert fast_v["sent"] >= len(got)
    assert fast_v["queued"] >= fast_v["sent"] + fast_v["dropped"]
    assert slow_v["sent"] == len(late) and slow_v["dropped"] > 0
    assert slow_v["queued"] == slow_v["sent"] + slow_v["dropped"]
    assert fast_v["subscriptions"] == slow_v["subscriptions"] == 0
    # The counters channel of the file shows when the stalled viewer lost them.
    counters = [b for _l, _p, b in topics["/kvt/counters"]]
    assert any(c["viewers_dropped"] > 0 for c in counters[:-1])
    assert counters[-1]["basic"]["delivered"] == stats["basic"]["delivered"]
    print(f"stalled viewer: {slow_v['queued']} queued, {slow_v['sent']} sent, "
          f"{slow_v['dropped']} dropped; {len(counters)} counters messages")


FAILING_CHILD = textwrap.dedent("""
    import json, resource, signal, sys, time
    import orbaltkvt, orbaltkvt_foxglove
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)   # writes past the limit fail with EFBIG
    resource.setrlimit(resource.RLIMIT_FSIZE, (400_000, 400_000))
    client = orbaltkvt.Client(sys.argv[1], verbose=False)
    bridge = orbaltkvt_foxglove.Bridge(client, [orbaltkvt.JointGroup.ARM_1], mcap=sys.argv[2],
                                       chunk_size=32 * 1024)
    deadline = time.monotonic() + 60
    while bridge.wait(0.1) and time.monotonic() < deadline:
        pass
    print("STATS", json.dumps([bridge.stats(), bridge.close()]), flush=True)
""")


def test_a_failed_write_ends_the_recording_with_its_reason(remote_simulator, tmp_path):
    sim = remote_simulator()
    out = tmp_path / "full.mcap"
    child = subprocess.run([sys.executable, "-c", FAILING_CHILD, sim.sn, str(out)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    line = next(x for x in child.stdout.splitlines() if x.startswith("STATS "))
    running, closed = json.loads(line[len("STATS "):])
    assert running["running"] is False and running["error"] == closed["error"]
    assert closed["error"] == f"cannot write {out}: File too large (os error 27)", closed
    assert closed["samples_written"] > 0 and not closed["running"]


RECORDING_CHILD = textwrap.dedent("""
    import sys, time
    import orbaltkvt, orbaltkvt_foxglove
    client = orbaltkvt.Client(sys.argv[1], verbose=False)
    bridge = orbaltkvt_foxglove.Bridge(client, [orbaltkvt.JointGroup.ARM_1], mcap=sys.argv[2],
                                       chunk_duration=0.2, chunk_size=1 << 30)
    print("RECORDING", flush=True)
    while bridge.wait(1):
        pass
""")


def complete_chunks(path) -> list:
    """The chunk records of a file that may end in the middle of one."""
    from mcap.exceptions import McapError
    from mcap.records import Chunk
    from mcap.stream_reader import StreamReader

    chunks = []
    with open(path, "rb") as f:
        try:
            for record in StreamReader(f, emit_chunks=True, validate_crcs=True).records:
                if isinstance(record, Chunk):
                    chunks.append(record)
        except (McapError, EOFError, ValueError, struct.error):
            pass  # the record being written when the process died
    return chunks


def test_a_killed_recorder_leaves_its_complete_chunks_on_disk(remote_simulator, tmp_path):
    sim = remote_simulator()
    out = tmp_path / "killed.mcap"
    log = tmp_path / "child.log"
    with open(log, "w") as sink:
        child = subprocess.Popen([sys.executable, "-c", RECORDING_CHILD, sim.sn, str(out)],
                                 stdout=sink, stderr=subprocess.STDOUT, text=True)
    try:
        # Chunks end by time alone here (0.2 s), so they reach the file while it records.
        deadline = time.monotonic() + 60
        while not (out.exists() and len(complete_chunks(out)) >= 3):
            assert time.monotonic() < deadline and child.poll() is None, log.read_text()
            time.sleep(0.1)
    finally:
        child.kill()
        child.wait()
    chunks = complete_chunks(out)
    assert len(chunks) >= 3
    assert all(c.message_end_time - c.message_start_time < 0.5 * NS for c in chunks)
