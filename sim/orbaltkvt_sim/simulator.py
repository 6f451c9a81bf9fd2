"""One simulated robot: its lifecycle, its streams from a source and its request/reply service."""

from __future__ import annotations

import logging
import time
from typing import Optional, Union

import zenoh

from . import exit as process_exit
from . import messages as m
from .counters import RequestLog
from .faults import Faults
from .keys import (BASIC_SUFFIX, EXTRA_SUFFIX, KEY_PREFIX, RPC_SUFFIX, SERVICE_VERSION,
                   normalize_sn)
from .model import Layout, RobotModel
from .outlet import Outlet, stream_names
from .pacing import Pacer, Rate
from .recording import PlaybackSource, Recording
from .rpc_service import RpcService, answer
from .sources import LiveSource, ReplaySource

log = logging.getLogger("orbaltkvt_sim")


class Simulator:
    """One simulated robot: publishes both streams and answers requests on its serial number.

    Args:
        sn: serial number; a valid one is normalized like a client does, so "AB 12-345" and
            "AB-12-345" serve the same keys. Others are used unchanged.
        rate: samples per second on each stream (default 1000).
        preset: "dual" (16 joints) or "single" (7 joints); ignored when ``layout`` is given.
        layout: custom joint groups, an iterable of (group, start, dof), group by name or value.
        replay: cycle ``replay_samples`` pre-encoded samples (1 ms of model time apart) instead of
            evaluating the model while running; meant for high rates.
        replay_hold: in replay, each pre-encoded state goes out in this many consecutive samples
            (with fresh timestamps), states ``replay_hold`` ms of model time apart.
        model_rate: in live mode, how often per second the model is evaluated; samples in between
            repeat the latest state with a fresh timestamp. None: every sample gets a fresh state.
        wake_period: shortest time between two wake-ups of the publishing loop (seconds); the
            samples due at a wake-up are sent back to back. Timestamps stay evenly spaced.
        streams: publish the two streams (False: request/reply only).
        rpc: serve requests (False: streams only).
        version: version text answered to request id 1.
        session: an open zenoh session to use; by default the simulator opens (and closes) its
            own with ``config``.
        config: the configuration of the session it opens (default: zenoh's defaults); see
            :func:`~orbaltkvt_sim.keys.session_config`.
        phase: seconds added to the model time, so robots sharing a process move differently.
        stamp_send_time: stamp each basic sample with the wall-clock time it is sent instead of
            its place in the even schedule; latency measurements use it.
        paced: False when another publishing loop (a fleet's) sends this robot's samples from
            :attr:`source`; it then starts none of its own.

    :meth:`play` makes a simulator that plays a recording instead. Use as a context manager or
    call :meth:`start` and :meth:`stop`. All methods are thread-safe. Runtime faults live in
    :attr:`faults` (see :mod:`orbaltkvt_sim.faults`).
    """

    def __init__(self, sn: str, *, rate: float = 1000.0, preset: str = "dual", layout=None,
                 replay: bool = False, replay_samples: int = 1000, replay_hold: int = 1,
                 model_rate: Optional[float] = 250.0, wake_period: float = 0.002,
                 streams: bool = True, rpc: bool = True,
                 version: str = SERVICE_VERSION, session: Optional[zenoh.Session] = None,
                 config: Optional[zenoh.Config] = None, phase: float = 0.0,
                 stamp_send_time: bool = False, paced: bool = True):
        try:
            self.sn = normalize_sn(sn)
        except ValueError:
            self.sn = sn
        self.key_basic = KEY_PREFIX + self.sn + BASIC_SUFFIX
        self.key_extra = KEY_PREFIX + self.sn + EXTRA_SUFFIX
        self.key_rpc = KEY_PREFIX + self.sn + RPC_SUFFIX
        self.faults = Faults(version)
        self.faults.on_change = lambda text: log.info("%s", text)
        self.replay = replay
        self.streams_enabled = streams
        self.rpc_enabled = rpc
        self._wake_period = max(0.0, float(wake_period))
        self._phase = float(phase)
        self._model = RobotModel(layout if layout is not None else preset)
        self._outlet = Outlet(self.faults)
        common = dict(rate=rate, phase=phase, stamp_send_time=stamp_send_time)
        self._source = (ReplaySource(self._model, self._outlet, samples=replay_samples,
                                     hold=replay_hold, **common) if replay
                        else LiveSource(self._model, self._outlet, model_rate=model_rate,
                                        **common))
        self._requests = RequestLog()
        self._rpc = RpcService(self.key_rpc, self.faults, self.answer, self._requests)
        self._paced = paced
        self._pacer: Optional[Pacer] = None
        self._own_session = session is None
        self._session = session
        self._config = config
        self._frozen = False
        self._running = False
        self._t_start = time.monotonic()

    @classmethod
    def play(cls, path, sn: Optional[str] = None, *, speed: float = 1.0, loop: bool = False,
             **kwargs) -> "Simulator":
        """A simulator that plays the recording ``path`` as the robot (see
        :mod:`orbaltkvt_sim.recording`): its raw payloads unchanged with their recorded spacing
        (divided by ``speed``; ``loop`` starts over), replies with its serial number (or
        ``sn``), joint layout and service version. Raises RecordingError for another file.
        The loop wakes up for every sample (``wake_period`` 0) unless told otherwise, so the
        recorded spacing is kept."""
        recording = Recording.open(path)
        kwargs.setdefault("wake_period", 0.0)
        sim = cls(sn or recording.serial_number, layout=recording.layout,
                  version=recording.service_version or SERVICE_VERSION, **kwargs)
        sim._source = PlaybackSource(recording, sim._outlet, speed=speed, loop=loop)
        return sim

    # -- lifecycle -------------------------------------------------------------------------------

    def start(self, session: Optional[zenoh.Session] = None) -> "Simulator":
        """Starts serving; on ``session`` (shared, left open by :meth:`stop`) when given."""
        if self._running:
            return self
        if self._frozen:
            raise RuntimeError("an abruptly stopped simulator cannot be started again")
        if session is not None:
            self._session, self._own_session = session, False
        self._t_start = self._source.t_start = time.monotonic()
        if self._session is None:
            self._session = zenoh.open(self._config if self._config is not None
                                       else zenoh.Config())
        if self.rpc_enabled:
            self._rpc.declare(self._session)
            process_exit.track(self._rpc)
        if self.streams_enabled:
            self._source.prepare()
            self._outlet.declare(self._session, self.key_basic, self.key_extra)
            if self._paced:
                self._pacer = Pacer(self._source, self._wake_period).start()
        self._running = True
        log.info("serving %s: streams %s, rpc %s, %s joints in groups %s", self.sn,
                 self._describe_streams() if self.streams_enabled else "off",
                 "on" if self.rpc_enabled else "off", self._model.n,
                 ",".join(f"{g.name}({g.start}/{g.dof})" for g in self._model.layout))
        return self

    def _describe_streams(self) -> str:
        if isinstance(self._source, PlaybackSource):
            rec = self._source.recording
            return (f"playing {rec.path} ({len(rec.payloads)} samples"
                    f"{', in a loop' if self._source.loop else ''})")
        return f"{'replay' if self.replay else 'live'} at {self.rate:g} Hz"

    def stop(self, abrupt: bool = False) -> None:
        """Stops publishing and serving.

        With ``abrupt`` nothing is undeclared and the session stays open for the rest of the
        process: the robot just goes silent, and requests are held unanswered until the querier
        gives up. (A subprocess simulator killed with SIGKILL is the harder variant.)
        """
        if not self._running:
            return
        if self._pacer is not None:
            self._pacer.stop()
        self._running = False
        if self.streams_enabled:
            elapsed = time.monotonic() - self._t_start
            published = self._outlet.published
            log.info("published %d basic and %d extra samples in %.1f s (%.0f Hz)",
                     published["basic"], published["extra"], elapsed,
                     published["basic"] / elapsed if elapsed > 0 else 0.0)
        if abrupt:
            self._frozen = True
            process_exit.abandon(self._session, self._outlet.close(), self._rpc.freeze(),
                                 self._rpc.held)
            log.info("stopped abruptly (nothing undeclared)")
            return
        for pub in self._outlet.close().values():
            _quietly(pub.undeclare)
        self._rpc.undeclare()
        process_exit.untrack(self._rpc)
        if self._own_session and self._session is not None:
            _quietly(self._session.close)
            self._session = None
        log.info("stopped")

    close = stop

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._running

    @property
    def ended(self) -> bool:
        """True once a recording has played to its end (never for the model)."""
        return self._pacer is not None and self._pacer.ended.is_set()

    @property
    def session(self) -> Optional[zenoh.Session]:
        return self._session

    @property
    def source(self):
        """Where the samples come from; a fleet's publishing loop sends them from here."""
        return self._source

    # -- streams ---------------------------------------------------------------------------------

    @property
    def rate(self) -> float:
        return self._source.schedule.hz

    def set_rate(self, hz: float) -> None:
        """Changes the publishing rate of both streams; pacing restarts from now."""
        if isinstance(self._source, PlaybackSource):
            raise ValueError("a recording plays at its recorded rate")
        self._source.schedule = Rate(hz)
        log.info("rate set to %g Hz", hz)

    def pause(self, stream: str = "both") -> None:
        """Stops publishing "basic", "extra" or "both" until :meth:`resume`.

        When it returns, no further sample of the stream is published (a burst under way has
        finished).
        """
        self._outlet.pause(stream)
        log.info("%s stream paused", stream)

    def resume(self, stream: str = "both") -> None:
        self._outlet.resume(stream)
        log.info("%s stream resumed", stream)

    def paused(self, stream: str) -> bool:
        return self._outlet.paused[stream_names(stream)[0]]

    @property
    def layout(self) -> Layout:
        return self._model.layout

    def press_estop(self, pressed: bool = True) -> None:
        """Holds the e-stop pressed (estop_released false) from the next sample on, or lets the
        model's own cycle drive it again (``pressed=False``)."""
        self._model.estop_pressed = pressed

    def hold_input(self, channel: int, value: Optional[bool]) -> None:
        """Holds digital input ``channel`` (0 to 19) at ``value`` from the next sample on; None
        lets the model drive it again."""
        if value is None:
            self._model.held_inputs.pop(channel, None)
        else:
            self._model.held_inputs[channel] = bool(value)

    def set_layout(self, layout) -> None:
        """Switches the joint groups (preset name or (group, start, dof) rows) while running.

        Both streams (of the model) and the replies of ids 9 and 10 follow from the next sample
        on.
        """
        model = RobotModel(layout)
        self._source.set_model(model)
        self._model = model
        log.info("joint groups now %s", ",".join(f"{g.name}({g.start}/{g.dof})"
                                                 for g in model.layout))

    def publish_basic(self, sample: Union[m.AllBasicStreamData, bytes]) -> None:
        """Publishes one basic sample now: a dataclass (encoded as is) or raw payload bytes."""
        self._outlet.put("basic", sample if isinstance(sample, (bytes, bytearray))
                         else m.encode_basic(sample))

    def publish_extra(self, sample: Union[m.AllExtraStreamData, bytes]) -> None:
        """Publishes one extra sample now: a dataclass (encoded as is) or raw payload bytes."""
        self._outlet.put("extra", sample if isinstance(sample, (bytes, bytearray))
                         else m.encode_extra(sample))

    def current_basic(self) -> m.AllBasicStreamData:
        """A copy of the latest state as a basic sample (a template for custom samples)."""
        return self._source.current_basic()

    def current_extra(self) -> m.AllExtraStreamData:
        return self._source.current_extra()

    def published(self, stream: str) -> int:
        """Number of samples published on "basic" or "extra" so far."""
        return self._outlet.published[stream_names(stream)[0]]

    def wait_for_samples(self, stream: str, count: int, timeout: float = 5.0) -> bool:
        """Waits until ``count`` samples in total were published on the stream."""
        deadline = time.monotonic() + timeout
        while self.published(stream) < count:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.005)
        return True

    # -- requests --------------------------------------------------------------------------------

    def request_count(self, request_id: Optional[int] = None) -> int:
        """Requests received with ``request_id`` (all ids when None) since start or reset."""
        return self._requests.count(request_id)

    def request_counts(self) -> dict[int, int]:
        return self._requests.counts()

    def requests(self) -> list[m.RPCRequest]:
        """The decoded requests received so far, oldest first (the last 10000)."""
        return self._requests.requests()

    @property
    def malformed_requests(self) -> int:
        return self._requests.malformed

    def reset_counts(self) -> None:
        self._requests.reset()

    def wait_for_requests(self, request_id: Optional[int], count: int,
                          timeout: float = 5.0) -> bool:
        """Waits until :meth:`request_count` reaches ``count``; False on timeout."""
        return self._requests.wait(request_id, count, timeout)

    def answer(self, request: m.RPCRequest) -> m.RPCReply:
        """The normal, fault-free reply to ``request`` at this moment."""
        return answer(request, self._model, time.monotonic() - self._t_start + self._phase,
                      self.faults.version)


def _quietly(fn) -> None:
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - shutting down: report and go on
        log.debug("during shutdown: %s", exc)
