"""The channels that `kvt record` writes and `kvt serve` publishes, and their two sinks.

One sample of the robot becomes, for every joint group G taken (by default every group but ALL
and ARMS, which only repeat the joints of ARM_1, ARM_2 and EXT_AXIS when the robot has those):
  /G/joint_states          foxglove.JointStates from q, dq, tau
  /G/joint_states_desired  foxglove.JointStates from q_d, dq_d, tau_d
and for all groups together:
  /tf                      foxglove.FrameTransforms: world -> G/tcp and world -> G/flange
  /tf_desired              foxglove.FrameTransforms: world -> G/tcp_desired
  /status                  JSON: e-stop, enabling device, digital inputs and outputs

Messages carry the robot's timestamp; the log time is the host's receive time. Values are SI
(rad, rad/s, Nm, m), as the robot reports them. Joint names are "<group>_joint<n>", counted from 1.
"""
from __future__ import annotations

import contextlib
import json
import struct
from dataclasses import dataclass
from typing import Any, Iterable, Optional

from foxglove.messages import FrameTransforms, JointStates

from .common import NS, ToolError, timestamp_ns

WORLD = "world"

STATUS_SCHEMA = {
    "title": "orbaltkvt.Status",
    "type": "object",
    "properties": {
        "timestamp": {"type": "object", "properties": {"sec": {"type": "integer"},
                                                        "nsec": {"type": "integer"}}},
        "estop_released": {"type": "boolean"},
        "enabling_device_on": {"type": "boolean"},
        "digital_inputs": {"type": "array", "items": {"type": "boolean"}},
        "digital_outputs": {"type": "array", "items": {"type": "boolean"}},
    },
}


@dataclass(frozen=True)
class ChannelInfo:
    topic: str
    schema_name: str
    encoding: str           # "protobuf" or "json"
    schema_encoding: str    # "protobuf" or "jsonschema"
    schema_data: bytes


def _protobuf(topic: str, message_type) -> ChannelInfo:
    schema = message_type.get_schema()
    return ChannelInfo(topic, schema.name, "protobuf", schema.encoding, bytes(schema.data))


def channel_infos(groups: Iterable) -> list[ChannelInfo]:
    """Every channel for a robot with these joint groups, in a stable order."""
    infos = []
    for g in groups:
        infos.append(_protobuf(f"/{g.name}/joint_states", JointStates))
        infos.append(_protobuf(f"/{g.name}/joint_states_desired", JointStates))
    infos.append(_protobuf("/tf", FrameTransforms))
    infos.append(_protobuf("/tf_desired", FrameTransforms))
    infos.append(ChannelInfo("/status", STATUS_SCHEMA["title"], "json", "jsonschema",
                             json.dumps(STATUS_SCHEMA).encode()))
    return infos


# The messages are protobuf, put together here with struct from layouts worked out once per
# group: every double is always written (as foxglove-sdk does for JointState, whose fields are
# optional), so apart from its timestamp a message has a fixed size and one struct packs it.
# Field numbers and wire types are those of the schemas above; the tests hold the bytes against
# foxglove-sdk's own encoder.


def _varint(n: int) -> bytes:
    out = bytearray()
    while n > 0x7F:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def _field(tag: int, payload: bytes) -> bytes:
    """A length-delimited field: tag, length, payload."""
    return bytes([tag]) + _varint(len(payload)) + payload


def timestamp_field(ns: int) -> bytes:
    """Field 1, a google.protobuf.Timestamp (zero parts left out, as protobuf does)."""
    sec, nsec = divmod(ns, NS)
    body = (b"\x08" + _varint(sec) if sec else b"") + (b"\x10" + _varint(nsec) if nsec else b"")
    return _field(0x0A, body)


def _packer(parts: list) -> tuple[struct.Struct, list]:
    """A struct for constant byte strings (bytes) and doubles (None), and its argument list."""
    fmt = "<" + "".join(f"{len(x)}s" if isinstance(x, bytes) else "d" for x in parts)
    return struct.Struct(fmt), [0.0 if x is None else x for x in parts]


