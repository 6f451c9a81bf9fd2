"""kvt recover on files cut at a record boundary and inside a record."""
from __future__ import annotations

import pytest

mcap_writer = pytest.importorskip("mcap.writer")
from mcap.stream_reader import StreamReader  # noqa: E402


def boundaries(path) -> list[int]:
    """The offset after each record of a complete file."""
    with open(path, "rb") as f:
        out = []
        for _ in StreamReader(f, emit_chunks=True).records:
            out.append(f.tell())
        return out


def test_recover_tells_a_cut_between_records_from_one_inside_a_record(tmp_path, kvt):
    whole = tmp_path / "whole.mcap"
    with open(whole, "wb") as f:
        writer = mcap_writer.Writer(f, chunk_size=1024)
        writer.start()
        channel = writer.register_channel("/raw/basic_stream_data", "zenoh-ext", 0)
        for i in range(200):
            writer.add_message(channel, i * 1000, bytes(64), i * 1000)
        writer.finish()
    data = whole.read_bytes()
    # A cut after the fourth record (header, channel, then chunks): what a SIGKILL between two
    # writes leaves.
    at = boundaries(whole)[3]
    said = {}
    for name, size in (("boundary", at), ("inside", at + 5)):
        cut = tmp_path / f"{name}.mcap"
        cut.write_bytes(data[:size])
        run = kvt("recover", str(cut), str(tmp_path / f"{name}.out.mcap"))
        assert run.finish() == 0, run.stderr
        said[name] = run.stderr
    print(said)
    assert "cut off (the file ends after a complete record, without its summary and footer)" \
        in said["boundary"]
    assert "cut off (the file ends inside a record)" in said["inside"]
