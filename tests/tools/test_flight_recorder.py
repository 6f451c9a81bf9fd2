"""kvt record --snapshot against the simulated robot: what each triggered file holds is checked
against every payload the robot published (a plain subscriber beside the recorder), so a robot
that skips samples under load does not make the check fail, while a sample the recorder lost
does."""
from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import orbaltkvt_sim
from orbaltkvt_sim import messages as wire
from orbaltkvt_tools.recording import load

from test_kvt import NS, PERIOD, Recording, Tap, assert_channels_in_step


def stamp_of(payload: bytes) -> int:
    s = wire.decode_basic(payload).timestamp
    return s[0] * NS + s[1]


def start_recorder(kvt, sim, out, *args):
    child = kvt("record", sim.sn, "-o", out, *args)
    bound = child.wait_for(lambda line: "flight recorder keeps" in line, 30, stream="err")
    assert bound is not None, child.stderr
    assert re.search(r"in at most \d+\.\d MiB", bound), bound
    return child


def wait_for_published(sim, samples: int) -> None:
    """Until the robot has published ``samples`` more basic samples than now."""
    target = sim.published("basic") + samples
    assert sim.wait_for_samples("basic", target, timeout=60.0)


def written(child) -> list[dict]:
    return [json.loads(text) for _t, text in list(child.out) if text.startswith("{")]


def next_file(child, seen: int) -> dict:
    """The file line after the first ``seen`` ones, once kvt has printed it."""
    deadline = time.monotonic() + 60
    while len(written(child)) <= seen:
        assert child.proc.poll() is None and time.monotonic() < deadline, child.stderr
        time.sleep(0.02)
    return written(child)[seen]


def assert_window(path, tap: Tap, from_ns: int, to_ns: int) -> Recording:
    """The file holds exactly the basic samples the robot published with robot times in
    [from_ns, to_ns], in order, and the extra sample of each."""
    rec = Recording(path)
    assert_channels_in_step(rec)
    raw = [body for _l, _p, body in rec.topics["/raw/basic_stream_data"]]
    published = [p for p in tap.basic if from_ns <= stamp_of(p) <= to_ns]
    assert raw == published, (len(raw), len(published))
    stamps = rec.stamps()
    assert stamps == [stamp_of(p) for p in raw]
    if rec.counter("basic_gaps") == 0:  # the robot skipped nothing: consecutive robot times
        assert np.all(np.diff(stamps) == PERIOD), "consecutive samples, 1 ms apart"
    assert stamps[0] - from_ns < PERIOD and to_ns - stamps[-1] < PERIOD, (from_ns, stamps[0])
    assert len(rec.topics["/raw/extra_stream_data"]) == len(raw)
    return rec


