"""A recording played as the robot: the recorded payloads, their spacing, the recorded robot's
replies; a loop that never turns the robot's time back; files that are not such recordings.
The last test records the simulator with `kvt record`, plays the file and records the playback."""

import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest
from mcap.reader import make_reader
from mcap.writer import Writer

import orbaltkvt_sim
from orbaltkvt_sim import Simulator
from orbaltkvt_sim import messages as m
from orbaltkvt_sim.model import RobotModel
from orbaltkvt_sim.testing import unique_sn, wait_for_service

NS = 1_000_000_000
MS = NS // 1000
RAW = ("/raw/basic_stream_data", "/raw/extra_stream_data")
STAMP = struct.Struct("<iI")


def robot_ns(payload: bytes) -> int:
    sec, nsec = STAMP.unpack_from(payload, len(payload) - STAMP.size)
    return sec * NS + nsec


def write_recording(path, sn, *, layout=(("ARM_1", 0, 6), ("EXT_AXIS", 6, 2)),
                    version="v2.1.3", count=400, pause_at=200, pause=0.2, metadata=True,
                    topics=RAW):
    """A recording as the recorder writes one: per sample a basic payload (robot time 1 ms
    apart) and an extra one, log times 1 ms apart but for one pause; returns the payloads."""
    model = RobotModel(list(layout))
    basic, extra = [], []
    with open(path, "wb") as f:
        writer = Writer(f)
        writer.start()
        channels = [writer.register_channel(topic, "application/octet-stream", 0)
                    for topic in topics]
        log_time = 1_700_000_000 * NS
        for k in range(count):
            log_time += MS + (int(pause * NS) if k == pause_at else 0)
            sample = model.basic(0.5 + k / 1000.0, timestamp=(1000 + k // 1000, k % 1000 * MS))
            basic.append(m.encode_basic(sample))
            extra.append(m.encode_extra(model.extra(0.5 + k / 1000.0, sample)))
            for channel, payload, offset in zip(channels, (basic[-1], extra[-1]), (0, 50_000)):
                writer.add_message(channel, log_time=log_time + offset, data=payload,
                                   publish_time=robot_ns(basic[-1]), sequence=k)
        if metadata:
            writer.add_metadata("orbaltkvt", {
                "serial_number": sn, "service_version": version, "library_version": "2.1.0",
                "layout": json.dumps({name: {"start_id": start, "dof": dof}
                                      for name, start, dof in layout})})
        writer.finish()
    return basic, extra


def test_plays_a_recording_as_the_robot_and_loops_on_in_robot_time(peer, rpc, tap, tmp_path):
    sn = unique_sn("REC")
    basic, extra = write_recording(tmp_path / "run.mcap", sn)
    sim = Simulator.play(tmp_path / "run.mcap", loop=True)
    basic_tap, extra_tap = tap(sim.key_basic), tap(sim.key_extra)
    with sim:
        assert wait_for_service(peer, sn), "served on the recorded serial number"
        assert rpc.call(sim, 1).string_container == ["v2.1.3"]
        reply = rpc.call(sim, 10, [3, 5, 4])
        assert (reply.int_container, reply.float_container) == ([0, 6, 0], [6.0, 2.0, 0.0])
        assert rpc.call(sim, 9).joint_groups == [3, 5]
        got = basic_tap.wait(len(basic) + 100, timeout=20.0)[:len(basic) + 100]
        extra_got = extra_tap.wait(len(extra) + 100, timeout=20.0)[:len(extra) + 100]
        arrivals = basic_tap.arrivals[:len(got)]

    # Robot time goes on 1 ms a sample, across the start of the second pass too: the loop moves
    # it on by the recording's duration plus one period.
    stamps = [robot_ns(p) for p in got]
    assert {b - a for a, b in zip(stamps, stamps[1:])} == {MS}
    first = basic.index(got[0])
    for i, payload in enumerate(got):
        passes, k = divmod(first + i, len(basic))
        assert payload == basic[k] if passes == 0 else \
            payload[:-STAMP.size] == basic[k][:-STAMP.size]
    assert first + len(got) > len(basic), "into the second pass"
    start = extra.index(extra_got[0])
    assert extra_got == (extra * 2)[start:start + len(extra_got)]

    # The recorded pause of 200 ms is kept (a lower bound: nothing goes out early).
    after_pause = (200 - first) % len(basic) or len(basic)
    gap = arrivals[after_pause] - arrivals[after_pause - 1]
    print(f"recorded pause 200 ms, played {gap * 1000:.1f} ms")
    assert gap >= 0.1


def _sim_command(*args):
    env = dict(os.environ, PYTHONPATH=str(Path(orbaltkvt_sim.__file__).resolve().parents[1]))
    return subprocess.run([sys.executable, "-m", "orbaltkvt_sim", *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=60)


def test_cli_plays_to_the_end_and_refuses_other_files(simulator_process, tmp_path):
    path = tmp_path / "run.mcap"
    write_recording(path, "ORB-REC-0001", count=100, pause=0.0)
    proc = simulator_process("--play", path, "--speed", "2")
    assert proc.wait(30.0) == 0, proc.log
    assert "the recording has played to its end" in proc.log
    assert "published 100 basic and 100 extra samples" in proc.log

    (tmp_path / "notes.mcap").write_text("not a recording\n")
    write_recording(tmp_path / "anonymous.mcap", "X-1", metadata=False)
    write_recording(tmp_path / "decoded.mcap", "X-1", topics=("/ARM_1/joint_states", "/tf"))
    for name, reason in (("notes.mcap", "not a readable MCAP file"),
                         ("anonymous.mcap", 'no "orbaltkvt" metadata record'),
                         ("decoded.mcap", "no samples on /raw/basic_stream_data"),
                         ("missing.mcap", "No such file")):
        done = _sim_command("--play", tmp_path / name)
        assert done.returncode == 2, done.stderr
        assert done.stderr.count("\n") == 1 and reason in done.stderr, done.stderr
    assert _sim_command("--play", path, "--rate", "500").returncode == 2


# -- against the recorder ----------------------------------------------------------------------


def _kvt(*args) -> subprocess.Popen:
    tools = Path(__file__).resolve().parents[2] / "tools"
    program = shutil.which("kvt", path=str(Path(sys.executable).parent))
    command = [program] if program else [sys.executable, "-m", "orbaltkvt_tools"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(tools), os.environ.get("PYTHONPATH")])))
    return subprocess.Popen([*command, *map(str, args)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, env=env)


def _finished(child: subprocess.Popen) -> None:
    _out, err = child.communicate(timeout=90.0)
    assert child.returncode == 0, err


def _raw(path):
    """Per raw channel: (log times, payloads)."""
    out = {topic: ([], []) for topic in RAW}
    with open(path, "rb") as f:
        for _schema, channel, message in make_reader(f).iter_messages(topics=list(RAW)):
            out[channel.topic][0].append(message.log_time)
            out[channel.topic][1].append(message.data)
    return out


def test_recorded_robot_played_back_records_the_same(simulator_process, tmp_path):
    orbaltkvt = pytest.importorskip("orbaltkvt")
    pytest.importorskip("orbaltkvt_foxglove")
    original, replayed = tmp_path / "original.mcap", tmp_path / "replayed.mcap"
    # Both robots at real-time priority, as a robot's controller runs: on a busy host the
    # spacing then shows the playback rather than the scheduler.
    robot = simulator_process("--wake-period", "0", "--realtime", "20")
    _finished(_kvt("record", robot.sn, "-o", original, "--seconds", "3"))
    robot.terminate()
    recorded = _raw(original)
    times, basic = recorded[RAW[0]]
    extra = recorded[RAW[1]][1]

    player = simulator_process("--play", original, "--loop", "--realtime", "20", sn=robot.sn)
    recorder = _kvt("record", robot.sn, "-o", replayed, "--seconds", "5")
    client = orbaltkvt.Client(robot.sn)
    by_stamp = {robot_ns(p): p for p in basic}
    read = []
    deadline = time.monotonic() + 10.0
    while len(read) < 5 and time.monotonic() < deadline:
        arm = client.states()[orbaltkvt.JointGroup.ARM_1]
        stamp = arm.timestamp[0] * NS + arm.timestamp[1]
        if stamp in by_stamp:  # still in the first pass
            sample = m.decode_basic(by_stamp[stamp])
            assert (arm.q, arm.tau) == (sample.joint_data.q[:7], sample.joint_data.tau[:7])
            read.append(stamp)
        time.sleep(0.1)
    assert read, "the client read states of the first pass"
    _finished(recorder)
    player.terminate()

    # Payload for payload the original, in a loop; from the second pass on the robot time in
    # the basic payloads has moved on, never back.
    again = _raw(replayed)
    times2, basic2 = again[RAW[0]]
    first = basic.index(basic2[0])
    stamps = [robot_ns(p) for p in basic2]
    assert all(b > a for a, b in zip(stamps, stamps[1:])), "robot time went back"
    shift, spacing = None, []
    for i, payload in enumerate(basic2):
        passes, k = divmod(first + i, len(basic))
        assert payload[:-STAMP.size] == basic[k][:-STAMP.size]
        if passes and shift is None:
            shift = stamps[i] - robot_ns(basic[k])
        assert stamps[i] == robot_ns(basic[k]) + passes * (shift or 0)
        if i and k:
            spacing.append(abs((times2[i] - times2[i - 1]) - (times[k] - times[k - 1])))
    assert shift is not None and shift > robot_ns(basic[-1]) - robot_ns(basic[0]), \
        "the recording of the playback reaches into the second pass"
    extra2 = again[RAW[1]][1]
    # Extra payloads repeat (the model runs at 250 Hz): some start must fit them all.
    assert any(extra2 == (extra * 3)[start:start + len(extra2)]
               for start, payload in enumerate(extra) if payload == extra2[0])

    # Receive-time spacing of the playback against the original, sample for sample.
    p50, p99 = statistics.quantiles(spacing, n=100)[49], statistics.quantiles(spacing, n=100)[98]
    # The floor on this host: how far the original's own receive spacing strays from the
    # robot's steady period (the playback reproduces that spacing and adds its own).
    period = statistics.median(b - a for a, b in zip(times, times[1:]))
    floor = statistics.quantiles([abs((b - a) - period) for a, b in zip(times, times[1:])],
                                 n=100)
    print(f"spacing difference over {len(spacing)} samples: p50 {p50 / 1e3:.0f} us, "
          f"p99 {p99 / 1e3:.0f} us; the original's own jitter: p50 {floor[49] / 1e3:.0f} us, "
          f"p99 {floor[98] / 1e3:.0f} us")
    assert p50 < 2 * MS
