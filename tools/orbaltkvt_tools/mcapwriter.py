"""A lean writer of chunked, indexed MCAP files for many small messages at a high rate.

The `mcap` package's writer spends several microseconds of Python per message (a record object,
one call per field, per-message statistics); at 1 kHz with nine channels that alone is more than
a twentieth of a core. Here a message is one struct and two list appends, and the chunks are
compressed and written by a thread of their own (zstd and the file writes run without the
interpreter lock), so the thread that adds messages never waits for the disk. The files hold
the same records as the `mcap` package writes: header, schemas, channels and metadata, zstd
chunks each followed by its message indexes, then a summary with statistics, chunk and metadata
indexes, summary offsets and a footer with the summary's CRC.
"""
from __future__ import annotations

import queue
import struct
import sys
import threading
import zlib
from array import array
from typing import BinaryIO, Iterable, Optional

import zstandard

MAGIC = b"\x89MCAP0\r\n"

_HEADER, _FOOTER, _SCHEMA, _CHANNEL, _MESSAGE, _CHUNK = 0x01, 0x02, 0x03, 0x04, 0x05, 0x06
_MESSAGE_INDEX, _CHUNK_INDEX, _STATISTICS, _METADATA = 0x07, 0x08, 0x0B, 0x0C
_METADATA_INDEX, _SUMMARY_OFFSET, _DATA_END = 0x0D, 0x0E, 0x0F

# opcode, record length, channel id, sequence, log time, publish time
_MESSAGE_HEAD = struct.Struct("<BQHIQQ")
_MESSAGE_FIELDS = _MESSAGE_HEAD.size - 9


def _string(text: str) -> bytes:
    data = text.encode()
    return struct.pack("<I", len(data)) + data


def _string_map(entries: dict) -> bytes:
    body = b"".join(_string(k) + _string(v) for k, v in entries.items())
    return struct.pack("<I", len(body)) + body


def _record(opcode: int, body: bytes) -> bytes:
    return struct.pack("<BQ", opcode, len(body)) + body


def _little_endian(values: array) -> bytes:
    if sys.byteorder != "little":
        values = array(values.typecode, values)
        values.byteswap()
    return values.tobytes()


