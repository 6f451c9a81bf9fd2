"""Command line: ``orbaltkvt-sim --sn SERIAL [options]``. Run it through scripts/netns."""

from __future__ import annotations

import argparse
import dataclasses
import json
import logging
import os
import signal
import sys
import threading
import time

from .faults import RpcFault, StreamFault
from .messages import RPCReply
from .model import PRESETS, RobotClock, make_layout
from .fleet import Fleet
from .keys import session_config
from .recording import RecordingError
from .simulator import Simulator

log = logging.getLogger("orbaltkvt_sim")


def _value(text: str):
    low = text.lower()
    if low in ("true", "yes", "on"):
        return True
    if low in ("false", "no", "off"):
        return False
    if low == "none":
        return None
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def _fields(text: str, kind) -> dict:
    """Parses "a=1,b,c=x" into keyword arguments of the dataclass ``kind``."""
    names = {f.name for f in dataclasses.fields(kind)}
    out = {}
    for item in filter(None, text.split(",")):
        name, sep, raw = item.partition("=")
        name = name.strip().replace("-", "_")
        if name not in names:
            raise argparse.ArgumentTypeError(
                f"unknown field {name!r}; choose from {', '.join(sorted(names))}")
        out[name] = _value(raw.strip()) if sep else True
    return out


def _rpc_fault(text: str):
    rid, sep, rest = text.partition(":")
    if not sep or not rid.strip().isdigit():
        raise argparse.ArgumentTypeError("expected ID:FIELD[=VALUE][,...], e.g. 0:no_reply,times=1")
    try:
        return int(rid), RpcFault(**_fields(rest, RpcFault))
    except (TypeError, ValueError) as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _rpc_reply(text: str):
    rid, sep, rest = text.partition(":")
    if not sep or not rid.strip().isdigit():
        raise argparse.ArgumentTypeError('expected ID:JSON, e.g. 4:{"success":true,'
                                         '"string_container":["a"]}')
    try:
        spec = json.loads(rest)
        times = spec.pop("times", None)
        spec.setdefault("request_id", int(rid))
        return int(rid), RpcFault(reply=RPCReply(**spec), times=times)
    except (TypeError, ValueError) as exc:
        raise argparse.ArgumentTypeError(f"bad reply: {exc}") from None


def _stream_fault(text: str):
    stream, sep, rest = text.partition(":")
    if stream not in ("basic", "extra", "both") or not sep:
        raise argparse.ArgumentTypeError("expected STREAM:FIELD[=VALUE][,...] with STREAM basic, "
                                         "extra or both, e.g. basic:group_index=6,times=10")
    try:
        return stream, StreamFault(**_fields(rest, StreamFault))
    except (TypeError, ValueError) as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _layout(text: str):
    rows = []
    for item in filter(None, text.split(",")):
        parts = item.split(":")
        if len(parts) != 3:
            raise argparse.ArgumentTypeError("expected GROUP:START:DOF[,...], e.g. ARM_1:0:7")
        group, start, dof = parts
        rows.append((int(group) if group.lstrip("-").isdigit() else group.upper(), int(start),
                     int(dof)))
    try:
        return make_layout(rows)
    except (KeyError, ValueError) as exc:
        raise argparse.ArgumentTypeError(f"bad layout: {exc}") from None


