"""load() asked for less: a time window, some groups, some fields, one stream, float32, and
windows() over a whole file, each held row for row against the full load of the same recording
(a real `kvt record` file of the simulated robot) and float32 against the wire itself."""
from __future__ import annotations

import numpy as np
from mcap.reader import make_reader
from orbaltkvt import JointGroup
from orbaltkvt_sim import messages as wire
from orbaltkvt_tools import load, windows
from orbaltkvt_tools.recording_file import RecordingFile
from orbaltkvt_tools.recording_format import RAW_BASIC, RAW_EXTRA

NS = 1_000_000_000


def arrays(stream) -> dict:
    """Every array of a Stream by a flat name."""
    out = {name: getattr(stream, name) for name in
           ("receive_time_ns", "robot_time_ns", "timestamp", "valid")}
    out.update({("joints", k): v for k, v in stream.joints.items()})
    out.update({("status", k): v for k, v in stream.status.items()})
    out.update({("group", g, k): v for g, fields in stream.groups.items()
                for k, v in fields.items()})
    return out


def assert_rows_of(part, whole, rows, keys=None) -> None:
    """`part`'s arrays are `whole`'s at `rows` (only `keys` of whole's, if given)."""
    got, full = arrays(part), arrays(whole)
    expected = set(full) if keys is None else set(keys)
    assert set(got) == expected, sorted(map(str, set(got) ^ expected))
    for key in expected:
        assert got[key].dtype == full[key].dtype, key
        assert np.array_equal(got[key], full[key][rows], equal_nan=True), key


def chunk_starts(path) -> list[int]:
    with open(path, "rb") as f:
        return sorted(c.message_start_time for c in make_reader(f).get_summary().chunk_indexes
                      if c.message_start_time)


