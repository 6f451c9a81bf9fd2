"""The simulated robot data service: two paced streams and a request/reply queryable."""

from __future__ import annotations

import atexit
import copy
import itertools
import json
import logging
import math
import os
import threading
import time
from dataclasses import dataclass
from typing import Optional, Union

import zenoh

from . import messages as m
from .faults import STREAMS, Faults, RpcFault, apply_stream_content, describe
from .model import Layout, RobotModel

log = logging.getLogger("orbaltkvt_sim")

KEY_PREFIX = "orbalt/robot/"
BASIC_SUFFIX = "/basic_stream_data"
EXTRA_SUFFIX = "/extra_stream_data"
RPC_SUFFIX = "/rpc"
SERVICE_VERSION = "v2.1"

_NS = 1_000_000_000


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


@dataclass
class _Frame:
    """One model state, encoded once and published as often as the pacing asks."""

    t: float
    basic: m.AllBasicStreamData
    extra: m.AllExtraStreamData
    basic_body: bytes
    extra_payload: bytes


def _split_ns(ns: int) -> tuple[int, int]:
    sec, nsec = divmod(ns, _NS)
    # The wire field is int32: wrap like a C cast instead of failing in 2038.
    sec = (sec + 2**31) % 2**32 - 2**31
    return sec, nsec


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
            :func:`session_config`.
        phase: seconds added to the model time, so robots sharing a process move differently.
        stamp_send_time: stamp each basic sample with the wall-clock time it is sent instead of
            its place in the even schedule; latency measurements use it.

    Use as a context manager or call :meth:`start` and :meth:`stop`. All methods are thread-safe.
    Runtime faults live in :attr:`faults` (see :mod:`orbaltkvt_sim.faults`).
    """

    def __init__(self, sn: str, *, rate: float = 1000.0, preset: str = "dual", layout=None,
                 replay: bool = False, replay_samples: int = 1000, replay_hold: int = 1,
                 model_rate: Optional[float] = 250.0, wake_period: float = 0.002,
                 streams: bool = True, rpc: bool = True,
                 version: str = SERVICE_VERSION, session: Optional[zenoh.Session] = None,
                 config: Optional[zenoh.Config] = None, phase: float = 0.0,
                 stamp_send_time: bool = False):
        try:
            self.sn = normalize_sn(sn)
        except ValueError:
            self.sn = sn
        if rate <= 0:
            raise ValueError("rate must be positive")
        self.key_basic = KEY_PREFIX + self.sn + BASIC_SUFFIX
        self.key_extra = KEY_PREFIX + self.sn + EXTRA_SUFFIX
        self.key_rpc = KEY_PREFIX + self.sn + RPC_SUFFIX
        self.faults = Faults(version)
        self.faults.on_change = lambda text: log.info("%s", text)
        self.replay = replay
        self.streams_enabled = streams
        self.rpc_enabled = rpc
        self._replay_samples = max(1, int(replay_samples))
        self._replay_hold = max(1, int(replay_hold))
        self._model_rate = model_rate
        self._wake_period = max(0.0, float(wake_period))
        self._rate = float(rate)
        self._model = RobotModel(layout if layout is not None else preset)
        self._own_session = session is None
        self._session = session
        self._config = config
        self._phase = float(phase)
        self._stamp_send_time = stamp_send_time
        # The robots whose streams this one's publishing loop paces (a fleet's first robot paces
        # every robot of the fleet); a robot paced by another starts no loop of its own.
        self._paces: list["Simulator"] = [self]
        self._paced_by_other = False
        self._lock = threading.Lock()
        self._requests = threading.Condition()
        self._counts: dict[int, int] = {}
        self._received: list[m.RPCRequest] = []
        self._malformed = 0
        self._published = {s: 0 for s in STREAMS}
        self._paused = {s: False for s in STREAMS}
        self._frame: Optional[_Frame] = None
        self._frame_next = 0.0
        self._replay_frames: list[_Frame] = []
        self._last_ts = (0, 0)
        self._stop_flag = False
        self._burst_lock = threading.Lock()
        self._frozen = False
        self._running = False
        self._thread: Optional[threading.Thread] = None
        self._publishers: dict[str, zenoh.Publisher] = {}
        self._queryable = None
        self._held: list = []
        self._t_start = time.monotonic()

    # -- lifecycle -------------------------------------------------------------------------------

    def start(self) -> "Simulator":
        if self._running:
            return self
        if self._frozen:
            raise RuntimeError("an abruptly stopped simulator cannot be started again")
        self._t_start = time.monotonic()
        if self._session is None:
            self._session = zenoh.open(self._config if self._config is not None
                                       else zenoh.Config())
        if self.replay and self.streams_enabled:
            self._build_replay()
        if self.rpc_enabled:
            # Queries are answered in the callback, on the zenoh thread that received them:
            # answering is quick and never blocks (late replies use timers). A direct callback
            # also starts no Python thread of its own, which would keep the process from exiting
            # after an abrupt stop left the queryable declared.
            self._queryable = self._session.declare_queryable(
                self.key_rpc, zenoh.handlers.Callback(self._on_query, indirect=False))
        if self.streams_enabled:
            for stream, key in (("basic", self.key_basic), ("extra", self.key_extra)):
                self._publishers[stream] = self._session.declare_publisher(
                    key, encoding=zenoh.Encoding.ZENOH_SERIALIZED)
            self._stop_flag = False
            if not self._paced_by_other:
                self._thread = threading.Thread(target=self._run_streams,
                                                name="orbaltkvt-sim-streams", daemon=True)
                self._thread.start()
        self._running = True
        _active.add(self)
        log.info("serving %s: streams %s, rpc %s, %s joints in groups %s", self.sn,
                 f"{'replay' if self.replay else 'live'} at {self._rate:g} Hz"
                 if self.streams_enabled else "off",
                 "on" if self.rpc_enabled else "off", self._model.n,
                 ",".join(f"{g.name}({g.start}/{g.dof})" for g in self._model.layout))
        return self

    def stop(self, abrupt: bool = False) -> None:
        """Stops publishing and serving.

        With ``abrupt`` nothing is undeclared and the session stays open for the rest of the
        process: the robot just goes silent, and requests are held unanswered until the querier
        gives up. (A subprocess simulator killed with SIGKILL is the harder variant.)
        """
        if not self._running:
            return
        self._stop_flag = True
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        self._running = False
        if self.streams_enabled:
            elapsed = time.monotonic() - self._t_start
            log.info("published %d basic and %d extra samples in %.1f s (%.0f Hz)",
                     self._published["basic"], self._published["extra"], elapsed,
                     self._published["basic"] / elapsed if elapsed > 0 else 0.0)
        if abrupt:
            self._frozen = True
            _abandoned.append((self._session, self._publishers, self._queryable, self._held))
            log.info("stopped abruptly (nothing undeclared)")
            return
        with self._burst_lock:
            publishers, self._publishers = self._publishers, {}
        for pub in publishers.values():
            _quietly(pub.undeclare)
        if self._queryable is not None:
            _quietly(self._queryable.undeclare)
            self._queryable = None
        if self._own_session and self._session is not None:
            _quietly(self._session.close)
            self._session = None
        _active.discard(self)
        log.info("stopped")

    def _quiesce(self) -> None:
        """Ends the publishing loop and undeclares the queryable, at process exit."""
        self._stop_flag = True
        thread = self._thread
        if thread is not None:
            thread.join(5.0)
        if self._queryable is not None:
            _quietly(self._queryable.undeclare)

    close = stop

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._running

    @property
    def session(self) -> Optional[zenoh.Session]:
        return self._session

    # -- streams ---------------------------------------------------------------------------------

    @property
    def rate(self) -> float:
        return self._rate

    def set_rate(self, hz: float) -> None:
        """Changes the publishing rate of both streams; pacing restarts from now."""
        if hz <= 0:
            raise ValueError("rate must be positive")
        self._rate = float(hz)
        log.info("rate set to %g Hz", hz)

    def pause(self, stream: str = "both") -> None:
        """Stops publishing "basic", "extra" or "both" until :meth:`resume`.

        When it returns, no further sample of the stream is published (a burst under way has
        finished).
        """
        for s in _stream_names(stream):
            self._paused[s] = True
        with self._burst_lock:
            pass
        log.info("%s stream paused", stream)

    def resume(self, stream: str = "both") -> None:
        for s in _stream_names(stream):
            self._paused[s] = False
        log.info("%s stream resumed", stream)

    def paused(self, stream: str) -> bool:
        return self._paused[_stream_names(stream)[0]]

    @property
    def layout(self) -> Layout:
        return self._model.layout

    def set_layout(self, layout) -> None:
        """Switches the joint groups (preset name or (group, start, dof) rows) while running.

        Both streams and the replies of ids 9 and 10 follow from the next sample on.
        """
        model = RobotModel(layout)
        frames = self._make_replay_frames(model) if self.replay and self.streams_enabled else []
        with self._lock:
            self._model = model
            self._frame = None
            self._replay_frames = frames
        log.info("joint groups now %s", ",".join(f"{g.name}({g.start}/{g.dof})"
                                                 for g in model.layout))

    def publish_basic(self, sample: Union[m.AllBasicStreamData, bytes]) -> None:
        """Publishes one basic sample now: a dataclass (encoded as is) or raw payload bytes."""
        self._publish("basic", sample if isinstance(sample, (bytes, bytearray))
                      else m.encode_basic(sample))

    def publish_extra(self, sample: Union[m.AllExtraStreamData, bytes]) -> None:
        """Publishes one extra sample now: a dataclass (encoded as is) or raw payload bytes."""
        self._publish("extra", sample if isinstance(sample, (bytes, bytearray))
                      else m.encode_extra(sample))

    def current_basic(self) -> m.AllBasicStreamData:
        """A copy of the latest model state as a basic sample (a template for custom samples)."""
        frame = self._current_frame()
        sample = copy.deepcopy(frame.basic)
        sample.timestamp = self._last_ts
        return sample

    def current_extra(self) -> m.AllExtraStreamData:
        return copy.deepcopy(self._current_frame().extra)

    def published(self, stream: str) -> int:
        """Number of samples published on "basic" or "extra" so far."""
        return self._published[_stream_names(stream)[0]]

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
        with self._requests:
            if request_id is None:
                return sum(self._counts.values())
            return self._counts.get(request_id, 0)

    def request_counts(self) -> dict[int, int]:
        with self._requests:
            return dict(self._counts)

    def requests(self) -> list[m.RPCRequest]:
        """The decoded requests received so far, oldest first (the last 10000)."""
        with self._requests:
            return list(self._received)

    @property
    def malformed_requests(self) -> int:
        return self._malformed

    def reset_counts(self) -> None:
        with self._requests:
            self._counts.clear()
            self._received.clear()
            self._malformed = 0

    def wait_for_requests(self, request_id: Optional[int], count: int,
                          timeout: float = 5.0) -> bool:
        """Waits until :meth:`request_count` reaches ``count``; False on timeout."""
        deadline = time.monotonic() + timeout
        with self._requests:
            while self.request_count(request_id) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._requests.wait(left)
        return True

    def answer(self, request: m.RPCRequest) -> m.RPCReply:
        """The normal, fault-free reply to ``request`` at this moment."""
        rid = request.request_id
        t = time.monotonic() - self._t_start + self._phase
        model = self._model
        if rid == m.REQ_PROBE:
            # The probe is answered with success false: that is how a client recognises us.
            return m.RPCReply(rid, False)
        if rid == m.REQ_VERSION:
            return m.RPCReply(rid, True, string_container=[self.faults.version])
        if rid == m.REQ_PRIMITIVE_STATES:
            return m.RPCReply(rid, True, string_container=model.primitive_states(t))
        if rid == m.REQ_PLAN_INFO:
            return m.RPCReply(rid, True, string_container=model.plan_info(t))
        if rid == m.REQ_MANIPULABILITY:
            groups, rows = model.manipulability(t)
            return m.RPCReply(rid, True, joint_groups=groups, float2d_container=rows)
        if rid == m.REQ_START_ID_AND_DOF:
            groups, starts, dofs = model.start_ids_and_dofs(request.joint_groups)
            return m.RPCReply(rid, True, joint_groups=groups, int_container=starts,
                              float_container=dofs)
        return m.RPCReply(rid, False)

    # -- internals: request/reply ---------------------------------------------------------------

    def _on_query(self, query: zenoh.Query) -> None:
        # Nothing may escape, and nothing here may block for long (late replies use timers).
        # The query is finished explicitly (drop) rather than whenever Python frees it, because
        # anything holding a reference (a logged traceback, say) would keep the querier waiting.
        handed_off = False
        try:
            handed_off = self._handle_query(query)
        except Exception:  # noqa: BLE001 - a failing reply must not take the service down
            log.exception("failed to answer a query")
        finally:
            if not handed_off:
                query.drop()

    def _handle_query(self, query: zenoh.Query) -> bool:
        """Answers one query; True when a timer or the frozen state now owns finishing it."""
        if self._frozen:
            self._held.append(query)
            return True
        payload = query.payload
        try:
            request = m.decode_request(payload.to_bytes() if payload is not None else b"")
        except (m.DecodeError, UnicodeDecodeError) as exc:
            with self._requests:
                self._malformed += 1
            log.warning("malformed request (%s): answering with an error reply", exc)
            query.reply_err(b"malformed request")
            return False
        rid = request.request_id
        with self._requests:
            self._counts[rid] = self._counts.get(rid, 0) + 1
            self._received.append(request)
            if len(self._received) > 10000:
                del self._received[:1000]
            self._requests.notify_all()
        fault = self.faults.take_rpc(rid)
        if fault is None:
            log.debug("request id %d groups %s", rid, request.joint_groups)
            query.reply(query.key_expr, m.encode_reply(self.answer(request)),
                        encoding=zenoh.Encoding.ZENOH_SERIALIZED)
            return False
        return self._reply_with_fault(query, request, fault)

    def _reply_with_fault(self, query: zenoh.Query, request: m.RPCRequest,
                          fault: RpcFault) -> bool:
        rid = request.request_id
        if fault.no_reply:
            if fault.hold > 0:
                log.info("request id %d: no reply, query held %.3g s", rid, fault.hold)
                _later(fault.hold, query.drop)
                return True
            log.info("request id %d: no reply", rid)
            return False
        content = fault.reply(request) if callable(fault.reply) else fault.reply
        if content is None:
            content = self.answer(request)
        if isinstance(content, m.RPCReply):
            content = m.encode_reply(fault.apply(content))
        payload = bytes(content) + (b"\x00" if fault.trailing_byte else b"")
        second = None
        if fault.duplicate or fault.second_reply is not None:
            second = fault.second_reply if fault.second_reply is not None else payload
            if isinstance(second, m.RPCReply):
                second = m.encode_reply(second)

        def send():
            try:
                if fault.error_first:
                    query.reply_err(b"simulated error")
                query.reply(query.key_expr, payload, encoding=zenoh.Encoding.ZENOH_SERIALIZED)
                if second is not None:
                    query.reply(query.key_expr, bytes(second),
                                encoding=zenoh.Encoding.ZENOH_SERIALIZED)
            except Exception as exc:  # noqa: BLE001 - e.g. the querier timed out meanwhile
                log.info("request id %d: reply failed: %s", rid, exc)

        log.info("request id %d: faulty reply (%s)", rid, describe(fault))
        if fault.delay > 0:
            def send_late():
                try:
                    send()
                finally:
                    query.drop()

            _later(fault.delay, send_late)
            return True
        send()
        return False

    # -- internals: streams ----------------------------------------------------------------------

    def _publish(self, stream: str, payload: bytes) -> None:
        pub = self._publishers.get(stream)
        if pub is None:
            raise RuntimeError(f"the {stream} stream is not available (streams disabled or "
                               "simulator not running)")
        with self._burst_lock:  # keeps the counters exact beside the publishing loop
            pub.put(bytes(payload))
            self._published[stream] += 1

    def _make_frame(self, model: RobotModel, t: float) -> _Frame:
        t += self._phase
        basic = model.basic(t)
        extra = model.extra(t, basic)
        return _Frame(t, basic, extra, m.encode_basic_body(basic), m.encode_extra(extra))

    def _make_replay_frames(self, model: RobotModel) -> list[_Frame]:
        step = 0.001 * self._replay_hold
        return [self._make_frame(model, 1.0 + i * step) for i in range(self._replay_samples)]

    def _build_replay(self) -> None:
        began = time.monotonic()
        frames = self._make_replay_frames(self._model)
        with self._lock:
            self._replay_frames = frames
        log.info("replay: %d samples pre-encoded in %.2f s", len(frames),
                 time.monotonic() - began)

    def _current_frame(self) -> _Frame:
        with self._lock:
            frame = self._frame
            model = self._model
        if frame is None:
            frame = self._make_frame(model, time.monotonic() - self._t_start)
        return frame

    def _frame_at(self, tick: int, t: float) -> _Frame:
        with self._lock:
            if self.replay and self._replay_frames:
                frame = self._replay_frames[tick // self._replay_hold % len(self._replay_frames)]
            elif self._frame is None or t >= self._frame_next:
                frame = self._make_frame(self._model, t)
                mr = self._model_rate
                self._frame_next = (math.floor(t * mr) + 1) / mr if mr else t
            else:
                frame = self._frame
            self._frame = frame
            return frame

    def _run_streams(self) -> None:
        rate = None
        t0 = wall0 = sent = 0
        warned = False
        ticks = late = 0
        while not self._stop_flag:
            if self._rate != rate:
                rate = self._rate
                t0 = time.monotonic()
                wall0 = time.time_ns()
                sent = 0
            now = time.monotonic()
            due = int((now - t0) * rate) + 1 - sent
            burst = max(10, int(rate * 0.05))
            if due > burst:
                # Stalled (suspended, or starved of CPU): drop the backlog instead of flooding.
                if not warned:
                    log.warning("stream pacing fell %d samples behind; skipping them", due - 1)
                    warned = True
                sent += due - 1
                due = 1
            for robot in self._paces:
                with robot._burst_lock:
                    if not robot._publishers:  # a robot of the fleet stopped meanwhile
                        continue
                    for k in range(sent, sent + due):
                        robot._tick(k, t0 + k / rate - robot._t_start,
                                    wall0 + int(k * _NS / rate))
            sent += due
            ticks += due
            late += due - 1
            # Sleep until the next sample is due, but at least one wake period: at high rates the
            # samples due meanwhile go out in one burst, which costs far less CPU (in Python and
            # in zenoh's transmit path) than one wake-up per sample.
            target = max(t0 + sent / rate, now + self._wake_period)
            delay = target - time.monotonic()
            if delay > 0:
                time.sleep(min(delay, 0.05))
        if ticks and self._wake_period == 0:
            # A poller sees only the newest sample: those sent late, right before the next one,
            # are lost to it whatever it does.
            log.info("stream pacing: %d of %d samples went out late, back to back with the next",
                     late, ticks)

    def _tick(self, tick: int, t: float, ts_ns: int) -> None:
        paused = self._paused
        if paused["basic"] and paused["extra"]:
            return
        frame = self._frame_at(tick, t)
        ts = _split_ns(time.time_ns() if self._stamp_send_time else ts_ns)
        self._last_ts = ts
        faulty = self.faults.has_stream_faults()
        try:
            if not paused["basic"]:
                payload = frame.basic_body + m.encode_timestamp(ts)
                if faulty:
                    payload = self._faulty("basic", frame, payload, ts)
                self._publishers["basic"].put(payload)
                self._published["basic"] += 1
            if not paused["extra"]:
                payload = frame.extra_payload
                if faulty:
                    payload = self._faulty("extra", frame, payload, ts)
                self._publishers["extra"].put(payload)
                self._published["extra"] += 1
        except zenoh.ZError as exc:
            if not self._stop_flag:
                log.warning("publishing failed: %s", exc)

    def _faulty(self, stream: str, frame: _Frame, payload: bytes, ts) -> bytes:
        fault = self.faults.take_stream(stream)
        if fault is None:
            return payload
        if fault.changes_content:
            if stream == "basic":
                sample = apply_stream_content(fault, stream, frame.basic)
                sample.timestamp = ts
                payload = m.encode_basic(sample)
            else:
                payload = m.encode_extra(apply_stream_content(fault, stream, frame.extra))
        return fault.apply_bytes(payload)


FLEET_PHASE_STEP = 1.7  # seconds of model time between consecutive robots of a fleet


class Fleet:
    """A cell of simulated robots in one process: serial numbers ``PREFIX-1`` ... ``PREFIX-N``
    on one zenoh session, robot k running the model ``(k - 1) * FLEET_PHASE_STEP`` seconds
    ahead so every robot's values differ.

    One loop publishes the streams of every robot. Samples are pre-encoded (replay) unless
    ``replay=False``, which keeps eight robots at 1 kHz cheap: by default 100 states 10 ms apart,
    each sent in 10 consecutive samples, so start-up stays short too. Other keyword arguments are
    those of :class:`Simulator` and apply to every robot; ``config`` is that of the shared
    session (by default ``session_config(fleet=True)``).
    Each robot in :attr:`robots` has the full :class:`Simulator` API (faults, counters, pause).
    """

    def __init__(self, count: int, prefix: str = "SN", *, replay: bool = True,
                 replay_samples: int = 100, replay_hold: int = 10,
                 config: Optional[zenoh.Config] = None,
                 session: Optional[zenoh.Session] = None, **kwargs):
        if count < 1:
            raise ValueError("a fleet needs at least one robot")
        for name in ("phase", "sn"):
            if name in kwargs:
                raise TypeError(f"{name} is chosen per robot by the fleet")
        self._config = config if config is not None else session_config(fleet=True)
        self._session = session
        self._own_session = session is None
        self._kwargs = dict(kwargs, replay=replay, replay_samples=replay_samples,
                            replay_hold=replay_hold)
        self.robots: list[Simulator] = [
            Simulator(f"{prefix}-{k}", phase=(k - 1) * FLEET_PHASE_STEP, **self._kwargs)
            for k in range(1, count + 1)]
        self.robots[0]._paces = list(self.robots)
        for robot in self.robots[1:]:
            robot._paced_by_other = True

    @property
    def serial_numbers(self) -> list[str]:
        return [robot.sn for robot in self.robots]

    @property
    def session(self) -> Optional[zenoh.Session]:
        return self._session

    def start(self) -> "Fleet":
        if self._session is None:
            self._session = zenoh.open(self._config if self._config is not None
                                       else zenoh.Config())
        for robot in self.robots:
            robot._session = self._session
            robot._own_session = False
        # The pacing robot last, so its loop finds every other robot's publishers declared.
        for robot in reversed(self.robots):
            robot.start()
        log.info("fleet of %d robots serving: %s", len(self.robots),
                 " ".join(self.serial_numbers))
        return self

    def stop(self, abrupt: bool = False) -> None:
        # The pacing robot first: its loop has ended before any other robot undeclares.
        for robot in self.robots:
            robot.stop(abrupt)
        if not abrupt and self._own_session and self._session is not None:
            _quietly(self._session.close)
            self._session = None

    close = stop

    def set_rate(self, hz: float) -> None:
        for robot in self.robots:
            robot.set_rate(hz)

    def __enter__(self) -> "Fleet":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


# Sessions of abruptly stopped simulators: kept referenced so nothing is undeclared or closed.
_abandoned: list = []
# Simulators started and not stopped cleanly (abruptly stopped ones included).
_active: set = set()


@atexit.register
def _quiesce_at_exit() -> None:
    # A thread that is inside zenoh while the interpreter finalizes aborts the process when it
    # comes back to Python: the publishing loop in put(), or a zenoh thread delivering a query
    # to the callback. So whatever still runs when the process ends is made quiet first, while
    # Python still runs: publishing loops end and queryables are undeclared (those of abruptly
    # stopped simulators too: nothing answers once the process is going anyway).
    quieted = list(_active)
    for sim in quieted:
        sim._quiesce()
    if quieted:
        # A delivery that began before the undeclare may be waiting for the interpreter lock:
        # let it run to its end now rather than during finalization.
        time.sleep(0.1)


def _later(delay: float, fn) -> None:
    timer = threading.Timer(delay, fn)
    timer.daemon = True
    timer.start()


def _quietly(fn) -> None:
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - shutting down: report and go on
        log.debug("during shutdown: %s", exc)


def _stream_names(stream: str) -> tuple[str, ...]:
    if stream == "both":
        return STREAMS
    if stream not in STREAMS:
        raise ValueError(f"stream must be 'basic', 'extra' or 'both', not {stream!r}")
    return (stream,)
