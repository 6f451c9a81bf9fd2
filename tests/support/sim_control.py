"""Runs the simulated robot for the C++ tests, controlled by JSON lines on standard input.

usage: sim_control.py SERIAL [--preset dual|single] [--rate HZ] [--no-rpc] [--no-streams]

Prints "ready" once the simulator runs. Every command line is answered with one line,
"ok <json result>" or "error <text>". The simulator stops when standard input closes.

Commands ({"cmd": NAME, ...}):
  rpc_fault    id, fault: RpcFault fields; "reply" may be a dict of RPCReply fields
  clear_rpc    id (optional)
  version      text
  answer_from  id, nth
  corrupt_pt   n
  stream_fault stream, fault: StreamFault fields
  clear_stream stream
  pause / resume  stream ("basic", "extra", "both")
  layout       preset, or groups: [[group, start, dof], ...]
  publish      stream, sample: dict of message fields (nested dicts for joint/cartesian data)
  counts       -> {request id: number of requests}
  reset_counts
  wait_samples stream, count, timeout -> bool
  current      stream -> the newest sample published, as a dict
  reset        every fault cleared
"""
import argparse
import dataclasses
import json
import sys

from orbaltkvt_sim import (
    AllBasicStreamData, AllExtraStreamData, BasicCartesianData, BasicJointData,
    ExtraCartesianData, ExtraJointData, RPCReply, RpcFault, Simulator, StreamFault, make_layout)


def _basic(d: dict) -> AllBasicStreamData:
    d = dict(d)
    d["joint_data"] = BasicJointData(**d.get("joint_data", {}))
    d["cartesian_data"] = [BasicCartesianData(**c) for c in d.get("cartesian_data", [])]
    if "timestamp" in d:
        d["timestamp"] = tuple(d["timestamp"])
    return AllBasicStreamData(**d)


def _extra(d: dict) -> AllExtraStreamData:
    d = dict(d)
    d["joint_data"] = ExtraJointData(**d.get("joint_data", {}))
    d["cartesian_data"] = [ExtraCartesianData(**c) for c in d.get("cartesian_data", [])]
    return AllExtraStreamData(**d)


def handle(sim: Simulator, c: dict):
    cmd = c["cmd"]
    f = sim.faults
    if cmd == "rpc_fault":
        fields = dict(c.get("fault", {}))
        if isinstance(fields.get("reply"), dict):
            fields["reply"] = RPCReply(**fields["reply"])
        if isinstance(fields.get("second_reply"), dict):
            fields["second_reply"] = RPCReply(**fields["second_reply"])
        f.set_rpc(int(c["id"]), RpcFault(**fields))
    elif cmd == "clear_rpc":
        f.clear_rpc(c.get("id"))
    elif cmd == "version":
        f.set_version(c["text"])
    elif cmd == "answer_from":
        f.answer_from(int(c["id"]), int(c["nth"]))
    elif cmd == "corrupt_pt":
        f.corrupt_primitive_states(int(c["n"]))
    elif cmd == "stream_fault":
        f.set_stream(c["stream"], StreamFault(**c.get("fault", {})))
    elif cmd == "clear_stream":
        f.clear_stream(c.get("stream", "both"))
    elif cmd == "pause":
        sim.pause(c.get("stream", "both"))
    elif cmd == "resume":
        sim.resume(c.get("stream", "both"))
    elif cmd == "layout":
        sim.set_layout(c["preset"] if "preset" in c else make_layout(c["groups"]))
    elif cmd == "publish":
        if c["stream"] == "basic":
            sim.publish_basic(_basic(c["sample"]))
        else:
            sim.publish_extra(_extra(c["sample"]))
    elif cmd == "counts":
        return {str(k): v for k, v in sim.request_counts().items()}
    elif cmd == "reset_counts":
        sim.reset_counts()
    elif cmd == "wait_samples":
        return sim.wait_for_samples(c["stream"], int(c["count"]), float(c.get("timeout", 5.0)))
    elif cmd == "current":
        sample = sim.current_basic() if c["stream"] == "basic" else sim.current_extra()
        return dataclasses.asdict(sample)
    elif cmd == "reset":
        f.reset()
    else:
        raise ValueError(f"unknown command {cmd!r}")
    return None


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("sn")
    p.add_argument("--preset", default="dual")
    p.add_argument("--rate", type=float, default=1000.0)
    p.add_argument("--no-rpc", action="store_true")
    p.add_argument("--no-streams", action="store_true")
    args = p.parse_args()
    sim = Simulator(args.sn, rate=args.rate, preset=args.preset, streams=not args.no_streams,
                    rpc=not args.no_rpc)
    sim.start()
    print("ready", flush=True)
    try:
        for line in sys.stdin:
            line = line.strip()
            if not line:
                continue
            try:
                result = handle(sim, json.loads(line))
                print("ok " + json.dumps(result), flush=True)
            except Exception as exc:  # noqa: BLE001 - answered to the test, which fails on it
                print("error " + f"{type(exc).__name__}: {exc}".replace("\n", " "), flush=True)
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
