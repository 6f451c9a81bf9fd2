"""Fault injection: how the simulated robot misbehaves, changeable at runtime from any thread.

A :class:`Faults` object belongs to one :class:`~orbaltkvt_sim.simulator.Simulator` (``sim.faults``).
Rules are kept per request id (:class:`RpcFault`) and per stream (:class:`StreamFault`). A rule with
``times=N`` applies to the next N matching requests or samples and then removes itself; with
``times=None`` it stays until cleared. Every method takes the object's lock, so tests may change
rules while the streams run and queries arrive.

Example::

    sim.faults.set_version("v2.0")                        # id 1 answers another version
    sim.faults.set_rpc(0, no_reply=True, times=1)         # only the second probe is answered
    sim.faults.set_rpc(4, delay=2.5)                      # plan info arrives late
    sim.faults.set_rpc(10, shorten="int_container")       # start-ID rows that do not line up
    sim.faults.set_rpc(9, reply=RPCReply(9, True, [3], float2d_container=[[0.0] * 7]))
    sim.faults.corrupt_primitive_states(5)                # empty entries in the next 5 lists
    sim.faults.set_stream("basic", group_index=6, times=100)
    sim.faults.reset()
"""

from __future__ import annotations

import dataclasses
import threading
from dataclasses import dataclass
from typing import Callable, Optional, Union

from .messages import RPCReply, RPCRequest, REPLY_CONTAINERS, REQ_PRIMITIVE_STATES

STREAMS = ("basic", "extra")

CustomReply = Union[RPCReply, bytes, Callable[[RPCRequest], Union[RPCReply, bytes]]]


@dataclass
class RpcFault:
    """Misbehaviour for one request id. Fields combine; unset fields keep the normal answer.

    no_reply       send nothing. The query is finished at once (the querier sees the query end
                   without a reply) unless ``hold`` keeps it open that many seconds first.
    hold           with ``no_reply``: seconds to keep the query open before finishing it.
    delay          seconds to wait before replying (the reply is sent from a timer thread).
    duplicate      send the reply twice. ``second_reply`` replaces the content of the second one.
                   Both go out on the query's key: a querier with zenoh's default consolidation
                   is handed only the last of them; with ConsolidationMode.NONE it sees both.
    second_reply   content of the second reply (RPCReply or raw bytes); implies ``duplicate``.
    error_first    send an error reply (``reply_err``) before the good one.
    trailing_byte  append one zero byte after the encoded reply.
    echo_id        echo this request id instead of the one received.
    success        force the ``success`` flag.
    shorten        name of a reply container ("joint_groups", "int_container",
                   "string_container", "float_container", "float2d_container") whose last entry
                   is dropped, so the containers no longer line up. An empty container stays empty.
    blank_entry    insert an empty string after the first entry of ``string_container``.
    reply          fully custom content: an RPCReply, raw payload bytes, or a callable taking the
                   decoded RPCRequest and returning either. The other fields still apply on top
                   (except to raw bytes, which only ``trailing_byte`` changes).
    times          apply to this many requests of the id, then remove the rule; None: until
                   cleared.
    """

    no_reply: bool = False
    hold: float = 0.0
    delay: float = 0.0
    duplicate: bool = False
    second_reply: Optional[Union[RPCReply, bytes]] = None
    error_first: bool = False
    trailing_byte: bool = False
    echo_id: Optional[int] = None
    success: Optional[bool] = None
    shorten: Optional[str] = None
    blank_entry: bool = False
    reply: Optional[CustomReply] = None
    times: Optional[int] = None

    def __post_init__(self):
        if self.shorten is not None and self.shorten not in REPLY_CONTAINERS:
            raise ValueError(f"shorten must be one of {REPLY_CONTAINERS}, not {self.shorten!r}")
        if self.times is not None and self.times < 1:
            raise ValueError("times must be at least 1 (or None for no limit)")
        if self.delay < 0 or self.hold < 0:
            raise ValueError("delay and hold must not be negative")

    def apply(self, reply: RPCReply) -> RPCReply:
        """The reply as this fault alters its content (the wire-level parts are the caller's)."""
        reply = dataclasses.replace(
            reply, **{name: list(getattr(reply, name)) for name in REPLY_CONTAINERS})
        if self.echo_id is not None:
            reply.request_id = self.echo_id
        if self.success is not None:
            reply.success = self.success
        if self.shorten is not None:
            container = getattr(reply, self.shorten)
            if container:
                container.pop()
        if self.blank_entry:
            reply.string_container.insert(min(1, len(reply.string_container)), "")
        return reply


# Fixed arrays a StreamFault can send with a wrong length, per stream. Header arrays are whole
# fields; the others are taken from the first element that holds them.
BASIC_ARRAYS = ("safety_inputs", "digital_inputs", "digital_outputs", "contact_forces",
                "contact_positions", "flange_pose", "tcp_pose", "tcp_twist", "tcp_wrench_local",
                "spare_array", "raw_tcp_wrench_local", "raw_ft_sensor")
