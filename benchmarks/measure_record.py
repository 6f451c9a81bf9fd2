"""What `kvt record` (or `kvt serve`) loses of a robot's stream, and what it costs.

    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_record.py
    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_record.py --seconds 20
    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_record.py --runs 1000:600

By default two runs, one after the other: 1 kHz for 120 s and 5 kHz for 60 s (--runs
RATE:SECONDS,...; --seconds S gives every run S seconds, for a quick check). Each run starts
the simulated robot in a child process at RATE Hz with one sample per wake-up (--wake-period 0;
at real-time priority --sim-priority, like a robot's controller; above 1 kHz it replays
precomputed samples), then runs side by side against it:
  - `kvt record` (with --serve: `kvt serve --record` and one WebSocket viewer subscribed to
    every channel, counting what it gets);
  - the reference: a process that only holds an orbaltkvt.Client (the library receiving both
    streams, nothing read);
  - a plain eclipse-zenoh subscriber that notes the robot timestamp of every basic sample that
    reaches this host, independent of the library;
  - with --busy, a busy loop holding a core.
Lost samples are counted by robot timestamp: the simulator stamps consecutive samples one period
apart, so between the first and last sample in the file it sent (last - first) / period + 1;
lost = sent - in the file (target 0). The plain subscriber's count in the same window tells
whether a loss happened before the host (transport) or after (recorder). CPU is each process's
whole CPU time (every thread) as a share of one core over the same window (from when kvt's file
exists to when kvt has exited), read for kvt and the reference at the same moments; the target
is kvt at most 1.3 times the reference at 1 kHz, 1.5 times above. This is a measurement, not a test: it prints, it asserts
nothing. The last line is the figures as JSON ("json: [...]").
"""
from __future__ import annotations

import argparse
import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from orbaltkvt_sim.keys import BASIC_SUFFIX, KEY_PREFIX
from orbaltkvt_sim.testing import SimulatorProcess

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))

from orbaltkvt_tools.recording_file import RecordingFile  # noqa: E402
from orbaltkvt_tools.recording_format import RAW_BASIC  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
NS = 1_000_000_000
RUNS = "1000:120,5000:60"
# kvt's whole-process CPU at most this many times the reference's: at 1 kHz and below, and above.
CPU_TARGETS = {1000: 1.3, 5000: 1.5}


def cpu_target(rate: float) -> float:
    return CPU_TARGETS[1000] if rate <= 1000 else CPU_TARGETS[5000]

REFERENCE = r"""
import signal, sys, threading
import orbaltkvt
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
client = orbaltkvt.Client(sys.argv[1], verbose=False)
print("READY", flush=True)
stop.wait()
"""

TAP = r"""
import signal, sys, threading, zenoh
tails = []
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
session = zenoh.open(zenoh.Config())
sub = session.declare_subscriber(sys.argv[1], lambda s: tails.append(s.payload.to_bytes()[-8:]))
print("READY", flush=True)
stop.wait()
sub.undeclare()
with open(sys.argv[2], "wb") as f:
    f.write(b"".join(tails))
session.close()
"""

VIEWER = r"""
import asyncio, json, signal, sys
import websockets
count = {"messages": 0, "bytes": 0}
async def main():
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    async with websockets.connect(sys.argv[1], subprotocols=["foxglove.sdk.v1"],
                                  max_size=None) as ws:
        subscribed = set()
        async def reader():
            async for frame in ws:
                if isinstance(frame, bytes):
                    if frame[0] == 0x01:
                        count["messages"] += 1
                        count["bytes"] += len(frame)
                    continue
                msg = json.loads(frame)
                if msg.get("op") == "advertise":
                    subs = [{"id": c["id"], "channelId": c["id"]} for c in msg["channels"]
                            if c["id"] not in subscribed]
                    subscribed.update(s["id"] for s in subs)
                    await ws.send(json.dumps({"op": "subscribe", "subscriptions": subs}))
        task = asyncio.create_task(reader())
        print("READY", flush=True)
        await stop.wait()
        task.cancel()
    print("RESULT", count["messages"], count["bytes"], flush=True)
asyncio.run(main())
"""


def proc_cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def env() -> dict:
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "tools"), str(ROOT / "sim"),
                                                    e.get("PYTHONPATH")]))
    return e


def kvt_command() -> list[str]:
    kvt = Path(sys.executable).parent / "kvt"
    return [str(kvt)] if kvt.exists() else [sys.executable, "-m", "orbaltkvt_tools"]


