"""Cost of the Python module's calls, next to what a user would write by hand.

    scripts/netns .venv/bin/python benchmarks/python_calls.py [--calls 20000]

Starts the simulated robot in a child process, then measures in one run:
  - orbaltkvt: Client.states(), Client.actions(), Client.digital_inputs() in µs per call;
  - by hand: an eclipse-zenoh subscriber keeping the newest basic sample, decoded with zenoh.ext
    and sliced into per-group dicts of lists on each call (what states() returns).
"""
from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import zenoh
from zenoh.ext import Float32, Int16, Int32, UInt16, UInt32, z_deserialize

import orbaltkvt

ROOT = Path(__file__).resolve().parents[1]

F = list[Float32]
JOINT = tuple[F, F, F, F, F, F, F, F, F, list[F], list[F]]
CARTESIAN = tuple[F, F, F, F, F, F, F]
BASIC = tuple[UInt16, Int16, bool, bool, list[bool], list[bool], list[bool], list[UInt16], JOINT,
              list[CARTESIAN], Int32, UInt32]
JOINT_FIELDS = ("q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                "temperature")
CART_FIELDS = ("flange_pose", "tcp_pose", "tcp_twist", "tcp_wrench_local", "spare_array",
               "raw_tcp_wrench_local", "raw_ft_sensor")
LAYOUT = {0: (0, 16), 2: (0, 14), 3: (0, 7), 4: (7, 7), 5: (14, 2)}


class HandWritten:
    """Newest basic sample from a plain subscriber; states() decodes and slices it."""

    def __init__(self, session: zenoh.Session, sn: str):
        self.latest: bytes | None = None
        self.lock = threading.Lock()
        self.sub = session.declare_subscriber(f"orbalt/robot/{sn}/basic_stream_data", self.on)

    def on(self, sample: zenoh.Sample) -> None:
        payload = sample.payload.to_bytes()
        with self.lock:
            self.latest = payload

    def states(self) -> dict[int, dict]:
        with self.lock:
            payload = self.latest
        msg = z_deserialize(BASIC, zenoh.ZBytes(payload))
        joints, cartesian, indices = msg[8], msg[9], msg[7]
        out: dict[int, dict] = {}
        for group, (start, dof) in LAYOUT.items():
            rec = {"timestamp": (int(msg[10]), int(msg[11]))}
            for name, seq in zip(JOINT_FIELDS, joints[:9]):
                rec[name] = [float(v) for v in seq[start:start + dof]]
            out[group] = rec
        for k, group in enumerate(indices):
            rec = out.setdefault(int(group), {})
            for name, arr in zip(CART_FIELDS, cartesian[k]):
                rec[name] = [float(v) for v in arr]
        return out


def per_call_us(fn, calls: int, repeats: int = 5) -> tuple[float, float]:
    """Median and best of `repeats` runs of `calls` calls, in µs per call."""
    runs = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        runs.append((time.perf_counter() - start) / calls * 1e6)
    return statistics.median(runs), min(runs)


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--calls", type=int, default=20000)
    args = p.parse_args()
    sn = "BENCH-PY-0001"
    sim = subprocess.Popen([sys.executable, "-m", "orbaltkvt_sim", "--sn", sn, "--rate", "1000"],
                           stderr=subprocess.DEVNULL)
    try:
        client = orbaltkvt.Client(sn, verbose=False)
        session = zenoh.open(zenoh.Config())
        hand = HandWritten(session, sn)
        deadline = time.monotonic() + 10
        while hand.latest is None and time.monotonic() < deadline:
            time.sleep(0.01)
        assert hand.latest is not None, "no sample reached the hand-written subscriber"
        assert len(hand.states()[3]["q"]) == len(client.states()[orbaltkvt.ARM_1].q) == 7

        print(f"per call, median (best) of 5 x {args.calls} calls, robot streaming at 1 kHz")
        for name, fn, calls in (
                ("orbaltkvt Client.states()", client.states, args.calls),
                ("orbaltkvt Client.actions()", client.actions, args.calls),
                ("orbaltkvt Client.digital_inputs()", client.digital_inputs, args.calls * 5),
                ("hand-written zenoh.ext states()", hand.states, max(1, args.calls // 10))):
            median, best = per_call_us(fn, calls)
            print(f"  {name:<36} {median:9.2f} µs   ({best:.2f})")
        session.close()
        del client
    finally:
        sim.terminate()
        sim.wait(10)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