EXTRA_ARRAYS = ("tcp_pose_d", "tcp_twist_d", "tcp_wrench_d")


@dataclass
class StreamFault:
    """Misbehaviour of one stream's samples. Fields combine.

    truncate        cut this many bytes off the end of each payload.
    trailing_byte   append one zero byte to each payload.
    bad_array       name of a fixed-size array (see BASIC_ARRAYS / EXTRA_ARRAYS) to send with
                    ``bad_array_size`` entries instead of its fixed size.
    bad_array_size  the wrong size; default: one entry short.
    group_index     replace the first joint_group_indices entry with this value (e.g. 6 or 1).
    count_mismatch  drop the last cartesian_data element, so indices and Cartesian blocks
                    differ in number.
    drop_joints     remove this many entries from the end of every full-DoF sequence.
    transform       callable receiving the sample dataclass (a private copy) and returning the
                    sample to send; runs after the fields above.
    times           apply to this many samples, then remove the rule; None: until cleared.
    """

    truncate: int = 0
    trailing_byte: bool = False
    bad_array: Optional[str] = None
    bad_array_size: Optional[int] = None
    group_index: Optional[int] = None
    count_mismatch: bool = False
    drop_joints: int = 0
    transform: Optional[Callable] = None
    times: Optional[int] = None

    def __post_init__(self):
        if self.bad_array is not None and self.bad_array not in BASIC_ARRAYS + EXTRA_ARRAYS:
            raise ValueError(f"unknown fixed array {self.bad_array!r}")
        if self.times is not None and self.times < 1:
            raise ValueError("times must be at least 1 (or None for no limit)")
        if self.truncate < 0 or self.drop_joints < 0:
            raise ValueError("truncate and drop_joints must not be negative")

    @property
    def changes_content(self) -> bool:
        """Whether the sample must be rebuilt from its dataclass (not just its bytes)."""
        return (self.bad_array is not None or self.group_index is not None
                or self.count_mismatch or self.drop_joints > 0 or self.transform is not None)

    def apply_bytes(self, payload: bytes) -> bytes:
        if self.truncate:
            payload = payload[:max(0, len(payload) - self.truncate)]
        if self.trailing_byte:
            payload += b"\x00"
        return payload


def _resized(values: list, size: int) -> list:
    if size <= len(values):
        return values[:size]
    pad = values[-1] if values else 0.0
    return values + [pad] * (size - len(values))


def apply_stream_content(fault: StreamFault, stream: str, msg):
    """Returns a changed deep copy of the sample ``msg`` (basic or extra dataclass)."""
    msg = dataclasses.replace(msg)
    msg.joint_data = dataclasses.replace(msg.joint_data)
    msg.cartesian_data = [dataclasses.replace(c) for c in msg.cartesian_data]
    msg.joint_group_indices = list(msg.joint_group_indices)
    jd = msg.joint_data
    if fault.drop_joints:
        for f in dataclasses.fields(jd):
            values = getattr(jd, f.name)
            setattr(jd, f.name, values[:max(0, len(values) - fault.drop_joints)])
    if fault.group_index is not None and msg.joint_group_indices:
        msg.joint_group_indices[0] = fault.group_index
    if fault.count_mismatch and msg.cartesian_data:
        msg.cartesian_data.pop()
    if fault.bad_array is not None:
        name = fault.bad_array
        if stream == "basic" and name in ("safety_inputs", "digital_inputs", "digital_outputs"):
            values = getattr(msg, name)
            size = len(values) - 1 if fault.bad_array_size is None else fault.bad_array_size
            setattr(msg, name, _resized(list(values), size))
        elif stream == "basic" and name in ("contact_forces", "contact_positions"):
            vectors = list(getattr(jd, name))
            if vectors:
                size = 2 if fault.bad_array_size is None else fault.bad_array_size
                vectors[0] = _resized(list(vectors[0]), size)
            setattr(jd, name, vectors)
        elif msg.cartesian_data and hasattr(msg.cartesian_data[0], name):
            first = msg.cartesian_data[0]
            values = getattr(first, name)
            size = len(values) - 1 if fault.bad_array_size is None else fault.bad_array_size
            setattr(first, name, _resized(list(values), size))
    if fault.transform is not None:
        msg = fault.transform(msg)
    return msg


@dataclass
class _Rule:
    fault: object
    remaining: Optional[int]
    seen: int = 0


