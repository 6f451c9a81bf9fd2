"""Simulator of one robot's data service for testing and benchmarking orbaltkvt clients.

Quick start (inside a private network namespace, see the README)::

    from orbaltkvt_sim import Simulator

    with Simulator("ORB-SIM-0001", preset="dual") as sim:
        sim.faults.set_rpc(0, no_reply=True, times=1)   # the first probe goes unanswered
        ...                                             # run a client against "ORB-SIM-0001"
        assert sim.request_count(0) == 2
"""

from .faults import Faults, RpcFault, StreamFault
from .messages import (
    AllBasicStreamData,
    AllExtraStreamData,
    BasicCartesianData,
    BasicJointData,
    DecodeError,
    ExtraCartesianData,
    ExtraJointData,
    RPCReply,
    RPCRequest,
)
from .fleet import Fleet
from .keys import KEY_PREFIX, SERVICE_VERSION, normalize_sn, session_config
from .model import PRESETS, GroupSpec, RobotModel, make_layout
from .recording import Recording, RecordingError
from .remote import RemoteSimulator
from .simulator import Simulator

__all__ = [
    "AllBasicStreamData", "AllExtraStreamData", "BasicCartesianData", "BasicJointData",
    "DecodeError", "ExtraCartesianData", "ExtraJointData", "Faults", "Fleet", "GroupSpec",
    "KEY_PREFIX", "PRESETS", "RPCReply", "RPCRequest", "Recording", "RecordingError",
    "RemoteSimulator", "RobotModel", "RpcFault", "SERVICE_VERSION", "Simulator", "StreamFault",
    "make_layout", "normalize_sn", "session_config",
]
