"""kvt serve: the robot's data live over the Foxglove WebSocket protocol."""
from __future__ import annotations

import sys

from .. import channels as ch
from ..common import (POLLING_NOTE, add_group_option, add_poll_options, connect, make_poller,
                      select_groups)
from .record import Progress, first_groups, stream

HELP = "publish the robot's data live to the Foxglove app (WebSocket), optionally recording"
DESCRIPTION = f"""Serves the channels of `kvt record` (joint states, TCP and flange frames under
"world", desired actions, status) on a Foxglove WebSocket server until Ctrl-C or --seconds;
connect the Foxglove app to ws://HOST:PORT. With --record the same messages also go to an MCAP
file. {POLLING_NOTE}"""


def add_parser(sub) -> None:
    p = sub.add_parser("serve", help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8765,
                   help="port to listen on (default 8765; 0 picks a free one)")
    p.add_argument("--record", metavar="FILE.mcap", help="also record to this file")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    add_group_option(p)
    add_poll_options(p)
    p.set_defaults(run=run)


def run(args) -> int:
    client = connect(args.serial_number)
    groups = select_groups(first_groups(client), args.groups)
    infos = ch.channel_infos(groups)
    sinks = []
    try:
        live = ch.LiveSink(infos, args.host, args.port, name=f"orbaltkvt {args.serial_number}")
        sinks.append(live)
        file = ch.McapSink(args.record, infos) if args.record else None
        if file is not None:
            sinks.append(file)
        print(f"kvt serve: ws://{args.host}:{live.server.port}", file=sys.stderr, flush=True)
        poller = make_poller(client, args)
        progress = Progress(poller, size=file.size if file is not None else None)
        stream(client, poller, groups, sinks, args.seconds, progress)
    finally:
        for sink in sinks:
            sink.close()
    progress.finish("served" + (f", wrote {args.record}" if args.record else ""))
    return 0
