"""The record field tables against the stubs and docstrings that list the fields."""
from __future__ import annotations

import ast
import pathlib
import re

import orbaltkvt
import orbaltkvt_stream

def stub_path() -> pathlib.Path:
    """The stub beside the installed module (a wheel), else the source tree's."""
    installed = pathlib.Path(orbaltkvt_stream.__file__).with_name("orbaltkvt_stream.pyi")
    if installed.exists():
        return installed
    return pathlib.Path(__file__).parents[2] / "python" / "orbaltkvt_stream.pyi"


def stub_docstrings() -> dict[str, str]:
    """'Class.member' -> docstring, for every documented member of the stub."""
    docs = {}
    for node in ast.parse(stub_path().read_text()).body:
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    doc = ast.get_docstring(member)
                    if doc:
                        docs[f"{node.name}.{member.name}"] = doc
    return docs


def listed_fields(doc: str) -> list[tuple[str, str]]:
    """The "fields: a, b (N, 7); c (N, DoF)" line of a docstring as [(name, width)]."""
    text = " ".join(doc.split("fields:", 1)[1].split())
    out = []
    for part in text.split(";"):
        names, shape = re.fullmatch(r"\s*(.+?)\s*\(N, (\w+)\)\s*", part).groups()
        out += [(name.strip(), shape) for name in names.split(",")]
    return out


def table(record: str, per_joint_width: str) -> list[tuple[str, str]]:
    return [(f.name, per_joint_width if f.width == 0 else str(f.width))
            for f in orbaltkvt_stream.FIELDS[record]]


def test_the_stubs_list_exactly_the_fields_of_the_tables():
    docs = stub_docstrings()
    assert listed_fields(docs["BasicBatch.groups"]) == table("RobotStates", "DoF")
    assert listed_fields(docs["ExtraBatch.groups"]) == table("RobotActions", "DoF")
    assert listed_fields(docs["BasicBatch.joints"]) == \
        [f for f in table("RobotStates", "J") if f[1] == "J"]
    assert listed_fields(docs["ExtraBatch.joints"]) == \
        [f for f in table("RobotActions", "J") if f[1] == "J"]
    # The status stub names no field, so it cannot fall behind the table.
    names = {f.name for fields in orbaltkvt_stream.FIELDS.values() for f in fields}
    assert not names & set(re.findall(r"\w+", docs["BasicBatch.status"]))


def test_the_tables_agree_with_the_records_and_the_runtime_docstrings():
    states = orbaltkvt.RobotStates()
    actions = orbaltkvt.RobotActions()
    for record, fields in (("RobotStates", states), ("RobotActions", actions)):
        for f in orbaltkvt_stream.FIELDS[record]:
            value = getattr(fields, f.name)
            assert f.width == 0 and value == [] or len(value) == f.width, (record, f)
            assert f.dtype == "float64" and f.meaning
    for f in orbaltkvt_stream.FIELDS["status"]:
        assert f.dtype in ("bool", "int32") and f.width >= 1 and f.source == f.name
    docs = {
        "RobotStates": orbaltkvt_stream.BasicBatch.groups.__doc__,
        "RobotActions": orbaltkvt_stream.ExtraBatch.groups.__doc__,
        "status": orbaltkvt_stream.BasicBatch.status.__doc__,
    }
    for record, doc in docs.items():
        words = set(re.findall(r"\w+", doc))
        assert {f.name for f in orbaltkvt_stream.FIELDS[record]} <= words, record
    # Every field of a record and nothing else.
    public = {n for n in dir(states) if not n.startswith("_")} - {"timestamp"}
    assert public == {f.name for f in orbaltkvt_stream.FIELDS["RobotStates"]}
    public = {n for n in dir(actions) if not n.startswith("_")} - {"timestamp"}
    assert public == {f.name for f in orbaltkvt_stream.FIELDS["RobotActions"]}
