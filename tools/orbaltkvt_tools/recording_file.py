"""One recording file opened for its raw channels: the robot it names, its counters and the
wire payloads of both streams. Everything in the tools that reads samples from a file opens it
here: :class:`RecordingIndex` natively, through the file's summary (``load``, ``windows``, and
through them ``export`` and ``plot``), :class:`RecordingFile` message by message with the mcap
package (the benchmarks and the format's tests). ``kvt recover`` alone reads files record by
record, since it must read files no seeking reader accepts.
"""
from __future__ import annotations

import os
from typing import Iterator, Optional, Union

from . import recording_format as fmt
from .counters import counters_dict

PathLike = Union[str, "os.PathLike[str]"]


class RecordingError(ValueError):
    """A file that is not a whole recording of a robot; the text is one line naming the file."""


def unreadable(path: str, text: str) -> RecordingError:
    """The error for a file that is not a complete MCAP file; ``text`` says what is wrong."""
    text = text.replace("\n", " ")
    return RecordingError(f"{path} is not a readable MCAP file ({text}); a recording cut short "
                          "can be made whole with 'kvt recover'")


def not_a_recording(path: str) -> RecordingError:
    return RecordingError(f'{path} is not a recording of a robot (it has no "{fmt.METADATA}" '
                          'metadata record)')


def no_raw_channel(path: str) -> RecordingError:
    return RecordingError(f"{path} holds no {fmt.RAW_BASIC} channel: the samples cannot be "
                          "decoded without the robot's payloads")


class RecordingIndex:
    """A complete recording opened natively (``orbaltkvt_recording.Reader``): its summary and
    metadata only, no sample. Checked as :class:`RecordingFile` is, with the same errors."""

    def __init__(self, path: PathLike):
        import orbaltkvt_recording

        self.path = os.fspath(path)
        try:
            open(self.path, "rb").close()  # the system's own words for a file it will not open
            reader = orbaltkvt_recording.Reader(self.path)
        except OSError as exc:
            raise RecordingError(f"cannot read {self.path}: {exc.strerror or exc}") from None
        except orbaltkvt_recording.FormatError as exc:
            raise unreadable(self.path, f"FormatError: {exc}") from None
        meta = reader.metadata.get(fmt.METADATA)
        if meta is None:
            raise not_a_recording(self.path)
        if not reader.has_topic(fmt.RAW_BASIC):
            raise no_raw_channel(self.path)
        self.metadata: dict[str, str] = dict(meta)
        """The ``orbaltkvt`` record as written: serial_number, layout, groups, versions."""
        self.counters: dict[str, int] = counters_dict(reader.metadata.get(fmt.COUNTERS, {}))
        """The ``orbaltkvt.counters`` record (empty when the file lacks it)."""
        self.clock: dict[str, str] = dict(reader.metadata.get(fmt.CLOCK, {}))
        """The ``orbaltkvt.clock`` record (empty when the file lacks it)."""
        self.counts: dict[str, int] = dict(reader.counts)
        """Messages per raw topic from the file's statistics (empty without them)."""
        self.start_ns: int = reader.start_time_ns
        """Receive time of the file's first message, ns since the Unix epoch."""
        self.end_ns: int = reader.end_time_ns
        """Receive time of its last message (inclusive)."""

    def layout(self) -> dict[str, tuple[int, int]]:
        """{group name: (start_id, dof)} the recorder read the robot with."""
        return _layout(self.path, self.metadata)


def _layout(path: str, metadata: dict[str, str]) -> dict[str, tuple[int, int]]:
    try:
        return fmt.parse_layout(metadata.get(fmt.LAYOUT, ""))
    except ValueError as exc:
        raise RecordingError(f"{path}: bad joint layout in the metadata ({exc})") from None


class RecordingFile:
    """A complete recording, checked when opened: it must have the ``orbaltkvt`` metadata
    record and a ``/raw/basic_stream_data`` channel. Raises :class:`RecordingError` for a file
    that cannot be read, is cut short or is not such a recording, also while iterating.
    """

    def __init__(self, path: PathLike):
        from mcap.reader import make_reader

        self.path = os.fspath(path)
        try:
            self._file = open(self.path, "rb")
        except OSError as exc:
            raise RecordingError(f"cannot read {self.path}: {exc.strerror or exc}") from None
        try:
            with self._reading():
                self._reader = make_reader(self._file)
                meta: Optional[dict[str, str]] = None
                counters: dict[str, int] = {}
                for record in self._reader.iter_metadata():
                    if record.name == fmt.METADATA:
                        meta = dict(record.metadata)
                    elif record.name == fmt.COUNTERS:
                        counters = counters_dict(record.metadata)
                if meta is None:
                    raise not_a_recording(self.path)
                summary = self._reader.get_summary()
                topics = {c.id: c.topic for c in summary.channels.values()}
                if fmt.RAW_BASIC not in topics.values():
                    raise no_raw_channel(self.path)
                stats = summary.statistics
                self.counts: dict[str, int] = (
                    {topics[i]: n for i, n in stats.channel_message_counts.items() if i in topics}
                    if stats is not None else {})
                """Messages per topic from the file's statistics (empty without them)."""
        except BaseException:
            self._file.close()
            raise
        self.metadata: dict[str, str] = meta
        """The ``orbaltkvt`` record as written: serial_number, layout, groups, versions."""
        self.counters: dict[str, int] = counters
        """The ``orbaltkvt.counters`` record (empty when the file lacks it)."""

    def __enter__(self) -> "RecordingFile":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        self._file.close()

    @property
    def serial_number(self) -> str:
        return self.metadata.get(fmt.SERIAL_NUMBER, "")

    def layout(self) -> dict[str, tuple[int, int]]:
        """{group name: (start_id, dof)} the recorder read the robot with."""
        return _layout(self.path, self.metadata)

    def messages(self, topics=fmt.RAW_TOPICS) -> Iterator[tuple[str, int, int, bytes]]:
        """(topic, log time, publish time, payload) of the messages on ``topics`` in log-time
        order: by default both raw channels, the wire payloads as the robot sent them."""
        with self._reading():
            for _schema, channel, message in self._reader.iter_messages(
                    topics=list(topics), log_time_order=True):
                yield channel.topic, message.log_time, message.publish_time, message.data

    def raw_chunks(self, size: int) -> Iterator[tuple[list, list, list, list]]:
        """Both raw channels in log-time order, at most ``size`` messages at a time, as
        (basic payloads, basic receive times, extra payloads, extra receive times): what
        ``orbaltkvt_stream.Decoder.decode`` takes. The last chunk may be empty."""
        chunk: tuple[list, list, list, list] = ([], [], [], [])
        for topic, log_time, _publish, data in self.messages():
            k = 0 if topic == fmt.RAW_BASIC else 2
            chunk[k].append(data)
            chunk[k + 1].append(log_time)
            if len(chunk[0]) + len(chunk[2]) >= size:
                yield chunk
                chunk = ([], [], [], [])
        yield chunk

    def _reading(self):
        return _AsRecordingError(self.path)


class _AsRecordingError:
    """Turns whatever the reader makes of a bad file into one :class:`RecordingError`."""

    def __init__(self, path: str):
        self.path = path

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind, exc, _tb) -> bool:
        if kind is None or isinstance(exc, (RecordingError, GeneratorExit)) or not isinstance(
                exc, Exception):
            return False
        raise unreadable(self.path, f"{kind.__name__}: {exc}") from None
