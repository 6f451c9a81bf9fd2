"""The verb list is written once (cli.VERBS); what describes the tools elsewhere names them all."""
from __future__ import annotations

import re
from pathlib import Path

import pytest
from orbaltkvt_tools import cli

PYPROJECT = Path(__file__).resolve().parents[2] / "tools" / "pyproject.toml"


def test_every_verb_is_described():
    if not PYPROJECT.exists():
        pytest.skip("tools/pyproject.toml is not here (the tests run outside the source tree)")
    tomllib = pytest.importorskip("tomllib")  # Python 3.11 and newer
    names = cli.verb_names()
    parser = cli.build_parser()
    subcommands = next(a for a in parser._actions if a.dest == "verb").choices
    assert list(subcommands) == names
    described = {
        "pyproject.toml": tomllib.loads(PYPROJECT.read_text())["project"]["description"],
        "kvt --help": parser.description,
    }
    for where, text in described.items():
        missing = [n for n in names if not re.search(rf"\b{n}\b", text)]
        assert not missing, f"{where} does not name {missing}: {text!r}"
