"""Records a robot's samples into MCAP files and serves them to Foxglove viewers, in native code
on threads of its own.

Channels (G: each joint group given):
  /G/joint_states          foxglove.JointStates from q, dq, tau (rad, rad/s, Nm); joints
                           "<g>_joint<n>", n from 1
  /G/joint_states_desired  foxglove.JointStates from q_d, dq_d, tau_d
  /tf                      foxglove.FrameTransforms: world -> "G/tcp" and world -> "G/flange" (m)
  /tf_desired              foxglove.FrameTransforms: world -> "G/tcp_desired"
  /status                  JSON (schema "orbaltkvt.Status"): timestamp {sec, nsec},
                           estop_released, enabling_device_on, digital_inputs, digital_outputs,
                           safety_inputs, system_state, system_state_name, safety_board_state,
                           safety_board_state_name
  /raw/basic_stream_data   each basic sample's wire bytes, unchanged (encoding "zenoh-ext")
  /raw/extra_stream_data   each extra sample's wire bytes, unchanged

A basic sample gives one message on /G/joint_states, /tf, /status and /raw/basic_stream_data; an
extra sample one on /G/joint_states_desired, /tf_desired and /raw/extra_stream_data. In the file
the log time is the host's receive time (ns since the epoch), the publish time and every
message's timestamp the robot's (for extra samples: that of the newest basic sample before).

Every file starts with the metadata record "orbaltkvt" (serial_number, layout as JSON
{group: {start_id, dof}}, service_version, library_version, groups comma separated) and ends
with "orbaltkvt.counters" (basic_/extra_ received, delivered, dropped, gaps, malformed, and
samples_written: the counts since the bridge started, when that file was finished).
"""
from typing import Optional, Sequence, TypedDict

import orbaltkvt

class StreamCounters(TypedDict):
    received: int
    delivered: int
    dropped: int
    gaps: int
    malformed: int

class ViewerStats(TypedDict):
    id: int
    """1, 2, ... in the order viewers connected; a viewer that left stays listed."""
    subscriptions: int
    """Channels the viewer subscribes to now; 0 once it left."""
    queued: int
    """Channel messages put into the viewer's queue."""
    sent: int
    """Channel messages written to the viewer's connection."""
    dropped: int
    """Channel messages dropped from the viewer's queue, its oldest first, because the viewer
    fell behind. Once it left or the server stopped, queued = sent + dropped + what was still
    queued then."""

class Stats(TypedDict):
    basic: StreamCounters
    extra: StreamCounters
    samples_written: int
    """Basic and extra samples handed to the sinks."""
    messages_written: int
    """Messages written to the file(s)."""
    bytes_written: int
    files_written: int
    """Files started (1 without splitting)."""
    messages_served: int
    """Messages handed to the server (a viewer was subscribed to their channel)."""
    port: int
    viewers: list[ViewerStats]
    running: bool
    error: Optional[str]
    """Why the bridge stopped early (a write failed, e.g. the disk is full), else None."""

