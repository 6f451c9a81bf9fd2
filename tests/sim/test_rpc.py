"""The request/reply service, queried from a separate zenoh peer."""

import pytest

from orbaltkvt_sim import messages as m



def test_probe_is_answered_with_success_false(sim, rpc):
    reply = rpc.call(sim, 0)
    assert reply == m.RPCReply(0, False)


def test_version_primitive_states_and_plan_info(sim, rpc):
    version = rpc.call(sim, 1)
    assert (version.request_id, version.success) == (1, True)
    assert version.string_container[0] == "v2.1"

    states = rpc.call(sim, 3)
    assert states.success and states.string_container[0] == "jointGroup=3"
    assert all("=" in e and not e.startswith("=") for e in states.string_container)

    plan = rpc.call(sim, 4)
    assert plan.success and len(plan.string_container) == 8
    float(plan.string_container[6])
    int(plan.string_container[7])


def test_manipulability_one_row_per_group(sim, rpc):
    reply = rpc.call(sim, 9)
    assert reply.success and reply.joint_groups == [0, 2, 3, 4, 5]
    assert len(reply.float2d_container) == 5
    assert all(len(row) >= 8 for row in reply.float2d_container)


@pytest.mark.parametrize("asked", [[0, 2, 3, 4, 5], [4, 3], [3, 3], []])
def test_start_ids_rows_for_exactly_the_groups_asked(sim, rpc, asked):
    reply = rpc.call(sim, 10, asked)
    layout = {0: (0, 16), 2: (0, 14), 3: (0, 7), 4: (7, 7), 5: (14, 2)}
    assert reply.success and reply.joint_groups == asked
    assert reply.int_container == [layout[g][0] for g in asked]
    assert reply.float_container == [float(layout[g][1]) for g in asked]


def test_single_preset_layout(simulator, peer, rpc):
    from orbaltkvt_sim.testing import wait_for_service
    sim = simulator(preset="single")
    assert wait_for_service(peer, sim.sn)
    reply = rpc.call(sim, 10, [0, 2, 3, 4, 5])
    assert reply.int_container == [0, 0, 0, 0, 0]
    assert reply.float_container == [7.0, 0.0, 7.0, 0.0, 0.0]
    assert rpc.call(sim, 9).joint_groups == [0, 3]


@pytest.mark.parametrize("rid", [2, 5, 11, 65535])
def test_unknown_ids_fail_but_echo_the_id(sim, rpc, rid):
    reply = rpc.call(sim, rid)
    assert (reply.request_id, reply.success) == (rid, False)


def test_malformed_request_gets_an_error_reply(sim, rpc):
    got = rpc.replies(sim, None, payload=b"\x01")
    assert [kind for kind, _, _ in got] == ["err"], got
    assert sim.malformed_requests == 1
    assert sim.request_count() == 0


def test_requests_are_counted_per_id(sim, rpc):
    for rid in (0, 0, 4, 10):
        rpc.call(sim, rid, [3] if rid == 10 else [])
    assert sim.request_counts() == {0: 2, 4: 1, 10: 1}
    assert sim.request_count(0) == 2 and sim.request_count() == 4
    assert sim.requests()[-1] == m.RPCRequest(10, [3])
    sim.reset_counts()
    assert sim.request_count() == 0


def test_wait_for_requests(sim, rpc):
    assert not sim.wait_for_requests(1, 1, timeout=0.05)
    rpc.call(sim, 1)
    assert sim.wait_for_requests(1, 1, timeout=1.0)


def test_reply_payload_is_zenoh_serialized(sim, peer):
    import zenoh
    replies = list(peer.get(sim.key_rpc, payload=m.encode_request(m.RPCRequest(1)), timeout=2.0))
    assert len(replies) == 1
    sample = replies[0].ok
    assert str(sample.encoding) == str(zenoh.Encoding.ZENOH_SERIALIZED)
    assert m.decode_reply(sample.payload.to_bytes()).string_container == ["v2.1"]
