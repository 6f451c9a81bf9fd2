"""What `kvt record` (or `kvt serve`) loses of a robot's stream, and what it costs.

    PYTHONPATH=build/python scripts/netns .venv/bin/python tools/measure_record.py [--seconds 600]

Starts the simulated robot in a child process at --rate Hz with one sample per wake-up
(--wake-period 0; at real-time priority --sim-priority, like a robot's controller), then runs
side by side against it, for --seconds:
  - `kvt record` (with --serve: `kvt serve` and one WebSocket viewer subscribed to every
    channel, counting what it gets);
  - the reference: a process that only holds an orbaltkvt.Client (the library receiving both
    streams, nothing read);
  - a plain eclipse-zenoh subscriber that notes the robot timestamp of every basic sample that
    reaches this host, independent of the library;
  - with --busy, a busy loop holding a core.
Lost samples are counted by robot timestamp: the simulator stamps consecutive samples one period
apart, so between the first and last sample in the file it sent (last - first) / period + 1;
lost = sent - in the file. The plain subscriber's count in the same window tells whether a loss
happened before the host (transport) or after (recorder). CPU is each process's whole CPU time
(every thread) as a share of one core over the same window, kvt's start-up excluded; the target
is kvt at most twice the reference. This is a measurement, not a test: it prints, it asserts
nothing.
"""
from __future__ import annotations

import argparse
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from orbaltkvt_sim.testing import SimulatorProcess

ROOT = Path(__file__).resolve().parents[1]
TICK = os.sysconf("SC_CLK_TCK")
NS = 1_000_000_000

REFERENCE = r"""
import resource, sys, time
import orbaltkvt
client = orbaltkvt.Client(sys.argv[1], verbose=False)
print("READY", flush=True)
r0, t0 = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
time.sleep(float(sys.argv[2]))
r1, t1 = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
print("RESULT", r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime, t1 - t0, flush=True)
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
            rest = proc.stdout.read()
            proc.wait()
            del rest
            return line.split()[1:]
    proc.wait()
    raise RuntimeError("helper process ended without a result")


def file_stamps(path: str) -> list[int]:
    from mcap.reader import make_reader

    with open(path, "rb") as f:
        reader = make_reader(f)
        return [m.publish_time for _s, _c, m in
                reader.iter_messages(topics=["/raw/basic_stream_data"], log_time_order=False)]


def share(cpu: float, wall: float) -> str:
    return f"{100 * cpu / wall:.1f} % of one core"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=600.0, help="how long (default 600)")
    parser.add_argument("--rate", type=float, default=1000.0, help="samples per second (1000)")
    parser.add_argument("--busy", action="store_true",
                        help="a busy loop holds a core meanwhile")
    parser.add_argument("--serve", action="store_true",
                        help="measure kvt serve with one WebSocket viewer instead of kvt record")
    parser.add_argument("--sim-priority", type=int, default=20,
                        help="real-time priority of the simulator (0: normal scheduling)")
    args = parser.parse_args()
    if os.environ.get("ORBALTKVT_IN_NETNS") != "1":
        sys.exit("run this inside scripts/netns")
    sim_args = ["--rate", str(args.rate), "--wake-period", "0"]
    if args.rate > 1000:
        sim_args.append("--replay")  # the live model cannot be evaluated that often in Python
    if args.sim_priority > 0:
        sim_args += ["--realtime", str(args.sim_priority)]
    verb = "serve" if args.serve else "record"
    print(f"simulator {' '.join(sim_args)}; kvt {verb} for {args.seconds:g} s"
          + (", a busy loop holding a core" if args.busy else ""), flush=True)
    print("load average %.2f %.2f %.2f (%d cores)" % (*os.getloadavg(), os.cpu_count()),
          flush=True)
    period = NS / args.rate
    with tempfile.TemporaryDirectory() as tmp, SimulatorProcess(*sim_args) as sim:
        path = os.path.join(tmp, "measure.mcap")
        tap_path = os.path.join(tmp, "tap.bin")
        busy = (subprocess.Popen([sys.executable, "-c", "while True: pass"])
                if args.busy else None)
        tap = child(TAP, f"orbalt/robot/{sim.sn}/basic_stream_data", tap_path)
        reference = child(REFERENCE, sim.sn, args.seconds)
        cmd = [*kvt_command(), verb, sim.sn, "--seconds", str(args.seconds)]
        cmd += ["--port", "0", "--record", path] if args.serve else ["-o", path]
        kvt = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True, env=env())
        viewer = None
        if args.serve:
            line = kvt.stderr.readline()
            url = re.search(r"ws://\S+", line)
            if not url:
                sys.exit(f"kvt serve did not start: {line}{kvt.stderr.read()}")
            viewer = child(VIEWER, url.group(0))
        # kvt's window starts once the file exists (after connecting and opening it).
        while not os.path.exists(path) and kvt.poll() is None:
            time.sleep(0.01)
        cpu0, t0 = proc_cpu_seconds(kvt.pid), time.monotonic()
        _pid, _status, usage = os.wait4(kvt.pid, 0)
        wall = time.monotonic() - t0
        kvt.returncode = 0
        kvt_err = kvt.stderr.read().strip().splitlines()
        kvt_cpu = usage.ru_utime + usage.ru_stime - cpu0
        viewer_result = None
        if viewer is not None:
            viewer.send_signal(signal.SIGTERM)
            viewer_result = result(viewer)
        ref_cpu, ref_wall = map(float, result(reference))
        tap.send_signal(signal.SIGTERM)
        tap.wait()
        if busy is not None:
            busy.kill()
            busy.wait()
        sim.interrupt()
        pacing = re.search(r"stream pacing: (\d+) of (\d+) samples", sim.log)
        raw = Path(tap_path).read_bytes()
        tap_stamps = [s * NS + n for s, n in struct.iter_unpack("<iI", raw)]
        stamps = file_stamps(path)
        size = os.path.getsize(path)

    if not stamps:
        print("kvt wrote no sample:", *kvt_err, sep="\n  ")
        return 1
    first, last = min(stamps), max(stamps)
    sent = round((last - first) / period) + 1
    kept = len(set(stamps))
    arrived = sum(1 for s in set(tap_stamps) if first <= s <= last)
    print(f"kvt {verb}:    {kept} of {sent} samples sent in its window in the file, lost "
          f"{sent - kept} ({100 * (sent - kept) / sent:.3f} %); {size / 1e6:.1f} MB")
    print(f"plain subscriber: {arrived} of those {sent} reached this host "
          f"({sent - arrived} lost before the host)")
    for line in kvt_err[-3:]:
        print(f"  kvt said: {line}")
    print(f"CPU kvt {verb}:     {share(kvt_cpu, wall)} over {wall:.1f} s "
          f"({(kvt_cpu / wall) / max(ref_cpu / ref_wall, 1e-9):.2f} x the reference)")
    print(f"CPU reference:    {share(ref_cpu, ref_wall)} over {ref_wall:.1f} s "
          "(a process holding only an orbaltkvt.Client)")
    if viewer_result is not None:
        served = re.search(r"served (\d+) messages", " ".join(kvt_err))
        print(f"viewer:           {viewer_result[0]} messages received "
              f"({int(viewer_result[1]) / 1e6:.1f} MB) of "
              f"{served.group(1) if served else '?'} kvt serve handed to the server")
    if pacing:
        late, ticks = map(int, pacing.groups())
        print(f"simulator:        {late} of {ticks} samples went out late, back to back with "
              "the next")
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
