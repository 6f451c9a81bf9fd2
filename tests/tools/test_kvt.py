"""The kvt command end to end: the real program in a child process against the simulated robot,
its output read back with the field's own readers and held against what the robot put on the
wire (an independent eclipse-zenoh subscriber in this process)."""
from __future__ import annotations

import asyncio
import base64
import csv
import json
import os
import random
import re
import signal
import struct
import time

import numpy as np
import orbaltkvt_stream
import zenoh
from mcap.reader import make_reader
from mcap.records import Schema
from mcap.stream_reader import StreamReader
from mcap_protobuf.decoder import DecoderFactory
from orbaltkvt import JointGroup
from orbaltkvt_sim import messages as wire
from orbaltkvt_sim.model import PRESETS
from orbaltkvt_sim.keys import BASIC_SUFFIX, EXTRA_SUFFIX, KEY_PREFIX
from orbaltkvt_tools.recording import load

FINE = ("ARM_1", "ARM_2", "EXT_AXIS")  # recorded by default: ALL and ARMS repeat their joints
NS = 1_000_000_000
PERIOD = NS // 1000                     # the simulator's default 1 kHz
BASIC = [f"/{g}/joint_states" for g in FINE] + ["/tf", "/status", "/raw/basic_stream_data"]
EXTRA = [f"/{g}/joint_states_desired" for g in FINE] + ["/tf_desired", "/raw/extra_stream_data"]
COUNTERS = "/kvt/counters"                # about once a second, beside the samples


class Tap:
    """Every payload the simulated robot publishes, as received by a plain zenoh subscriber."""

    def __init__(self, sn: str):
        self.session = zenoh.open(zenoh.Config())
        self.basic: list[bytes] = []
        self.extra: list[bytes] = []
        self._subs = [self.session.declare_subscriber(KEY_PREFIX + sn + suffix,
                                                      lambda s, out=out: out.append(
                                                          s.payload.to_bytes()))
                      for suffix, out in ((BASIC_SUFFIX, self.basic), (EXTRA_SUFFIX, self.extra))]

    def close(self) -> None:
        for sub in self._subs:
            sub.undeclare()
        self.session.close()


class Recording:
    """One MCAP file read completely with the mcap package's seeking reader (which needs the
    summary of a complete file): messages per topic as (log time, publish time, body), where
    the body is decoded for protobuf and JSON channels and the bytes for the raw ones."""

    def __init__(self, path):
        protobuf = DecoderFactory()
        self.topics: dict[str, list] = {}
        with open(path, "rb") as f:
            reader = make_reader(f)
            self.summary = reader.get_summary()
            assert self.summary is not None, f"{path} has no summary"
            self.metadata = {m.name: dict(m.metadata) for m in reader.iter_metadata()}
            for schema, channel, m in reader.iter_messages():
                if channel.message_encoding == "protobuf":
                    body = protobuf.decoder_for("protobuf", schema)(m.data)
                elif channel.message_encoding == "json":
                    body = json.loads(m.data)
                else:
                    body = m.data
                self.topics.setdefault(channel.topic, []).append((m.log_time, m.publish_time,
                                                                  body))

    def counts(self) -> dict[str, int]:
        return {t: len(v) for t, v in self.topics.items()}

    def stamps(self, topic: str = "/ARM_1/joint_states") -> list[int]:
        return [pub for _log, pub, _body in self.topics[topic]]

    def counter(self, name: str) -> int:
        return int(self.metadata["orbaltkvt.counters"][name])


def assert_channels_in_step(rec: Recording) -> None:
    """Every sample of a stream is on each of its channels once: equal counts per stream, and
    the summary's statistics agree."""
    counts = rec.counts()
    basic = [t for t in counts if t.endswith("/joint_states")] + BASIC[-3:]
    extra = [t for t in counts if t.endswith("/joint_states_desired")] + EXTRA[-2:]
    assert len(basic) > 3 and len(extra) > 2, counts
    assert set(basic + extra + [COUNTERS]) == set(counts) and counts[COUNTERS] >= 1, counts
    assert len({counts[t] for t in basic}) == 1, counts
    assert len({counts[t] for t in extra}) == 1, counts
    assert rec.summary.statistics.message_count == sum(counts.values())
    assert "orbaltkvt" in rec.metadata and "orbaltkvt.counters" in rec.metadata, rec.metadata


