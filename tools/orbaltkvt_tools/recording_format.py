"""What a file written by ``kvt record`` (or ``kvt serve --record``) holds, by name.

The native recorder (``orbaltkvt_foxglove``) writes these files; every part of the tools that
reads, writes about or checks one takes the names from here, and tests/tools holds them against
the file the recorder writes, the recorder's sources and the simulator's own constants.

Channels: per recorded joint group G ``/G/joint_states`` and ``/G/joint_states_desired``
(protobuf ``foxglove.JointStates``), ``/tf`` and ``/tf_desired`` (protobuf
``foxglove.FrameTransforms``), ``/status`` (JSON, schema ``orbaltkvt.Status``) and the wire
payloads unchanged on ``/raw/basic_stream_data`` and ``/raw/extra_stream_data`` (encoding
``zenoh-ext``, no schema); about once a second ``/kvt/counters`` (JSON, schema
``orbaltkvt.Counters``: the stream counters and each viewer's messages sent and dropped). Log
time is the host's receive time, publish time the robot's (the host's for the counters).

Metadata: ``orbaltkvt`` (serial_number, layout, groups, service_version, library_version) when
a file starts, ``orbaltkvt.counters`` (each stream's counters and samples_written as running
totals, and ``file_*`` keys for what the file itself holds) when it closes.
"""
from __future__ import annotations

import json
from typing import Iterable, Mapping

RAW_BASIC = "/raw/basic_stream_data"
RAW_EXTRA = "/raw/extra_stream_data"
RAW_TOPICS = (RAW_BASIC, RAW_EXTRA)
# About once a second: the loss counters and each viewer's messages sent and dropped (JSON).
COUNTERS_TOPIC = "/kvt/counters"
TF = "/tf"
TF_DESIRED = "/tf_desired"
STATUS = "/status"
JOINT_STATES = "/{group}/joint_states"
JOINT_STATES_DESIRED = "/{group}/joint_states_desired"

RAW_ENCODING = "zenoh-ext"
PROTOBUF = "protobuf"
JSON = "json"
JOINT_STATES_SCHEMA = "foxglove.JointStates"
FRAME_TRANSFORMS_SCHEMA = "foxglove.FrameTransforms"
STATUS_SCHEMA = "orbaltkvt.Status"
COUNTERS_SCHEMA = "orbaltkvt.Counters"
WORLD_FRAME = "world"
# Child frames of WORLD_FRAME: on TF per group its TCP and flange, on TF_DESIRED its desired TCP.
TCP_FRAME = "{group}/tcp"
FLANGE_FRAME = "{group}/flange"
TCP_DESIRED_FRAME = "{group}/tcp_desired"

METADATA = "orbaltkvt"
COUNTERS = "orbaltkvt.counters"
# The recorder's estimate of the robot's clock against the host's, written before each file's
# counters: host = robot + offset_ns + drift * (robot - t0_robot_ns), values decimal strings.
CLOCK = "orbaltkvt.clock"
CLOCK_KEYS = ("offset_ns", "drift", "t0_robot_ns", "samples")

SERIAL_NUMBER = "serial_number"
LAYOUT = "layout"
GROUPS = "groups"
SERVICE_VERSION = "service_version"
LIBRARY_VERSION = "library_version"
METADATA_KEYS = (SERIAL_NUMBER, LAYOUT, GROUPS, SERVICE_VERSION, LIBRARY_VERSION)

STREAMS = ("basic", "extra")
STREAM_COUNTERS = ("received", "delivered", "dropped", "gaps", "malformed")
SAMPLES_WRITTEN = "samples_written"
COUNTER_KEYS = tuple(f"{s}_{c}" for s in STREAMS for c in STREAM_COUNTERS) + (SAMPLES_WRITTEN,)
# What one file of a recording holds: its samples, and the losses counted while it was open.
FILE_COUNTER_KEYS = (tuple(f"file_{s}_samples" for s in STREAMS)
                     + tuple(f"file_{s}_{c}" for s in STREAMS for c in ("dropped", "gaps",
                                                                           "malformed")))

# The layout's per-group keys: {"ARM_1": {"start_id": 0, "dof": 7}, ...}
START_ID = "start_id"
DOF = "dof"


def group_topics(group: str) -> tuple[str, str]:
    """The measured and desired joint-state topics of the joint group called ``group``."""
    return JOINT_STATES.format(group=group), JOINT_STATES_DESIRED.format(group=group)


def frames(groups: Iterable[str]) -> tuple[list[str], list[str]]:
    """The child frames on TF and on TF_DESIRED for these joint groups, in the order written."""
    groups = list(groups)
    return ([f.format(group=g) for g in groups for f in (TCP_FRAME, FLANGE_FRAME)],
            [TCP_DESIRED_FRAME.format(group=g) for g in groups])


def channels(groups: Iterable[str]) -> dict[str, tuple[str, str]]:
    """{topic: (message encoding, schema name or "")} of every channel a file recorded with
    these joint groups (names as ``JointGroup`` spells them) holds."""
    out: dict[str, tuple[str, str]] = {}
    for group in groups:
        for topic in group_topics(group):
            out[topic] = (PROTOBUF, JOINT_STATES_SCHEMA)
    out[TF] = out[TF_DESIRED] = (PROTOBUF, FRAME_TRANSFORMS_SCHEMA)
    out[STATUS] = (JSON, STATUS_SCHEMA)
    for topic in RAW_TOPICS:
        out[topic] = (RAW_ENCODING, "")
    out[COUNTERS_TOPIC] = (JSON, COUNTERS_SCHEMA)
    return out


def encode_layout(layout: Mapping[str, tuple[int, int]]) -> str:
    """The ``layout`` metadata value, byte for byte as the recorder writes it, of
    {group name: (start_id, dof)} in the robot's group order."""
    return json.dumps({name: {START_ID: start, DOF: dof} for name, (start, dof) in layout.items()},
                      separators=(",", ":"))


def parse_layout(text: str) -> dict[str, tuple[int, int]]:
    """{group name: (start_id, dof)} from a ``layout`` metadata value; ValueError (its text
    the repr of what was wrong) if it is not one."""
    try:
        return {str(name): (int(g[START_ID]), int(g[DOF])) for name, g in json.loads(text).items()}
    except (ValueError, KeyError, TypeError, AttributeError) as exc:
        raise ValueError(repr(exc)) from None


def parse_groups(text: str) -> list[str]:
    """The recorded joint groups' names from a ``groups`` metadata value."""
    return [name for name in text.split(",") if name]