class JointStatesLayout:
    """foxglove.JointStates for fixed joint names: timestamp (1), then joints (2), each a name
    (1), position (2), velocity (3) and effort (5)."""

    def __init__(self, names: list[str]):
        parts = []
        for name in names:
            name_field = _field(0x0A, name.encode())
            head = b"\x12" + _varint(len(name_field) + 3 * 9) + name_field
            parts += [head + b"\x11", None, b"\x19", None, b"\x29", None]
        self._struct, self._args = _packer(parts)

    def encode(self, stamp: bytes, q, dq, tau) -> bytes:
        """``stamp`` from :func:`timestamp_field`; q, dq, tau as long as the names."""
        args = self._args
        args[1::6] = q
        args[3::6] = dq
        args[5::6] = tau
        return stamp + self._struct.pack(*args)


class TransformLayout:
    """One transform (field 1) of foxglove.FrameTransforms from "world" to a fixed child frame:
    timestamp (1), parent (2) and child (3) frame ids, translation (4: x, y, z) and rotation
    (5: x, y, z, w). The transforms of a message are these fields one after the other."""

    def __init__(self, child: str):
        frames = _field(0x12, WORLD.encode()) + _field(0x1A, child.encode())
        self._struct, self._args = _packer([
            frames + b"\x22\x1b\x09", None, b"\x11", None, b"\x19", None,
            b"\x2a\x24\x09", None, b"\x11", None, b"\x19", None, b"\x21", None])
        self._size = self._struct.size

    def encode(self, stamp: bytes, pose) -> bytes:
        """``pose`` as the robot reports it: position, then quaternion (w, x, y, z)."""
        args = self._args
        args[1], args[3], args[5] = pose[0], pose[1], pose[2]
        args[7], args[9], args[11], args[13] = pose[4], pose[5], pose[6], pose[3]
        return b"\x0a" + _varint(len(stamp) + self._size) + stamp + self._struct.pack(*args)


class _GroupLayouts:
    """Topics and layouts of one joint group, for one joint count."""

    def __init__(self, name: str, dof: int):
        names = [f"{name.lower()}_joint{i + 1}" for i in range(dof)]
        self.dof = dof
        self.states_topic = f"/{name}/joint_states"
        self.actions_topic = f"/{name}/joint_states_desired"
        self.joints = JointStatesLayout(names)
        self.tcp = TransformLayout(f"{name}/tcp")
        self.flange = TransformLayout(f"{name}/flange")
        self.tcp_desired = TransformLayout(f"{name}/tcp_desired")


class SampleEncoder:
    """Turns one sample into the encoded messages of every channel, for a fixed set of groups.

    Layouts are worked out once per group (again if its joint count changes); lookups use the
    groups' integer values, which hash far faster than the enumeration members. Timestamps and
    the status text are kept from the sample before, as they rarely differ.
    """

    def __init__(self, groups):
        self._names = {int(g): g.name for g in groups}
        self._layouts: dict[int, _GroupLayouts] = {}
        self._stamp = (None, b"")
        self._status = (None, "")

    def _group(self, value: int, dof: int) -> _GroupLayouts:
        layouts = self._layouts.get(value)
        if layouts is None or layouts.dof != dof:
            layouts = self._layouts[value] = _GroupLayouts(self._names[value], dof)
        return layouts

    def _timestamp(self, ns: int) -> bytes:
        if ns != self._stamp[0]:
            self._stamp = (ns, timestamp_field(ns))
        return self._stamp[1]

    def _status_text(self, status: dict) -> str:
        """The status fields as JSON object members, without the braces."""
        key = tuple(tuple(v) if isinstance(v, list) else v for v in status.values())
        if key != self._status[0]:
            self._status = (key, json.dumps(status, separators=(",", ":"))[1:-1])
        return self._status[1]

    def messages(self, states: dict, actions: dict, status: dict) -> list[tuple[str, bytes, int]]:
        """(topic, encoded message, robot time in ns) for every channel of one sample."""
        names = self._names
        out = []
        tfs, tfs_d = [], []
        robot_ns = actions_ns = 0
        stamp = None
        for g, s in states.items():
            value = int(g)
            if value not in names:
                continue
            if stamp is None:
                robot_ns = timestamp_ns(s.timestamp)
                stamp = self._timestamp(robot_ns)
            q = s.q
            layouts = self._group(value, len(q))
            out.append((layouts.states_topic, layouts.joints.encode(stamp, q, s.dq, s.tau),
                        robot_ns))
            tfs.append(layouts.tcp.encode(stamp, s.tcp_pose))
            tfs.append(layouts.flange.encode(stamp, s.flange_pose))
        stamp = None
        for g, a in actions.items():
            value = int(g)
            if value not in names:
                continue
            if stamp is None:
                actions_ns = timestamp_ns(a.timestamp)
                stamp = self._timestamp(actions_ns)
            q_d = a.q_d
            layouts = self._group(value, len(q_d))
            out.append((layouts.actions_topic,
                        layouts.joints.encode(stamp, q_d, a.dq_d, a.tau_d), actions_ns))
            tfs_d.append(layouts.tcp_desired.encode(stamp, a.tcp_pose_d))
        out.append(("/tf", b"".join(tfs), robot_ns))
        out.append(("/tf_desired", b"".join(tfs_d), actions_ns or robot_ns))
        sec, nsec = divmod(robot_ns, NS)
        fields = self._status_text(status)
        text = f'{{"timestamp":{{"sec":{sec},"nsec":{nsec}}}{"," if fields else ""}{fields}}}'
        out.append(("/status", text.encode(), robot_ns))
        return out