def _switch(text: str):
    after, sep, target = text.partition(":")
    try:
        seconds = float(after)
    except ValueError:
        seconds = -1.0
    if not sep or seconds < 0:
        raise argparse.ArgumentTypeError("expected SECONDS:PRESET or SECONDS:GROUP:START:DOF,...")
    return seconds, target if target in PRESETS else _layout(target)


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="orbaltkvt-sim",
        description="Simulates one robot's data service: the basic and extra streams and the "
                    "request/reply service, with optional faults; or plays a recording of a "
                    "robot (--play) as that robot.",
        epilog="Faults: --rpc-fault takes fields of RpcFault (no_reply, hold, delay, duplicate, "
               "error_first, trailing_byte, echo_id, success, shorten, blank_entry, times); "
               "--stream-fault takes fields of StreamFault (truncate, trailing_byte, bad_array, "
               "bad_array_size, group_index, count_mismatch, drop_joints, times).")
    p.add_argument("--sn", help="robot serial number, e.g. ORB-SIM-0001; with --fleet the "
                                "prefix of the serial numbers (default SN: SN-1 ... SN-N); with "
                                "--play the recorded one by default")
    p.add_argument("--play", metavar="FILE.mcap",
                   help="play a recording (kvt record) as the robot: its raw stream payloads "
                        "unchanged, with their recorded spacing, and replies with its serial "
                        "number, joint layout and service version")
    p.add_argument("--speed", type=float, default=1.0, metavar="X",
                   help="--play: X times as fast as recorded (default 1)")
    p.add_argument("--loop", action="store_true",
                   help="--play: start over at the end; the robot's timestamps move on by the "
                        "recording's duration plus one period each time")
    p.add_argument("--fleet", type=int, metavar="N",
                   help="play N robots in this process on one session, each with its own model "
                        "phase; implies --replay")
    p.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                   help="run as a zenoh client of this router only (e.g. tcp/127.0.0.1:7447), "
                        "multicast scouting off")
    p.add_argument("--rate", type=float, help="samples per second on each stream (default 1000)")
    p.add_argument("--preset", choices=sorted(PRESETS),
                   help="joint-group layout (default dual)")
    p.add_argument("--layout", type=_layout, help="custom joint groups GROUP:START:DOF,...")
    p.add_argument("--replay", action="store_true",
                   help="cycle pre-encoded samples (for rates of 10 kHz and more)")
    p.add_argument("--replay-samples", type=int, metavar="N",
                   help="samples in the replay cycle (default 1000; with --fleet 100 states, "
                        "each sent 10 times)")
    p.add_argument("--model-rate", type=float, default=250.0, metavar="HZ",
                   help="live mode: model evaluations per second; 0 evaluates every sample")
    p.add_argument("--wake-period", type=float, metavar="MS",
                   help="shortest time between two wake-ups of the publishing loop; samples due "
                        "meanwhile are sent in one burst (0: one wake-up per sample; default 2, "
                        "with --play 0)")
    p.add_argument("--stamp-send-time", action="store_true",
                   help="stamp basic samples with the time they are sent (latency measurements)")
    p.add_argument("--clock-offset", type=float, default=0.0, metavar="SECONDS",
                   help="the robot's clock runs ahead of the host's by SECONDS at the first "
                        "sample (negative: behind; default 0)")
    p.add_argument("--clock-drift", type=float, default=0.0, metavar="PPM",
                   help="the robot's clock gains PPM microseconds a second on the host's "
                        "(negative: loses them; default 0)")
    realtime = os.environ.get("ORBALTKVT_SIM_REALTIME")
    p.add_argument("--realtime", type=int, metavar="PRIO",
                   default=int(realtime) if realtime and realtime != "0" else None,
                   help="run at real-time priority PRIO (SCHED_FIFO, 1-99; every thread, the "
                        "transport's too), as a robot's controller does, so a busy host does "
                        "not delay samples into bursts; needs root (default: "
                        "$ORBALTKVT_SIM_REALTIME, else normal scheduling)")
    p.add_argument("--no-rpc", action="store_true", help="streams only: no request/reply")
    p.add_argument("--no-streams", action="store_true", help="request/reply only: no streams")
    p.add_argument("--pause", choices=("basic", "extra", "both"), action="append", default=[],
                   help="start with this stream paused")
    p.add_argument("--version-text", metavar="TEXT", help="version answered to request id 1")
    p.add_argument("--rpc-fault", type=_rpc_fault, action="append", default=[],
                   metavar="ID:FIELDS", help="e.g. 0:no_reply,times=1 or 4:delay=2.5")
    p.add_argument("--rpc-reply", type=_rpc_reply, action="append", default=[],
                   metavar="ID:JSON", help="custom reply content, fields of RPCReply as JSON")
    p.add_argument("--answer-from", action="append", default=[], metavar="ID:N",
                   help="leave requests of ID unanswered until the Nth")
    p.add_argument("--corrupt-pt-states", type=int, default=0, metavar="N",
                   help="the first N primitive-state lists carry an empty entry")
    p.add_argument("--stream-fault", type=_stream_fault, action="append", default=[],
                   metavar="STREAM:FIELDS", help="e.g. basic:group_index=6 or extra:truncate=3")
    p.add_argument("--switch-layout", type=_switch, action="append", default=[],
                   metavar="SECONDS:LAYOUT", help="change the joint groups after SECONDS")
    p.add_argument("--duration", type=float, metavar="SECONDS", help="exit cleanly after this")
    p.add_argument("--abort-after", type=float, metavar="SECONDS",
                   help="exit abruptly after this: nothing undeclared, session not closed")
    p.add_argument("-v", "--verbose", action="store_true", help="log every request")
    return p