def play(path) -> str:
    env = dict(os.environ, PYTHONPATH=str(Path(orbaltkvt_sim.__file__).resolve().parents[1]))
    done = subprocess.run([sys.executable, "-m", "orbaltkvt_sim", "--play", path, "--speed", "4"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stderr


def test_estop_on_cue_writes_the_seconds_around_it(remote_simulator, kvt, tmp_path):
    sim = remote_simulator()
    tap = Tap(sim.sn)
    out = tmp_path / "flight.mcap"
    try:
        child = start_recorder(kvt, sim, out, "--snapshot", "2", "--after", "1",
                               "--trigger", "estop", "--trigger", "safety")
        wait_for_published(sim, 3000)  # the ring holds more than its 2 s
        sim.press_estop()
        f = next_file(child, 0)
        sim.press_estop(False)
        assert child.stop() == 0, child.stderr
    finally:
        tap.close()

    t = f["robot_time_ns"]
    assert f["trigger"] == "estop"
    assert Path(f["file"]) == tmp_path / f"flight_{t // NS}.{t % NS:09d}.mcap"
    assert sorted(os.listdir(tmp_path)) == [Path(f["file"]).name], "nothing but the snapshot"
    rec = assert_window(f["file"], tap, t - 2 * NS, t + 1 * NS)
    status = {pub: body for _l, pub, body in rec.topics["/status"]}
    assert status[t]["estop_released"] is False and status[t - PERIOD]["estop_released"] is True
    assert rec.metadata["orbaltkvt"]["snapshot_trigger"] == "estop"
    # Decoded again from the ring's wire bytes: the channels hold what the robot sent.
    sent = [wire.decode_basic(body) for _l, _p, body in rec.topics["/raw/basic_stream_data"]]
    for (_l, pub, msg), s in zip(rec.topics["/ARM_2/joint_states"], sent, strict=True):
        assert pub == s.timestamp[0] * NS + s.timestamp[1]
        assert [j.position for j in msg.joints] == s.joint_data.q[7:14]
        assert [j.effort for j in msg.joints] == s.joint_data.tau[7:14]
    assert f["samples"] == sum(len(v) for k, v in rec.topics.items() if k.startswith("/raw/"))

    loaded = load(f["file"])
    assert loaded.serial_number == sim.sn
    assert list(loaded.basic.robot_time_ns) == rec.stamps()
    n = len(rec.stamps())
    assert f"published {n} basic and {n} extra samples" in play(f["file"])


def test_sigusr1_and_close_triggers_lose_no_sample(remote_simulator, kvt, tmp_path):
    sim = remote_simulator()
    sim.hold_input(5, False)
    tap = Tap(sim.sn)
    out = tmp_path / "flight.mcap"
    try:
        child = start_recorder(kvt, sim, out, "--snapshot", "1", "--after", "1",
                               "--trigger", "input:5")
        wait_for_published(sim, 1500)
        child.proc.send_signal(signal.SIGUSR1)
        by_hand = next_file(child, 0)
        # Two edges 0.2 s apart: the second lands in the first one's after-window.
        sim.hold_input(5, True)
        wait_for_published(sim, 200)
        sim.hold_input(5, False)
        edges = next_file(child, 1)
        assert child.stop() == 0, child.stderr
    finally:
        tap.close()

    assert by_hand["trigger"] == "manual"
    t = by_hand["robot_time_ns"]
    assert_window(by_hand["file"], tap, t - NS, t + NS)

    assert edges["trigger"] == "input:5"
    rec = Recording(edges["file"])
    inputs = [(pub, body["digital_inputs"][5]) for _l, pub, body in rec.topics["/status"]]
    flips = [pub for (_p, a), (pub, b) in zip(inputs, inputs[1:]) if a != b]
    assert len(flips) == 2 and flips[0] == edges["robot_time_ns"], flips
    # One file from a second before the first edge to a second after the second, every sample.
    assert_window(edges["file"], tap, flips[0] - NS, flips[1] + NS)
    assert len(written(child)) == 2, child.out


def test_a_run_of_triggers_splits_into_files_that_miss_nothing(remote_simulator, kvt, tmp_path):
    """Edges 0.3 s apart, each within the last one's after-window, extend a file only up to
    2 x (before + after); the next file then starts, and together they hold every sample up to
    the last edge's after-window."""
    sim = remote_simulator()
    sim.hold_input(7, False)
    tap = Tap(sim.sn)
    out = tmp_path / "flight.mcap"
    try:
        child = start_recorder(kvt, sim, out, "--snapshot", "0.5", "--after", "0.5",
                               "--trigger", "input:7")
        wait_for_published(sim, 1000)
        for k in range(5):  # the last one past the extension limit, when they come on time
            sim.hold_input(7, k % 2 == 0)
            wait_for_published(sim, 300)
        wait_for_published(sim, 1000)
        assert child.stop() == 0, child.stderr
    finally:
        tap.close()

    files = written(child)
    stamps: set[int] = set()
    flips: list[int] = []
    for f in files:
        assert f["trigger"] == "input:7"
        assert f["last_ns"] - f["first_ns"] <= 2 * NS, f
        rec = Recording(f["file"])
        assert_channels_in_step(rec)
        stamps.update(rec.stamps())
        inputs = [(pub, body["digital_inputs"][7]) for _l, pub, body in rec.topics["/status"]]
        flips += [pub for (_p, a), (pub, b) in zip(inputs, inputs[1:]) if a != b]
    flips = sorted(set(flips))
    assert len(flips) == 5 and len(files) >= 2, (flips, files)
    published = {stamp_of(p) for p in tap.basic}
    assert stamps == {t for t in published if flips[0] - NS // 2 <= t <= flips[-1] + NS // 2}
