"""What a sample costs on its way into numpy columns, and the latency the sample stream's batching adds.

    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_columns.py
    PYTHONPATH=build/python scripts/netns .venv/bin/python benchmarks/measure_columns.py --seconds 10

Three measurements, each figure printed next to its reference from the same run:
  - `orbaltkvt_stream.Decoder`: the payloads of a dual-arm recording (the simulator's model,
    --samples basic and as many extra payloads, already in memory) decoded into columns 8192 at
    a time, µs per sample (best of --repeat); beside it the wire decode alone, the library's own
    `stream_decode` benchmark (build/benchmarks/stream_decode, built by scripts/bench), when it
    is there.
  - the sample stream's batches: a `SampleStream` against the simulator at --rate Hz for
    --seconds, read in a loop; the reader thread's CPU time (time.thread_time) per sample taken,
    with max_latency 0 (a wake-up a sample) and --latency seconds (a wake-up a batch), reading
    only the receive times or every column (a batch's arrays are made when first read).
  - the sample stream's batches without the waiting: next(0) every 50 ms, the reader's CPU
    time for the call alone per sample (what turning queued samples into columns costs).
  - the latency batching adds: for every sample, the host time when next() handed it over minus
    its receive time (stamped on the transport's thread), p50 and p99, with each max_latency.
Targets: decoding and the stream's batches <= 2 µs a sample. A measurement, not a test.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import orbaltkvt
import orbaltkvt_stream
from orbaltkvt_sim import messages as m
from orbaltkvt_sim.model import RobotModel
from orbaltkvt_sim.testing import SimulatorProcess

ROOT = Path(__file__).resolve().parents[1]
CHUNK = 8192


def payloads(samples: int):
    model = RobotModel("dual")
    basic, extra = [], []
    for i in range(samples):
        b = model.basic(i / 1000.0, (1_700_000_000 + i // 1000, (i % 1000) * 1_000_000))
        basic.append(m.encode_basic(b))
        extra.append(m.encode_extra(model.extra(i / 1000.0, b)))
    times = np.arange(samples, dtype=np.int64) * 1_000_000
    return model, basic, extra, times


def decoder_us(layout, basic, extra, times, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        decoder = orbaltkvt_stream.Decoder(layout)
        start = time.perf_counter()
        for i in range(0, len(basic), CHUNK):
            decoder.decode(basic[i:i + CHUNK], times[i:i + CHUNK],
                           extra[i:i + CHUNK], times[i:i + CHUNK] + 1)
        best = min(best, time.perf_counter() - start)
    return best / (2 * len(basic)) * 1e6


def wire_decode_us():
    """The wire decode alone, from the library's benchmark: mean of basic and extra, ns."""
    build = Path(os.environ.get("BUILD_DIR", ROOT / "build"))
    binary = build / "benchmarks" / "stream_decode"
    if not binary.exists():
        return None
    out = subprocess.run([str(binary), "--benchmark_filter=^Decode(Basic|Extra)$",
                          "--benchmark_format=json"], capture_output=True, text=True, check=True)
    runs = {b["name"]: b["cpu_time"] for b in json.loads(out.stdout)["benchmarks"]}
    return (runs["DecodeBasic"] + runs["DecodeExtra"]) / 2 / 1000


def touch(batch) -> None:
    """Reads every column of a batch once (the arrays are made when first read)."""
    for stream in (batch.basic, batch.extra):
        stream.timestamp, stream.robot_time_ns, stream.valid
        for fields in stream.groups.values():
            for column in fields.values():
                column[-1:]
    for column in batch.basic.status.values():
        column[-1:]


def batches_run(sn: str, seconds: float, every: float, every_column: bool):
    """The reader's CPU for turning queued samples into a batch, without the waiting: next(0)
    every ``every`` seconds, timed with the thread's CPU clock around the call alone."""
    client = orbaltkvt.Client(sn, verbose=False)
    stream = orbaltkvt_stream.SampleStream(client)
    rows, cpu, calls = 0, 0.0, 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(every)
        before = time.thread_time()
        batch = stream.next(0)
        if every_column:
            touch(batch)
        cpu += time.thread_time() - before
        rows += len(batch)
        calls += 1
    stream.close()
    return {"every_s": every, "every_column": every_column, "samples": rows, "batches": calls,
            "cpu_us_per_sample": cpu / max(rows, 1) * 1e6}


def stream_run(sn: str, seconds: float, latency: float, every_column: bool):
    client = orbaltkvt.Client(sn, verbose=False)
    stream = orbaltkvt_stream.SampleStream(client, max_latency=latency)
    delays, rows, cpu, wakes = [], 0, 0.0, 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        before = time.thread_time()
        batch = stream.next(0.1)
        handed = time.time_ns()
        cpu += time.thread_time() - before
        if len(batch):
            wakes += 1
            rows += len(batch)
            delays.append(handed - batch.basic.receive_time_ns)
            delays.append(handed - batch.extra.receive_time_ns)
            if every_column:
                before = time.thread_time()
                touch(batch)
                cpu += time.thread_time() - before
    counters = stream.basic_counters()
    stream.close()
    delay = np.concatenate(delays) / 1000.0
    return {"max_latency_ms": latency * 1000, "every_column": every_column, "samples": rows, "wake_ups": wakes,
            "cpu_us_per_sample": cpu / rows * 1e6, "latency_p50_us": float(np.percentile(delay, 50)),
            "latency_p99_us": float(np.percentile(delay, 99)), "dropped": counters.dropped}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--samples", type=int, default=60_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rate", type=float, default=1000.0)
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--latency", type=float, default=0.005, help="the batching run's max_latency, s")
    args = parser.parse_args()

    model, basic, extra, times = payloads(args.samples)
    layout = {orbaltkvt.JointGroup(g.group): (g.start, g.dof) for g in model.layout}
    decode = decoder_us(layout, basic, extra, times, args.repeat)
    wire = wire_decode_us()
    figures = {"decoder_us_per_sample": decode, "wire_decode_us_per_sample": wire}
    print(f"Decoder into columns: {decode:.2f} µs a sample ({2 * args.samples} payloads, best of "
          f"{args.repeat}); the wire decode alone: "
          + (f"{wire:.2f} µs" if wire is not None else "n/a (scripts/bench builds it)")
          + "; target <= 2 µs", flush=True)

    with SimulatorProcess("--rate", str(args.rate), "--wake-period", "0") as sim:
        batches = [batches_run(sim.sn, args.seconds / 2, 0.05, every) for every in (False, True)]
        runs = [stream_run(sim.sn, args.seconds, latency, every)
                for latency in (0.0, args.latency) for every in (False, True)]
    for r in batches:
        read = "every column read" if r["every_column"] else "receive times read"
        print(f"sample stream batches, next(0) every {r['every_s'] * 1000:g} ms, {read}: "
              f"{r['samples']} samples in {r['batches']} batches, {r['cpu_us_per_sample']:.2f} µs "
              "CPU a sample into columns (target <= 2 µs)", flush=True)
    figures["batches"] = batches
    for r in runs:
        read = "every column read" if r["every_column"] else "receive times read"
        print(f"sample stream, max_latency {r['max_latency_ms']:g} ms, {read}: {r['samples']} samples in "
              f"{r['wake_ups']} batches, reader {r['cpu_us_per_sample']:.2f} µs CPU a sample; "
              f"added latency p50 {r['latency_p50_us']:.0f} µs, p99 {r['latency_p99_us']:.0f} µs; "
              f"dropped {r['dropped']}", flush=True)
    figures["stream"] = runs
    print("json:", json.dumps(figures))


if __name__ == "__main__":
    sys.exit(main())
