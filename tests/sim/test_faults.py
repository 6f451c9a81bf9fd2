"""Every fault option does what it says, seen from a separate zenoh peer."""

import subprocess
import sys
import threading
import time

import pytest

from orbaltkvt_sim import RPCReply, RpcFault, StreamFault
from orbaltkvt_sim import messages as m
from orbaltkvt_sim.testing import unique_sn, wait_for_service


# -- request/reply --------------------------------------------------------------------------------


def test_other_version_text(sim, rpc):
    sim.faults.set_version("v2.1.0")
    assert rpc.call(sim, 1).string_container == ["v2.1.0"]
    sim.faults.set_version(None)
    assert rpc.call(sim, 1).string_container == ["v2.1"]


def test_no_reply_ends_the_query_without_reply(sim, rpc):
    sim.faults.set_rpc(4, no_reply=True)
    got = rpc.replies(sim, 4, timeout=2.0)
    assert got == []
    assert sim.request_count(4) == 1


def test_no_reply_can_hold_the_query_open(sim, rpc):
    sim.faults.set_rpc(4, no_reply=True, hold=0.3)
    began = time.monotonic()
    assert rpc.replies(sim, 4, timeout=2.0) == []
    assert time.monotonic() - began >= 0.3


def test_late_reply(sim, rpc):
    sim.faults.set_rpc(1, delay=0.3)
    got = rpc.replies(sim, 1, timeout=2.0)
    assert [kind for kind, _, _ in got] == ["ok"]
    assert got[0][2] >= 0.3
    # A querier that gives up first never sees it.
    sim.faults.set_rpc(1, delay=0.5)
    assert "ok" not in [kind for kind, _, _ in rpc.replies(sim, 1, timeout=0.1)]


def test_two_replies(sim, rpc):
    sim.faults.set_rpc(1, duplicate=True)
    got = rpc.replies(sim, 1)
    assert [kind for kind, _, _ in got] == ["ok", "ok"]
    assert got[0][1] == got[1][1]
    sim.faults.set_rpc(1, second_reply=RPCReply(1, True, string_container=["v9"]))
    got = rpc.replies(sim, 1)
    assert [m.decode_reply(p).string_container for _, p, _ in got] == [["v2.1"], ["v9"]]


def test_error_reply_first_then_good_one(sim, rpc):
    sim.faults.set_rpc(4, error_first=True)
    got = rpc.replies(sim, 4)
    assert [kind for kind, _, _ in got] == ["err", "ok"]
    assert len(m.decode_reply(got[1][1]).string_container) == 8


def test_trailing_byte(sim, rpc):
    sim.faults.set_rpc(1, trailing_byte=True)
    (kind, payload, _), = rpc.replies(sim, 1)
    assert payload[-1:] == b"\x00"
    with pytest.raises(m.DecodeError, match="after the last field"):
        m.decode_reply(payload)
    assert m.decode_reply(payload[:-1]).string_container == ["v2.1"]


@pytest.mark.parametrize("rid, fault, check", [
    (1, {"echo_id": 2}, lambda r: r.request_id == 2 and r.success),
    (0, {"success": True}, lambda r: r.request_id == 0 and r.success is True),
    (4, {"success": False}, lambda r: not r.success and len(r.string_container) == 8),
    (10, {"shorten": "int_container"},
     lambda r: len(r.int_container) == len(r.joint_groups) - 1 ==
     len(r.float_container) - 1),
    (9, {"shorten": "float2d_container"},
     lambda r: len(r.float2d_container) == len(r.joint_groups) - 1),
    (4, {"shorten": "string_container"}, lambda r: len(r.string_container) == 7),
    (1, {"shorten": "float_container"}, lambda r: r.float_container == []),
    (3, {"blank_entry": True},
     lambda r: r.string_container[1] == "" and r.string_container[0] == "jointGroup=3"),
])
def test_content_faults(sim, rpc, rid, fault, check):
    sim.faults.set_rpc(rid, **fault)
    reply = rpc.call(sim, rid, [0, 2, 3] if rid == 10 else [])
    assert check(reply), reply


