"""Where the robot's data service lives: key expressions, serial numbers, session configuration."""

from __future__ import annotations

import itertools
import json
import os

import zenoh

KEY_PREFIX = "orbalt/robot/"
BASIC_SUFFIX = "/basic_stream_data"
EXTRA_SUFFIX = "/extra_stream_data"
RPC_SUFFIX = "/rpc"
SERVICE_VERSION = "v2.1"

_serials = itertools.count(1)


def unique_sn(prefix: str = "SIM") -> str:
    """A valid serial number not used before in this process, so tests never hear each other."""
    return f"{prefix}-{os.getpid()}-{next(_serials):04d}"


def normalize_sn(sn: str) -> str:
    """The serial number as clients put it in key expressions ("AB 12-345" -> "AB-12-345").

    Raises ValueError for a serial number a client would reject.
    """
    if not sn or "_" in sn:
        raise ValueError(f"invalid serial number {sn!r}")
    p = sn.rfind("-")
    if p <= 0 or p == len(sn) - 1:
        raise ValueError(f"invalid serial number {sn!r}")
    tokens, token = [], ""
    for ch in sn[:p]:
        if ch.isascii() and ch.isalnum():
            token += ch
        elif ch in " -" and token:
            tokens.append(token)
            token = ""
        else:
            raise ValueError(f"invalid serial number {sn!r}")
    if not token:
        raise ValueError(f"invalid serial number {sn!r}")
    tokens.append(token)
    return "-".join(tokens) + sn[p:]


def session_config(connect=None, fleet: bool = False) -> zenoh.Config:
    """Zenoh's default configuration, or with ``connect`` (an endpoint such as
    "tcp/127.0.0.1:7447", or several) that of a client of those routers only, multicast
    scouting off: the robot then reaches its clients only through the router.

    With ``fleet`` the session carries the streams of many robots, which would each have links
    of their own: a burst of all their samples every tick backs up the one transmit queue, and
    zenoh then holds messages up to 1 ms to batch them (``time_limit``). A fleet's session does
    not hold them back, so each robot's samples leave as they would from a robot of its own.
    """
    if not connect:
        config = zenoh.Config()
    else:
        endpoints = [connect] if isinstance(connect, str) else list(connect)
        config = zenoh.Config.from_json5(json.dumps({
            "mode": "client",
            "connect": {"endpoints": endpoints},
            "scouting": {"multicast": {"enabled": False}},
        }))
    if fleet:
        config.insert_json5("transport/link/tx/queue/batching/time_limit", "0")
    return config
