"""Where a robot's samples come from, for the publishing loop: the model evaluated while
running, or states of the model encoded once and cycled (replay), and the robots of a fleet.
A recording is the fourth source (:mod:`orbaltkvt_sim.recording`)."""

from __future__ import annotations

import copy
import logging
import math
import threading
import time
from dataclasses import dataclass
from typing import Optional

from . import messages as m
from .model import RobotModel
from .outlet import Outlet
from .pacing import Origin, Rate

log = logging.getLogger("orbaltkvt_sim")

NS = 1_000_000_000


def split_ns(ns: int) -> tuple[int, int]:
    """Nanoseconds as the wire's (int32 seconds, uint32 nanoseconds)."""
    sec, nsec = divmod(ns, NS)
    # The wire field is int32: wrap like a C cast instead of failing in 2038.
    sec = (sec + 2**31) % 2**32 - 2**31
    return sec, nsec


@dataclass
class Frame:
    """One model state, encoded once and published as often as the pacing asks."""

    t: float
    basic: m.AllBasicStreamData
    extra: m.AllExtraStreamData
    basic_body: bytes
    extra_payload: bytes


class ModelSource:
    """Samples of the robot model on an even schedule (sample k at k / rate), each stamped
    with its place in that schedule (or, with ``stamp_send_time``, the time it is sent).

    ``t_start`` is the monotonic time at model time 0; ``phase`` seconds are added to it.
    """

    def __init__(self, model: RobotModel, outlet: Outlet, *, rate: float, phase: float = 0.0,
                 stamp_send_time: bool = False):
        self.outlet = outlet
        self.schedule = Rate(rate)
        self.phase = float(phase)
        self.stamp_send_time = stamp_send_time
        self.t_start = time.monotonic()
        self.last_ts = (0, 0)
        self._lock = threading.Lock()
        self._model = model
        self._frame: Optional[Frame] = None

    @property
    def model(self) -> RobotModel:
        return self._model

    def set_model(self, model: RobotModel) -> None:
        with self._lock:
            self._model = model
            self._frame = None

    def prepare(self) -> None:
        """Work done once before the first sample."""

    def make_frame(self, model: RobotModel, t: float) -> Frame:
        t += self.phase
        basic = model.basic(t)
        extra = model.extra(t, basic)
        return Frame(t, basic, extra, m.encode_basic_body(basic), m.encode_extra(extra))

    def current_basic(self) -> m.AllBasicStreamData:
        sample = copy.deepcopy(self._current().basic)
        sample.timestamp = self.last_ts
        return sample

    def current_extra(self) -> m.AllExtraStreamData:
        return copy.deepcopy(self._current().extra)

    def _current(self) -> Frame:
        with self._lock:
            frame, model = self._frame, self._model
        if frame is None:
            frame = self.make_frame(model, time.monotonic() - self.t_start)
        return frame

    def frame_at(self, k: int, t: float) -> Frame:
        raise NotImplementedError

    def send(self, k0: int, k1: int, origin: Origin) -> None:
        out = self.outlet
        with out.lock:
            if not out.open:  # stopped meanwhile (a robot of a fleet)
                return
            paused = out.paused
            if paused["basic"] and paused["extra"]:
                return
            hz = origin.schedule.hz
            base = origin.t0 - self.t_start
            for k in range(k0, k1):
                frame = self.frame_at(k, base + k / hz)
                ts = split_ns(time.time_ns() if self.stamp_send_time
                              else origin.wall_ns + int(k * NS / hz))
                self.last_ts = ts
                out.send("basic", frame.basic_body + m.encode_timestamp(ts), frame.basic, ts)
                out.send("extra", frame.extra_payload, frame.extra)


class LiveSource(ModelSource):
    """The model evaluated ``model_rate`` times a second (None: for every sample); the samples
    in between repeat the latest state with fresh timestamps."""

    def __init__(self, model: RobotModel, outlet: Outlet, *, model_rate: Optional[float] = 250.0,
                 **kwargs):
        super().__init__(model, outlet, **kwargs)
        self.model_rate = model_rate
        self._frame_next = 0.0

    def frame_at(self, k: int, t: float) -> Frame:
        with self._lock:
            frame = self._frame
            if frame is None or t >= self._frame_next:
                frame = self._frame = self.make_frame(self._model, t)
                mr = self.model_rate
                self._frame_next = (math.floor(t * mr) + 1) / mr if mr else t
            return frame


class ReplaySource(ModelSource):
    """``samples`` states of the model, 1 ms x ``hold`` of model time apart, encoded once and
    cycled, each sent in ``hold`` consecutive samples; only the timestamp is new per sample."""

    def __init__(self, model: RobotModel, outlet: Outlet, *, samples: int = 1000, hold: int = 1,
                 **kwargs):
        super().__init__(model, outlet, **kwargs)
        self.samples = max(1, int(samples))
        self.hold = max(1, int(hold))
        self._frames: list[Frame] = []

    def _encode(self, model: RobotModel) -> list[Frame]:
        step = 0.001 * self.hold
        return [self.make_frame(model, 1.0 + i * step) for i in range(self.samples)]

    def prepare(self) -> None:
        began = time.monotonic()
        frames = self._encode(self._model)
        with self._lock:
            self._frames = frames
        log.info("replay: %d samples pre-encoded in %.2f s", len(frames),
                 time.monotonic() - began)

    def set_model(self, model: RobotModel) -> None:
        frames = self._encode(model) if self._frames else []
        with self._lock:
            self._model = model
            self._frame = None
            self._frames = frames

    def frame_at(self, k: int, t: float) -> Frame:
        with self._lock:
            frame = self._frame = self._frames[k // self.hold % len(self._frames)]
            return frame


class FleetSource:
    """The robots of a fleet, paced by one loop at the first robot's rate: each robot's
    samples of a tick go out together."""

    def __init__(self, sources: list):
        self.sources = list(sources)

    @property
    def schedule(self):
        return self.sources[0].schedule

    def send(self, k0: int, k1: int, origin: Origin) -> None:
        for source in self.sources:
            source.send(k0, k1, origin)