class Faults:
    """The set of active faults of one simulator. Thread-safe."""

    def __init__(self, version: str = "v2.1"):
        self._lock = threading.Lock()
        self._default_version = version
        self._version = version
        self._rpc: dict[int, _Rule] = {}
        self._stream: dict[str, _Rule] = {}
        self.on_change: Optional[Callable[[str], None]] = None  # log hook, set by the simulator

    # -- service version -----------------------------------------------------------------------

    @property
    def version(self) -> str:
        """The version text answered to request id 1."""
        with self._lock:
            return self._version

    def set_version(self, text: Optional[str]) -> None:
        """Answers ``text`` to request id 1; None restores the normal version."""
        with self._lock:
            self._version = self._default_version if text is None else text
        self._changed(f"version text set to {self.version!r}")

    # -- request/reply ---------------------------------------------------------------------------

    def set_rpc(self, request_id: int, fault: Optional[RpcFault] = None, **fields) -> RpcFault:
        """Installs a fault for ``request_id``, replacing any earlier one for that id.

        Pass an :class:`RpcFault` or its fields as keywords: ``set_rpc(3, delay=2.5, times=1)``.
        """
        if fault is None:
            fault = RpcFault(**fields)
        elif fields:
            fault = dataclasses.replace(fault, **fields)
        with self._lock:
            self._rpc[int(request_id)] = _Rule(fault, fault.times)
        self._changed(f"rpc fault for id {request_id}: {describe(fault)}")
        return fault

    def clear_rpc(self, request_id: Optional[int] = None) -> None:
        """Removes the fault of one request id, or of all ids."""
        with self._lock:
            if request_id is None:
                self._rpc.clear()
            else:
                self._rpc.pop(int(request_id), None)
        self._changed("rpc faults cleared" if request_id is None
                      else f"rpc fault for id {request_id} cleared")

    def custom_reply(self, request_id: int, reply: CustomReply,
                     times: Optional[int] = None) -> RpcFault:
        """Answers ``request_id`` with exactly ``reply`` (RPCReply, bytes or callable)."""
        return self.set_rpc(request_id, reply=reply, times=times)

    def answer_from(self, request_id: int, nth: int) -> None:
        """Leaves the first ``nth - 1`` requests of the id unanswered; answers from the nth on."""
        if nth <= 1:
            self.clear_rpc(request_id)
        else:
            self.set_rpc(request_id, no_reply=True, times=nth - 1)

    def corrupt_primitive_states(self, first_n: int) -> None:
        """The next ``first_n`` primitive-state lists carry an empty entry."""
        self.set_rpc(REQ_PRIMITIVE_STATES, blank_entry=True, times=first_n)

    def rpc_fault(self, request_id: int) -> Optional[RpcFault]:
        """The fault currently installed for ``request_id`` (without consuming it)."""
        with self._lock:
            rule = self._rpc.get(int(request_id))
            return rule.fault if rule else None

    def take_rpc(self, request_id: int) -> Optional[RpcFault]:
        """The fault to apply to one arriving request; counts it against ``times``."""
        with self._lock:
            return self._take(self._rpc, int(request_id))

    # -- streams ---------------------------------------------------------------------------------

    def set_stream(self, stream: str, fault: Optional[StreamFault] = None,
                   **fields) -> StreamFault:
        """Installs a fault for "basic" or "extra" (or "both"), replacing any earlier one."""
        if fault is None:
            fault = StreamFault(**fields)
        elif fields:
            fault = dataclasses.replace(fault, **fields)
        with self._lock:
            for name in _streams(stream):
                self._stream[name] = _Rule(fault, fault.times)
        self._changed(f"{stream} stream fault: {describe(fault)}")
        return fault

    def clear_stream(self, stream: str = "both") -> None:
        with self._lock:
            for name in _streams(stream):
                self._stream.pop(name, None)
        self._changed(f"{stream} stream fault cleared")

    def has_stream_faults(self) -> bool:
        # Read without the lock on purpose: the publishing loop asks this for every sample and a
        # stale answer only delays a new rule by one sample.
        return bool(self._stream)

    def take_stream(self, stream: str) -> Optional[StreamFault]:
        with self._lock:
            return self._take(self._stream, stream)

    # -- all -------------------------------------------------------------------------------------

    def reset(self) -> None:
        """Removes every fault and restores the normal version text."""
        with self._lock:
            self._rpc.clear()
            self._stream.clear()
            self._version = self._default_version
        self._changed("all faults cleared")

    @staticmethod
    def _take(rules: dict, key):
        rule = rules.get(key)
        if rule is None:
            return None
        rule.seen += 1
        if rule.remaining is not None:
            rule.remaining -= 1
            if rule.remaining <= 0:
                del rules[key]
        return rule.fault

    def _changed(self, text: str) -> None:
        if self.on_change is not None:
            self.on_change(text)


def _streams(stream: str) -> tuple[str, ...]:
    if stream == "both":
        return STREAMS
    if stream not in STREAMS:
        raise ValueError(f"stream must be 'basic', 'extra' or 'both', not {stream!r}")
    return (stream,)


def describe(fault) -> str:
    """A short text naming the fields of a fault that differ from their defaults."""
    defaults = type(fault)()
    parts = []
    for f in dataclasses.fields(fault):
        value = getattr(fault, f.name)
        if value != getattr(defaults, f.name):
            text = "<callable>" if callable(value) else repr(value)
            parts.append(f"{f.name}={text if len(text) <= 60 else text[:57] + '...'}")
    return ", ".join(parts) or "none"
