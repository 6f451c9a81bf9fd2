"""The reference for the library's intake CPU: a plain eclipse-zenoh subscriber to a robot's two
streams that only unpacks the basic sample's timestamp.

    scripts/netns .venv/bin/python benchmarks/intake_reference.py SECONDS SN...

The robots must be running. Prints the CPU share of this process (percent of one core) and a
last line "json: {...}".
"""
from __future__ import annotations

import json
import struct
import sys
import time

import zenoh

TIMESTAMP = struct.Struct("<iI")


def main() -> int:
    seconds = float(sys.argv[1])
    sns = sys.argv[2:]
    session = zenoh.open(zenoh.Config())
    latest = {}
    counts = {"basic": 0, "extra": 0}

    def on_basic(sample: zenoh.Sample) -> None:
        payload = sample.payload.to_bytes()
        latest[str(sample.key_expr)] = TIMESTAMP.unpack_from(payload, len(payload) - 8)
        counts["basic"] += 1

    def on_extra(_sample: zenoh.Sample) -> None:
        counts["extra"] += 1

    subs = []
    for sn in sns:
        subs.append(session.declare_subscriber(f"orbalt/robot/{sn}/basic_stream_data", on_basic))
        subs.append(session.declare_subscriber(f"orbalt/robot/{sn}/extra_stream_data", on_extra))
    time.sleep(1.0)
    start = dict(counts)
    cpu0, t0 = time.process_time(), time.monotonic()
    time.sleep(seconds)
    cpu, wall = time.process_time() - cpu0, time.monotonic() - t0
    got = {k: counts[k] - start[k] for k in counts}
    share = 100.0 * cpu / wall
    print(f"plain zenoh subscriber, {len(sns)} robot(s), {wall:.0f} s: {share:.2f} % of one core, "
          f"{got['basic']} basic and {got['extra']} extra samples")
    print("json: " + json.dumps({"cpu_percent": round(share, 3), **got}))
    for sub in subs:
        sub.undeclare()
    session.close()
    return 0 if got["basic"] else 1


if __name__ == "__main__":
    raise SystemExit(main())
