"""A robot's recordings (kvt record) as numpy arrays, decoded by the library's own decoder."""
import os
from typing import Any, Iterable, Iterator, Optional, Union

import numpy as np
import numpy.typing as npt
from orbaltkvt import JointGroup
from orbaltkvt_tools.clock import ClockEstimate

PathLike = Union[str, os.PathLike[str]]
RAW_BASIC: str
RAW_EXTRA: str
METADATA: str
COUNTERS: str

class RecordingError(ValueError):
    """A file that is not a whole recording of a robot; the text is one line naming the file."""

class Stream:
    """One stream's samples, a row each, in the order the host received them."""
    receive_time_ns: npt.NDArray[np.int64]
    """(N,) host receive time, ns since the Unix epoch."""
    robot_time_ns: npt.NDArray[np.int64]
    """(N,) the robot's timestamp in ns (extra: that of the basic sample before)."""
    timestamp: npt.NDArray[np.int64]
    """(N, 2) the robot's (seconds, nanoseconds)."""
    valid: npt.NDArray[np.bool_]
    """(N,) the sample decoded and fit the recorded joint layout."""
    groups: dict[JointGroup, dict[str, npt.NDArray[np.float64]]]
    """Per group: per-joint fields (N, DoF) for the groups of the recorded layout (views into
    joints); Cartesian fields (N, 7) poses, (N, 6) twists and wrenches for every listed group."""
    joints: dict[str, npt.NDArray[np.float64]]
    """{field: (N, J)} every joint each sample carries, in full-DoF order; NaN beyond a
    sample's own joints."""
    status: dict[str, npt.NDArray[np.generic]]
    """Basic only: estop_released, enabling_device_on (N,); digital_inputs, digital_outputs
    (N, 20); safety_inputs (N, 8); system_state, safety_board_state (N,) int32."""
    robot_time_host_ns: npt.NDArray[np.int64]
    """(N,) the robot's timestamp on the host's clock, ns since the Unix epoch."""
    __hash__ = None  # type: ignore[assignment]
    def __len__(self) -> int: ...

class Recording:
    """A recording's robot and every sample of its two streams."""
    files: list[str]
    serial_number: str
    layout: dict[JointGroup, tuple[int, int]]
    """{JointGroup: (start_id, dof)}: the layout the recorder read the robot with."""
    service_version: str
    library_version: str
    counters: dict[str, int]
    """The recorder's loss counters at the end of the last file, since the recording began."""
    basic: Stream
    """Measured states (RobotStates fields) and status."""
    extra: Stream
    """Desired actions (RobotActions fields)."""
    clock: Optional[ClockEstimate]
    """The robot's clock against the host's: stored by the recorder, else estimated at load."""
    __hash__ = None  # type: ignore[assignment]
    def to_arrow(self) -> dict[str, Any]:
        """{"basic": pyarrow.Table, "extra": pyarrow.Table}, columns named as kvt export's CSV."""
    def to_pandas(self) -> dict[str, Any]:
        """{"basic": pandas.DataFrame, "extra": pandas.DataFrame}."""
    def to_polars(self) -> dict[str, Any]:
        """{"basic": polars.DataFrame, "extra": polars.DataFrame}."""

def load(path: Union[PathLike, Iterable[PathLike]], start: Optional[float] = None,
         end: Optional[float] = None, groups: Optional[Iterable[Union[JointGroup, str]]] = None,
         fields: Optional[Iterable[str]] = None, streams: Iterable[str] = ("basic", "extra"),
         dtype: npt.DTypeLike = np.float64) -> Recording:
    """The samples of a recording, or of the files of one split recording given in order.
    start/end [s from the first sample]: rows received in [start, end), only the chunks that
    overlap read. groups, fields (both streams; status too): only those columns; with groups,
    joints is empty and the groups' per-joint fields are arrays of their own; with fields,
    joints holds only those. streams: "basic", "extra" (another one is empty). dtype float64
    or float32 (the wire's exact values). Raises RecordingError for a file that is
    unreadable, cut short or not such a recording; ValueError for an unknown group, field,
    stream or dtype."""

def windows(path: Union[PathLike, Iterable[PathLike]], seconds: float = 10.0,
            start: Optional[float] = None, end: Optional[float] = None, *,
            groups: Optional[Iterable[Union[JointGroup, str]]] = None,
            fields: Optional[Iterable[str]] = None, streams: Iterable[str] = ("basic", "extra"),
            dtype: npt.DTypeLike = np.float64) -> Iterator[Recording]:
    """Consecutive Recordings of `seconds` each, [start + k * seconds, ...), from start
    (default 0) to end (default the last sample), with load's options: one window in memory
    at a time."""