class Bridge:
    """Takes every sample of the client's robot and writes it to an MCAP file and/or serves it.

    Construction subscribes (a stream of its own beside the client, payloads kept), opens the
    file with its metadata and starts the server, then a native thread drains the stream.
    Raises RuntimeError when the file cannot be created or the server cannot listen, and
    ValueError for bad arguments.
    """

    def __init__(
        self,
        client: orbaltkvt.Client,
        groups: Sequence[orbaltkvt.JointGroup],
        mcap: Optional[str] = None,
        serve: Optional[tuple[str, int]] = None,
        server_name: str = "orbaltkvt",
        split_size: int = 0,
        split_duration: float = 0.0,
        chunk_duration: float = 1.0,
        chunk_size: int = 1048576,
        capacity: int = 10000,
        viewer_backlog: int = 1024,
    ) -> None:
        """
        groups: the joint groups written, 1 to 8 (ValueError otherwise).
        mcap: the file; None: no file. With split_size or split_duration the files are
            "<stem>_000<ext>", "<stem>_001<ext>", ... beside it (run.mcap: run_000.mcap, ...).
        serve: (host, port) of the WebSocket server (subprotocol foxglove.sdk.v1, .v1.1 or
            the older name foxglove.websocket.v1, whichever the viewer offers); port 0 picks
            one (see `port`). None: no server.
        split_size: bytes of a file before the next starts, between two samples; 0: never.
        split_duration: seconds of log time of a file before the next starts; 0: never.
        chunk_duration: seconds of log time after which a chunk ends and is written out, also
            when no sample arrives; 0: by size only.
        chunk_size: uncompressed bytes after which a chunk ends.
        capacity: samples queued per stream before the oldest are dropped (and counted).
        viewer_backlog: channel messages queued per viewer before its oldest are dropped (and
            counted per viewer).
        """

    @property
    def port(self) -> int:
        """The server's port; 0 without a server."""

    def wait(self, seconds: float) -> bool:
        """Waits up to `seconds` while the bridge runs (the interpreter lock released).
        True while it runs; False once it has failed, stopped or been closed."""

    def stats(self) -> Stats: ...

    def close(self) -> Stats:
        """Writes what is queued, the counters record, finishes the file(s) and stops the
        server; the final stats. Idempotent."""

    def __enter__(self) -> "Bridge": ...
    def __exit__(self, *args: object) -> None: ...

class FlightFile(TypedDict):
    path: str
    trigger: str
    """The triggers it holds, "+"-joined: "estop", "fault", "safety", "input:N", "manual"."""
    trigger_ns: int
    """Robot time of the (first) trigger sample, ns; the file is "<stem>_<s>.<ns:09><ext>"."""
    first_ns: int
    """Robot time of its first basic sample, ns."""
    last_ns: int
    """Robot time of its last basic sample, ns."""
    samples: int
    """Basic and extra samples written."""

class FlightStats(TypedDict):
    basic: StreamCounters
    extra: StreamCounters
    ring_bytes: int
    """Bytes the ring holds now (wire bytes and per-sample times)."""
    max_bytes: int
    """The ring's bound."""
    evicted: int
    """Samples the bound pushed out of the ring before they were old enough."""
    pending: int
    """Files waiting for their after-window."""
    files: list[FlightFile]
    running: bool
    error: Optional[str]

class FlightRecorder:
    """Keeps the last `seconds` of the client's robot in a bounded native ring (wire bytes,
    decoded again only for a file) and, on each trigger, writes the samples from `seconds`
    before to `after` seconds after it (robot time) to a recording of its own, with the channels
    and metadata of a Bridge file. A trigger within a pending file's after-window extends it
    (the file up to 2 x (seconds + after) long); a later one starts the next file, which may
    overlap it. Raises ValueError for bad arguments, RuntimeError when the stream cannot open.
    """

    def __init__(
        self,
        client: orbaltkvt.Client,
        groups: Sequence[orbaltkvt.JointGroup],
        path: str,
        seconds: float,
        after: float = 2.0,
        triggers: Sequence[str] = (),
        chunk_duration: float = 1.0,
        chunk_size: int = 1048576,
        capacity: int = 10000,
        max_bytes: int = 0,
    ) -> None:
        """
        path: FILE.mcap; each file is "FILE_<s>.<ns:09>.mcap" after its trigger's robot time.
        triggers: "estop" (estop_released true -> false), "fault" (system_state enters
            FAULT_MANUAL, FAULT_AUTO or FAULT_EXTERNAL_AUTO), "safety" (safety_board_state
            leaves NORMAL, 12), "input:N" (digital input N, 0 to 19, changes either way).
        capacity: samples queued per stream while a file is written.
        max_bytes: the ring's bound; 0: room for 2 x (seconds + after) at 1 kHz of this
            robot's samples (see `max_bytes`).
        """

    @property
    def max_bytes(self) -> int:
        """The ring's memory bound, bytes."""

    def trigger(self) -> None:
        """A trigger by hand at the newest sample's robot time."""

    def wait(self, seconds: float) -> bool: ...
    def stats(self) -> FlightStats: ...
    def close(self) -> FlightStats:
        """Takes what is queued, writes each pending file with what it has, stops. Idempotent."""

    def __enter__(self) -> "FlightRecorder": ...
    def __exit__(self, *args: object) -> None: ...
