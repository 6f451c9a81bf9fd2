"""kvt record: write every sample of the robot to MCAP files."""
from __future__ import annotations

from .. import recording_format as fmt
from ..bridge_run import (CHANNELS, add_file_options, failure, file_options, file_summary,
                          first_groups, run_bridge)
from ..connecting import connect, open_bridge
from ..counters import COUNTERS_NOTE
from ..groups import add_group_option, select_groups
from ..progress import Progress
from ..signals import StopSignals
from ..snapshot import add_snapshot_options, open_recorder, run_snapshot, snapshot_options, summary

NAME = "record"
HELP = "record every sample (joint states, frames, desired actions, status, raw) to MCAP"
DESCRIPTION = f"""Records one robot until Ctrl-C (SIGINT), SIGTERM or --seconds: {CHANNELS}
Decoding, encoding, compression and writing run in native code on threads of their own; the
file is closed complete on any of those stops, with the serial number, joint layout and versions
("{fmt.METADATA}") and the loss counters ("{fmt.COUNTERS}") as metadata. {COUNTERS_NOTE} The
loss summary ("kept N of M, dropped D, gaps G" per stream) goes to stderr at the end. A file cut
short by SIGKILL or a power loss is made whole with 'kvt recover'."""


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("-o", "--output", required=True, metavar="FILE.mcap", help="file to write")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    p.add_argument("--capacity", type=int, default=10000, metavar="N",
                   help="samples queued per stream while the writer falls behind (default "
                        "10000: 10 s at 1 kHz); past that the oldest are dropped and counted")
    add_group_option(p)
    add_file_options(p)
    add_snapshot_options(p)
    p.set_defaults(run=run)


def run(args) -> int:
    options = file_options(args)
    window = snapshot_options(args)
    client = connect(args.serial_number)
    groups = select_groups(first_groups(client), args.groups)
    if window is not None:
        return run_flight_recorder(args, client, groups, window, options["chunk_duration"])
    with StopSignals() as stop:
        bridge = open_bridge(client, groups, mcap=args.output, capacity=args.capacity,
                             **options)
        progress = Progress()
        stats = run_bridge(bridge, args.seconds, progress, stop)
    if stats.get("error"):
        raise failure(stats, args.output, chunk_duration=args.chunk_duration)
    progress.finish(f"kvt {NAME}", stats, file_summary(stats, args.output))
    return 0


def run_flight_recorder(args, client, groups, window: dict, chunk_duration: float) -> int:
    with StopSignals() as stop:
        recorder = open_recorder(client, groups, args.output, chunk_duration=chunk_duration,
                                 capacity=args.capacity, **window)
        stats = run_snapshot(recorder, args.seconds, stop, window)
    if stats.get("error"):
        raise failure(stats, args.output)
    Progress().finish(f"kvt {NAME}", stats, summary(stats))
    return 0
