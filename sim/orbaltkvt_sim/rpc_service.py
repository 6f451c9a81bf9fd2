"""The request/reply service of one robot: the normal answers, and the faulty ones."""

from __future__ import annotations

import logging
import threading
from typing import Callable, Optional

import zenoh

from . import messages as m
from .counters import RequestLog
from .faults import Faults, RpcFault, describe
from .model import RobotModel

log = logging.getLogger("orbaltkvt_sim")


def answer(request: m.RPCRequest, model: RobotModel, t: float, version: str) -> m.RPCReply:
    """The normal, fault-free reply to ``request`` of a robot whose model is at time ``t``."""
    rid = request.request_id
    if rid == m.REQ_PROBE:
        # The probe is answered with success false: that is how a client recognises us.
        return m.RPCReply(rid, False)
    if rid == m.REQ_VERSION:
        return m.RPCReply(rid, True, string_container=[version])
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


class RpcService:
    """Answers the queries on ``key``: the reply of ``answer(request)``, unless ``faults`` say
    otherwise; every request is recorded in ``requests``.

    Queries are answered in zenoh's callback, on the thread that received them: answering is
    quick and never blocks (late replies use timers). A direct callback also starts no Python
    thread of its own, which would keep the process from exiting after an abrupt stop left the
    queryable declared.
    """

    def __init__(self, key: str, faults: Faults, answer: Callable[[m.RPCRequest], m.RPCReply],
                 requests: RequestLog):
        self.key = key
        self.faults = faults
        self.answer = answer
        self.requests = requests
        self._queryable = None
        self._frozen = False
        self.held: list = []  # queries received after freeze(), never finished

    def declare(self, session: zenoh.Session) -> None:
        self._queryable = session.declare_queryable(
            self.key, zenoh.handlers.Callback(self._on_query, indirect=False))

    def undeclare(self) -> None:
        queryable, self._queryable = self._queryable, None
        if queryable is not None:
            try:
                queryable.undeclare()
            except Exception as exc:  # noqa: BLE001 - shutting down: report and go on
                log.debug("during shutdown: %s", exc)

    def freeze(self):
        """From now on queries are held unanswered until their queriers give up; returns the
        queryable, which must stay referenced (and declared) for that."""
        self._frozen = True
        return self._queryable

    def quiesce(self) -> None:
        self.undeclare()

    def _on_query(self, query: zenoh.Query) -> None:
        # Nothing may escape, and nothing here may block for long (late replies use timers).
        # The query is finished explicitly (drop) rather than whenever Python frees it, because
        # anything holding a reference (a logged traceback, say) would keep the querier waiting.
        handed_off = False
        try:
            handed_off = self._handle(query)
        except Exception:  # noqa: BLE001 - a failing reply must not take the service down
            log.exception("failed to answer a query")
        finally:
            if not handed_off:
                query.drop()

    def _handle(self, query: zenoh.Query) -> bool:
        """Answers one query; True when a timer or the frozen state now owns finishing it."""
        if self._frozen:
            self.held.append(query)
            return True
        payload = query.payload
        try:
            request = m.decode_request(payload.to_bytes() if payload is not None else b"")
        except (m.DecodeError, UnicodeDecodeError) as exc:
            self.requests.record_malformed()
            log.warning("malformed request (%s): answering with an error reply", exc)
            query.reply_err(b"malformed request")
            return False
        self.requests.record(request)
        fault = self.faults.take_rpc(request.request_id)
        if fault is None:
            log.debug("request id %d groups %s", request.request_id, request.joint_groups)
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
        second: Optional[bytes] = None
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


def _later(delay: float, fn) -> None:
    timer = threading.Timer(delay, fn)
    timer.daemon = True
    timer.start()
