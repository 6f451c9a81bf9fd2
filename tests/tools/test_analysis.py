"""Recordings for analysis, end to end: real recordings (`kvt record` of simulated robots in
their own processes) exported as Parquet files and a fleet dataset, read back with pyarrow and
DuckDB, held against `load` and the CSV export; the robot's clock estimated against the host's
on a robot whose clock is off on purpose."""
from __future__ import annotations

import csv
import json
import time

import duckdb
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from orbaltkvt_sim.testing import simulator_process  # noqa: F401
from orbaltkvt_tools import clock
from orbaltkvt_tools.formatting import format_ns
from orbaltkvt_tools.recording import load


def as_ns(column) -> list:
    return column.cast(pa.int64()).to_pylist()


def floats(values: np.ndarray) -> list:
    """A float column as Arrow reads it back: NaN (not carried) is null."""
    return [None if v != v else v for v in values.tolist()]


def assert_table_is_stream(table, stream) -> None:
    """Every column of a Parquet table against the arrays of load."""
    assert table.num_rows == len(stream)
    assert as_ns(table["host_time"]) == stream.receive_time_ns.tolist()
    assert as_ns(table["robot_time"]) == stream.robot_time_ns.tolist()
    assert as_ns(table["robot_time_host"]) == stream.robot_time_host_ns.tolist()
    assert table["valid"].to_pylist() == stream.valid.tolist()
    for name, values in stream.joints.items():
        for k in range(values.shape[1]):
            assert table[f"joint{k + 1}.{name}"].to_pylist() == floats(values[:, k]), (name, k)
    for group, fields in stream.groups.items():
        pose = f"{group.name}.tcp_pose{'_d' if 'q_d' in stream.joints else ''}"
        assert table[f"{pose}.qw"].to_pylist() == floats(fields[pose.split(".")[1]][:, 3])
    for name, values in stream.status.items():
        if values.ndim == 1:
            assert table[name].to_pylist() == values.tolist(), name
        else:
            assert table[f"{name}.{values.shape[1] - 1}"].to_pylist() == values[:, -1].tolist()


def record(kvt, sn: str, out, seconds: float):
    return kvt("record", sn, "-o", out, "--seconds", str(seconds))