def test_custom_reply_content(sim, rpc):
    custom = RPCReply(9, True, [3, 4], float2d_container=[[0.0] * 8, [1.0] * 7])
    sim.faults.custom_reply(9, custom)
    assert rpc.call(sim, 9) == custom
    sim.faults.custom_reply(10, lambda req: RPCReply(10, True, req.joint_groups[:1], [7], [],
                                                     [6.9]))
    assert rpc.call(sim, 10, [4, 3]).joint_groups == [4]
    sim.faults.custom_reply(1, b"\x01\x00\x01")
    assert rpc.replies(sim, 1)[0][1] == b"\x01\x00\x01"


def test_fault_applies_only_times_then_normal(sim, rpc):
    sim.faults.set_rpc(1, echo_id=7, times=2)
    assert [rpc.call(sim, 1).request_id for _ in range(3)] == [7, 7, 1]
    assert sim.faults.rpc_fault(1) is None


def test_answers_only_the_second_probe(sim, rpc):
    sim.faults.answer_from(0, 2)
    assert rpc.replies(sim, 0, timeout=1.0) == []
    assert rpc.call(sim, 0).success is False
    assert rpc.call(sim, 0).success is False
    assert sim.request_count(0) == 3


def test_primitive_states_corrupted_for_first_requests(sim, rpc):
    sim.faults.corrupt_primitive_states(2)
    lists = [rpc.call(sim, 3).string_container for _ in range(3)]
    assert "" in lists[0] and "" in lists[1] and "" not in lists[2]


def test_reset_removes_everything(sim, rpc):
    sim.faults.set_version("x")
    sim.faults.set_rpc(0, no_reply=True)
    sim.faults.set_stream("both", truncate=1)
    sim.faults.reset()
    assert rpc.call(sim, 0).request_id == 0
    assert rpc.call(sim, 1).string_container == ["v2.1"]
    assert not sim.faults.has_stream_faults()


def test_faults_validate_their_fields():
    with pytest.raises(ValueError):
        RpcFault(shorten="strings")
    with pytest.raises(ValueError):
        RpcFault(times=0)
    with pytest.raises(ValueError):
        StreamFault(bad_array="pose")


def test_faults_change_while_queries_arrive(sim, rpc):
    errors = []

    def churn():
        try:
            for i in range(200):
                sim.faults.set_rpc(1, echo_id=i % 3 + 1, times=1)
                sim.faults.clear_rpc(1)
        except Exception as exc:  # noqa: BLE001
            errors.append(exc)

    worker = threading.Thread(target=churn)
    worker.start()
    ids = {rpc.call(sim, 1).request_id for _ in range(20)}
    worker.join()
    assert not errors and ids <= {1, 2, 3}


# -- streams ---------------------------------------------------------------------------------------


def _faulty_sample(sim, tap, stream, **fault):
    """A sample published under ``fault`` and the next one after it (fault used up)."""
    t = tap(sim.key_basic if stream == "basic" else sim.key_extra)
    t.next()
    # Counted before the fault is set: the faulty sample may arrive before set_stream returns,
    # or after several samples still on their way (many under load).
    start = len(t.samples)
    sim.faults.set_stream(stream, times=1, **fault)
    samples = t.wait(start + 50)[start:]
    # The fault applies to exactly one sample: the others decode.
    bad = []
    decode = m.decode_basic if stream == "basic" else m.decode_extra
    for payload in samples:
        try:
            decode(payload)
        except m.DecodeError:
            bad.append(payload)
    return bad, samples


@pytest.mark.parametrize("stream, fault, error", [
    ("basic", {"truncate": 3}, "does not decode"),
    ("basic", {"truncate": 8}, "does not decode"),
    ("extra", {"truncate": 1}, "does not decode"),
    ("basic", {"trailing_byte": True}, "after the last field"),
    ("extra", {"trailing_byte": True}, "after the last field"),
    ("basic", {"bad_array": "safety_inputs"}, "safety_inputs has 7 entries"),
    ("basic", {"bad_array": "digital_inputs", "bad_array_size": 21}, "digital_inputs has 21"),
    ("basic", {"bad_array": "contact_forces", "bad_array_size": 4}, "contact_forces has 4"),
    ("basic", {"bad_array": "tcp_pose"}, "tcp_pose has 6"),
    ("basic", {"bad_array": "spare_array", "bad_array_size": 7}, "spare_array has 7"),
    ("extra", {"bad_array": "tcp_twist_d"}, "tcp_twist_d has 5"),
])
def test_malformed_stream_samples(sim, tap, stream, fault, error):
    bad, _ = _faulty_sample(sim, tap, stream, **fault)
    assert len(bad) == 1
    decode = m.decode_basic if stream == "basic" else m.decode_extra
    with pytest.raises(m.DecodeError, match=error):
        decode(bad[0])