def read_status(client) -> dict[str, Any]:
    return {"estop_released": client.estop_released(),
            "enabling_device_on": client.enabling_device_on(),
            "digital_inputs": client.digital_inputs(),
            "digital_outputs": client.digital_outputs()}


class McapSink:
    """An MCAP file: log time = host receive time, publish time = the robot's timestamp.
    :meth:`close` writes the summary; until then the file is not complete."""

    def __init__(self, path: str, infos: list[ChannelInfo], metadata: Optional[dict] = None):
        from .mcapwriter import McapWriter

        try:
            self._file = open(path, "wb")
        except OSError as exc:
            raise ToolError(f"cannot write {path}: {exc.strerror}") from None
        self.path = path
        self._channels: dict[str, int] = {}
        with self._failures():
            self._writer = McapWriter(self._file, library="orbaltkvt-tools")
            schemas: dict[tuple[str, str], int] = {}
            for info in infos:
                key = (info.schema_name, info.schema_encoding)
                if key not in schemas:
                    schemas[key] = self._writer.register_schema(
                        info.schema_name, info.schema_encoding, info.schema_data)
                self._channels[info.topic] = self._writer.register_channel(
                    info.topic, info.encoding, schemas[key])
            if metadata:
                self._writer.add_metadata("orbaltkvt", {k: str(v) for k, v in metadata.items()})

    @contextlib.contextmanager
    def _failures(self):
        try:
            yield
        except OSError as exc:
            raise ToolError(f"cannot write {self.path}: {exc.strerror}") from None

    def write(self, messages, log_ns: int) -> None:
        channels = self._channels
        with self._failures():
            self._writer.add(log_ns, ((channels[topic], robot_ns, data)
                                      for topic, data, robot_ns in messages))

    def busy(self) -> bool:
        return True

    def size(self) -> int:
        return self._writer.size()

    def close(self) -> None:
        if self._file.closed:
            return
        with self._failures():
            try:
                self._writer.finish()
            finally:
                self._file.close()  # which flushes, so it can fail as well


class LiveSink:
    """The channels on a Foxglove WebSocket server."""

    def __init__(self, infos: list[ChannelInfo], host: str, port: int, name: str):
        import foxglove

        self._context = foxglove.Context()
        self._channels = {}
        for info in infos:
            schema = foxglove.Schema(name=info.schema_name, encoding=info.schema_encoding,
                                     data=info.schema_data)
            self._channels[info.topic] = foxglove.Channel(
                info.topic, schema=schema, message_encoding=info.encoding, context=self._context)
        try:
            self.server = foxglove.start_server(name=name, host=host, port=port,
                                                context=self._context)
        except RuntimeError as exc:
            raise ToolError(f"cannot serve on {host}:{port}: {exc}") from None

    def busy(self) -> bool:
        """Whether any client is subscribed to any channel."""
        return any(c.has_sinks() for c in self._channels.values())

    def write(self, messages, log_ns: int) -> None:
        for topic, data, _robot_ns in messages:
            self._channels[topic].log(data, log_time=log_ns)

    def close(self) -> None:
        self.server.stop()
