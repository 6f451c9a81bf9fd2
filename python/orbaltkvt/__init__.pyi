"""Orbalt Kovetra (KVT)"""

from typing import Annotated, ClassVar, Union



class JointGroup:
    """A group of the robot's joints."""

    UNKNOWN: ClassVar[JointGroup]
    ALL: ClassVar[JointGroup]
    ARMS: ClassVar[JointGroup]
    ARM_1: ClassVar[JointGroup]
    ARM_2: ClassVar[JointGroup]
    EXT_AXIS: ClassVar[JointGroup]
    __members__: ClassVar[dict[str, JointGroup]]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

UNKNOWN: JointGroup
ALL: JointGroup
ARMS: JointGroup
ARM_1: JointGroup
ARM_2: JointGroup
EXT_AXIS: JointGroup

class RobotStates:
    """Measured state of one joint group."""

    timestamp: tuple[int, int]
    q: list[float]
    theta: list[float]
    dq: list[float]
    dtheta: list[float]
    tau: list[float]
    tau_dot: list[float]
    tau_ext: list[float]
    tau_interact: list[float]
    temperature: list[float]
    flange_pose: Annotated[list[float], "FixedSize(7)"]
    tcp_pose: Annotated[list[float], "FixedSize(7)"]
    tcp_twist: Annotated[list[float], "FixedSize(6)"]
    tcp_wrench: Annotated[list[float], "FixedSize(6)"]
    tcp_wrench_local: Annotated[list[float], "FixedSize(6)"]
    raw_tcp_wrench: Annotated[list[float], "FixedSize(6)"]
    raw_tcp_wrench_local: Annotated[list[float], "FixedSize(6)"]
    raw_ft_sensor: Annotated[list[float], "FixedSize(6)"]
    def __init__(self) -> None: ...

class RobotActions:
    """Desired state of one joint group."""

    timestamp: tuple[int, int]
    q_d: list[float]
    dq_d: list[float]
    tau_d: list[float]
    tcp_pose_d: Annotated[list[float], "FixedSize(7)"]
    tcp_twist_d: Annotated[list[float], "FixedSize(6)"]
    tcp_wrench_d: Annotated[list[float], "FixedSize(6)"]
    def __init__(self) -> None: ...

class PrimitiveStates:
    """The primitive running on one joint group and its state variables."""

    pt_name: str
    names_and_values: dict[str, Union[int, float, str]]
    def __init__(self) -> None: ...

class PlanInfo:
    """What the robot's plan executor is doing."""

    pt_name: str
    node_name: str
    node_path: str
    node_path_time_period: str
    node_path_number: str
    assigned_plan_name: str
    velocity_scale: float
    waiting_for_step: bool
    def __init__(self) -> None: ...

class Client:
    """Reads live data from one robot."""

    def __init__(self, robot_sn: str, verbose: bool = True) -> None: ...
    def connected(self) -> bool: ...
    def groups(self) -> dict[JointGroup, str]: ...
    def states(self) -> dict[JointGroup, RobotStates]: ...
    def actions(self) -> dict[JointGroup, RobotActions]: ...
    def primitive_states(self) -> dict[JointGroup, PrimitiveStates]: ...
    def configuration_score(self) -> dict[JointGroup, tuple[float, float]]: ...
    def plan_info(self) -> PlanInfo: ...
    def estop_released(self) -> bool: ...
    def enabling_device_on(self) -> bool: ...
    def digital_inputs(self) -> Annotated[list[bool], "FixedSize(20)"]: ...
    def digital_outputs(self) -> Annotated[list[bool], "FixedSize(20)"]: ...
