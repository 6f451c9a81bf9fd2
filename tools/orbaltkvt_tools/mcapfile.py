"""Reading the MCAP files that `kvt record` writes: decoded messages and flat rows of numbers."""
from __future__ import annotations

import json
from typing import Any, Callable, Iterator, Optional

from .common import NS, ToolError


def read(path: str, wanted: Optional[Callable[[str], bool]] = None
         ) -> Iterator[tuple[str, str, int, int, Any]]:
    """(topic, schema name, log time ns, publish time ns, decoded message) in log-time order,
    for the channels in protobuf (decoded by their schema) or JSON (into dicts) whose topic
    ``wanted`` accepts (default: all); the raw channels (the wire payloads) are left out."""
    from mcap.exceptions import McapError
    from mcap.reader import make_reader
    from mcap_protobuf.decoder import DecoderFactory

    try:
        file = open(path, "rb")
    except OSError as exc:
        raise ToolError(f"cannot read {path}: {exc.strerror}") from None
    protobuf = DecoderFactory()
    decoders: dict[int, Optional[Callable[[bytes], Any]]] = {}
    with file:
        try:
            reader = make_reader(file)
            for schema, channel, message in reader.iter_messages():
                decode = decoders.get(channel.id, ...)
                if decode is ...:
                    if wanted is not None and not wanted(channel.topic):
                        decode = None
                    elif channel.message_encoding == "json":
                        decode = json.loads
                    elif channel.message_encoding == "protobuf" and schema is not None:
                        decode = protobuf.decoder_for("protobuf", schema)
                    else:
                        decode = None
                    decoders[channel.id] = decode
                if decode is not None:
                    yield (channel.topic, schema.name if schema else "", message.log_time,
                           message.publish_time, decode(message.data))
        except (McapError, EOFError, ValueError) as exc:
            raise ToolError(f"{path} is not a readable MCAP file ({exc}); a recording cut "
                            "short can be made whole with 'kvt recover'") from None


def seconds(ns: int) -> str:
    """Nanoseconds as decimal seconds with every digit kept."""
    sec, nsec = divmod(ns, NS)
    return f"{sec}.{nsec:09d}"


def flatten(schema_name: str, message: Any) -> dict[str, Any]:
    """One message as named columns of numbers (and booleans)."""
    if schema_name == "foxglove.JointStates":
        row = {}
        for j in message.joints:
            row[f"{j.name}.position"] = j.position
            row[f"{j.name}.velocity"] = j.velocity
            row[f"{j.name}.effort"] = j.effort
        return row
    if schema_name == "foxglove.FrameTransforms":
        row = {}
        for t in message.transforms:
            for axis in ("x", "y", "z"):
                row[f"{t.child_frame_id}.{axis}"] = getattr(t.translation, axis)
            for axis in ("x", "y", "z", "w"):
                row[f"{t.child_frame_id}.q{axis}"] = getattr(t.rotation, axis)
        return row
    if isinstance(message, dict):
        row = {}
        _flatten_into(row, "", message)
        return row
    from google.protobuf.json_format import MessageToDict

    row = {}
    _flatten_into(row, "", MessageToDict(message, preserving_proto_field_name=True))
    return row


def _flatten_into(row: dict, prefix: str, value: Any) -> None:
    if isinstance(value, dict):
        for k, v in value.items():
            _flatten_into(row, f"{prefix}{k}.", v)
    elif isinstance(value, list):
        width = len(str(max(len(value) - 1, 0)))
        for i, v in enumerate(value):
            _flatten_into(row, f"{prefix}{i:0{width}d}.", v)
    else:
        row[prefix[:-1]] = value
