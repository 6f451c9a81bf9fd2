"""What `kvt export --format parquet` and a fleet dataset cost, next to the CSV export and to
numpy over `load`, measured in one run.

    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_export.py

Records the simulated robots with `kvt record` first (unless --keep DIR holds them from an
earlier run): robot A, dual arm at 1 kHz, for --seconds (default 60), and robot B, single arm,
for --seconds / 2; each split in two files, so the dataset holds 4 recordings of 2 robots.
Then, each command in a fresh process:
  - Parquet: `kvt export A --format parquet` (wall time, median of --repeat; bytes), and in
    one process the time of each stage: load, to_arrow, write;
  - CSV: `kvt export A --csv` (the reference: wall time of one run; bytes);
  - dataset: `kvt export --dataset ROOT` of the 4 files, then a DuckDB query over it (the
    largest |tau| per robot and joint, hive partitions as columns; median of --repeat), next
    to the reference, the same figures from load and numpy.
Targets: Parquet export <= 3 s and <= 1/10 of the CSV's bytes. This is a measurement, not a
test: it prints, it asserts nothing.
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from orbaltkvt_sim.testing import SimulatorProcess

ROOT = Path(__file__).resolve().parents[1]

STAGES = r"""
import os, sys, time
t0 = time.perf_counter()
from orbaltkvt_tools import arrow, load
os.makedirs(sys.argv[1], exist_ok=True)
rec = load(sys.argv[2:])
t1 = time.perf_counter()
tables = rec.to_arrow()
t2 = time.perf_counter()
for stream, table in tables.items():
    arrow.write_parquet(table, arrow.stream_file(sys.argv[1], stream))
t3 = time.perf_counter()
print("RESULT", t1 - t0, t2 - t1, t3 - t2, len(rec.basic), tables["basic"].num_columns,
      rec.clock.offset_ns, rec.clock.drift, flush=True)
"""

QUERY = r"""
import sys, time, duckdb
t0 = time.perf_counter()
rows = duckdb.connect().execute(f'''
    WITH samples AS (
        SELECT * FROM read_parquet('{sys.argv[1]}/**/*.basic.parquet',
                                   hive_partitioning = true, union_by_name = true))
    SELECT robot, joint, max(abs(tau)) AS largest
    FROM (UNPIVOT (SELECT robot, COLUMNS('^joint[0-9]+\.tau$') FROM samples)
          ON COLUMNS(* EXCLUDE (robot)) INTO NAME joint VALUE tau)
    GROUP BY robot, joint ORDER BY robot, joint''').fetchall()
t1 = time.perf_counter()
print("RESULT", t1 - t0, len(rows), max(r[2] for r in rows), flush=True)
"""

NUMPY = r"""
import sys, time
import numpy as np
t0 = time.perf_counter()
from orbaltkvt_tools import load
largest = {}
for path in sys.argv[1:]:
    rec = load(path)
    tau = np.nanmax(np.abs(rec.basic.joints["tau"]), axis=0)
    old = largest.get(rec.serial_number, np.zeros(0))
    n = max(len(old), len(tau))
    largest[rec.serial_number] = np.fmax(np.pad(old, (0, n - len(old)), constant_values=np.nan),
                                         np.pad(tau, (0, n - len(tau)), constant_values=np.nan))
t1 = time.perf_counter()
print("RESULT", t1 - t0, sum(len(v) for v in largest.values()),
      max(float(np.nanmax(v)) for v in largest.values()), flush=True)
"""


def env() -> dict:
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "tools"), str(ROOT / "sim"),
                                                    e.get("PYTHONPATH")]))
    return e


def kvt(*args) -> float:
    """Runs kvt in a fresh process; its wall time in seconds."""
    began = time.perf_counter()
    subprocess.run([sys.executable, "-m", "orbaltkvt_tools", *map(str, args)], check=True,
                   cwd=ROOT, env=env(), stderr=subprocess.DEVNULL)
    return time.perf_counter() - began


def python(code: str, *args) -> list[str]:
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                         text=True, check=True, env=env()).stdout
    return next(line for line in out.splitlines() if line.startswith("RESULT")).split()[1:]


def record(preset: str, seconds: float, out: Path) -> list[str]:
    with SimulatorProcess("--rate", "1000", "--preset", preset) as sim:
        kvt("record", sim.sn, "-o", out, "--seconds", seconds, "--split-duration", seconds / 2)
    return sorted(str(p) for p in out.parent.glob(f"{out.stem}_*.mcap"))


def size(path: Path) -> int:
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def median(values: list[float]) -> str:
    return f"{statistics.median(values):.2f} s (runs {', '.join(f'{v:.2f}' for v in values)})"


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--keep", metavar="DIR", help="keep the recordings here (reused if there)")
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        store = Path(args.keep) if args.keep else work
        store.mkdir(parents=True, exist_ok=True)
        a = sorted(str(p) for p in store.glob("a_*.mcap")) or record(
            "dual", args.seconds, store / "a.mcap")
        b = sorted(str(p) for p in store.glob("b_*.mcap")) or record(
            "single", args.seconds / 2, store / "b.mcap")
        mcap = sum(Path(f).stat().st_size for f in a)
        print(f"robot A: {len(a)} files, {mcap / 1e6:.1f} MB; robot B: {len(b)} files")

        parquet_times = [kvt("export", *a, "--format", "parquet", "-o", work / "parquet")
                         for _ in range(args.repeat)]
        parquet_bytes = size(work / "parquet")
        load_s, arrow_s, write_s, rows, columns, offset, drift = python(
            STAGES, work / "stages", *a)
        csv_time = kvt("export", *a, "--csv", work / "csv")
        csv_bytes = size(work / "csv")
        print(f"export of robot A ({rows} basic samples, {columns} basic columns):")
        print(f"  parquet: {median(parquet_times)}, {parquet_bytes / 1e6:.1f} MB "
              f"(target <= 3 s, <= 1/10 of the CSV's bytes)")
        print(f"           in one process: load {float(load_s):.2f} s, to_arrow "
              f"{float(arrow_s):.2f} s, write {float(write_s):.2f} s")
        faster = csv_time / statistics.median(parquet_times)
        print(f"  csv:     {csv_time:.2f} s, {csv_bytes / 1e6:.1f} MB (reference); parquet is "
              f"1/{csv_bytes / parquet_bytes:.1f} of its bytes, {faster:.1f}x faster")
        print(f"  clock estimate: offset {int(offset) / 1e3:.1f} us, drift "
              f"{float(drift) * 1e6:+.3f} ppm")

        root = work / "fleet"
        dataset_time = kvt("export", "--dataset", root, *a, *b)
        files = sorted(root.rglob("*.parquet"))
        print(f"dataset: {len(a) + len(b)} recordings of 2 robots added in {dataset_time:.2f} s: "
              f"{len(files)} files, {size(root) / 1e6:.1f} MB")
        query = [python(QUERY, root) for _ in range(args.repeat)]
        reference = [python(NUMPY, *a, *b) for _ in range(args.repeat)]
        print(f"  duckdb, largest |tau| per robot and joint: {median([float(q[0]) for q in query])}"
              f", {query[0][1]} rows, largest {float(query[0][2]):.4f} Nm")
        print(f"  reference, load + numpy: {median([float(r[0]) for r in reference])}, "
              f"{reference[0][1]} values, largest {float(reference[0][2]):.4f} Nm")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
