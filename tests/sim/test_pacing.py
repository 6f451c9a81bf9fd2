"""The publishing loop's account of what it skipped after stalls."""
from __future__ import annotations

import logging
import time

from orbaltkvt_sim.pacing import Pacer, Rate


class StallingSource:
    """Records what the loop sends; every 20th send stalls the loop for 0.2 s."""

    schedule = Rate(1000.0)

    def __init__(self, stalls: int):
        self.ranges: list[tuple[int, int]] = []
        self.stalls = stalls

    def send(self, k0: int, k1: int, origin) -> None:
        self.ranges.append((k0, k1))
        if self.stalls and len(self.ranges) % 20 == 0:
            self.stalls -= 1
            time.sleep(0.2)  # 200 samples fall due meanwhile, more than the backlog allows


def test_the_log_counts_every_sample_skipped_after_each_stall(caplog):
    source = StallingSource(stalls=3)
    with caplog.at_level(logging.WARNING, logger="orbaltkvt_sim"):
        pacer = Pacer(source, wake_period=0.002).start()
        deadline = time.monotonic() + 20
        while source.stalls or len(source.ranges) < 80:
            assert time.monotonic() < deadline, "the loop did not run"
            time.sleep(0.01)
        pacer.stop(5.0)
    ranges = source.ranges
    skipped = sum(b0 - a1 for (_, a1), (b0, _) in zip(ranges, ranges[1:]))
    messages = [r.getMessage() for r in caplog.records]
    print(f"skipped {skipped} samples; log: {messages}")
    assert skipped >= 3 * 150
    assert messages[0].startswith("stream pacing fell ")
    assert any(m.startswith(f"stream pacing skipped {skipped} samples in ") for m in messages), \
        messages
