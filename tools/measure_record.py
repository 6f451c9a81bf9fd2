"""How much of a 1 kHz stream `kvt record` keeps, and what it costs.

    PYTHONPATH=build/python scripts/netns .venv/bin/python tools/measure_record.py [--seconds 60]

Starts the simulated robot in a child process at --rate Hz publishing one sample per wake-up
(--wake-period 0) at real-time priority (--sim-priority, SCHED_FIFO, like a robot's
controller; 0 for normal scheduling, whose late wake-ups send samples back to back that no poller
can tell apart), then, one after the other, each against a fresh one of those robots:
  1. reference: a bare poller in a child process (the same new-sample loop as kvt, without
     building, encoding or writing messages), for --reference-seconds;
  2. with --busy-seconds, the same poller looking without pause (a whole core busy): the most
     any poller keeps of this stream on this host;
  3. `kvt record` for --seconds.
For each it prints the samples kept as a share of those the robot stamped in the window (from
the robot timestamps of the first and last kept sample) and its CPU time as a share of one core
over the recording (start-up excluded). Goal for kvt record: >= 99.5 % kept, < 30 % of a core.
"""
from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from orbaltkvt_sim.testing import SimulatorProcess

ROOT = Path(__file__).resolve().parents[1]
TICK = os.sysconf("SC_CLK_TCK")

REFERENCE = r"""
import resource, sys, time
import orbaltkvt
from orbaltkvt_tools.common import Poller
client = orbaltkvt.Client(sys.argv[1], verbose=False)
poller = Poller(client, interval=float(sys.argv[3]) if len(sys.argv) > 3 else None)
poller.next()
first = poller.last_ns
cpu0, t0 = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
end = t0 + float(sys.argv[2])
while poller.next(end) is not None:
    pass
cpu1, t1 = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
cpu = (cpu1.ru_utime + cpu1.ru_stime) - (cpu0.ru_utime + cpu0.ru_stime)
print("RESULT", poller.kept, poller.missed, first, poller.last_ns, cpu, t1 - t0, flush=True)
"""


def proc_cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def env() -> dict:
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "tools"), e.get("PYTHONPATH")]))
    return e


def report(name: str, kept: int, first_ns: int, last_ns: int, rate: float, cpu: float,
           wall: float, extra: str = "") -> None:
    stamped = round((last_ns - first_ns) * rate / 1e9) + 1
    print(f"{name:<10} kept {kept} of {stamped} stamped ({100 * kept / stamped:.2f} %), "
          f"CPU {100 * cpu / wall:.1f} % of one core over {wall:.1f} s{extra}", flush=True)


def reference(sn: str, seconds: float, rate: float, interval, name: str = "reference") -> None:
    extra = [str(interval)] if interval is not None else []
    out = subprocess.run([sys.executable, "-c", REFERENCE, sn, str(seconds), *extra], env=env(),
                         capture_output=True, text=True, check=True).stdout
    # The library logs to stdout too: the figures are on the line marked RESULT.
    out = next(line for line in out.splitlines() if line.startswith("RESULT")).split()[1:]
    kept, missed, first, last = map(int, out[:4])
    report(name, kept, first, last, rate, float(out[4]), float(out[5]),
           f" (poller counted {missed} missed)")


def busy(sn: str, seconds: float, rate: float, _interval) -> None:
    """The bare poller looking without pause: what any poller can keep of this stream here."""
    reference(sn, seconds, rate, 0.0, name="busy")


def record(sn: str, seconds: float, rate: float, interval) -> None:
    from mcap.reader import make_reader

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "measure.mcap")
        kvt = Path(sys.executable).parent / "kvt"
        cmd = [str(kvt)] if kvt.exists() else [sys.executable, "-m", "orbaltkvt_tools"]
        extra = ["--poll-interval", str(interval)] if interval else []
        proc = subprocess.Popen([*cmd, "record", sn, "-o", path, "--seconds", str(seconds), *extra],
                                stderr=subprocess.PIPE, text=True, env=env())
        # The recording starts once the file exists (after connecting and the first sample).
        while not os.path.exists(path) and proc.poll() is None:
            time.sleep(0.01)
        cpu0, t0 = proc_cpu_seconds(proc.pid), time.monotonic()
        _pid, _status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - t0
        proc.returncode = 0
        err = proc.stderr.read()
        cpu = usage.ru_utime + usage.ru_stime - cpu0
        stamps = []
        with open(path, "rb") as f:
            for _s, _c, m in make_reader(f).iter_messages(topics=["/ARM_1/joint_states"]):
                stamps.append(m.publish_time)
        size = os.path.getsize(path)
    summary = err.strip().splitlines()[-1] if err.strip() else ""
    report("kvt record", len(stamps), stamps[0], stamps[-1], rate, cpu, wall,
           f", {size / 1e6:.1f} MB\n           kvt said: {summary}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--reference-seconds", type=float, default=20.0)
    parser.add_argument("--busy-seconds", type=float, default=0.0,
                        help="also run the bare poller without pauses between looks (a whole "
                             "core) for S seconds: the most a poller keeps on this host")
    parser.add_argument("--rate", type=float, default=1000.0)
    parser.add_argument("--sim-priority", type=int, default=20,
                        help="real-time priority of the simulator process (0: normal scheduling)")
    parser.add_argument("--poll-interval", type=float,
                        help="fixed time between looks, for both (default: kvt's pacing)")
    args = parser.parse_args()
    if os.environ.get("ORBALTKVT_IN_NETNS") != "1":
        sys.exit("run this inside scripts/netns")
    realtime = ["--realtime", str(args.sim_priority)] if args.sim_priority > 0 else []
    print(f"simulator: {args.rate:g} Hz, one sample per wake-up, publishing "
          + (f"at real-time priority {args.sim_priority}" if realtime else "unprioritized")
          + "; a fresh one for each run", flush=True)
    print("load average %.2f %.2f %.2f (%d cores)" % (*os.getloadavg(), os.cpu_count()))
    runs = [(reference, args.reference_seconds)] if args.reference_seconds > 0 else []
    if args.busy_seconds > 0:
        runs.append((busy, args.busy_seconds))
    for run, seconds in runs + [(record, args.seconds)]:
        with SimulatorProcess("--rate", str(args.rate), "--wake-period", "0", *realtime) as sim:
            run(sim.sn, seconds, args.rate, args.poll_interval)
        # Samples the robot itself sent late, back to back with the next one, are beyond any
        # poller: its own count, from its log.
        sim.wait_for_log("stream pacing", timeout=2.0)
        pacing = re.search(r"stream pacing: (\d+) of (\d+) samples", sim.log)
        if pacing:
            late, ticks = map(int, pacing.groups())
            print(f"{'':<11}the simulator sent {late} of {ticks} samples late, back to back with "
                  f"the next ({100 * late / ticks:.2f} %)", flush=True)
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