def test_selective_loads_are_rows_and_columns_of_the_full_load(remote_simulator, kvt, tmp_path):
    sim = remote_simulator(preset="dual")
    out = tmp_path / "run.mcap"
    # Short chunks, so that windows start and end inside chunks and at their edges.
    child = kvt("record", sim.sn, "-o", out, "--seconds", "3", "--chunk-duration", "0.05")
    assert child.finish(60) == 0, child.stderr
    full = load(out)
    assert len(full.basic) > 2500 and len(full.extra) > 2500
    first = min(full.basic.receive_time_ns[0], full.extra.receive_time_ns[0])

    def rows(stream, start, end):
        t = stream.receive_time_ns
        return (t >= first + round(start * NS)) & (t < first + round(end * NS))

    # Windows inside chunks, and one starting at a chunk's first message where an extra sample
    # comes before any basic one: it still carries the timestamp of the basic sample before
    # it, from the chunk before.
    b, e = full.basic.receive_time_ns, full.extra.receive_time_ns
    edge = next(((c - first) / NS for c in chunk_starts(out)[10:]
                 if e[np.searchsorted(e, c)] < b[np.searchsorted(b, c)]), None)
    if edge is None:
        # No chunk happened to begin with an extra sample: a window that begins with one
        # inside a chunk, the basic sample before it just outside the window.
        k = np.searchsorted(e, b[len(b) // 2], side="right")
        edge = (e[k] - first) / NS
    for start, end in ((0.7, 1.9), (edge, edge + 0.3), (0.0, 0.01)):
        part = load(out, start=start, end=end)
        for name in ("basic", "extra"):
            picked = rows(getattr(full, name), start, end)
            assert picked.sum() == len(getattr(part, name)) > 0, (name, start, end)
            assert_rows_of(getattr(part, name), getattr(full, name), picked)
    assert part.serial_number == full.serial_number and part.layout == full.layout

    # One group and a few fields of both streams: their columns alone, as the full load has them.
    sub = load(out, start=0.5, end=2.5, groups=[JointGroup.ARM_2], fields=("q", "tcp_pose", "q_d"))
    assert_rows_of(sub.basic, full.basic, rows(full.basic, 0.5, 2.5),
                   [*arrays(sub.basic)][:4] + [("group", JointGroup.ARM_2, "q"),
                                               ("group", JointGroup.ARM_2, "tcp_pose")])
    assert_rows_of(sub.extra, full.extra, rows(full.extra, 0.5, 2.5),
                   [*arrays(sub.extra)][:4] + [("group", JointGroup.ARM_2, "q_d")])
    # Fields alone: every group, joints holding only those fields; status fields are fields.
    few = load(out, fields=["dq", "tcp_twist_d", "estop_released", "digital_inputs"])
    everything = np.ones(len(full.basic), bool)
    assert_rows_of(few.basic, full.basic, everything,
                   [k for k in arrays(full.basic) if isinstance(k, str) or k[-1] in
                    ("dq", "estop_released", "digital_inputs")])
    assert_rows_of(few.extra, full.extra, np.ones(len(full.extra), bool),
                   [k for k in arrays(full.extra) if isinstance(k, str) or k[-1] == "tcp_twist_d"])
    only_extra = load(out, streams=("extra",))
    assert len(only_extra.basic) == 0
    assert_rows_of(only_extra.extra, full.extra, np.ones(len(full.extra), bool))

    # windows(): consecutive, each at most `seconds` long, together the whole recording.
    parts = list(windows(out, seconds=0.4, fields=["q", "q_d"]))
    assert len(parts) == int((full.basic.receive_time_ns[-1] - first) / (0.4 * NS)) + 1
    for name, field in (("basic", "q"), ("extra", "q_d")):
        streams = [getattr(p, name) for p in parts]
        assert all(len(s) == 0 or s.receive_time_ns[-1] - s.receive_time_ns[0] < 0.4 * NS
                   for s in streams)
        whole = getattr(full, name)
        for column in ("receive_time_ns", "robot_time_ns"):
            assert np.array_equal(np.concatenate([getattr(s, column) for s in streams]),
                                  getattr(whole, column)), (name, column)
        assert np.array_equal(np.concatenate([s.joints[field] for s in streams]),
                              whole.joints[field], equal_nan=True)

    # float32: every float column is the float64 one narrowed, bit for bit ...
    narrow = load(out, dtype=np.float32)
    for name in ("basic", "extra"):
        got, wide = arrays(getattr(narrow, name)), arrays(getattr(full, name))
        assert set(got) == set(wide)
        for key, values in wide.items():
            if values.dtype == np.float64:
                assert got[key].dtype == np.float32, key
                assert np.array_equal(got[key], values.astype(np.float32), equal_nan=True), key
            else:
                assert np.array_equal(got[key], values), key
    # ... and the robot's own float32 values, decoded by the simulator's codec from the payloads.
    with RecordingFile(out) as f:
        raw = list(f.messages())
    basic = [wire.decode_basic(d) for topic, _t, _p, d in raw if topic == RAW_BASIC]
    extra = [wire.decode_extra(d) for topic, _t, _p, d in raw if topic == RAW_EXTRA]
    assert len(basic) == len(narrow.basic) and len(extra) == len(narrow.extra)
    for i in range(0, len(basic), 97):
        b, e = basic[i], extra[i]
        for field in ("q", "tau", "temperature"):
            sent = np.array(getattr(b.joint_data, field), np.float32)
            assert np.array_equal(narrow.basic.joints[field][i, :len(sent)], sent), (i, field)
        for group, block in zip(b.joint_group_indices, b.cartesian_data):
            assert np.array_equal(narrow.basic.groups[JointGroup(group)]["tcp_pose"][i],
                                  np.array(block.tcp_pose, np.float32)), (i, group)
        sent = np.array(e.joint_data.q_d, np.float32)
        assert np.array_equal(narrow.extra.joints["q_d"][i, :len(sent)], sent), i
        assert tuple(narrow.basic.timestamp[i]) == b.timestamp, i