def _decoded_under(sim, tap, **fault):
    t = tap(sim.key_basic)
    t.next()
    sim.pause("basic")
    time.sleep(0.05)  # samples already on their way arrive before the fault starts
    sim.faults.set_stream("basic", **fault)
    sim.resume("basic")
    payload = t.next()
    sim.faults.clear_stream()
    return m.decode_basic(payload)


@pytest.mark.parametrize("index", [6, 1])
def test_invalid_group_index(sim, tap, index):
    d = _decoded_under(sim, tap, group_index=index)
    assert d.joint_group_indices == [index, 2, 3, 4, 5]


def test_index_and_cartesian_count_mismatch(sim, tap):
    d = _decoded_under(sim, tap, count_mismatch=True)
    assert len(d.joint_group_indices) == 5 and len(d.cartesian_data) == 4


def test_short_full_dof_sequences(sim, tap):
    d = _decoded_under(sim, tap, drop_joints=3)
    assert len(d.joint_data.q) == 13 and len(d.joint_data.temperature) == 13 and len(d.joint_data.contact_forces) == 13


def test_transform_builds_any_sample(sim, tap):
    def zero_groups(sample):
        sample.joint_group_indices = []
        sample.cartesian_data = []
        return sample

    d = _decoded_under(sim, tap, transform=zero_groups)
    assert d.joint_group_indices == [] and d.cartesian_data == [] and len(d.joint_data.q) == 16


def test_stream_fault_until_cleared(sim, tap):
    t = tap(sim.key_extra)
    sim.faults.set_stream("extra", trailing_byte=True)
    start = len(t.samples)
    assert all(p.endswith(b"\x00") for p in t.wait(start + 5)[start:start + 5])
    sim.faults.clear_stream("extra")
    time.sleep(0.02)
    m.decode_extra(t.next())


# -- stopping ------------------------------------------------------------------------------------


def test_abrupt_stop_goes_silent_without_undeclaring(simulator, peer, tap, rpc):
    sim = simulator()
    assert wait_for_service(peer, sim.sn)
    basic = tap(sim.key_basic)
    basic.next()
    sim.stop(abrupt=True)
    time.sleep(0.05)
    count = len(basic.samples)
    # The queryable is still declared: the query reaches it and is held until it times out.
    began = time.monotonic()
    got = rpc.replies(sim, 0, timeout=0.4)
    assert time.monotonic() - began >= 0.35
    # Nothing but the querier's own timeout reports (under heavy load zenoh has given two).
    assert {kind for kind, _, _ in got} <= {"err"}
    assert len(basic.samples) == count
    assert m.REQ_PROBE not in sim.request_counts() or sim.request_count(0) == 1


_EXIT_UNDER_LOAD = r"""
import sys, time
from orbaltkvt_sim import Simulator
running, frozen = Simulator(sys.argv[1]).start(), Simulator(sys.argv[2]).start()
deadline = time.monotonic() + 10
while min(running.request_count(), frozen.request_count()) < 20 and time.monotonic() < deadline:
    time.sleep(0.01)
frozen.stop(abrupt=True)
time.sleep(0.5)
print("exiting", flush=True)
"""  # the running one is left running: the interpreter ends with both still receiving queries


def test_process_exits_cleanly_while_queried(peer, tmp_path):
    # Queries keep arriving while the interpreter ends, at a simulator left running (streams
    # publishing) and at one stopped abruptly (queryable declared); either used to abort the
    # process now and then, so a few rounds are run.
    script = tmp_path / "exit_under_load.py"
    script.write_text(_EXIT_UNDER_LOAD)
    payload = m.encode_request(m.RPCRequest(m.REQ_VERSION))
    for _ in range(6):
        sns = [unique_sn(), unique_sn()]
        proc = subprocess.Popen([sys.executable, str(script), *sns], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        while proc.poll() is None:
            for sn in sns:
                peer.get(f"orbalt/robot/{sn}/rpc", payload=payload, timeout=0.3,
                         handler=lambda _reply: None)
            time.sleep(0.001)
        out, err = proc.communicate()
        assert (proc.returncode, out) == (0, "exiting\n"), err[-2000:]
