"""The kvt command end to end: the real program in a child process against the simulated robot,
its output read back with the field's own readers."""
from __future__ import annotations

import asyncio
import base64
import csv
import json
import os
import re
import struct
import time
from collections import Counter

import orbaltkvt
from orbaltkvt import JointGroup

FINE = ("ARM_1", "ARM_2", "EXT_AXIS")  # recorded by default: ALL and ARMS repeat their joints
NS = 1_000_000_000


def read_mcap(path):
    """The summary and every message as (topic, log time, publish time, decoded message)."""
    from mcap.reader import make_reader
    from mcap_protobuf.decoder import DecoderFactory

    protobuf = DecoderFactory()
    messages = []
    with open(path, "rb") as f:
        reader = make_reader(f)
        summary = reader.get_summary()
        for schema, channel, m in reader.iter_messages():
            if channel.message_encoding == "protobuf":
                body = protobuf.decoder_for("protobuf", schema)(m.data)
            else:
                body = json.loads(m.data)
            messages.append((channel.topic, m.log_time, m.publish_time, body))
    return summary, messages


def test_record_export_plot(remote_simulator, kvt, tmp_path):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)
    out = tmp_path / "run.mcap"
    child = kvt("record", sim.sn, "-o", out, "--seconds", "2")
    # What the API returned for each sample while the recorder ran, by robot timestamp.
    seen = {}
    while child.proc.poll() is None:
        states = client.states()
        seen.setdefault(states[JointGroup.ARM_1].timestamp, states)
        time.sleep(0.0003)
    assert child.finish() == 0, child.stderr
    summary_line = child.err[-1]
    kept, missed = map(int, re.search(r"(\d+) samples, (\d+) missed", summary_line).groups())

    summary, messages = read_mcap(out)
    counts = Counter(topic for topic, *_ in messages)
    topics = {f"/{g}/joint_states" for g in FINE} | {f"/{g}/joint_states_desired" for g in FINE}
    topics |= {"/tf", "/tf_desired", "/status"}
    assert set(counts) == topics
    assert set(counts.values()) == {kept}, counts          # every channel once per sample
    assert summary.statistics.message_count == len(messages)
    assert kept > 400, summary_line                        # 2 s of a 1 kHz stream, polled

    arm = [(pub, msg) for topic, _log, pub, msg in messages if topic == "/ARM_1/joint_states"]
    stamps = [pub for pub, _ in arm]
    assert stamps == sorted(set(stamps)), "only new samples, in order"
    # Every sample the robot stamped between the first and last kept one is kept or missed
    # (unless the stream paused: a starved simulator skips samples, and says so).
    expected = round((stamps[-1] - stamps[0]) / (NS // 1000)) + 1
    assert kept + missed <= expected, summary_line
    if "pauses" not in summary_line:
        assert kept + missed >= expected - 3, (summary_line, expected)

    common = [(pub, msg) for pub, msg in arm if (pub // NS, pub % NS) in seen]
    assert common, "the recording and the API saw no sample in common"
    pub, msg = common[len(common) // 2]
    s = seen[(pub // NS, pub % NS)]
    a1 = s[JointGroup.ARM_1]
    assert [j.position for j in msg.joints] == a1.q
    assert [j.velocity for j in msg.joints] == a1.dq
    assert [j.effort for j in msg.joints] == a1.tau
    assert (msg.timestamp.seconds, msg.timestamp.nanos) == a1.timestamp
    tf = next(m for topic, _l, p, m in messages if topic == "/tf" and p == pub)
    tcp = next(t for t in tf.transforms if t.child_frame_id == "ARM_1/tcp")
    assert tcp.parent_frame_id == "world"
    t, r = tcp.translation, tcp.rotation
    assert [t.x, t.y, t.z, r.w, r.x, r.y, r.z] == a1.tcp_pose
    status = next(m for topic, _l, p, m in messages if topic == "/status" and p == pub)
    assert len(status["digital_inputs"]) == len(status["digital_outputs"]) == 20
    log_times = [log for topic, log, _p, _m in messages if topic == "/status"]
    assert abs(log_times[0] - time.time_ns()) < 60 * NS, "log time is the host's clock"

    csv_dir = tmp_path / "csv"
    export = kvt("export", out, "--csv", csv_dir)
    assert export.finish() == 0, export.stderr
    files = sorted(os.listdir(csv_dir))
    assert len(files) == len(topics)
    with open(csv_dir / "ARM_1.joint_states.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == kept
    row = next(r for r in rows if r["robot_time"] == f"{pub // NS}.{pub % NS:09d}")
    assert [float(row[f"arm_1_joint{i + 1}.position"]) for i in range(7)] == a1.q
    for name in files:
        with open(csv_dir / name, newline="") as f:
            header, *body = list(csv.reader(f))
        assert header[:2] == ["host_time", "robot_time"] and len(body) == kept, name

    png = tmp_path / "run.png"
    plot = kvt("plot", out, "-o", png, "--group", "ARM_1")
    assert plot.finish() == 0, plot.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_serve_speaks_the_websocket_protocol(remote_simulator, kvt, tmp_path):
    import websockets
    sim = remote_simulator(preset="single")
    rec = tmp_path / "live.mcap"
    child = kvt("serve", sim.sn, "--port", "0", "--record", rec, "--seconds", "60", "--groups", "all")
    line = child.wait_for(lambda text: "ws://" in text, 30.0, stream="err")
    assert line, child.stderr
    url = re.search(r"ws://\S+", line).group(0)

    async def talk():
        async with websockets.connect(url, subprotocols=["foxglove.sdk.v1"]) as ws:
            channels = {}
            while "/status" not in channels or "/ARM_1/joint_states" not in channels:
                msg = json.loads(await asyncio.wait_for(ws.recv(), 10.0))
                if msg["op"] == "advertise":
                    channels.update({c["topic"]: c for c in msg["channels"]})
            joint = channels["/ARM_1/joint_states"]
            await ws.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": 1, "channelId": joint["id"]},
                {"id": 2, "channelId": channels["/status"]["id"]}]}))
            got = {1: [], 2: []}
            while len(got[1]) < 5 or len(got[2]) < 5:
                frame = await asyncio.wait_for(ws.recv(), 10.0)
                if isinstance(frame, bytes) and frame[0] == 0x01:
                    sub, log_time = struct.unpack_from("<IQ", frame, 1)
                    got[sub].append((log_time, frame[13:]))
            return channels, got

    channels, got = asyncio.run(talk())
    assert child.stop() == 0, child.stderr
    assert {f"/{g}/joint_states" for g in ("ALL", "ARM_1")} <= set(channels)
    joint = channels["/ARM_1/joint_states"]
    assert (joint["encoding"], joint["schemaName"]) == ("protobuf", "foxglove.JointStates")

    from mcap.records import Schema
    from mcap_protobuf.decoder import DecoderFactory

    schema = Schema(id=1, name=joint["schemaName"], encoding=joint["schemaEncoding"],
                    data=base64.b64decode(joint["schema"]))
    decode = DecoderFactory().decoder_for("protobuf", schema)
    states = [decode(payload) for _t, payload in got[1]]
    assert all(len(s.joints) == 7 for s in states)
    stamps = [(s.timestamp.seconds, s.timestamp.nanos) for s in states]
    assert stamps == sorted(set(stamps))
    status = json.loads(got[2][0][1])
    assert isinstance(status["estop_released"], bool) and len(status["digital_inputs"]) == 20


def test_echo_lines_and_closed_pipe(remote_simulator, kvt):
    sim = remote_simulator()
    child = kvt("echo", sim.sn, "--count", "5", "--group", "arm_2", "--fields", "q,tau")
    assert child.finish() == 0, child.stderr
    lines = [json.loads(text) for _t, text in child.out]
    assert len(lines) == 5
    assert all(set(line) == {"timestamp", "host_time_ns", "missed", "q", "tau"} for line in lines)
    assert all(len(line["q"]) == len(line["tau"]) == 7 for line in lines)
    stamps = [tuple(line["timestamp"]) for line in lines]
    assert stamps == sorted(set(stamps))

    # The reader goes away after one line (kvt echo | head -1): no traceback, status 0.
    endless = kvt("echo", sim.sn, "--what", "status")
    assert endless.wait_for(lambda text: text.startswith("{"), 30.0), endless.stderr
    endless.proc.stdout.close()
    assert endless.finish() == 0, endless.stderr
    assert "Traceback" not in endless.stderr

    # A recording that cannot be written (the disk is full) fails in one line, not as success.
    full = kvt("record", sim.sn, "-o", "/dev/full", "--seconds", "1")
    assert full.finish(60) == 1, full.stderr
    assert [line for line in full.err if line.strip()] == [
        "kvt record: cannot write /dev/full: No space left on device"], full.stderr


def test_monitor_goes_stale_when_the_stream_stops(remote_simulator, kvt):
    sim = remote_simulator(preset="single")
    child = kvt("monitor", sim.sn, "--plain", "--hz", "20")
    assert child.wait_for(lambda text: " live " in text, 30.0), child.stderr
    sim.pause("both")
    paused_at = time.monotonic()
    stale = child.wait_for(lambda text: "STALE" in text, 5.0)
    assert stale, child.out[-3:]
    print(f"STALE shown {stale[0] - paused_at:.2f} s after the stream stopped")
    assert stale[0] - paused_at < 1.0
    sim.resume("both")
    resumed_at = time.monotonic()
    assert child.wait_for(lambda text: " live " in text and child.out[-1][0] > resumed_at, 5.0)
    assert child.stop() == 0, child.stderr


def test_failures_are_one_line(kvt, tmp_path):
    no_robot = [kvt("info", "ORB-NOBODY-0001"),
                kvt("record", "ORB-NOBODY-0002", "-o", tmp_path / "x.mcap")]
    bad_usage = [kvt("echo", "ORB-NOBODY-0003", "--group", "ARM_9"),
                 kvt("info", "ORB--SIM"),
                 kvt("record", "ORB-NOBODY-0004")]
    for child in bad_usage:
        assert child.finish() == 2, child.stderr
        assert "Traceback" not in child.stderr and child.err[-1].startswith("kvt")
    for child in no_robot:
        assert child.finish(60) == 1, child.stderr
        assert len([line for line in child.err if line.strip()]) == 1, child.stderr
        assert child.err[0].startswith(f"kvt {child.proc.args[1]}: cannot connect to robot")
        assert child.out == []
    assert not (tmp_path / "x.mcap").exists()
