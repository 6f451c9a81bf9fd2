"""Every sample of a robot's two data streams, beside orbaltkvt.Client.

SampleStream hands the samples over in batches of numpy columns, with loss counters; Decoder
turns kept payloads (a recording's raw channels) into the same form. Units are the robot's:
rad, rad/s, Nm, m; times in ns.
"""
from __future__ import annotations

from types import TracebackType
from typing import Iterable, NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from orbaltkvt import Client, JointGroup

Layout = dict[JointGroup, tuple[int, int]]

class Field(NamedTuple):
    """One field of a record: its name (as in the batches and recordings), the wire field it
    is made from, its width (0: one per joint of the group), numpy dtype, unit and meaning."""
    name: str
    source: str
    width: int
    dtype: str
    unit: str
    meaning: str

FIELDS: dict[str, tuple[Field, ...]]
"""The fields of "RobotStates", "RobotActions" and "status", in the batches' order."""

class Counters:
    """What happened to one stream's samples since the stream started.

    received == delivered + dropped + malformed + the samples still queued."""
    @property
    def received(self) -> int: ...
    @property
    def delivered(self) -> int: ...
    @property
    def dropped(self) -> int:
        """Oldest samples dropped because the reader fell behind (queue full)."""
    @property
    def gaps(self) -> int:
        """Samples the robot sent that never arrived, from gaps in its timestamps (the period
        is the smallest step seen; a step after 0.25 s of silence is a pause, not a gap).
        Always 0 for the extra stream."""
    @property
    def malformed(self) -> int: ...
    def _asdict(self) -> dict[str, int]: ...

class BasicBatch:
    """N basic (measured) samples, one row each, in arrival order."""
    @property
    def receive_time_ns(self) -> npt.NDArray[np.int64]:
        """(N,) host receive time, ns since the Unix epoch."""
    @property
    def timestamp(self) -> npt.NDArray[np.int64]:
        """(N, 2) the robot's (seconds, nanoseconds), as in RobotStates.timestamp."""
    @property
    def robot_time_ns(self) -> npt.NDArray[np.int64]:
        """(N,) the robot's timestamp in ns."""
    @property
    def valid(self) -> npt.NDArray[np.bool_]:
        """(N,) the sample decoded and fit the joint layout; other rows are NaN."""
    @property
    def groups(self) -> dict[JointGroup, dict[str, npt.NDArray[np.float64]]]:
        """Every RobotStates field per group (FIELDS["RobotStates"]); NaN where a sample lacks
        the group. Poses are x, y, z [m], qw, qx, qy, qz.

        fields: q, theta, dq, dtheta, tau, tau_dot, tau_ext, tau_interact, temperature (N, DoF);
        flange_pose, tcp_pose (N, 7); tcp_twist, tcp_wrench, tcp_wrench_local, raw_tcp_wrench,
        raw_tcp_wrench_local, raw_ft_sensor (N, 6)"""
    @property
    def status(self) -> dict[str, npt.NDArray[np.generic]]:
        """One array per field of FIELDS["status"]: flags bool, codes int32; (N,) for a single
        value, (N, channels) for channels (names of codes: system_state_name,
        safety_board_state_name)."""
    @property
    def payloads(self) -> list[bytes]:
        """Each sample's wire bytes when kept (keep_payloads), else empty."""
    @property
    def joints(self) -> dict[str, npt.NDArray[np.float64]]:
        """Every joint each sample carries, in the robot's full-DoF order whatever the layout;
        J the most joints of any sample, NaN beyond a sample's own. Filled by
        Decoder.decode(every_joint=True), else empty.

        fields: q, theta, dq, dtheta, tau, tau_dot, tau_ext, tau_interact, temperature (N, J)"""
    def __len__(self) -> int: ...