class McapWriter:
    """Writes an MCAP file to ``file`` (binary, positioned at its start).

    Register schemas and channels and add metadata first, then add messages with :meth:`add`;
    :meth:`finish` writes what is pending and the summary. A failed write of the chunk thread is
    raised by the next :meth:`add` or by :meth:`finish`.
    """

    def __init__(self, file: BinaryIO, *, library: str, profile: str = "",
                 chunk_size: int = 1024 * 1024, compression_level: int = 3):
        self._file = file
        self._chunk_size = chunk_size
        self._level = compression_level
        self._offset = 0  # of the next byte in the file; the chunk thread's once it runs
        # Schema and channel records, repeated in the summary.
        self._schemas: list[bytes] = []
        self._channels: list[bytes] = []
        self._metadata_index: list[bytes] = []
        self._chunk_index: list[bytes] = []
        self._counts: dict[int, int] = {}
        self._sequence = 0
        self._start_time: Optional[int] = None
        self._end_time = 0
        self._error: Optional[BaseException] = None
        self._thread: Optional[threading.Thread] = None
        self._jobs: queue.Queue = queue.Queue(maxsize=16)
        self._new_chunk()
        self._write(MAGIC + _record(_HEADER, _string(profile) + _string(library)))

    # -- before the first message ---------------------------------------------------------------

    def register_schema(self, name: str, encoding: str, data: bytes) -> int:
        schema_id = len(self._schemas) + 1
        record = _record(_SCHEMA, struct.pack("<H", schema_id) + _string(name)
                         + _string(encoding) + struct.pack("<I", len(data)) + data)
        self._schemas.append(record)
        self._write(record)
        return schema_id

    def register_channel(self, topic: str, message_encoding: str, schema_id: int,
                         metadata: Optional[dict] = None) -> int:
        channel_id = len(self._channels) + 1
        record = _record(_CHANNEL, struct.pack("<HH", channel_id, schema_id) + _string(topic)
                         + _string(message_encoding) + _string_map(metadata or {}))
        self._channels.append(record)
        self._write(record)
        self._counts[channel_id] = 0
        return channel_id

    def add_metadata(self, name: str, entries: dict[str, str]) -> None:
        record = _record(_METADATA, _string(name) + _string_map(entries))
        self._metadata_index.append(_record(_METADATA_INDEX, struct.pack(
            "<QQ", self._offset, len(record)) + _string(name)))
        self._write(record)

    # -- messages ---------------------------------------------------------------------------------

    def add(self, log_time: int, messages: Iterable[tuple[int, int, bytes]]) -> None:
        """Adds messages received at ``log_time``: (channel id, publish time, data) each."""
        if self._error is not None:
            raise self._error
        parts = self._parts
        index = self._index
        size = self._size
        sequence = self._sequence
        pack = _MESSAGE_HEAD.pack
        for channel, publish_time, data in messages:
            sequence = (sequence + 1) & 0xFFFFFFFF
            entries = index.get(channel)
            if entries is None:
                entries = index[channel] = array("Q")
            entries.append(log_time)
            entries.append(size)
            parts.append(pack(_MESSAGE, _MESSAGE_FIELDS + len(data), channel, sequence, log_time,
                              publish_time))
            parts.append(data)
            size += _MESSAGE_HEAD.size + len(data)
        self._size = size
        self._sequence = sequence
        if self._chunk_start is None:
            self._chunk_start = self._chunk_end = log_time
        elif log_time < self._chunk_end:
            self._chunk_start = min(self._chunk_start, log_time)
            self._ordered = False
        else:
            self._chunk_end = log_time
        if size >= self._chunk_size:
            self._end_chunk()

    def size(self) -> int:
        """Bytes in the file so far (chunks still being compressed not counted)."""
        return self._offset

    def finish(self) -> None:
        """Writes the pending chunk and the summary. The file is complete afterwards."""
        self._end_chunk()
        if self._thread is not None:
            self._jobs.put(None)
            self._thread.join()
            self._thread = None
        if self._error is not None:
            raise self._error
        self._write(_record(_DATA_END, struct.pack("<I", 0)))
        summary_start = self._offset
        groups = [(_SCHEMA, self._schemas),
                  (_CHANNEL, self._channels),
                  (_STATISTICS, [self._statistics()]),
                  (_CHUNK_INDEX, self._chunk_index),
                  (_METADATA_INDEX, self._metadata_index)]
        summary = bytearray()
        offsets = bytearray()
        for opcode, records in groups:
            if records:
                data = b"".join(records)
                offsets += _record(_SUMMARY_OFFSET, struct.pack(
                    "<BQQ", opcode, summary_start + len(summary), len(data)))
                summary += data
        footer = struct.pack("<BQQQ", _FOOTER, 8 + 8 + 4, summary_start,
                             summary_start + len(summary))
        crc = zlib.crc32(footer, zlib.crc32(offsets, zlib.crc32(summary)))
        self._write(bytes(summary) + bytes(offsets) + footer + struct.pack("<I", crc) + MAGIC)
        self._file.flush()

    # -- chunks -----------------------------------------------------------------------------------

    def _new_chunk(self) -> None:
        self._parts: list[bytes] = []
        self._index: dict[int, array] = {}
        self._size = 0
        self._chunk_start: Optional[int] = None
        self._chunk_end = 0
        self._ordered = True

    def _end_chunk(self) -> None:
        if not self._parts:
            return
        job = (self._parts, self._size, self._chunk_start, self._chunk_end, self._index,
               self._ordered)
        for channel, entries in self._index.items():
            self._counts[channel] += len(entries) // 2
        if self._start_time is None or self._chunk_start < self._start_time:
            self._start_time = self._chunk_start
        self._end_time = max(self._end_time, self._chunk_end)
        self._new_chunk()
        if self._thread is None:
            self._thread = threading.Thread(target=self._write_chunks, name="kvt-mcap",
                                            daemon=True)
            self._thread.start()
        self._jobs.put(job)

    def _write_chunks(self) -> None:
        compressor = zstandard.ZstdCompressor(level=self._level)
        while (job := self._jobs.get()) is not None:
            if self._error is None:
                try:
                    self._write_chunk(compressor, *job)
                except BaseException as exc:  # noqa: BLE001 - raised by the adding thread
                    self._error = exc

    def _write_chunk(self, compressor, parts, size, start, end, index, ordered) -> None:
        records = b"".join(parts)
        compressed = compressor.compress(records)
        chunk = (struct.pack("<BQQQQI", _CHUNK, 8 * 3 + 4 + 4 + 4 + 8 + len(compressed), start,
                             end, size, zlib.crc32(records))
                 + _string("zstd") + struct.pack("<Q", len(compressed)))
        chunk_offset = self._offset
        chunk_length = len(chunk) + len(compressed)
        indexes = bytearray()
        offsets = bytearray()
        for channel, entries in sorted(index.items()):
            if not ordered:
                pairs = sorted(zip(entries[0::2], entries[1::2]))
                entries = array("Q", [v for pair in pairs for v in pair])
            offsets += struct.pack("<HQ", channel, chunk_offset + chunk_length + len(indexes))
            body = _little_endian(entries)
            indexes += _record(_MESSAGE_INDEX, struct.pack("<HI", channel, len(body)) + body)
        self._file.write(chunk)
        self._file.write(compressed)
        self._file.write(indexes)
        self._offset += chunk_length + len(indexes)
        self._chunk_index.append(_record(_CHUNK_INDEX, struct.pack(
            "<QQQQI", start, end, chunk_offset, chunk_length, len(offsets)) + offsets
            + struct.pack("<Q", len(indexes)) + _string("zstd")
            + struct.pack("<QQ", len(compressed), size)))

    def _statistics(self) -> bytes:
        counts = b"".join(struct.pack("<HQ", c, n) for c, n in sorted(self._counts.items()))
        return _record(_STATISTICS, struct.pack(
            "<QHIIIIQQI", sum(self._counts.values()), len(self._schemas), len(self._channels),
            0, len(self._metadata_index), len(self._chunk_index), self._start_time or 0,
            self._end_time, len(counts)) + counts)

    def _write(self, data: bytes) -> None:
        self._file.write(data)
        self._offset += len(data)
