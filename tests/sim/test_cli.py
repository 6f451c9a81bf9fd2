"""The orbaltkvt-sim command: option parsing, and the program run as a separate process."""

import time

import pytest

from orbaltkvt_sim import RPCReply, RpcFault, StreamFault
from orbaltkvt_sim import messages as m
from orbaltkvt_sim.cli import parser
from orbaltkvt_sim.testing import wait_for_service



def parse(*args):
    return parser().parse_args(["--sn", "ORB-1", *args])


def test_fault_options_parse_into_faults():
    args = parse("--rpc-fault", "0:no_reply,times=1", "--rpc-fault", "10:shorten=int_container",
                 "--rpc-fault", "1:echo_id=2,success=false,delay=0.5",
                 "--stream-fault", "basic:bad_array=tcp_pose,bad_array_size=6",
                 "--rpc-reply", '4:{"success": true, "string_container": ["a"], "times": 2}')
    assert args.rpc_fault == [(0, RpcFault(no_reply=True, times=1)),
                              (10, RpcFault(shorten="int_container")),
                              (1, RpcFault(echo_id=2, success=False, delay=0.5))]
    assert args.stream_fault == [("basic", StreamFault(bad_array="tcp_pose", bad_array_size=6))]
    assert args.rpc_reply == [(4, RpcFault(reply=RPCReply(4, True, string_container=["a"]),
                                           times=2))]


def test_layout_options():
    args = parse("--layout", "ARM_1:0:6,4:6:6", "--switch-layout", "2.5:single")
    assert [(g.group, g.start, g.dof) for g in args.layout] == [(3, 0, 6), (4, 6, 6)]
    assert args.switch_layout[0][0] == 2.5 and args.switch_layout[0][1] == "single"


@pytest.mark.parametrize("bad", [
    ["--rpc-fault", "0:nope"],
    ["--rpc-fault", "x:no_reply"],
    ["--rpc-fault", "0:shorten=strings"],
    ["--stream-fault", "both:group_index=6,colour=red"],
    ["--stream-fault", "other:truncate=1"],
    ["--rpc-reply", "4:{not json}"],
    ["--layout", "ARM_1:0"],
    ["--switch-layout", "soon:single"],
    ["--preset", "triple"],
])
def test_bad_options_are_refused(bad, capsys):
    with pytest.raises(SystemExit) as exc:
        parse(*bad)
    assert exc.value.code == 2


def _first(peer, key, timeout=10.0):
    got = []
    sub = peer.declare_subscriber(key, lambda s: got.append(s.payload.to_bytes()))
    deadline = time.monotonic() + timeout
    while not got and time.monotonic() < deadline:
        time.sleep(0.01)
    sub.undeclare()
    assert got, "no sample"
    return got[0]


def test_process_with_faults_then_sigterm(simulator_process, peer, rpc):
    proc = simulator_process("--rate", "200", "--preset", "single", "--version-text", "v9",
                             "--stream-fault", "basic:group_index=6",
                             "--answer-from", "4:2")
    assert wait_for_service(peer, proc.sn)
    key = "orbalt/robot/" + proc.sn + "/rpc"
    assert rpc.call(key, 1).string_container == ["v9"]
    assert rpc.replies(key, 4, timeout=1.0) == []
    assert len(rpc.call(key, 4).string_container) == 8
    sample = m.decode_basic(_first(peer, "orbalt/robot/" + proc.sn + "/basic_stream_data"))
    assert sample.joint_group_indices == [6, 3] and len(sample.joint_data.q) == 7
    assert proc.terminate() == 0
    assert "SIGTERM received" in proc.log and proc.log.splitlines()[-1].endswith("stopped")
    assert "request id 4: no reply" in proc.log


def test_sigint_stops_cleanly(simulator_process):
    proc = simulator_process("--no-streams", "--realtime", "1")
    pid = proc.proc.pid
    # Starting a running one again (as a with-block does) must not leave a second robot behind.
    assert proc.start() is proc and proc.proc.pid == pid
    assert proc.interrupt() == 0
    assert "SIGINT received" in proc.log
    assert "real-time priority" not in proc.log  # root in the test namespace: no warning


def test_abort_exits_without_cleanup_and_layout_switches(simulator_process, peer):
    proc = simulator_process("--no-rpc", "--rate", "100", "--switch-layout", "0.2:single",
                             "--abort-after", "1.5")
    key = "orbalt/robot/" + proc.sn + "/basic_stream_data"
    assert proc.wait_for_log("joint groups now ALL(0/7),ARM_1(0/7)")
    assert m.decode_basic(_first(peer, key)).joint_group_indices == [0, 3]
    assert proc.wait(10.0) == 3
    assert "aborting" in proc.log and not proc.log.splitlines()[-1].endswith("stopped")