class ExtraBatch:
    """N extra (desired) samples, one row each, in arrival order."""
    @property
    def receive_time_ns(self) -> npt.NDArray[np.int64]: ...
    @property
    def timestamp(self) -> npt.NDArray[np.int64]:
        """(N, 2) the timestamp of the newest basic sample received before each one."""
    @property
    def robot_time_ns(self) -> npt.NDArray[np.int64]: ...
    @property
    def valid(self) -> npt.NDArray[np.bool_]: ...
    @property
    def groups(self) -> dict[JointGroup, dict[str, npt.NDArray[np.float64]]]:
        """Every RobotActions field per group (FIELDS["RobotActions"]).

        fields: q_d, dq_d, tau_d (N, DoF); tcp_pose_d (N, 7); tcp_twist_d, tcp_wrench_d (N, 6)"""
    @property
    def payloads(self) -> list[bytes]: ...
    @property
    def joints(self) -> dict[str, npt.NDArray[np.float64]]:
        """Every joint each sample carries, in full-DoF order; filled by
        Decoder.decode(every_joint=True), else empty.

        fields: q_d, dq_d, tau_d (N, J)"""
    def __len__(self) -> int: ...

class Batch:
    """Samples of both streams taken in one call; receive times order them against each
    other."""
    @property
    def basic(self) -> BasicBatch: ...
    @property
    def extra(self) -> ExtraBatch: ...
    def __len__(self) -> int: ...

class SampleStream:
    """Every sample of the client's robot, queued in native code until next() takes it.

    The transport's threads only decode and queue; a full queue (capacity samples per stream)
    drops its oldest samples and counts them. Holds its own subscriptions: the client keeps
    working as before."""
    def __init__(self, client: Client, capacity: int = 10000, keep_payloads: bool = False,
                 max_latency: float = 0.0) -> None:
        """max_latency: seconds a queued sample may wait before a waiting next() is woken; 0
        wakes it for every sample, a few ms once a batch (less CPU, up to that much delay)."""
    def next(self, timeout: float = 0.1, max_samples: int = 0) -> Batch:
        """Queued samples (at most max_samples per stream, 0: all), waiting up to timeout
        seconds for the first; the interpreter lock is released while waiting."""
    async def next_async(self, timeout: float = 0.1, max_samples: int = 0) -> Batch:
        """next() for asyncio: waits on a thread of the stream's own without the interpreter
        lock; a cancelled call hands its batch to the next one, so no sample is lost."""
    def __aiter__(self) -> SampleStream: ...
    async def __anext__(self) -> Batch:
        """Every non-empty batch; after interrupt() the queued samples still come, then the
        loop ends (at once once the stream is closed)."""
    def interrupt(self) -> None:
        """Makes a waiting next() return now, and later ones return without waiting."""
    def basic_counters(self) -> Counters: ...
    def extra_counters(self) -> Counters: ...
    @property
    def layout(self) -> Layout:
        """{JointGroup: (start_id, dof)}: the client's joint layout."""
    @property
    def serial_number(self) -> str: ...
    def close(self) -> None:
        """Ends the subscriptions; queued samples are discarded. Idempotent."""
    def __enter__(self) -> SampleStream: ...
    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None: ...

class Decoder:
    """Kept payloads into Batch form, with the library's own decoder and a joint layout."""
    def __init__(self, layout: Layout) -> None: ...
    def decode(self, basic_payloads: Iterable[bytes], basic_receive_time_ns: npt.ArrayLike,
               extra_payloads: Iterable[bytes] = ..., extra_receive_time_ns: Optional[npt.ArrayLike] = None,
               *, every_joint: bool = False) -> Batch:
        """Both streams in receive-time order, so extra rows carry the timestamp of the basic
        sample before them; a payload that does not decode is a row with valid False.
        every_joint: also fill each stream's joints columns with every joint the samples
        carry, whatever the layout."""
    @property
    def layout(self) -> Layout: ...

def system_state_name(code: int) -> str:
    """'WORKING_AUTO_EXECUTE' etc.; '' for a code without a name."""
def safety_board_state_name(code: int) -> str:
    """'NORMAL', 'CAT_0_STOP', 'UNKNOWN' (-1) etc.; '' for a code without a name."""
