"""Recordings (kvt record) read natively: the raw channels chunk by chunk through the file's
summary, decoded by the library's decoder straight into numpy columns."""
from typing import Any, Iterable, Optional

RAW_TOPICS: tuple[str, str]

class FormatError(ValueError):
    """The file is not a complete MCAP file (cut short, damaged, or something else)."""

class Reader:
    """One recording file opened through its summary. Raises OSError for a file that cannot be
    read, FormatError for one that is not a complete MCAP file."""
    def __init__(self, path: str) -> None: ...
    @property
    def metadata(self) -> dict[str, dict[str, str]]:
        """{record name: {key: value}} of the file's metadata records."""
    @property
    def counts(self) -> dict[str, int]:
        """{raw topic: messages} from the file's statistics (empty without them)."""
    def has_topic(self, topic: str) -> bool:
        """Whether the file has a channel on this raw topic."""
    @property
    def start_time_ns(self) -> int:
        """Earliest receive time of any message, ns since the Unix epoch."""
    @property
    def end_time_ns(self) -> int:
        """Latest receive time of any message (inclusive), ns."""

def read(paths: list[str], layout: list[tuple[int, int, int]], start_ns: int, end_ns: int,
         basic: bool = True, extra: bool = True, groups: Optional[Iterable[int]] = None,
         fields: Optional[Iterable[str]] = None,
         float32: bool = False) -> dict[str, dict[str, Any]]:
    """The samples received in [start_ns, end_ns) of the files of one recording, in order:
    {"basic": ..., "extra": ...}, each {receive_time_ns, robot_time_ns, timestamp, valid,
    joints, groups, status}. layout: [(JointGroup value, start_id, dof)]. groups (JointGroup
    values) and fields (names) select what is made: without groups, joints holds every joint
    ({field: (N, J)}) and groups ({JointGroup value: {field: array}}) the Cartesian fields;
    with them, groups also holds the groups' per-joint fields and joints is empty. float32:
    float columns in float32. Releases the interpreter lock while it reads."""
