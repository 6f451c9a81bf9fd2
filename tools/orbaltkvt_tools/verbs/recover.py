"""kvt recover: a recording cut short (no summary, no footer) rewritten as a complete file."""
from __future__ import annotations

import os
import sys

from ..errors import ToolError, UsageError
from ..formatting import NS

NAME = "recover"
HELP = "rewrite a recording cut short (killed, power lost) as a complete MCAP file"
DESCRIPTION = """Reads IN record by record up to where it was cut off (a recorder killed with
SIGKILL or a lost power supply leaves no summary and no footer, so readers that seek refuse the
file) and writes OUT complete: every schema, channel, metadata record and attachment found, and
the messages of every chunk that was written whole. The chunk being written at the cut is lost;
a chunk whose checksum does not match ends the recovery there. OUT gets zstd chunks of at most
--chunk-duration seconds of log time, message and chunk indexes, statistics and a summary. A
complete IN is copied the same way. Exit status 1 if IN is not MCAP."""


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("input", metavar="IN.mcap", help="the recording cut short")
    p.add_argument("output", metavar="OUT.mcap", help="the complete file to write")
    p.add_argument("--chunk-duration", type=float, default=1.0, metavar="S",
                   help="most log time [s] one chunk of OUT spans (default 1)")
    p.set_defaults(run=run)


class _Copy:
    """Writes the records read from IN to OUT, with ids of OUT's own."""

    def __init__(self, writer, chunk_ns: int):
        self.writer = writer
        self.chunk_ns = chunk_ns
        self.schemas: dict[int, int] = {}
        self.channels: dict[int, int] = {}
        self.pending_channels: dict[int, object] = {}
        self.messages = 0
        self.metadata = 0
        self.attachments = 0
        self.chunk_start = None
        self.first_log = None
        self.last_log = None

    def schema(self, record) -> None:
        if record.id not in self.schemas:
            self.schemas[record.id] = self.writer.register_schema(record.name, record.encoding,
                                                                  record.data)

    def channel(self, record) -> None:
        if record.id in self.channels:
            return
        if record.schema_id != 0 and record.schema_id not in self.schemas:
            # Its schema comes later in the file (allowed by the format): wait for it.
            self.pending_channels[record.id] = record
            return
        self.channels[record.id] = self.writer.register_channel(
            record.topic, record.message_encoding, self.schemas.get(record.schema_id, 0),
            dict(record.metadata))

    def message(self, record) -> bool:
        if record.channel_id not in self.channels:
            pending = self.pending_channels.pop(record.channel_id, None)
            if pending is None or (pending.schema_id and pending.schema_id not in self.schemas):
                return False
            self.channel(pending)
        log = record.log_time
        if self.chunk_start is None:
            self.chunk_start = log
        elif abs(log - self.chunk_start) >= self.chunk_ns:
            self.writer.flush()  # ends the chunk: OUT's chunks span at most --chunk-duration
            self.chunk_start = log
        self.writer.add_message(self.channels[record.channel_id], log, record.data,
                                record.publish_time, record.sequence)
        self.messages += 1
        self.first_log = log if self.first_log is None else min(self.first_log, log)
        self.last_log = log if self.last_log is None else max(self.last_log, log)
        return True


def _records(file):
    """(record, None) for every complete record of ``file``, then (None, reason) at a cut.

    Chunks are taken whole and checked against their checksum before any of their records is
    handed out, so a chunk cut off or damaged contributes nothing."""
    from mcap.records import Chunk, Footer
    from mcap.stream_reader import StreamReader, breakup_chunk

    reader = StreamReader(file, emit_chunks=True)
    records = reader.records
    # The reader reads exactly what each record needs, so after a record the file's position
    # is where the next one begins.
    boundary = file.tell()
    while True:
        try:
            record = next(records)
        except StopIteration:
            return
        except Exception as exc:  # noqa: BLE001 - any failure to read a record is the cut
            at_end = file.tell() >= os.fstat(file.fileno()).st_size
            yield None, _reason(exc, at_end, at_boundary=file.tell() == boundary)
            return
        boundary = file.tell()
        if isinstance(record, Chunk):
            try:
                inner = breakup_chunk(record, validate_crc=True)
            except Exception as exc:  # noqa: BLE001 - a damaged chunk ends the recovery too
                yield None, f"damaged chunk ({_reason(exc, False, False)})"
                return
            for item in inner:
                yield item, None
        else:
            yield record, None
        if isinstance(record, Footer):
            return


def _reason(exc: Exception, at_end: bool, at_boundary: bool) -> str:
    """Why reading stopped. A read that ran out of file is a cut: right after a record (a
    recorder killed between two writes), or inside one (a short read fails to unpack)."""
    from mcap.exceptions import EndOfFile

    if isinstance(exc, EndOfFile) or at_end:
        if at_boundary:
            return "the file ends after a complete record, without its summary and footer"
        return "the file ends inside a record"
    return str(exc) or type(exc).__name__


def run(args) -> int:
    from mcap.records import Attachment, Channel, Message, Metadata, Schema
    from mcap.writer import MCAP0_MAGIC, CompressionType, Writer

    if args.chunk_duration <= 0:
        raise UsageError("--chunk-duration must be positive")
    if os.path.abspath(args.output) == os.path.abspath(args.input):
        raise ToolError("OUT must be another file than IN")
    try:
        file = open(args.input, "rb")
    except OSError as exc:
        raise ToolError(f"cannot read {args.input}: {exc.strerror}") from None
    with file:
        if file.read(len(MCAP0_MAGIC)) != MCAP0_MAGIC:
            raise ToolError(f"{args.input} is not an MCAP file")
        file.seek(0)
        try:
            out = open(args.output, "wb")
        except OSError as exc:
            raise ToolError(f"cannot write {args.output}: {exc.strerror}") from None
        with out:
            writer = Writer(out, compression=CompressionType.ZSTD, chunk_size=64 * 1024 * 1024)
            copy = _Copy(writer, int(args.chunk_duration * NS))
            cut = None
            orphans = 0
            try:
                writer.start(profile="", library="kvt recover")
                for record, reason in _records(file):
                    if record is None:
                        cut = reason
                    elif isinstance(record, Schema):
                        copy.schema(record)
                    elif isinstance(record, Channel):
                        copy.channel(record)
                    elif isinstance(record, Message):
                        orphans += not copy.message(record)
                    elif isinstance(record, Metadata):
                        writer.add_metadata(record.name, dict(record.metadata))
                        copy.metadata += 1
                    elif isinstance(record, Attachment):
                        writer.add_attachment(record.create_time, record.log_time, record.name,
                                              record.media_type, record.data)
                        copy.attachments += 1
                writer.finish()
            except OSError as exc:
                raise ToolError(f"cannot write {args.output}: {exc.strerror}") from None
    span = (copy.last_log - copy.first_log) / NS if copy.messages else 0.0
    print(f"kvt recover: {args.input}: " + (f"cut off ({cut})" if cut else "complete")
          + f"; kept {copy.messages} messages over {span:.3f} s of log time on "
          f"{len(copy.channels)} channels, {copy.metadata} metadata records, "
          f"{copy.attachments} attachments"
          + (f"; left out {orphans} messages of no known channel" if orphans else ""),
          file=sys.stderr)
    print(f"kvt recover: wrote {args.output}", file=sys.stderr)
    return 0
