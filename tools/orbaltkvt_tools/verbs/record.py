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
    add_group_option(p)
    add_file_options(p)
    p.set_defaults(run=run)


def run(args) -> int:
    options = file_options(args)
    client = connect(args.serial_number)
    groups = select_groups(first_groups(client), args.groups)
    with StopSignals() as stop:
        bridge = open_bridge(client, groups, mcap=args.output, **options)
        progress = Progress()
        stats = run_bridge(bridge, args.seconds, progress, stop)
    if stats.get("error"):
        raise failure(stats, args.output)
    progress.finish(f"kvt {NAME}", stats, file_summary(stats, args.output))
    return 0
