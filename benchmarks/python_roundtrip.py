"""The floor under the simulator's replies: round trips between two eclipse-zenoh processes on
this host, a sample echoed by a subscriber and a query answered at once by a queryable, both
in the callback on zenoh's thread as the simulator answers.

    scripts/netns .venv/bin/python benchmarks/python_roundtrip.py [ITERATIONS]

Starts the answering process itself. Prints the medians and a last line "json: {...}".
"""
from __future__ import annotations

import json
import statistics
import subprocess
import sys
import threading
import time

import zenoh

PREFIX = "orbaltkvt/bench/roundtrip"


def answer() -> None:
    session = zenoh.open(zenoh.Config())
    pong = session.declare_publisher(f"{PREFIX}/pong")

    def on_query(query: zenoh.Query) -> None:
        query.reply(query.key_expr, b"x")
        query.drop()

    _sub = session.declare_subscriber(
        f"{PREFIX}/ping", zenoh.handlers.Callback(lambda s: pong.put(s.payload), indirect=False))
    _queryable = session.declare_queryable(
        f"{PREFIX}/service", zenoh.handlers.Callback(on_query, indirect=False))
    print("ready", flush=True)
    sys.stdin.read()  # until the measuring process closes it
    session.close()


def measure(iterations: int) -> int:
    child = subprocess.Popen([sys.executable, __file__, "--answer"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        child.stdout.readline()
        session = zenoh.open(zenoh.Config())
        echoed = threading.Event()
        _sub = session.declare_subscriber(
            f"{PREFIX}/pong", zenoh.handlers.Callback(lambda _s: echoed.set(), indirect=False))
        ping = session.declare_publisher(f"{PREFIX}/ping")
        # Discovery: until both paths answer.
        deadline = time.monotonic() + 10.0
        while time.monotonic() < deadline:
            echoed.clear()
            ping.put(b"x")
            if echoed.wait(0.1) and list(session.get(f"{PREFIX}/service")):
                break
        pubsub, query = [], []
        for _ in range(iterations):  # interleaved, with a pause as between a client's reads
            echoed.clear()
            t0 = time.perf_counter()
            ping.put(b"x")
            if echoed.wait(1.0):
                pubsub.append(time.perf_counter() - t0)
            time.sleep(0.002)
            t0 = time.perf_counter()
            if list(session.get(f"{PREFIX}/service")):
                query.append(time.perf_counter() - t0)
            time.sleep(0.002)
        session.close()
    finally:
        child.stdin.close()
        child.wait(10)
    if not pubsub or not query:
        print("no round trip completed", file=sys.stderr)
        return 1
    p50 = {"pubsub_p50_us": statistics.median(pubsub) * 1e6,
           "query_p50_us": statistics.median(query) * 1e6}
    print(f"eclipse-zenoh round trips over {iterations} iterations: sample echoed "
          f"{p50['pubsub_p50_us']:.1f} µs, query answered {p50['query_p50_us']:.1f} µs (p50)")
    print("json: " + json.dumps(p50))
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--answer"]:
        answer()
        raise SystemExit(0)
    raise SystemExit(measure(int(sys.argv[1]) if len(sys.argv) > 1 else 1000))
