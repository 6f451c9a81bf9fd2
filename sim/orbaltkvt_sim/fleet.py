"""A cell of simulated robots in one process, on one session, paced by one publishing loop."""

from __future__ import annotations

import logging
from typing import Optional

import zenoh

from .keys import session_config
from .pacing import Pacer
from .simulator import Simulator
from .sources import FleetSource

log = logging.getLogger("orbaltkvt_sim")

FLEET_PHASE_STEP = 1.7  # seconds of model time between consecutive robots of a fleet


class Fleet:
    """A cell of simulated robots in one process: serial numbers ``PREFIX-1`` ... ``PREFIX-N``
    on one zenoh session, robot k running the model ``(k - 1) * FLEET_PHASE_STEP`` seconds
    ahead so every robot's values differ.

    One loop publishes the streams of every robot, at the first robot's rate. Samples are
    pre-encoded (replay) unless ``replay=False``, which keeps eight robots at 1 kHz cheap: by
    default 100 states 10 ms apart, each sent in 10 consecutive samples, so start-up stays short
    too. Other keyword arguments are those of :class:`Simulator` and apply to every robot;
    ``config`` is that of the shared session (by default ``session_config(fleet=True)``).
    Each robot in :attr:`robots` has the full :class:`Simulator` API (faults, counters, pause).
    """

    def __init__(self, count: int, prefix: str = "SN", *, replay: bool = True,
                 replay_samples: int = 100, replay_hold: int = 10,
                 wake_period: float = 0.002, config: Optional[zenoh.Config] = None,
                 session: Optional[zenoh.Session] = None, **kwargs):
        if count < 1:
            raise ValueError("a fleet needs at least one robot")
        for name in ("phase", "sn", "paced"):
            if name in kwargs:
                raise TypeError(f"{name} is chosen per robot by the fleet")
        self._config = config if config is not None else session_config(fleet=True)
        self._session = session
        self._own_session = session is None
        self._wake_period = wake_period
        self._pacer: Optional[Pacer] = None
        self.robots: list[Simulator] = [
            Simulator(f"{prefix}-{k}", phase=(k - 1) * FLEET_PHASE_STEP, paced=False,
                      replay=replay, replay_samples=replay_samples, replay_hold=replay_hold,
                      **kwargs)
            for k in range(1, count + 1)]

    @property
    def serial_numbers(self) -> list[str]:
        return [robot.sn for robot in self.robots]

    @property
    def session(self) -> Optional[zenoh.Session]:
        return self._session

    def start(self) -> "Fleet":
        if self._session is None:
            self._session = zenoh.open(self._config)
        for robot in self.robots:
            robot.start(self._session)
        if any(robot.streams_enabled for robot in self.robots):
            self._pacer = Pacer(FleetSource([robot.source for robot in self.robots]),
                                self._wake_period).start()
        log.info("fleet of %d robots serving: %s", len(self.robots),
                 " ".join(self.serial_numbers))
        return self

    def stop(self, abrupt: bool = False) -> None:
        # The loop first: it has ended before any robot undeclares.
        if self._pacer is not None:
            self._pacer.stop()
            self._pacer = None
        for robot in self.robots:
            robot.stop(abrupt)
        if not abrupt and self._own_session and self._session is not None:
            try:
                self._session.close()
            except Exception as exc:  # noqa: BLE001 - shutting down: report and go on
                log.debug("during shutdown: %s", exc)
            self._session = None

    close = stop

    def set_rate(self, hz: float) -> None:
        for robot in self.robots:
            robot.set_rate(hz)

    def __enter__(self) -> "Fleet":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