def test_parquet_and_dataset_hold_what_load_reads(simulator_process, kvt, tmp_path):
    """kvt export --format parquet and --dataset: every value of load, the CSV's column names
    and values, the recording's metadata; a dataset of two robots' recordings queried by
    DuckDB, one recording added twice without a row twice."""
    dual = simulator_process("--preset", "dual")
    single = simulator_process("--preset", "single", "--clock-offset", "-2.5")
    runs = [tmp_path / "a1.mcap", tmp_path / "b1.mcap"]
    children = [record(kvt, dual.sn, runs[0], 2), record(kvt, single.sn, runs[1], 3)]
    assert [c.finish(60) for c in children] == [0, 0], [c.stderr for c in children]
    runs.append(tmp_path / "a2.mcap")
    child = record(kvt, dual.sn, runs[2], 1.5)
    assert child.finish(60) == 0, child.stderr
    a1 = load(runs[0])

    csv_dir, parquet_dir = tmp_path / "csv", tmp_path / "parquet"
    for args in (("--csv", csv_dir), ("--format", "parquet", "-o", parquet_dir)):
        child = kvt("export", runs[0], *args)
        assert child.finish(60) == 0, child.stderr
    tables = {s: pq.read_table(parquet_dir / f"{s}.parquet") for s in ("basic", "extra")}
    assert_table_is_stream(tables["basic"], a1.basic)
    assert_table_is_stream(tables["extra"], a1.extra)
    meta = {k.decode(): v.decode() for k, v in tables["basic"].schema.metadata.items()}
    assert meta["orbaltkvt.serial_number"] == dual.sn
    assert json.loads(meta["orbaltkvt.layout"]) == {
        g.name: {"start_id": s, "dof": d} for g, (s, d) in a1.layout.items()}
    assert json.loads(meta["orbaltkvt.counters"]) == a1.counters
    assert json.loads(meta["orbaltkvt.clock"]) == a1.clock.record()
    assert meta["orbaltkvt.service_version"] == a1.service_version and a1.service_version
    files = pq.ParquetFile(parquet_dir / "basic.parquet")
    assert files.metadata.row_group(0).column(4).compression == "ZSTD"

    # The CSV files: robot_time_host last, every column of theirs a Parquet column by name.
    on_parquet = {s: t.to_pydict() for s, t in tables.items()}
    groups = [g.name for g in a1.basic.groups]
    for name, stream, prefix in (
            [("joint_states.csv", "basic", ""), ("joint_states_desired.csv", "extra", ""),
             ("status.csv", "basic", "")]
            + [(f"{g}.cartesian{s}.csv", t, f"{g}.") for g in groups
               for s, t in (("", "basic"), ("_desired", "extra"))]):
        with open(csv_dir / name, newline="") as f:
            rows = list(csv.reader(f))
        header, rows = rows[0], rows[1:]
        assert header[:2] == ["host_time", "robot_time"] and header[-1] == "robot_time_host"
        assert [r[-1] for r in rows] == [format_ns(v) for v in
                                        getattr(a1, stream).robot_time_host_ns.tolist()]
        columns, schema = on_parquet[stream], tables[stream].schema
        for i, column in enumerate(header[2:-1], start=2):
            values = columns[prefix + column]
            if pa.types.is_floating(schema.field(prefix + column).type):
                assert [float(r[i]) if r[i] else None for r in rows] == values, column
            else:
                assert [r[i] for r in rows] == [str(v) for v in values], column
    # In memory the time and status columns are the arrays themselves, not copies.
    in_memory = a1.to_arrow()["basic"]
    for column, array in (("host_time", a1.basic.receive_time_ns),
                          ("system_state", a1.basic.status["system_state"])):
        assert in_memory[column].chunks[0].buffers()[1].address == array.ctypes.data, column
    frames = a1.to_polars()
    assert frames["basic"]["joint9.tau"].to_list() == floats(a1.basic.joints["tau"][:, 8])
    assert a1.to_pandas()["extra"]["joint16.q_d"].tolist() == a1.extra.joints["q_d"][:, 15].tolist()

    # A dataset of two robots; the first recording added twice.
    root = tmp_path / "fleet"
    for batch in (runs, runs[:1]):
        child = kvt("export", "--dataset", root, *batch)
        assert child.finish(60) == 0, child.stderr
    written = sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file())
    assert len(written) == 6 and all(p.startswith("robot=") for p in written), written
    loads = {p.stem: load(p) for p in runs}
    day = time.strftime("%Y-%m-%d", time.gmtime(loads["b1"].basic.receive_time_ns[0] // 10**9))
    assert f"robot={single.sn}/date={day}/" in "\n".join(written)
    glob = f"{root}/**/*.basic.parquet"
    sql = duckdb.connect()
    rows = sql.execute(f"""
        SELECT robot, count(*), max(abs("joint7.tau")), max(abs("joint16.tau")),
               epoch_ns(min(robot_time_host))
        FROM read_parquet('{glob}', hive_partitioning = true, union_by_name = true)
        GROUP BY robot ORDER BY robot""").fetchall()
    expected = []
    for sn, names in ((dual.sn, ("a1", "a2")), (single.sn, ("b1",))):
        tau = np.concatenate([loads[n].basic.joints["tau"] for n in names])
        host = min(int(loads[n].basic.robot_time_host_ns[0]) for n in names)
        expected.append((sn, len(tau), float(np.abs(tau[:, 6]).max()),
                         float(np.abs(tau[:, 15]).max()) if tau.shape[1] > 15 else None, host))
    # Some DuckDB releases read Parquet's nanosecond timestamps as microseconds.
    assert [r[:4] for r in rows] == [e[:4] for e in expected]
    assert [r[4] // 1000 for r in rows] == [e[4] // 1000 for e in expected]
    # The same rows through pyarrow's own dataset reader, the partitions as columns.
    import pyarrow.dataset as ds
    fleet = ds.dataset(sorted(map(str, root.rglob("*.basic.parquet"))), format="parquet",
                       partitioning=ds.partitioning(flavor="hive"), partition_base_dir=str(root))
    b1 = fleet.to_table(filter=ds.field("robot") == single.sn, columns=["joint1.q", "date"])
    assert b1["joint1.q"].to_pylist() == floats(loads["b1"].basic.joints["q"][:, 0])
    assert set(b1["date"].to_pylist()) == {day}


def rewrite_with_clock(src, dst, record: dict) -> None:
    """A copy of a recording with a stored clock estimate, as a recorder writes it at close."""
    from mcap.reader import make_reader
    from mcap.writer import Writer

    with open(src, "rb") as f, open(dst, "wb") as g:
        reader = make_reader(f)
        summary = reader.get_summary()
        writer = Writer(g)
        writer.start()
        schemas = {i: writer.register_schema(s.name, s.encoding, s.data)
                   for i, s in summary.schemas.items()}
        channels = {i: writer.register_channel(c.topic, c.message_encoding,
                                               schemas.get(c.schema_id, 0), c.metadata)
                    for i, c in summary.channels.items()}
        for meta in reader.iter_metadata():
            if meta.name != clock.RECORD:  # the recorder's own, replaced
                writer.add_metadata(meta.name, dict(meta.metadata))
        writer.add_metadata(clock.RECORD, record)
        for _schema, channel, message in reader.iter_messages(log_time_order=False):
            writer.add_message(channels[channel.id], message.log_time, message.data,
                               message.publish_time, message.sequence)
        writer.finish()


def test_clock_estimate_meets_a_robot_clock_off_on_purpose(simulator_process, kvt, tmp_path):
    """A robot clock 3.25 s ahead and 120 ppm slow: the estimate made at load finds both
    (within the least delay a sample met, and a few ppm on a busy two-core host); a stored
    estimate is read, preferred, and what every output holds."""
    offset, drift_ppm = 3.25, -120.0
    before = time.time_ns()
    sim = simulator_process("--preset", "single", "--clock-offset", str(offset),
                            "--clock-drift", str(drift_ppm))
    after = time.time_ns()
    out = tmp_path / "clock.mcap"
    child = record(kvt, sim.sn, out, 10)
    assert child.finish(60) == 0, child.stderr
    rec = load(out)
    # The recorder's own estimate, stored at close, and the one load makes for files without.
    recorded = rec.clock
    assert recorded.stored and recorded.samples == len(rec.basic) > 1000
    estimated = clock.estimate(rec.basic.robot_time_ns, rec.basic.receive_time_ns,
                               rec.basic.valid)
    assert not estimated.stored and estimated.samples == len(rec.basic)

    # The robot stamps host time h as h + offset + drift (h - h0), h0 when it began (between
    # `before` and `after`); at robot time r the host's is h0 + (r - h0 - offset) / (1 + drift).
    scale = 1 + drift_ppm * 1e-6
    true_drift = 1 / scale - 1
    for what, est in (("stored by the recorder", recorded), ("estimated at load", estimated)):
        t0 = est.t0_robot_ns
        offsets = [h0 + (t0 - h0 - offset * 1e9) / scale - t0 for h0 in (before, after)]
        errors = sorted(est.offset_ns - o for o in offsets)
        drift_error = (est.drift - true_drift) * 1e6
        print(f"clock estimate {what}: offset error {errors[0] / 1e3:.0f}..{errors[1] / 1e3:.0f}"
              f" us (the least delay a sample met is in it), drift error {drift_error:+.3f} ppm "
              f"over {len(rec.basic)} samples")
        assert errors[1] > -500_000 and errors[0] < 3_000_000, (what, errors)
        # A loaded two-core host puts a few ppm into a 10 s estimate; a wrong one is off by 120.
        assert abs(drift_error) < 30.0, what
    est = recorded
    t0 = est.t0_robot_ns
    delay = rec.basic.receive_time_ns - rec.basic.robot_time_host_ns
    assert np.median(delay) > 0 and np.mean(delay < -500_000) < 0.01
    assert np.array_equal(rec.extra.robot_time_host_ns, est.host_ns(rec.extra.robot_time_ns))

    stored = {clock.OFFSET_NS: str(est.offset_ns + 5_000_000), clock.DRIFT: "0.0000215",
              clock.T0_ROBOT_NS: str(t0 + 1_000_000_000), clock.SAMPLES: "7"}
    rewritten = tmp_path / "stored.mcap"
    rewrite_with_clock(out, rewritten, stored)
    again = load(rewritten)
    assert again.clock == clock.ClockEstimate(est.offset_ns + 5_000_000, 0.0000215,
                                              t0 + 1_000_000_000, 7, stored=True)
    robot = again.basic.robot_time_ns
    assert again.basic.robot_time_host_ns.tolist() == [
        r + est.offset_ns + 5_000_000 + round(0.0000215 * (r - t0 - 1_000_000_000))
        for r in robot.tolist()]
    parquet = tmp_path / "parquet"
    child = kvt("export", rewritten, "--format", "parquet", "-o", parquet)
    assert child.finish(60) == 0, child.stderr
    table = pq.read_table(parquet / "basic.parquet")
    assert json.loads(table.schema.metadata[b"orbaltkvt.clock"]) == stored
    assert as_ns(table["robot_time_host"]) == again.basic.robot_time_host_ns.tolist()