def child(code: str, *args: str) -> subprocess.Popen:
    proc = subprocess.Popen([sys.executable, "-c", code, *map(str, args)], env=env(),
                            stdout=subprocess.PIPE, text=True)
    for line in proc.stdout:  # the library logs to stdout too: wait for the marked line
        if line.startswith("READY"):
            return proc
    raise RuntimeError(f"helper process failed: {code.splitlines()[1]}")


def result(proc: subprocess.Popen) -> list[str]:
    for line in proc.stdout:
        if line.startswith("RESULT"):
            proc.stdout.read()
            proc.wait()
            return line.split()[1:]
    proc.wait()
    raise RuntimeError("helper process ended without a result")


def end(proc: subprocess.Popen) -> None:
    proc.send_signal(signal.SIGTERM)
    proc.stdout.read()
    proc.wait()


def file_stamps(path: str) -> tuple[list[int], dict[str, int]]:
    """The robot timestamps of the basic samples in the file, and its loss counters."""
    with RecordingFile(path) as f:
        return [publish for _t, _log, publish, _data in f.messages([RAW_BASIC])], f.counters


def share(cpu: float, wall: float) -> str:
    return f"{100 * cpu / wall:.1f} % of one core"


def parse_runs(text: str) -> list[tuple[float, float]]:
    try:
        runs = [tuple(float(x) for x in item.split(":")) for item in text.split(",") if item]
        if not runs or any(len(r) != 2 or min(r) <= 0 for r in runs):
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError(f"not RATE:SECONDS,...: {text!r}") from None
    return runs  # type: ignore[return-value]


