"""What `orbaltkvt_tools.load` costs, each figure beside its reference from the same run.

    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_load.py \
        [FILE.mcap ...] [--long LONG.mcap]

Without a file it first records the simulated robot (dual arm, 1 kHz) for --seconds with
`kvt record` (every channel of the default groups); without --long, for --long-seconds too
(10 minutes by default, in real time: keep the file and pass it next time). Then, each in a
fresh process and alternating --repeat times:
  - load: ``load(FILE)``: every field of both streams as numpy arrays, beside
    - floor: the same native read that makes no column (every chunk read and inflated, every
      payload decoded by the library's decoder): what load cannot go below;
    - mcap: the file's foxglove.JointStates messages (basic and desired, every group) read with
      the mcap package and its protobuf decoder into Python lists (--mcap; slow);
  - window: ``load(LONG, start, start + 10, groups=["ARM_1"])`` in the middle of the long
    file, beside window60: the same window of the short file (the cost must not follow the
    file's length);
    and clock: what of it is the clock record's look-up in the long file (outside the reader);
  - q32: ``load(LONG, groups=["ARM_1"], fields=["q"], streams=("basic",), dtype=float32)``.
Each prints wall time, peak resident memory (ru_maxrss) above what the process held after its
imports, and the size of the arrays it returned (views counted once). Targets: load <= 1.0 s
and <= 1.3x floor, memory <= 1.2x its arrays; window <= 0.15 s, memory <= 1.2x its arrays;
q32 memory <= 1.5x its arrays. This is a measurement, not a test: it prints, it asserts
nothing.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from orbaltkvt_sim.testing import SimulatorProcess

ROOT = Path(__file__).resolve().parents[1]

# The arrays a Recording holds, in MB: each buffer once (the groups' joints are views).
ARRAYS = r"""
def arrays_mb(rec):
    import numpy as np
    seen, total = set(), 0
    for s in (rec.basic, rec.extra):
        columns = [s.receive_time_ns, s.robot_time_ns, s.timestamp, s.valid,
                   *([s.robot_time_host_ns] if hasattr(s, "robot_time_host_ns") else []),
                   *s.joints.values(), *s.status.values(),
                   *(a for g in s.groups.values() for a in g.values())]
        for a in columns:
            owner = a if not isinstance(a.base, np.ndarray) else a.base
            if id(owner) not in seen:
                seen.add(id(owner))
                total += owner.nbytes
    return total / 1e6
"""

LOAD = ARRAYS + r"""
import json, resource, sys, time
import numpy, orbaltkvt, orbaltkvt_stream, orbaltkvt_recording, mcap.reader
import orbaltkvt_tools.recording, orbaltkvt_tools.clock
options = json.loads(sys.argv[1])
if "dtype" in options:
    options["dtype"] = getattr(numpy, options["dtype"])
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
rec = orbaltkvt_tools.recording.load(sys.argv[2:], **options)
t1 = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("RESULT", t1 - t0, (peak - base) / 1024, arrays_mb(rec), len(rec.basic), len(rec.extra),
      flush=True)
"""

# What load spends outside the reader on the recorder's clock record (orbaltkvt_tools.clock
# looks for it through the mcap package, the summary read in Python).
CLOCK = r"""
import resource, sys, time
import numpy, orbaltkvt, orbaltkvt_stream, orbaltkvt_recording, mcap.reader
import orbaltkvt_tools.recording, orbaltkvt_tools.clock
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
found = orbaltkvt_tools.clock.stored(sys.argv[2:])
t1 = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("RESULT", t1 - t0, (peak - base) / 1024, 0.0, found is not None, flush=True)
"""

# Reading and decoding every sample natively, making no column: what load builds on.
FLOOR = r"""
import json, resource, sys, time
import numpy, orbaltkvt, orbaltkvt_stream, orbaltkvt_recording, orbaltkvt_tools.recording
from orbaltkvt_tools.recording_file import RecordingIndex
paths = sys.argv[2:]
layout = orbaltkvt_tools.recording._layout(paths[0], RecordingIndex(paths[0]).layout())
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
out = orbaltkvt_recording.read(paths, [(int(g), s, d) for g, (s, d) in layout.items()],
                               -2 ** 63, 2 ** 63 - 1, fields=set())
t1 = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("RESULT", t1 - t0, (peak - base) / 1024, 0.0, len(out["basic"]["valid"]),
      len(out["extra"]["valid"]), flush=True)
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
print("RESULT", t1 - t0, (peak - base) / 1024, 0.0, messages, len(series), flush=True)
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


def run(code: str, files: list[str], options: dict) -> tuple[float, float, float, str]:
    out = subprocess.run([sys.executable, "-c", code, json.dumps(options), *files],
                         capture_output=True, text=True, check=True, env=env()).stdout
    line = next(line for line in out.splitlines() if line.startswith("RESULT"))
    parts = line.split()
    return float(parts[1]), float(parts[2]), float(parts[3]), " ".join(parts[4:])


def duration(files: list[str]) -> float:
    from orbaltkvt_tools.recording_file import RecordingIndex

    looks = [RecordingIndex(f) for f in files]
    return (max(look.end_ns for look in looks) - looks[0].start_ns) / 1e9


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("files", nargs="*", help="recordings (default: record one now)")
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--long", nargs="*", default=None, metavar="LONG.mcap",
                   help="a recording of at least 10 minutes (default: record one now)")
    p.add_argument("--long-seconds", type=float, default=600.0)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--mcap", action="store_true", help="also the mcap package's reading")
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        files = args.files
        if not files:
            files = [str(Path(tmp) / "run.mcap")]
            record(args.seconds, Path(files[0]))
        long = args.long
        if not long:
            long = [str(Path(tmp) / "long.mcap")]
            record(args.long_seconds, Path(long[0]))
        for group in (files, long):
            size = sum(Path(f).stat().st_size for f in group) / 1e6
            print(f"{', '.join(group)}: {size:.1f} MB, {duration(group):.0f} s")
        middle = duration(long) / 2
        window = {"start": middle, "end": middle + 10, "groups": ["ARM_1"]}
        cases = {
            "load": (LOAD, files, {}),
            "floor": (FLOOR, files, {}),
            "window": (LOAD, long, window),
            "window60": (LOAD, files, {**window, "start": 25.0, "end": 35.0}),
            "clock": (CLOCK, long, {}),
            "q32": (LOAD, long, {"groups": ["ARM_1"], "fields": ["q"], "streams": ["basic"],
                                 "dtype": "float32"}),
        }
        if args.mcap:
            cases["mcap"] = (MCAP, files, {})
        results: dict[str, list] = {name: [] for name in cases}
        for _ in range(args.repeat):
            for name, (code, paths, options) in cases.items():
                results[name].append(run(code, paths, options))
        for name, rows in results.items():
            times = [r[0] for r in rows]
            peaks = [r[1] for r in rows]
            arrays = rows[0][2]
            ratio = f" = {statistics.median(peaks) / arrays:.2f}x its arrays" if arrays else ""
            print(f"{name}: {statistics.median(times):.3f} s (runs "
                  f"{', '.join(f'{t:.3f}' for t in times)}), peak +{statistics.median(peaks):.0f}"
                  f" MB, arrays {arrays:.0f} MB{ratio}; rows {rows[0][3]}")
        median = {name: statistics.median(r[0] for r in rows) for name, rows in results.items()}
        print(f"load / floor: {median['load'] / median['floor']:.2f}x; "
              f"window (long file) / window60 (short file): "
              f"{median['window'] / median['window60']:.2f}x")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
