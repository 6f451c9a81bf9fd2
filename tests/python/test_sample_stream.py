"""orbaltkvt_stream: every sample, in order, as the client would read it; loss counted."""
from __future__ import annotations

import asyncio
import dataclasses
import time

import numpy as np
import pytest

import orbaltkvt
import orbaltkvt_stream
from orbaltkvt import JointGroup

STATE_FIELDS = ["q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                "temperature", "flange_pose", "tcp_pose", "tcp_twist", "tcp_wrench",
                "tcp_wrench_local", "raw_tcp_wrench", "raw_tcp_wrench_local", "raw_ft_sensor"]
ACTION_FIELDS = ["q_d", "dq_d", "tau_d", "tcp_pose_d", "tcp_twist_d", "tcp_wrench_d"]


def drain(stream, until, timeout=10.0):
    """Batches until ``until(basic_rows, extra_rows)`` holds; the rows of both streams."""
    basic, extra = [], []
    deadline = time.monotonic() + timeout
    while not until(sum(map(len, basic)), sum(map(len, extra))):
        assert time.monotonic() < deadline, "samples never arrived"
        batch = stream.next(0.1)
        basic.append(batch.basic)
        extra.append(batch.extra)
    return basic, extra


def row_of(batches, robot_ns):
    for b in batches:
        hits = np.flatnonzero(b.robot_time_ns == robot_ns)
        if hits.size:
            return b, int(hits[0])
    raise AssertionError(f"no row with robot time {robot_ns}")


def test_batches_hold_each_sample_exactly_as_the_client_reads_it(remote_simulator):
    sim = remote_simulator()
    client = orbaltkvt.Client(sim.sn, verbose=False)
    sim.pause("both")
    stream = orbaltkvt_stream.SampleStream(client, keep_payloads=True)
    base = sim.current_basic()
    reads = []
    for k in range(5):
        sample = dataclasses.replace(
            base, timestamp=(1000 + k, 250_000 * k), estop_released=k % 2 == 0,
            digital_inputs=[i == k for i in range(20)], safety_inputs=[i < k for i in range(8)],
            system_state=7, safety_board_state=-1)
        sample.joint_data = dataclasses.replace(
            base.joint_data, q=[k + i / 100 for i in range(16)])
        sim.publish_basic(sample)
        sim.publish_extra(sim.current_extra())
        deadline = time.monotonic() + 10
        while client.states()[JointGroup.ARM_1].timestamp != (1000 + k, 250_000 * k):
            assert time.monotonic() < deadline, "published sample never arrived"
            time.sleep(0.005)
        reads.append((client.states(), client.estop_released(), client.digital_inputs()))

    basic, extra = drain(stream, lambda b, e: b >= 5 and e >= 5)
    rows = np.concatenate([b.robot_time_ns for b in basic])
    assert list(rows) == [(1000 + k) * 10**9 + 250_000 * k for k in range(5)]
    for states, estop, inputs in reads:
        ts = states[JointGroup.ARM_1].timestamp
        batch, i = row_of(basic, ts[0] * 10**9 + ts[1])
        assert tuple(batch.timestamp[i]) == ts
        assert batch.valid[i]
        assert set(batch.groups) == set(states)
        for group, record in states.items():
            for field in STATE_FIELDS:
                assert batch.groups[group][field][i] == pytest.approx(getattr(record, field)), \
                    (group, field)
        assert batch.status["estop_released"][i] == estop
        assert list(batch.status["digital_inputs"][i]) == inputs
        assert batch.status["system_state"][i] == 7
        assert orbaltkvt_stream.system_state_name(7) == "WORKING_AUTO_EXECUTE"
        assert batch.status["safety_board_state"][i] == -1
        assert orbaltkvt_stream.safety_board_state_name(-1) == "UNKNOWN"

    # Extra samples carry the timestamp of the basic sample before them, as Client.actions().
    actions = client.actions()
    last = extra[-1]
    for group, record in actions.items():
        for field in ACTION_FIELDS:
            assert last.groups[group][field][-1] == pytest.approx(getattr(record, field))
    assert tuple(last.timestamp[-1]) == actions[JointGroup.ARM_1].timestamp

    # The kept payloads decode, with the library's decoder, to the same rows.
    payloads = [p for b in basic for p in b.payloads]
    times = np.concatenate([b.receive_time_ns for b in basic])
    decoded = orbaltkvt_stream.Decoder(stream.layout).decode(
        payloads + [b"\x00garbage"], np.append(times, times[-1] + 1))
    assert list(decoded.basic.valid) == [True] * 5 + [False]
    for group in basic[0].groups:
        got = np.concatenate([b.groups[group]["q"] for b in basic])
        np.testing.assert_array_equal(decoded.basic.groups[group]["q"][:5], got)
    assert np.isnan(decoded.basic.groups[JointGroup.ARM_1]["q"][5]).all()

    counters = stream.basic_counters()
    assert (counters.received, counters.delivered, counters.dropped, counters.malformed) == \
        (5, 5, 0, 0)
    stream.close()
    with pytest.raises(RuntimeError, match="closed"):
        stream.next(0)