def measure(rate: float, seconds: float, args) -> dict:
    """One run: kvt, the reference, the plain subscriber side by side for ``seconds``."""
    sim_args = ["--rate", str(rate), "--wake-period", "0"]
    if rate > 1000:
        sim_args.append("--replay")  # the live model cannot be evaluated that often in Python
    if args.sim_priority > 0:
        sim_args += ["--realtime", str(args.sim_priority)]
    verb = "serve" if args.serve else "record"
    print(f"\n== {rate:g} Hz for {seconds:g} s: simulator {' '.join(sim_args)}; kvt {verb}"
          + (", a busy loop holding a core" if args.busy else ""), flush=True)
    print("load average %.2f %.2f %.2f (%d cores)" % (*os.getloadavg(), os.cpu_count()),
          flush=True)
    period = NS / rate
    with tempfile.TemporaryDirectory() as tmp, SimulatorProcess(*sim_args) as sim:
        path = os.path.join(tmp, "measure.mcap")
        tap_path = os.path.join(tmp, "tap.bin")
        busy = (subprocess.Popen([sys.executable, "-c", "while True: pass"])
                if args.busy else None)
        tap = child(TAP, KEY_PREFIX + sim.sn + BASIC_SUFFIX, tap_path)
        reference = child(REFERENCE, sim.sn)
        cmd = [*kvt_command(), verb, sim.sn, "--seconds", str(seconds)]
        cmd += ["--port", "0", "--record", path] if args.serve else ["-o", path]
        kvt = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True, env=env())
        viewer = None
        if args.serve:
            line = kvt.stderr.readline()
            url = re.search(r"ws://\S+", line)
            if not url:
                sys.exit(f"kvt serve did not start: {line}{kvt.stderr.read()}")
            viewer = child(VIEWER, url.group(0))
        # The window starts once kvt's file exists (after connecting and opening it).
        while not os.path.exists(path) and kvt.poll() is None:
            time.sleep(0.01)
        cpu0, ref0, t0 = proc_cpu_seconds(kvt.pid), proc_cpu_seconds(reference.pid), \
            time.monotonic()
        _pid, _status, usage = os.wait4(kvt.pid, 0)
        ref1, wall = proc_cpu_seconds(reference.pid), time.monotonic() - t0
        kvt.returncode = 0
        kvt_err = kvt.stderr.read().strip().splitlines()
        kvt_cpu = usage.ru_utime + usage.ru_stime - cpu0
        ref_cpu = ref1 - ref0
        viewer_result = None
        if viewer is not None:
            viewer.send_signal(signal.SIGTERM)
            viewer_result = result(viewer)
        end(reference)
        end(tap)
        if busy is not None:
            busy.kill()
            busy.wait()
        sim.interrupt()
        pacing = re.search(r"stream pacing: (\d+) of (\d+) samples", sim.log)
        raw = Path(tap_path).read_bytes()
        tap_stamps = [s * NS + n for s, n in struct.iter_unpack("<iI", raw)]
        stamps, counters = file_stamps(path) if os.path.exists(path) else ([], {})
        size = os.path.getsize(path) if os.path.exists(path) else 0

    figures = {"rate_hz": rate, "seconds": seconds, "verb": verb, "busy": args.busy}
    if not stamps:
        print("kvt wrote no sample:", *kvt_err, sep="\n  ")
        return figures
    first, last = min(stamps), max(stamps)
    sent = round((last - first) / period) + 1
    kept = len(set(stamps))
    arrived = sum(1 for s in set(tap_stamps) if first <= s <= last)
    ratio = (kvt_cpu / wall) / max(ref_cpu / wall, 1e-9)
    figures.update(sent=sent, kept=kept, lost=sent - kept, reached_host=arrived,
                   megabytes=round(size / 1e6, 1), window_s=round(wall, 1),
                   kvt_cpu_share=round(kvt_cpu / wall, 4), reference_cpu_share=round(
                       ref_cpu / wall, 4), cpu_ratio=round(ratio, 2),
                   dropped=counters.get("basic_dropped"), gaps=counters.get("basic_gaps"))
    print(f"kvt {verb}:        {kept} of {sent} samples sent in its window in the file, lost "
          f"{sent - kept} ({100 * (sent - kept) / sent:.3f} %; target 0: "
          f"{'met' if kept == sent else 'NOT MET'}); {size / 1e6:.1f} MB")
    print(f"plain subscriber: {arrived} of those {sent} reached this host "
          f"({sent - arrived} lost before the host)")
    if counters:
        print(f"kvt counted:      basic dropped {counters.get('basic_dropped')}, gaps "
              f"{counters.get('basic_gaps')}; extra dropped {counters.get('extra_dropped')}")
    for line in kvt_err[-3:]:
        print(f"  kvt said: {line}")
    target = cpu_target(rate)
    print(f"CPU kvt {verb}:     {share(kvt_cpu, wall)} over {wall:.1f} s ({ratio:.2f} x the "
          f"reference; target at most {target:g} x: "
          f"{'met' if ratio <= target else 'NOT MET'})")
    print(f"CPU reference:    {share(ref_cpu, wall)} over the same {wall:.1f} s (a process "
          "holding only an orbaltkvt.Client)")
    if viewer_result is not None:
        served = re.search(r"served (\d+) messages", " ".join(kvt_err))
        figures.update(viewer_messages=int(viewer_result[0]))
        print(f"viewer:           {viewer_result[0]} messages received "
              f"({int(viewer_result[1]) / 1e6:.1f} MB) of "
              f"{served.group(1) if served else '?'} kvt serve handed to the server")
    if pacing:
        late, ticks = map(int, pacing.groups())
        figures.update(late_samples=late)
        print(f"simulator:        {late} of {ticks} samples went out late, back to back with "
              "the next")
    print("load average %.2f %.2f %.2f" % os.getloadavg(), flush=True)
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=parse_runs, default=parse_runs(RUNS),
                        metavar="RATE:SECONDS,...",
                        help=f"the runs, one after the other (default {RUNS})")
    parser.add_argument("--seconds", type=float, metavar="S",
                        help="every run this long instead (e.g. 20 for a quick check)")
    parser.add_argument("--busy", action="store_true",
                        help="a busy loop holds a core meanwhile")
    parser.add_argument("--serve", action="store_true",
                        help="measure kvt serve with one WebSocket viewer instead of kvt record")
    parser.add_argument("--sim-priority", type=int, default=20,
                        help="real-time priority of the simulator (0: normal scheduling)")
    args = parser.parse_args()
    if os.environ.get("ORBALTKVT_IN_NETNS") != "1":
        sys.exit("run this inside scripts/netns")
    if args.seconds is not None and args.seconds <= 0:
        parser.error("--seconds must be positive")
    runs = [(rate, args.seconds or seconds) for rate, seconds in args.runs]
    figures = [measure(rate, seconds, args) for rate, seconds in runs]
    print("\njson: " + json.dumps(figures))
    return 0 if all("kept" in f for f in figures) else 1


if __name__ == "__main__":
    raise SystemExit(main())
