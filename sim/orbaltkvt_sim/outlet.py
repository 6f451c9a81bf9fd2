"""One robot's two streams on the wire: the publishers, pauses, stream faults and the counts of
what went out."""

from __future__ import annotations

import logging
import threading
from typing import Optional

import zenoh

from . import messages as m
from .faults import STREAMS, Faults, apply_stream_content

log = logging.getLogger("orbaltkvt_sim")


def stream_names(stream: str) -> tuple[str, ...]:
    if stream == "both":
        return STREAMS
    if stream not in STREAMS:
        raise ValueError(f"stream must be 'basic', 'extra' or 'both', not {stream!r}")
    return (stream,)


class Outlet:
    """Publishes a robot's samples as its faults have them, unless their stream is paused.

    A source holds :attr:`lock` while it sends a burst, so a pause or an undeclare waits for
    the burst under way, and :attr:`published` stays exact beside samples sent on demand.
    """

    def __init__(self, faults: Faults):
        self.faults = faults
        self.lock = threading.Lock()
        self.published = {s: 0 for s in STREAMS}
        self.paused = {s: False for s in STREAMS}
        self._publishers: dict[str, zenoh.Publisher] = {}

    @property
    def open(self) -> bool:
        return bool(self._publishers)

    def declare(self, session: zenoh.Session, key_basic: str, key_extra: str) -> None:
        for stream, key in (("basic", key_basic), ("extra", key_extra)):
            self._publishers[stream] = session.declare_publisher(
                key, encoding=zenoh.Encoding.ZENOH_SERIALIZED)

    def close(self) -> dict:
        """Takes the publishers out of use (after the burst under way) and returns them."""
        with self.lock:
            publishers, self._publishers = self._publishers, {}
        return publishers

    def pause(self, stream: str) -> None:
        for s in stream_names(stream):
            self.paused[s] = True
        with self.lock:  # a burst under way has finished
            pass

    def resume(self, stream: str) -> None:
        for s in stream_names(stream):
            self.paused[s] = False

    def put(self, stream: str, payload: bytes) -> None:
        """Publishes one payload now, as it is (no fault applies)."""
        with self.lock:
            pub = self._publishers.get(stream)
            if pub is None:
                raise RuntimeError(f"the {stream} stream is not available (streams disabled or "
                                   "simulator not running)")
            pub.put(bytes(payload))
            self.published[stream] += 1

    def send(self, stream: str, payload: bytes, content=None,
             timestamp: Optional[tuple[int, int]] = None) -> None:
        """Publishes one sample of a burst (:attr:`lock` held). ``content`` is the sample as a
        dataclass when at hand (a fault that changes it needs it; else the payload is decoded),
        ``timestamp`` the one a basic sample carries."""
        if self.paused[stream]:
            return
        if self.faults.has_stream_faults():
            payload = self._faulty(stream, payload, content, timestamp)
        try:
            self._publishers[stream].put(payload)
        except zenoh.ZError as exc:
            log.warning("publishing failed: %s", exc)
            return
        self.published[stream] += 1

    def _faulty(self, stream: str, payload: bytes, content, timestamp) -> bytes:
        fault = self.faults.take_stream(stream)
        if fault is None:
            return payload
        if fault.changes_content:
            if stream == "basic":
                sample = apply_stream_content(fault, stream, content if content is not None
                                              else m.decode_basic(payload))
                if timestamp is not None:
                    sample.timestamp = timestamp
                payload = m.encode_basic(sample)
            else:
                payload = m.encode_extra(apply_stream_content(
                    fault, stream, content if content is not None else m.decode_extra(payload)))
        return fault.apply_bytes(payload)