def is_run(part: list, whole: list) -> bool:
    """``part`` is a run of consecutive items of ``whole``."""
    return any(whole[i:i + len(part)] == part for i in range(len(whole) - len(part) + 1)
               if whole[i] == part[0])


def wait_for_file(path, child, min_size: int = 1) -> None:
    deadline = time.monotonic() + 30
    while not (os.path.exists(path) and os.path.getsize(path) >= min_size):
        assert child.proc.poll() is None and time.monotonic() < deadline, child.stderr
        time.sleep(0.02)


def loss_line(child, stream: str) -> tuple[int, int, int, int]:
    """(kept, of, dropped, gaps) from the summary kvt printed for ``stream`` at the end."""
    line = next(text for text in child.err if f"{stream}: kept" in text)
    return tuple(map(int, re.search(r"kept (\d+) of (\d+), dropped (\d+), gaps (\d+)",
                                    line).groups()))


def test_recording_holds_what_the_robot_sent(remote_simulator, kvt, tmp_path):
    sim = remote_simulator()
    tap = Tap(sim.sn)
    out = tmp_path / "run.mcap"
    try:
        child = kvt("record", sim.sn, "-o", out, "--seconds", "3")
        assert child.finish(60) == 0, child.stderr
    finally:
        tap.close()
    rec = Recording(out)
    assert_channels_in_step(rec)
    assert set(BASIC + EXTRA + [COUNTERS]) == set(rec.counts())
    kept, of, dropped, gaps = loss_line(child, "basic")
    assert (dropped, gaps) == (0, 0) and kept == of == len(rec.stamps()), child.stderr

    # The raw channels hold the wire payloads unchanged: a run of consecutive samples of what
    # the robot sent, none missing, each once.
    raw = [body for _l, _p, body in rec.topics["/raw/basic_stream_data"]]
    raw_extra = [body for _l, _p, body in rec.topics["/raw/extra_stream_data"]]
    assert is_run(raw, tap.basic) and is_run(raw_extra, tap.extra)
    stamps = rec.stamps()
    assert np.all(np.diff(stamps) == PERIOD), "consecutive samples, 1 ms apart"

    # Sample by sample the decoded channels hold the values the robot sent.
    layout = {g.name: (g.start, g.dof) for g in PRESETS["dual"]}
    sent = [wire.decode_basic(p) for p in raw]
    desired = [wire.decode_extra(p) for p in raw_extra]
    for name in FINE:
        start, dof = layout[name]
        joints = slice(start, start + dof)
        for (_l, pub, msg), s in zip(rec.topics[f"/{name}/joint_states"], sent, strict=True):
            assert pub == s.timestamp[0] * NS + s.timestamp[1]
            assert [j.name for j in msg.joints] == [f"{name.lower()}_joint{i + 1}"
                                                    for i in range(dof)]
            assert [j.position for j in msg.joints] == s.joint_data.q[joints]
            assert [j.velocity for j in msg.joints] == s.joint_data.dq[joints]
            assert [j.effort for j in msg.joints] == s.joint_data.tau[joints]
        for (_l, _p, msg), d in zip(rec.topics[f"/{name}/joint_states_desired"], desired,
                                    strict=True):
            assert [j.position for j in msg.joints] == d.joint_data.q_d[joints]
            assert [j.effort for j in msg.joints] == d.joint_data.tau_d[joints]
    for (_l, _p, tf), s in zip(rec.topics["/tf"], sent, strict=True):
        frames = {t.child_frame_id: t for t in tf.transforms}
        for name in FINE:
            cart = s.cartesian_data[s.joint_group_indices.index(
                next(g.group for g in PRESETS["dual"] if g.name == name))]
            t = frames[f"{name}/tcp"]
            assert t.parent_frame_id == "world"
            assert [t.translation.x, t.translation.y, t.translation.z, t.rotation.w,
                    t.rotation.x, t.rotation.y, t.rotation.z] == cart.tcp_pose
    for (_l, _p, status), s in zip(rec.topics["/status"], sent, strict=True):
        assert status["estop_released"] == s.estop_released
        assert status["digital_inputs"] == s.digital_inputs
        assert status["system_state"] == s.system_state
        assert status["system_state_name"] == orbaltkvt_stream.system_state_name(s.system_state)

    # load decodes the raw channels, with the layout the file names, to the same values.
    meta = rec.metadata["orbaltkvt"]
    assert meta["serial_number"] == sim.sn
    loaded = load(out)
    assert loaded.serial_number == sim.sn and loaded.counters == {
        k: int(v) for k, v in rec.metadata["orbaltkvt.counters"].items()}
    assert loaded.basic.valid.all() and list(loaded.basic.robot_time_ns) == stamps
    assert list(loaded.basic.receive_time_ns) == [
        log for log, _p, _b in rec.topics["/raw/basic_stream_data"]]
    for name in FINE:
        q = [[j.position for j in m.joints] for _l, _p, m in rec.topics[f"/{name}/joint_states"]]
        assert loaded.basic.groups[JointGroup.__members__[name]]["q"].tolist() == q
        q_d = [[j.position for j in m.joints]
               for _l, _p, m in rec.topics[f"/{name}/joint_states_desired"]]
        assert loaded.extra.groups[JointGroup.__members__[name]]["q_d"].tolist() == q_d
    assert loaded.basic.joints["tau"].tolist() == [s.joint_data.tau for s in sent]
    assert loaded.extra.joints["dq_d"].tolist() == [d.joint_data.dq_d for d in desired]
    assert loaded.basic.status["digital_outputs"].tolist() == [s.digital_outputs for s in sent]
    assert rec.counter("basic_delivered") == len(stamps), rec.metadata

    # export and plot read the same file.
    csv_dir = tmp_path / "csv"
    export = kvt("export", out, "--csv", csv_dir)
    assert export.finish() == 0, export.stderr
    groups = [g.name for g in loaded.basic.groups]
    assert sorted(os.listdir(csv_dir)) == sorted(
        ["joint_states.csv", "joint_states_desired.csv", "status.csv", "recording.json"]
        + [f"{g}.cartesian{s}.csv" for g in groups for s in ("", "_desired")])
    with open(csv_dir / "joint_states.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == len(stamps)
    row, s = rows[len(rows) // 2], sent[len(rows) // 2]
    assert row["robot_time"] == f"{s.timestamp[0]}.{s.timestamp[1]:09d}"
    assert [float(row[f"joint{k + 1}.q"]) for k in range(16)] == s.joint_data.q
    png = tmp_path / "run.png"
    plot = kvt("plot", out, "-o", png, "--group", "ARM_1")
    assert plot.finish() == 0, plot.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_stopped_recordings_are_complete(remote_simulator, kvt, tmp_path):
    """SIGINT or SIGTERM at any moment close a complete file; SIGKILL leaves one that kvt
    recover makes whole, with every chunk written before the kill; --split-duration files
    together hold consecutive samples."""
    sim = remote_simulator()
    rng = random.Random()
    for i, sig in enumerate([signal.SIGINT, signal.SIGINT, signal.SIGTERM, signal.SIGINT]):
        out = tmp_path / f"stopped{i}.mcap"
        child = kvt("record", sim.sn, "-o", out)
        wait_for_file(out, child)
        time.sleep(rng.uniform(0.0, 2.0))
        assert child.stop(sig) == 0, child.stderr
        rec = Recording(out)
        assert_channels_in_step(rec)
        assert rec.counter("basic_delivered") == len(rec.stamps()), rec.metadata

    killed = tmp_path / "killed.mcap"
    child = kvt("record", sim.sn, "-o", killed, "--chunk-duration", "0.2")
    wait_for_file(killed, child, min_size=200_000)
    child.stop(signal.SIGKILL)
    whole_chunks = []
    try:
        for record in StreamReader(open(killed, "rb"), emit_chunks=True).records:
            whole_chunks.append(type(record).__name__)
    except Exception:  # noqa: BLE001 - the file ends inside a record: where it was cut
        pass
    assert "Footer" not in whole_chunks
    recovered = tmp_path / "recovered.mcap"
    fix = kvt("recover", killed, recovered)
    assert fix.finish() == 0, fix.stderr
    rec = Recording(recovered)
    assert rec.metadata["orbaltkvt"]["serial_number"] == sim.sn
    stamps = rec.stamps()
    assert len(stamps) > 100 and np.all(np.diff(stamps) == PERIOD), fix.stderr
    chunk_messages = 0
    with open(killed, "rb") as f:
        try:
            for record in StreamReader(f).records:
                chunk_messages += type(record).__name__ == "Message"
        except Exception:  # noqa: BLE001
            pass
    assert rec.summary.statistics.message_count == chunk_messages, fix.stderr

    split = tmp_path / "split.mcap"
    child = kvt("record", sim.sn, "-o", split, "--seconds", "3.5", "--split-duration", "1")
    assert child.finish(60) == 0, child.stderr
    files = sorted(tmp_path.glob("split_*.mcap"))
    assert len(files) >= 3, (files, child.stderr)
    stamps = []
    for path in files:
        rec = Recording(path)
        assert_channels_in_step(rec)
        stamps += rec.stamps()
    assert np.all(np.diff(stamps) == PERIOD), "no sample missing between files"

    # A file that cannot be written (the disk is full) fails in one line, not as success.
    full = kvt("record", sim.sn, "-o", "/dev/full", "--seconds", "1")
    assert full.finish(60) == 1, full.stderr
    lines = [line for line in full.err if line.strip()]
    assert len(lines) == 1 and lines[0].startswith("kvt record: cannot write /dev/full: "), lines


def test_recordings_load_with_every_joint(remote_simulator, kvt, tmp_path):
    """A robot that changes its joint groups during a recording split into files: load and
    export keep every joint of every sample, as the robot sent it; a cut or foreign file fails
    in one line."""
    sim = remote_simulator(preset="single")
    tap = Tap(sim.sn)
    try:
        child = kvt("record", sim.sn, "-o", tmp_path / "switch.mcap", "--seconds", "3",
                    "--split-duration", "1", "--groups", "all")
        wait_for_file(tmp_path / "switch_000.mcap", child)
        deadline = time.monotonic() + 10
        while len(tap.basic) < 1000 and time.monotonic() < deadline:
            time.sleep(0.01)
        sim.set_layout("dual")
        assert child.finish(60) == 0, child.stderr
    finally:
        tap.close()
    files = sorted(tmp_path.glob("switch_*.mcap"))
    assert len(files) >= 3, (files, child.stderr)
    rec = load(files)
    assert rec.files == list(map(str, files))
    assert rec.layout == {JointGroup.ALL: (0, 7), JointGroup.ARM_1: (0, 7)}

    sent = {tuple(s.timestamp): s for s in map(wire.decode_basic, tap.basic)}
    q = rec.basic.joints["q"]
    assert q.shape == (len(rec.basic), 16) and len(rec.basic) == rec.counters["basic_delivered"]
    assert np.all(np.diff(rec.basic.robot_time_ns) == PERIOD), "every sample, across the files"
    widths = []
    for i, stamp in enumerate(map(tuple, rec.basic.timestamp.tolist())):
        joints = sent[stamp].joint_data
        widths.append(len(joints.q))
        assert q[i, :len(joints.q)].tolist() == joints.q
        assert rec.basic.joints["temperature"][i, :len(joints.q)].tolist() == joints.temperature
        assert np.isnan(q[i, len(joints.q):]).all()
    assert widths[0] == 7 and widths[-1] == 16 and widths == sorted(widths), "one switch"
    assert np.array_equal(rec.basic.groups[JointGroup.ARM_1]["q"], q[:, :7])
    # The groups the robot listed only after the switch keep their Cartesian values.
    after = np.array(widths) == 16
    arm_2 = rec.basic.groups[JointGroup.ARM_2]["tcp_pose"]
    assert not np.isnan(arm_2[after]).any() and np.isnan(arm_2[~after]).all()
    extra = [wire.decode_extra(p).joint_data.q_d for p in tap.extra]
    recorded = [row[~np.isnan(row)].tolist() for row in rec.extra.joints["q_d"]]
    assert is_run(recorded, extra)

    csv_dir = tmp_path / "csv"
    export = kvt("export", *files, "--csv", csv_dir)
    assert export.finish() == 0, export.stderr
    with open(csv_dir / "joint_states.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == len(rec.basic) and "joint16.tau_interact" in rows[0]
    for i in (0, len(rows) - 1):
        assert rows[i]["joint16.q"] == ("" if widths[i] == 7 else repr(float(q[i, 15])))
        assert [float(rows[i][f"joint{k + 1}.q"]) for k in range(widths[i])] == \
            q[i, :widths[i]].tolist()
    about = json.loads((csv_dir / "recording.json").read_text())
    assert about["layout"]["ARM_1"]["joints"] == "joint1-joint7"

    # A file cut short, a foreign MCAP file and no MCAP file at all: one line, status 1.
    cut = tmp_path / "cut.mcap"
    cut.write_bytes(files[0].read_bytes()[:files[0].stat().st_size // 2])
    foreign = tmp_path / "foreign.mcap"
    with open(foreign, "wb") as f:
        from mcap.writer import Writer
        writer = Writer(f)
        writer.start()
        channel = writer.register_channel("/other", "json", writer.register_schema("x", "", b""))
        writer.add_message(channel, 1, b"{}", 1)
        writer.finish()
    notes = tmp_path / "notes.txt"
    notes.write_text("not a recording\n")
    for bad, says in ((cut, "kvt recover"), (foreign, "not a recording of a robot"),
                      (notes, "not a readable MCAP file")):
        for verb in (("export", bad, "--csv", tmp_path / "bad"), ("plot", bad)):
            child = kvt(*verb)
            assert child.finish() == 1, child.stderr
            assert len(child.err) == 1 and says in child.err[0], child.err


def test_serve_speaks_the_websocket_protocol(remote_simulator, kvt, tmp_path):
    import websockets
    sim = remote_simulator(preset="single")
    rec = tmp_path / "live.mcap"
    child = kvt("serve", sim.sn, "--port", "0", "--record", rec, "--seconds", "60",
                "--groups", "all")
    line = child.wait_for(lambda text: "ws://" in text, 30.0, stream="err")
    assert line, child.stderr
    url = re.search(r"ws://\S+", line).group(0)

    async def talk():
        async with websockets.connect(url, subprotocols=["foxglove.sdk.v1"]) as ws:
            channels = {}
            while not {"/status", "/ARM_1/joint_states", "/kvt/counters"} <= set(channels):
                msg = json.loads(await asyncio.wait_for(ws.recv(), 10.0))
                if msg["op"] == "advertise":
                    channels.update({c["topic"]: c for c in msg["channels"]})
            joint = channels["/ARM_1/joint_states"]
            await ws.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": 1, "channelId": joint["id"]},
                {"id": 2, "channelId": channels["/status"]["id"]},
                {"id": 3, "channelId": channels["/kvt/counters"]["id"]}]}))
            got = {1: [], 2: [], 3: []}
            while len(got[1]) < 200 or len(got[2]) < 5 or len(got[3]) < 2:
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

    schema = Schema(id=1, name=joint["schemaName"], encoding=joint["schemaEncoding"],
                    data=base64.b64decode(joint["schema"]))
    decode = DecoderFactory().decoder_for("protobuf", schema)
    states = [decode(payload) for _t, payload in got[1]]
    assert all(len(s.joints) == 7 for s in states)
    stamps = [s.timestamp.seconds * NS + s.timestamp.nanos for s in states]
    assert np.all(np.diff(stamps) == PERIOD), "the viewer gets every sample"
    status = json.loads(got[2][0][1])
    assert isinstance(status["estop_released"], bool) and len(status["digital_inputs"]) == 20
    # The counters, about once a second, say what this viewer was sent so far.
    counters = [json.loads(payload) for _t, payload in got[3]]
    assert counters[-1]["viewers"][0]["subscriptions"] == 3
    assert 0 < counters[0]["viewers_sent"] < counters[-1]["viewers_sent"]
    assert 0.5e9 < got[3][1][0] - got[3][0][0] < 2e9
    # The summary says what each viewer was sent and dropped.
    summary = re.search(r"viewer 1 sent (\d+), dropped (\d+)", child.stderr)
    assert summary and int(summary[1]) >= len(got[1]) + len(got[2]) + len(got[3])
    assert int(summary[2]) == 0, child.stderr

    recording = Recording(rec)
    assert_channels_in_step(recording)
    assert set(stamps) <= set(recording.stamps())


def test_echo_lines_and_closed_pipe(remote_simulator, kvt):
    sim = remote_simulator()
    child = kvt("echo", sim.sn, "--count", "500", "--group", "arm_2", "--fields", "q,tau")
    assert child.finish() == 0, child.stderr
    lines = [json.loads(text) for _t, text in child.out]
    assert len(lines) == 500
    assert all(set(line) == {"timestamp", "host_time_ns", "q", "tau", "received", "dropped",
                             "gaps", "malformed"} for line in lines)
    assert all(len(line["q"]) == len(line["tau"]) == 7 for line in lines)
    stamps = [line["timestamp"][0] * NS + line["timestamp"][1] for line in lines]
    assert np.all(np.diff(stamps) == PERIOD), "every sample, in order"
    assert lines[-1]["received"] >= 500 and lines[-1]["dropped"] == lines[-1]["gaps"] == 0

    status = kvt("echo", sim.sn, "--what", "status", "--count", "3")
    assert status.finish() == 0, status.stderr
    line = json.loads(status.out[0][1])
    assert line["system_state_name"] == orbaltkvt_stream.system_state_name(line["system_state"])

    # The reader goes away after one line (kvt echo | head -1): no traceback, status 0.
    endless = kvt("echo", sim.sn, "--what", "status")
    assert endless.wait_for(lambda text: text.startswith("{"), 30.0), endless.stderr
    endless.proc.stdout.close()
    assert endless.finish() == 0, endless.stderr
    assert "Traceback" not in endless.stderr


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
    received = [int(n) for n in re.findall(r"basic received (\d+) dropped 0 gaps 0",
                                           child.out[-1][1])]
    assert received and received[0] > 0, child.out[-1]


def test_failures_are_one_line(kvt, tmp_path):
    not_mcap = tmp_path / "notes.txt"
    not_mcap.write_text("not a recording\n")
    no_robot = [kvt("info", "ORB-NOBODY-0001"),
                kvt("record", "ORB-NOBODY-0002", "-o", tmp_path / "x.mcap")]
    bad_usage = [kvt("echo", "ORB-NOBODY-0003", "--group", "ARM_9"),
                 kvt("info", "ORB--SIM"),
                 kvt("record", "ORB-NOBODY-0004"),
                 kvt("record", "ORB-NOBODY-0005", "-o", "x.mcap", "--split-size", "lots")]
    for child in bad_usage:
        assert child.finish() == 2, child.stderr
        assert "Traceback" not in child.stderr and child.err[-1].startswith("kvt")
    for child in no_robot:
        assert child.finish(60) == 1, child.stderr
        assert len([line for line in child.err if line.strip()]) == 1, child.stderr
        assert child.err[0].startswith(f"kvt {child.proc.args[1]}: cannot connect to robot")
        assert child.out == []
    assert not (tmp_path / "x.mcap").exists()
    recover = kvt("recover", not_mcap, tmp_path / "out.mcap")
    assert recover.finish() == 1
    assert recover.err == [f"kvt recover: {not_mcap} is not an MCAP file"]
