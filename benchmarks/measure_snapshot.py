"""What the flight recorder (`kvt record --snapshot`) holds in memory, beside the bound it states.

    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_snapshot.py
    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_snapshot.py \
        --seconds 90 --snapshot 60 --after 2

Starts the simulated dual-arm robot at 1 kHz in a child process and `kvt record --snapshot S
--after A --trigger estop` against it for --seconds, reading kvt's resident set size
(/proc/PID/status VmRSS) every 0.5 s. The ring fills during the first S + A seconds and then
only turns over, so the figures are: the RSS when kvt said its bound (the ring empty), the
highest RSS, their difference (the growth, to set beside the stated bound) and the RSS change
from when the ring is full until the write (a bounded ring: about 0). At --trigger-at seconds
(default three quarters of the run) SIGUSR1 writes one file, so the peak includes a write. This is a measurement, not a test: it prints and asserts
nothing. The last line is the figures as JSON ("json: {...}").
"""
from __future__ import annotations

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from orbaltkvt_sim.testing import SimulatorProcess

ROOT = Path(__file__).resolve().parents[1]
MIB = 2**20


def rss_bytes(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    return 0


def kvt_command() -> list[str]:
    kvt = Path(sys.executable).parent / "kvt"
    return [str(kvt)] if kvt.exists() else [sys.executable, "-m", "orbaltkvt_tools"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--snapshot", type=float, default=10.0)
    parser.add_argument("--after", type=float, default=2.0)
    parser.add_argument("--rate", type=float, default=1000.0)
    parser.add_argument("--trigger-at", type=float, metavar="S")
    args = parser.parse_args()
    trigger_at = args.seconds * 0.75 if args.trigger_at is None else args.trigger_at
    full_at = args.snapshot + args.after + 1.0
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "tools"), str(ROOT / "sim"),
                                                      env.get("PYTHONPATH")]))
    print("load average %.2f %.2f %.2f (%d cores)" % (*os.getloadavg(), os.cpu_count()),
          flush=True)
    with tempfile.TemporaryDirectory() as tmp, \
            SimulatorProcess("--rate", str(args.rate), "--preset", "dual") as sim:
        out = os.path.join(tmp, "flight.mcap")
        kvt = subprocess.Popen([*kvt_command(), "record", sim.sn, "-o", out, "--seconds",
                                str(args.seconds), "--snapshot", str(args.snapshot), "--after",
                                str(args.after), "--trigger", "estop"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
        stated = None
        for line in kvt.stderr:
            if "flight recorder keeps" in line:
                print(line.rstrip(), flush=True)
                stated = float(re.search(r"at most ([\d.]+) MiB", line).group(1)) * MIB
                break
        if stated is None:
            raise SystemExit(f"kvt said no bound: {kvt.stderr.read()}")
        err: list[str] = []
        threading.Thread(target=lambda: err.extend(kvt.stderr), daemon=True).start()
        start = time.monotonic()
        base = rss_bytes(kvt.pid)
        samples: list[tuple[float, int]] = []
        triggered = False
        while kvt.poll() is None:
            t = time.monotonic() - start
            try:
                samples.append((t, rss_bytes(kvt.pid)))
            except (FileNotFoundError, ProcessLookupError):
                break
            if not triggered and t >= trigger_at:
                kvt.send_signal(signal.SIGUSR1)
                triggered = True
            time.sleep(0.5)
        files = [json.loads(text) for text in kvt.stdout if text.startswith("{")]
        kvt.wait()
        print("".join(err[-3:]).rstrip())
    peak = max(r for _t, r in samples)
    full = [r for t, r in samples if full_at <= t < trigger_at]
    figures = {
        "rate_hz": args.rate, "seconds": args.seconds, "snapshot_s": args.snapshot,
        "after_s": args.after, "stated_bound_mib": round(stated / MIB, 1),
        "rss_at_start_mib": round(base / MIB, 1), "rss_peak_mib": round(peak / MIB, 1),
        "rss_growth_mib": round((peak - base) / MIB, 1),
        "growth_share_of_bound": round((peak - base) / stated, 2),
        "rss_before_write_mib": round(full[-1] / MIB, 1) if full else None,
        "rss_change_while_full_mib": round((full[-1] - full[0]) / MIB, 1) if full else None,
        "files": [{"samples": f["samples"], "trigger": f["trigger"],
                   "span_s": round((f["last_ns"] - f["first_ns"]) / 1e9, 3)} for f in files],
    }
    print(f"stated bound {figures['stated_bound_mib']} MiB; RSS {figures['rss_at_start_mib']} "
          f"MiB at start, peak {figures['rss_peak_mib']} MiB: growth "
          f"{figures['rss_growth_mib']} MiB ({figures['growth_share_of_bound']:.0%} of the "
          f"bound); {figures['rss_change_while_full_mib']} MiB while the ring was full, "
          f"{figures['rss_before_write_mib']} MiB before the write")
    print("json: " + json.dumps(figures))


if __name__ == "__main__":
    main()
