"""What `orbaltkvt_tools.load` costs next to reading the same file with the mcap package alone.

    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_load.py [FILE.mcap ...]

Without a file it first records the simulated robot (dual arm, 1 kHz) for --seconds with
`kvt record` (every channel of the default groups). Then, each in a fresh process and
alternating --repeat times:
  - load: ``orbaltkvt_tools.load(FILE)``: every field of both streams as numpy arrays;
  - mcap: the reference, the file's foxglove.JointStates messages (basic and desired, every
    group) read with the mcap package and its protobuf decoder, positions, velocities and
    efforts kept in Python lists.
Each prints wall time and peak resident memory (ru_maxrss) above what the process held after
its imports. This is a measurement, not a test: it prints, it asserts nothing.
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from orbaltkvt_sim.testing import SimulatorProcess

ROOT = Path(__file__).resolve().parents[1]

LOAD = r"""
import resource, sys, time
import numpy, orbaltkvt, orbaltkvt_stream, mcap.reader, orbaltkvt_tools.recording
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
rec = orbaltkvt_tools.recording.load(sys.argv[1:])
t1 = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("RESULT", t1 - t0, (peak - base) / 1024, len(rec.basic), len(rec.extra), flush=True)
"""

MCAP = r"""
import resource, sys, time
from mcap.reader import make_reader
from mcap_protobuf.decoder import DecoderFactory
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
series, messages = {}, 0
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        reader = make_reader(f, decoder_factories=[DecoderFactory()])
        for _s, channel, message, states in reader.iter_decoded_messages(
                topics=[c.topic for c in reader.get_summary().channels.values()
                        if c.topic.endswith(("/joint_states", "/joint_states_desired"))]):
            rows = series.setdefault(channel.topic, ([], [], [], []))
            rows[0].append(message.publish_time)
            rows[1].append([j.position for j in states.joints])
            rows[2].append([j.velocity for j in states.joints])
            rows[3].append([j.effort for j in states.joints])
            messages += 1
t1 = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("RESULT", t1 - t0, (peak - base) / 1024, messages, len(series), flush=True)
"""


def env() -> dict:
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "tools"), str(ROOT / "sim"),
                                                    e.get("PYTHONPATH")]))
    return e


def record(seconds: float, out: Path) -> None:
    with SimulatorProcess("--rate", "1000", "--preset", "dual") as sim:
        kvt = [sys.executable, "-m", "orbaltkvt_tools", "record", sim.sn, "-o", str(out),
               "--seconds", str(seconds)]
        subprocess.run(kvt, check=True, cwd=ROOT, env=env())


def run(code: str, files: list[str]) -> tuple[float, float, str]:
    out = subprocess.run([sys.executable, "-c", code, *files], capture_output=True, text=True,
                         check=True, env=env()).stdout
    line = next(line for line in out.splitlines() if line.startswith("RESULT"))
    parts = line.split()
    return float(parts[1]), float(parts[2]), " ".join(parts[3:])


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("files", nargs="*", help="recordings (default: record one now)")
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        files = args.files
        if not files:
            files = [str(Path(tmp) / "run.mcap")]
            record(args.seconds, Path(files[0]))
        size = sum(Path(f).stat().st_size for f in files) / 1e6
        print(f"{', '.join(files)}: {size:.1f} MB")
        results: dict[str, list] = {"load": [], "mcap": []}
        for _ in range(args.repeat):
            for name, code in (("load", LOAD), ("mcap", MCAP)):
                results[name].append(run(code, files))
        for name, rows in results.items():
            times = [r[0] for r in rows]
            peaks = [r[1] for r in rows]
            print(f"{name}: {statistics.median(times):.2f} s (runs {', '.join(f'{t:.2f}' for t in times)}), "
                  f"peak +{statistics.median(peaks):.0f} MB; {rows[0][2]}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
