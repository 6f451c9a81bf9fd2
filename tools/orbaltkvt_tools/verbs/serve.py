"""kvt serve: the robot's data live over the Foxglove WebSocket protocol."""
from __future__ import annotations

import sys
import time

from ..bridge_run import (CHANNELS, add_file_options, failure, file_options, file_summary,
                          first_groups, run_bridge)
from ..connecting import connect, open_bridge
from ..counters import COUNTERS_NOTE, viewer_text, viewers_text
from ..groups import add_group_option, select_groups
from ..progress import Progress
from ..signals import StopSignals

NAME = "serve"
HELP = "publish every sample live to the Foxglove app (WebSocket), optionally recording"
DESCRIPTION = f"""Serves the channels of `kvt record` on a Foxglove WebSocket server until
Ctrl-C, SIGTERM or --seconds; connect the Foxglove app to ws://HOST:PORT (viewers offering
either name of the protocol, foxglove.sdk.v1 or foxglove.websocket.v1, connect). Channels:
{CHANNELS} Each viewer has a bounded queue of its own that drops its oldest messages when the
viewer falls behind; nothing waits for a viewer. The progress line and the summary say what each
viewer was sent and dropped, and /kvt/counters carries the same about once a second. With --record every sample also goes to MCAP files, as
`kvt record` writes them. {COUNTERS_NOTE}"""


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8765,
                   help="port to listen on (default 8765; 0 picks a free one)")
    p.add_argument("--record", metavar="FILE.mcap", help="also record to this file")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    add_group_option(p)
    add_file_options(p)
    p.set_defaults(run=run)


def run(args) -> int:
    options = file_options(args) if args.record else {}
    client = connect(args.serial_number)
    groups = select_groups(first_groups(client), args.groups)
    with StopSignals() as stop:
        bridge = open_bridge(client, groups, mcap=args.record, serve=(args.host, args.port),
                             server_name=f"orbaltkvt {args.serial_number}", **options)
        port = bridge.port
        deadline = time.monotonic() + 5.0
        while not port and time.monotonic() < deadline and bridge.wait(0.02):
            port = bridge.port  # the server reports the port it picked once it listens
        print(f"kvt {NAME}: ws://{args.host}:{port}", file=sys.stderr, flush=True)
        progress = Progress()
        stats = run_bridge(bridge, args.seconds, progress, stop)
    if stats.get("error"):
        raise failure(stats, args.record)
    viewers = stats.get("viewers") or []
    what = f"served {stats.get('messages_served', 0)} messages; {viewers_text(viewers)}"
    if args.record:
        what += "; " + file_summary(stats, args.record)
    progress.finish(f"kvt {NAME}", stats, what, [viewer_text(v) for v in viewers])
    return 0