def main(argv=None) -> int:
    p = parser()
    args = p.parse_args(argv)
    if args.fleet is None and not args.sn and not args.play:
        p.error("--sn is required (or --fleet N, or --play FILE)")
    if args.play and (args.fleet is not None or args.replay or args.rate is not None
                      or args.preset or args.layout):
        p.error("--play takes the robot from the recording: not with --fleet, --replay, --rate, "
                "--preset or --layout")
    if args.speed <= 0:
        p.error("--speed must be positive")
    if not args.play and (args.loop or args.speed != 1.0):
        p.error("--loop and --speed go with --play")
    if args.fleet is not None and args.fleet < 1:
        p.error("--fleet needs at least one robot")
    clock = RobotClock(args.clock_offset, args.clock_drift)
    if clock != RobotClock() and (args.play or args.stamp_send_time):
        p.error("--clock-offset and --clock-drift stamp the model's samples: not with --play "
                "or --stamp-send-time")
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if args.verbose else logging.INFO,
                        format="%(asctime)s.%(msecs)03d orbaltkvt-sim %(message)s",
                        datefmt="%H:%M:%S")
    stop = threading.Event()

    def on_signal(signum, _frame):
        log.info("%s received, stopping", signal.Signals(signum).name)
        stop.set()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    if args.realtime is not None:
        # Before the session opens, so that the transport's threads inherit it.
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(args.realtime))
        except (OSError, AttributeError) as exc:
            log.warning("cannot run at real-time priority %d: %s", args.realtime, exc)
    wake_ms = args.wake_period if args.wake_period is not None else 0.0 if args.play else 2.0
    options = dict(wake_period=wake_ms / 1000.0, streams=not args.no_streams,
                   rpc=not args.no_rpc,
                   config=session_config(args.connect, fleet=args.fleet is not None))
    model = dict(rate=args.rate or 1000.0, preset=args.preset or "dual", layout=args.layout,
                 model_rate=args.model_rate or None, stamp_send_time=args.stamp_send_time)
    if args.replay_samples is not None:
        model["replay_samples"] = args.replay_samples
    if args.play:
        try:
            sim = Simulator.play(args.play, args.sn, speed=args.speed, loop=args.loop,
                                 **options)
        except RecordingError as exc:
            print(f"orbaltkvt-sim: {exc}", file=sys.stderr)
            return 2
        robots = [sim]
    elif args.fleet is not None:
        sim = Fleet(args.fleet, args.sn or "SN", **options, **model)
        robots = sim.robots
    else:
        sim = Simulator(args.sn, replay=args.replay, **options, **model)
        robots = [sim]
    # Faults, pauses and layout switches apply to every robot.
    for robot in robots:
        faults = robot.faults
        if args.version_text is not None:
            faults.set_version(args.version_text)
        for rid, fault in args.rpc_fault + args.rpc_reply:
            faults.set_rpc(rid, fault)
        for item in args.answer_from:
            rid, _, nth = item.partition(":")
            faults.answer_from(int(rid), int(nth))
        if args.corrupt_pt_states:
            faults.corrupt_primitive_states(args.corrupt_pt_states)
        for stream, fault in args.stream_fault:
            faults.set_stream(stream, fault)
        for stream in args.pause:
            robot.pause(stream)
        clock.stamp(robot.source)

    try:
        sim.start()
    except Exception as exc:  # noqa: BLE001 - report a failed start in one line
        log.error("cannot start: %s", exc)
        return 1

    began = time.monotonic()
    events = sorted(args.switch_layout, key=lambda e: e[0])
    while not stop.is_set():
        elapsed = time.monotonic() - began
        while events and events[0][0] <= elapsed:
            layout = events.pop(0)[1]
            for robot in robots:
                robot.set_layout(layout)
        if args.abort_after is not None and elapsed >= args.abort_after:
            log.info("aborting: exit without undeclaring anything")
            logging.shutdown()
            os._exit(3)
        if args.duration is not None and elapsed >= args.duration:
            log.info("duration reached")
            break
        if args.play and sim.ended:
            log.info("the recording has played to its end")
            break
        stop.wait(0.05)
    sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
