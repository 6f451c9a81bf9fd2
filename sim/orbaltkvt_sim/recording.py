"""A recording of a robot as a source: the wire payloads of its raw channels, played with their
recorded spacing.

The file is an MCAP recording as ``kvt record`` writes it: the channels
``/raw/basic_stream_data`` and ``/raw/extra_stream_data`` hold each sample's wire bytes (log
time: when the host received it), and the metadata record ``orbaltkvt`` names the robot
(``serial_number``, ``layout`` as JSON ``{"ARM_1": {"start_id": 0, "dof": 7}, ...}``,
``service_version``, ``library_version``).
"""

from __future__ import annotations

import bisect
import json
import struct
from dataclasses import dataclass

from . import messages as m
from .model import Layout, make_layout
from .outlet import Outlet
from .pacing import Origin
from .sources import NS, split_ns

RAW_BASIC = "/raw/basic_stream_data"
RAW_EXTRA = "/raw/extra_stream_data"
METADATA = "orbaltkvt"

_TIMESTAMP = struct.Struct("<iI")  # the last field of a basic sample: int32 s, uint32 ns


class RecordingError(ValueError):
    """A file that is not a recording of a robot's data service; the text is one line."""


def _robot_time(payload: bytes):
    if len(payload) < _TIMESTAMP.size:
        return None
    sec, nsec = _TIMESTAMP.unpack_from(payload, len(payload) - _TIMESTAMP.size)
    return sec * NS + nsec


@dataclass
class Recording:
    """The robot a recording names and its raw samples in log-time order (held in memory)."""

    path: str
    serial_number: str
    layout: Layout
    service_version: str
    library_version: str
    log_times: list[int]        # ns, host receive time
    is_basic: list[bool]
    payloads: list[bytes]

    @classmethod
    def open(cls, path) -> "Recording":
        """Reads ``path``; raises :class:`RecordingError` for anything but such a recording."""
        from mcap.reader import make_reader  # only a playback needs it

        path = str(path)
        try:
            f = open(path, "rb")
        except OSError as exc:
            raise RecordingError(f"{path}: {exc.strerror or exc}") from None
        with f:
            try:
                reader = make_reader(f)
                meta = next((r.metadata for r in reader.iter_metadata() if r.name == METADATA),
                            None)
                if meta is None:
                    raise RecordingError(f'{path}: not a recording of a robot (no "{METADATA}" '
                                         "metadata record)")
                log_times, is_basic, payloads = [], [], []
                for _schema, channel, message in reader.iter_messages(
                        topics=[RAW_BASIC, RAW_EXTRA], log_time_order=True):
                    log_times.append(message.log_time)
                    is_basic.append(channel.topic == RAW_BASIC)
                    payloads.append(bytes(message.data))
            except RecordingError:
                raise
            except Exception as exc:  # noqa: BLE001 - whatever the reader makes of a bad file
                raise RecordingError(f"{path}: not a readable MCAP file "
                                     f"({type(exc).__name__}: {exc})".replace("\n", " ")) from None
        if not any(is_basic):
            raise RecordingError(f"{path}: no samples on {RAW_BASIC} (a recording without its "
                                 "raw channels cannot be played)")
        try:
            layout = make_layout((name, int(g["start_id"]), int(g["dof"]))
                                 for name, g in json.loads(meta.get("layout", "")).items())
        except (ValueError, KeyError, TypeError, AttributeError) as exc:
            raise RecordingError(f"{path}: bad joint layout in the metadata ({exc})") from None
        return cls(path, meta.get("serial_number", ""), layout,
                   meta.get("service_version", ""), meta.get("library_version", ""),
                   log_times, is_basic, payloads)


class PlaybackSource:
    """Plays a recording's payloads unchanged, message k when its log time (divided by
    ``speed``) has passed since the first. With ``loop`` it starts over after one period;
    from the second pass on, the timestamps of the basic samples move on by the recording's
    duration plus one period per pass, so the robot's time never goes back.

    It is its own schedule, and a finite one: after a stall it plays on later instead of
    dropping samples.
    """

    skips_backlog = False

    def __init__(self, recording: Recording, outlet: Outlet, *, speed: float = 1.0,
                 loop: bool = False):
        if speed <= 0:
            raise ValueError("speed must be positive")
        self.recording = recording
        self.outlet = outlet
        self.loop = loop
        self.schedule = self
        times = recording.log_times
        self._offsets = [(t - times[0]) / NS / speed for t in times]
        self._robot_ns = [_robot_time(p) if b else None
                          for p, b in zip(recording.payloads, recording.is_basic)]
        stamps = [t for t in self._robot_ns if t is not None] or [0]
        basic_count = sum(recording.is_basic)
        period = (stamps[-1] - stamps[0]) // (len(stamps) - 1) if len(stamps) > 1 else NS // 1000
        self.shift_ns = stamps[-1] - stamps[0] + period   # per pass
        self._pass = (times[-1] - times[0] + period) / NS / speed
        self.hz = basic_count / self._pass
        self.period = 1.0 / self.hz
        self.backlog = max(10, int(len(times) / self._pass * 0.05))
        self._last_basic = next(p for p, b in zip(recording.payloads, recording.is_basic) if b)

    def due(self, elapsed: float) -> int:
        n = len(self._offsets)
        if not self.loop:
            return bisect.bisect_right(self._offsets, elapsed)
        passes = int(elapsed // self._pass)
        return passes * n + bisect.bisect_right(self._offsets, elapsed - passes * self._pass)

    def at(self, k: int):
        passes, i = divmod(k, len(self._offsets))
        if passes and not self.loop:
            return None
        return passes * self._pass + self._offsets[i]

    def prepare(self) -> None:
        """Nothing to prepare: the recording was read when opened."""

    def set_model(self, model) -> None:
        """The recorded samples stay as they are; only the replies follow a new layout."""

    def send(self, k0: int, k1: int, origin: Origin) -> None:
        rec, out, n = self.recording, self.outlet, len(self._offsets)
        with out.lock:
            if not out.open:
                return
            for k in range(k0, k1):
                passes, i = divmod(k, n)
                payload = rec.payloads[i]
                if not rec.is_basic[i]:
                    out.send("extra", payload)
                    continue
                stamp = self._robot_ns[i]
                if passes and stamp is not None:
                    payload = payload[:-_TIMESTAMP.size] + m.encode_timestamp(
                        split_ns(stamp + passes * self.shift_ns))
                self._last_basic = payload
                out.send("basic", payload)

    def current_basic(self) -> m.AllBasicStreamData:
        return m.decode_basic(self._last_basic)

    def current_extra(self) -> m.AllExtraStreamData:
        rec = self.recording
        return m.decode_extra(next(p for p, b in zip(rec.payloads, rec.is_basic) if not b))
