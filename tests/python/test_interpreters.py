"""The module refuses every CPython but the one it was compiled for.

An extension module's file name carries its interpreter's tag (``cpython-312``), so another
interpreter never finds the file by ``import``; these tests load it by its path, as a copied or
renamed file would be loaded, in a child process of each other CPython 3.10-3.13 present. Across
3.13 the file does not even load: 3.13 renamed the C function that reads the current thread state
(``_PyThreadState_UncheckedGet`` became ``PyThreadState_GetUnchecked``). Between 3.10, 3.11 and
3.12 it loads and the module's compiled version check refuses the interpreter."""
from __future__ import annotations

import glob
import json
import os
import shutil
import subprocess
import sys

import pytest

import orbaltkvt

COMPILED = "%d.%d" % sys.version_info[:2]
SUPPORTED = ("3.10", "3.11", "3.12", "3.13")

LOAD = """
import importlib.util, json, os, sys
path = sys.argv[1]
sys.path.insert(0, os.path.dirname(os.path.dirname(path)))
spec = importlib.util.spec_from_file_location(
    "orbaltkvt", path, submodule_search_locations=[os.path.dirname(path)])
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
    error = None
except BaseException as e:
    error = [type(e).__name__, str(e)]
print(json.dumps({"version": sys.version, "error": error}))
"""


def interpreter(version: str) -> str | None:
    """CPython ``version`` by full path (pyenv's shims refuse versions PYENV_VERSION does not
    name), else None."""
    pyenv = shutil.which("pyenv")
    root = (subprocess.run([pyenv, "root"], capture_output=True, text=True).stdout.strip()
            if pyenv else "") or os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    candidates = sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}"))
    candidates += [f"/usr/bin/python{version}", f"/usr/local/bin/python{version}"]
    return next((c for c in candidates if os.access(c, os.X_OK)), None)


def key(version: str) -> tuple[int, ...]:
    return tuple(map(int, version.split(".")))


@pytest.mark.parametrize("other", [v for v in SUPPORTED if v != COMPILED])
def test_module_refuses_another_interpreter(other):
    python = interpreter(other)
    if python is None:
        pytest.skip(f"no CPython {other} here")
    path = orbaltkvt.__file__
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    out = subprocess.run([python, "-I", "-c", LOAD, path], capture_output=True, text=True,
                         env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["version"].startswith(other + ".")
    if (key(other) >= (3, 13)) == (key(COMPILED) >= (3, 13)):
        assert result["error"] == [
            "ImportError",
            f"Python version mismatch: module was compiled for Python {COMPILED}, but the "
            f"interpreter version is incompatible: {result['version']}."]
    else:
        missing = ("PyThreadState_GetUnchecked" if key(COMPILED) >= (3, 13)
                   else "_PyThreadState_UncheckedGet")
        assert result["error"] == ["ImportError", f"{path}: undefined symbol: {missing}"]
