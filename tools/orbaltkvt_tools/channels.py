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

import json
from dataclasses import dataclass
from typing import Any, Iterable, Optional

from foxglove.messages import (FrameTransform, FrameTransforms, JointState, JointStates,
                               Quaternion, Timestamp, Vector3)

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


def _stamp(ns: int) -> Timestamp:
    sec, nsec = divmod(ns, NS)
    return Timestamp(sec=sec, nsec=nsec)


def _joints(names: list[str], positions, velocities, efforts, stamp: Timestamp) -> bytes:
    return JointStates(timestamp=stamp, joints=[
        JointState(name=n, position=p, velocity=v, effort=e)
        for n, p, v, e in zip(names, positions, velocities, efforts)]).encode()


def _transform(child: str, pose, stamp: Timestamp) -> FrameTransform:
    # The robot's poses are position then quaternion (w, x, y, z).
    return FrameTransform(timestamp=stamp, parent_frame_id=WORLD, child_frame_id=child,
                          translation=Vector3(x=pose[0], y=pose[1], z=pose[2]),
                          rotation=Quaternion(x=pose[4], y=pose[5], z=pose[6], w=pose[3]))


class SampleEncoder:
    """Turns one sample into the encoded messages of every channel, for a fixed set of groups.

    Names and topics are worked out once per group; lookups use the groups' integer values,
    which hash far faster than the enumeration members.
    """

    def __init__(self, groups):
        self._groups = {int(g): g.name for g in groups}
        self._names: dict[tuple[int, int], list[str]] = {}

    def _joint_names(self, value: int, dof: int) -> list[str]:
        names = self._names.get((value, dof))
        if names is None:
            prefix = self._groups[value].lower()
            names = self._names[(value, dof)] = [f"{prefix}_joint{i + 1}" for i in range(dof)]
        return names

    def messages(self, states: dict, actions: dict, status: dict) -> list[tuple[str, bytes, int]]:
        """(topic, encoded message, robot time in ns) for every channel of one sample."""
        out = []
        tfs, tfs_d = [], []
        robot_ns = actions_ns = 0
        stamp = stamp_d = None
        for g, s in states.items():
            name = self._groups.get(int(g))
            if name is None:
                continue
            if stamp is None:
                robot_ns = timestamp_ns(s.timestamp)
                stamp = _stamp(robot_ns)
            q = s.q
            out.append((f"/{name}/joint_states",
                        _joints(self._joint_names(int(g), len(q)), q, s.dq, s.tau, stamp),
                        robot_ns))
            tfs.append(_transform(f"{name}/tcp", s.tcp_pose, stamp))
            tfs.append(_transform(f"{name}/flange", s.flange_pose, stamp))
        for g, a in actions.items():
            name = self._groups.get(int(g))
            if name is None:
                continue
            if stamp_d is None:
                actions_ns = timestamp_ns(a.timestamp)
                stamp_d = _stamp(actions_ns)
            q_d = a.q_d
            out.append((f"/{name}/joint_states_desired",
                        _joints(self._joint_names(int(g), len(q_d)), q_d, a.dq_d, a.tau_d,
                                stamp_d), actions_ns))
            tfs_d.append(_transform(f"{name}/tcp_desired", a.tcp_pose_d, stamp_d))
        out.append(("/tf", FrameTransforms(transforms=tfs).encode(), robot_ns))
        out.append(("/tf_desired", FrameTransforms(transforms=tfs_d).encode(),
                    actions_ns or robot_ns))
        sec, nsec = divmod(robot_ns, NS)
        out.append(("/status", json.dumps({"timestamp": {"sec": sec, "nsec": nsec}, **status},
                                          separators=(",", ":")).encode(), robot_ns))
        return out


def read_status(client) -> dict[str, Any]:
    return {"estop_released": client.estop_released(),
            "enabling_device_on": client.enabling_device_on(),
            "digital_inputs": client.digital_inputs(),
            "digital_outputs": client.digital_outputs()}


class McapSink:
    """An MCAP file written with the mcap package: log time = host receive time, publish time =
    the robot's timestamp. :meth:`close` writes the summary; until then the file is not complete."""

    def __init__(self, path: str, infos: list[ChannelInfo], metadata: Optional[dict] = None):
        from mcap.writer import CompressionType, Writer

        try:
            self._file = open(path, "wb")
        except OSError as exc:
            raise ToolError(f"cannot write {path}: {exc.strerror}") from None
        self.path = path
        self._writer = Writer(self._file, compression=CompressionType.ZSTD)
        self._writer.start(profile="", library="orbaltkvt-tools")
        self._channels: dict[str, int] = {}
        self._sequence = 0
        schemas: dict[tuple[str, str], int] = {}
        for info in infos:
            key = (info.schema_name, info.schema_encoding)
            if key not in schemas:
                schemas[key] = self._writer.register_schema(info.schema_name, info.schema_encoding,
                                                            info.schema_data)
            self._channels[info.topic] = self._writer.register_channel(
                info.topic, info.encoding, schemas[key])
        if metadata:
            self._writer.add_metadata("orbaltkvt", {k: str(v) for k, v in metadata.items()})

    def write(self, messages, log_ns: int) -> None:
        add = self._writer.add_message
        try:
            for topic, data, robot_ns in messages:
                self._sequence += 1
                add(self._channels[topic], log_time=log_ns, data=data, publish_time=robot_ns,
                    sequence=self._sequence)
        except OSError as exc:
            raise ToolError(f"cannot write {self.path}: {exc.strerror}") from None

    def busy(self) -> bool:
        return True

    def size(self) -> int:
        return self._size if self._file.closed else self._file.tell()

    def close(self) -> None:
        if self._file.closed:
            return
        try:  # closing the file flushes it, so it can fail as well
            try:
                self._writer.finish()
            finally:
                self._size = self._file.tell()
                self._file.close()
        except OSError as exc:
            raise ToolError(f"cannot write {self.path}: {exc.strerror}") from None


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