def test_a_reader_that_stops_draining_loses_only_the_counted_oldest_samples(remote_simulator):
    sim = remote_simulator(rate=1000.0)
    client = orbaltkvt.Client(sim.sn, verbose=False)
    capacity = 500
    stream = orbaltkvt_stream.SampleStream(client, capacity=capacity)
    newest = None
    end = time.monotonic() + 3.0
    while time.monotonic() < end:  # the client reads on while nobody drains the stream
        newest = client.states()[JointGroup.ARM_1].timestamp
        time.sleep(0.01)
    sim.pause("both")
    sim.publish_basic(b"\x01\x02")  # malformed: counted, never delivered
    deadline = time.monotonic() + 10
    while stream.basic_counters().malformed == 0:
        assert time.monotonic() < deadline
        time.sleep(0.01)

    batch = stream.next(0)
    counters = stream.basic_counters()
    print("basic counters after 3 s without a read:", counters)
    assert len(batch.basic) == capacity
    assert counters.received == counters.delivered + counters.dropped + counters.malformed
    assert counters.delivered == capacity and counters.malformed == 1
    assert counters.dropped == counters.received - capacity - 1 > 2000
    # What is left is the newest samples, one after the other.
    steps = np.diff(batch.basic.robot_time_ns)
    assert (steps == steps.min()).all(), "samples are missing among the kept ones"
    assert counters.gaps == 0
    assert batch.basic.robot_time_ns[-1] >= newest[0] * 10**9 + newest[1]
    extra = stream.extra_counters()
    assert len(batch.extra) == capacity and extra.dropped == extra.received - capacity
    assert len(stream.next(0)) == 0


def test_an_asyncio_consumer_sees_every_sample_while_its_loop_runs(remote_simulator):
    sim = remote_simulator(rate=1000.0)
    client = orbaltkvt.Client(sim.sn, verbose=False)
    stream = orbaltkvt_stream.SampleStream(client, max_latency=0.005)
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.001)
            ticks += 1

    async def consume():
        tick = asyncio.create_task(ticker())
        # A wait cancelled half-way hands its batch to the next call.
        cancelled = asyncio.create_task(stream.next_async(timeout=1.0))
        await asyncio.sleep(0)
        cancelled.cancel()
        basic, extra = [], []
        async for batch in stream:
            basic.append(batch.basic.robot_time_ns)
            extra.append(len(batch.extra))
            if sum(map(len, basic)) >= 2000 and not stream._ended():
                # The robot stops; once nothing has arrived for a while every sample it sent
                # is in the stream, and interrupt() lets the loop take what is still queued.
                sim.pause("both")
                deadline = time.monotonic() + 10
                last, since = None, time.monotonic()
                while time.monotonic() - since < 0.5:
                    assert time.monotonic() < deadline, "samples kept arriving after the pause"
                    now = (stream.basic_counters().received, stream.extra_counters().received)
                    if now != last:
                        last, since = now, time.monotonic()
                    await asyncio.sleep(0.01)
                stream.interrupt()
        tick.cancel()
        return np.concatenate(basic), sum(extra)

    times, extra_rows = asyncio.run(consume())
    counters, extra_counters = stream.basic_counters(), stream.extra_counters()
    print(f"asyncio consumer: {len(times)} basic, {extra_rows} extra samples, {ticks} loop ticks,",
          counters)
    assert len(times) == counters.received == counters.delivered
    assert extra_rows == extra_counters.received == extra_counters.delivered
    assert counters.dropped == counters.gaps == 0
    steps = np.diff(times)
    assert (steps == steps.min()).all(), "a sample is missing or repeated"
    assert ticks > 10, "the event loop was blocked while the stream waited"
    stream.close()
