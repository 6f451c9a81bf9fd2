"""What a simulated robot was asked: requests counted per id, for tests to wait on and check."""

from __future__ import annotations

import threading
import time
from typing import Optional

from .messages import RPCRequest


class RequestLog:
    """Requests received per id, the decoded requests (the last 10000) and the malformed ones.

    Thread-safe: the service records from zenoh's threads while tests read and wait.
    """

    def __init__(self):
        self._changed = threading.Condition()
        self._counts: dict[int, int] = {}
        self._received: list[RPCRequest] = []
        self._malformed = 0

    def record(self, request: RPCRequest) -> None:
        with self._changed:
            rid = request.request_id
            self._counts[rid] = self._counts.get(rid, 0) + 1
            self._received.append(request)
            if len(self._received) > 10000:
                del self._received[:1000]
            self._changed.notify_all()

    def record_malformed(self) -> None:
        with self._changed:
            self._malformed += 1

    def count(self, request_id: Optional[int] = None) -> int:
        """Requests received with ``request_id`` (all ids when None)."""
        with self._changed:
            if request_id is None:
                return sum(self._counts.values())
            return self._counts.get(request_id, 0)

    def counts(self) -> dict[int, int]:
        with self._changed:
            return dict(self._counts)

    def requests(self) -> list[RPCRequest]:
        with self._changed:
            return list(self._received)

    @property
    def malformed(self) -> int:
        return self._malformed

    def reset(self) -> None:
        with self._changed:
            self._counts.clear()
            self._received.clear()
            self._malformed = 0

    def wait(self, request_id: Optional[int], count: int, timeout: float) -> bool:
        """Waits until :meth:`count` reaches ``count``; False on timeout."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while self.count(request_id) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(left)
        return True
