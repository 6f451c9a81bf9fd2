#!/usr/bin/env python3
"""Measures the simulator's stream rate and CPU share. Run it through scripts/netns:

    scripts/netns .venv/bin/python benchmarks/measure_rate.py                 # live, 1 kHz, 60 s
    scripts/netns .venv/bin/python benchmarks/measure_rate.py --replay --rate 10000 --seconds 20
    scripts/netns .venv/bin/python benchmarks/measure_rate.py --standard      # both of the above

The simulator runs as a child process so its CPU time is its own; a zenoh peer in this process
counts the samples of both streams. CPU share is in percent of one core.
"""

import argparse
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sim"))

import zenoh  # noqa: E402

from orbaltkvt_sim.testing import SimulatorProcess, wait_for_service  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def measure(rate: float, seconds: float, replay: bool, model_rate: float, wake_ms: float,
            warmup: float = 2.0):
    args = ["--rate", str(rate), "--model-rate", str(model_rate), "--wake-period", str(wake_ms)]
    if replay:
        args.append("--replay")
    session = zenoh.open(zenoh.Config())
    counts = {"basic": 0, "extra": 0}

    def counter(stream):
        def on_sample(_sample):
            counts[stream] += 1
        return on_sample

    with SimulatorProcess(*args) as proc:
        subs = [session.declare_subscriber(f"orbalt/robot/{proc.sn}/{s}_stream_data", counter(s))
                for s in counts]
        if not wait_for_service(session, proc.sn):
            raise SystemExit("simulator not reachable")
        time.sleep(warmup)
        start = {s: counts[s] for s in counts}
        cpu0, own0, t0 = cpu_seconds(proc.proc.pid), time.process_time(), time.monotonic()
        time.sleep(seconds)
        cpu1, own1, t1 = cpu_seconds(proc.proc.pid), time.process_time(), time.monotonic()
        got = {s: counts[s] - start[s] for s in counts}
        for sub in subs:
            sub.undeclare()
        proc.terminate()
        summary = [line for line in proc.log.splitlines() if "published" in line]
    session.close()
    wall = t1 - t0
    mode = ("replay" if replay else f"live (model {model_rate:g} Hz)") + \
        f", wake-up period {wake_ms:g} ms"
    print(f"{mode}, target {rate:g} Hz per stream, measured over {wall:.1f} s:")
    for s in got:
        print(f"  {s:5s} stream received {got[s] / wall:9.1f} Hz ({got[s]} samples)")
    print(f"  simulator CPU  {100 * (cpu1 - cpu0) / wall:5.1f} % of one core")
    print(f"  subscriber CPU {100 * (own1 - own0) / wall:5.1f} % of one core (this process)")
    if summary:
        print("  simulator log: " + summary[-1].split("orbaltkvt-sim ", 1)[-1])
    return got


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rate", type=float, default=1000.0)
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--replay", action="store_true")
    p.add_argument("--model-rate", type=float, default=250.0)
    p.add_argument("--wake-period", type=float, default=2.0, metavar="MS")
    p.add_argument("--standard", action="store_true",
                   help="live 1 kHz for 60 s, then replay 10 kHz for 20 s")
    args = p.parse_args()
    if os.environ.get("ORBALTKVT_IN_NETNS") != "1":
        print("run this through scripts/netns", file=sys.stderr)
        return 2
    if args.standard:
        measure(1000.0, 60.0, False, 250.0, 2.0)
        measure(10000.0, 20.0, True, 250.0, 2.0)
    else:
        measure(args.rate, args.seconds, args.replay, args.model_rate, args.wake_period)
    return 0


if __name__ == "__main__":
    sys.exit(main())
