"""One recording format across the languages: the names in orbaltkvt_tools.recording_format
against the file the native recorder writes (`kvt record`), the simulator's own constants and
reader of recordings, and the recorder's Rust and C++ sources."""
from __future__ import annotations

import re
from pathlib import Path

import pytest
from mcap.reader import make_reader
from mcap_protobuf.decoder import DecoderFactory
from orbaltkvt_sim import keys
from orbaltkvt_sim import recording as sim_recording
from orbaltkvt_sim.model import PRESETS
from orbaltkvt_tools import recording_format as fmt
from orbaltkvt_tools.recording_file import RecordingFile

ROOT = Path(__file__).resolve().parents[2]


def first_message(reader, topic: str):
    decode = DecoderFactory()
    for schema, _channel, message in reader.iter_messages(topics=[topic]):
        return decode.decoder_for("protobuf", schema)(message.data)
    raise AssertionError(f"no message on {topic}")


def test_kvt_record_writes_the_format(remote_simulator, kvt, tmp_path):
    sim = remote_simulator(preset="dual")
    out = tmp_path / "format.mcap"
    child = kvt("record", sim.sn, "-o", out, "--seconds", "1", "--groups", "all")
    assert child.finish(60) == 0, child.stderr
    layout = PRESETS["dual"]
    names = [g.name for g in layout]

    with open(out, "rb") as f:
        reader = make_reader(f)
        summary = reader.get_summary()
        records = [(m.name, dict(m.metadata)) for m in reader.iter_metadata()]
        channels = {c.topic: (c.message_encoding,
                              summary.schemas[c.schema_id].name if c.schema_id else "")
                    for c in summary.channels.values()}
        assert channels == fmt.channels(names)
        counts = {summary.channels[i].topic: n
                  for i, n in summary.statistics.channel_message_counts.items()}
        assert set(counts) == set(channels) and min(counts.values()) > 0, counts
        tf, tf_desired = fmt.frames(names)
        for topic, frames in ((fmt.TF, tf), (fmt.TF_DESIRED, tf_desired)):
            transforms = first_message(reader, topic).transforms
            assert {t.parent_frame_id for t in transforms} == {fmt.WORLD_FRAME}
            assert sorted(t.child_frame_id for t in transforms) == sorted(frames), topic

    assert [name for name, _ in records] == [fmt.METADATA, fmt.CLOCK, fmt.COUNTERS]
    meta, clock, counters = (values for _name, values in records)
    assert sorted(meta) == sorted(fmt.METADATA_KEYS)
    assert sorted(clock) == sorted(fmt.CLOCK_KEYS) and int(clock["samples"]) > 0
    assert sorted(counters) == sorted(fmt.COUNTER_KEYS + fmt.FILE_COUNTER_KEYS)
    # The layout byte for byte as the Python side encodes it, and back.
    slices = {g.name: (g.start, g.dof) for g in layout}
    assert meta[fmt.LAYOUT] == fmt.encode_layout(slices)
    assert fmt.parse_layout(meta[fmt.LAYOUT]) == slices
    assert fmt.parse_groups(meta[fmt.GROUPS]) == names
    assert meta[fmt.SERIAL_NUMBER] == sim.sn
    assert meta[fmt.SERVICE_VERSION] == keys.SERVICE_VERSION

    # The tools' reader and the simulator's (which plays recordings back) read the same file.
    with RecordingFile(out) as f:
        assert (f.metadata, f.layout()) == (meta, slices)
        assert f.counters == {k: int(v) for k, v in counters.items()}
        raw = list(f.messages())
    assert [t for t, *_ in raw].count(fmt.RAW_BASIC) == counts[fmt.RAW_BASIC]
    played = sim_recording.Recording.open(out)
    assert (played.serial_number, played.layout) == (sim.sn, layout)
    assert played.payloads == [data for *_, data in raw]
    assert played.is_basic == [t == fmt.RAW_BASIC for t, *_ in raw]


def literals(pattern: str) -> set[str]:
    """Every string literal (escapes kept) in the bridge's sources matching the glob."""
    files = sorted((ROOT / "bridge").glob(pattern))
    if not files:
        pytest.skip(f"no bridge/{pattern} here (the tests run outside the source tree)")
    text = "\n".join(p.read_text() for p in files)
    return set(re.findall(r'"((?:\\.|[^"\\\n])*)"', text))


def test_sources_spell_the_format():
    """A second line beside the recorded file: the recorder's sources and the simulator use the
    names the tools read, wherever in those sources they are defined."""
    rust = literals("rust/src/**/*.rs")
    for name in (fmt.METADATA, fmt.COUNTERS, fmt.RAW_BASIC, fmt.RAW_EXTRA, fmt.TF,
                 fmt.TF_DESIRED, fmt.STATUS, fmt.RAW_ENCODING, fmt.JSON, fmt.STATUS_SCHEMA,
                 fmt.WORLD_FRAME):
        assert name in rust, name
    for template in (fmt.JOINT_STATES, fmt.JOINT_STATES_DESIRED):
        pattern = re.escape(template).replace(re.escape("{group}"), r"\{\w*\}")
        assert any(re.fullmatch(pattern, s) for s in rust), template

    cpp = literals("src/**/*.[ch]pp")
    for key in fmt.METADATA_KEYS + fmt.STREAM_COUNTERS + (fmt.SAMPLES_WRITTEN,):
        assert key in cpp, key
    for stream in fmt.STREAMS:
        assert f"{stream}_" in cpp, stream
    assert any(f'\\"{fmt.START_ID}\\"' in s for s in cpp) and any(
        f'\\"{fmt.DOF}\\"' in s for s in cpp), "the layout's keys"
    assert keys.SERVICE_VERSION in cpp

    assert (sim_recording.RAW_BASIC, sim_recording.RAW_EXTRA, sim_recording.METADATA) == (
        fmt.RAW_BASIC, fmt.RAW_EXTRA, fmt.METADATA)
    # The raw channels are named after the key expressions the payloads arrive on.
    assert (fmt.RAW_BASIC, fmt.RAW_EXTRA) == ("/raw" + keys.BASIC_SUFFIX,
                                              "/raw" + keys.EXTRA_SUFFIX)
