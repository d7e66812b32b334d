"""Builds and runs the interpreter-free checks of the C++ core."""

import os
import pathlib
import shlex
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
CORE_SOURCES = sorted(
    str(p) for folder in ("src/model", "src/book") for p in (ROOT / folder).glob("*.cpp")
)


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
# Run against an installed wheel, the tests have no C++ sources beside them.
@pytest.mark.skipif(
    not (ROOT / "tests/core/core_checks.cpp").is_file() or not CORE_SOURCES,
    reason="needs the C++ sources beside the tests",
)
def test_core_checks(tmp_path):
    binary = tmp_path / "core_checks"
    subprocess.run(
        # CXXFLAGS override the defaults, so a sanitizer run checks the core under it too
        [
            "g++",
            "-std=c++20",
            "-O1",
            "-Wall",
            "-Wextra",
            *shlex.split(os.environ.get("CXXFLAGS", "")),
            "-I",
            str(ROOT / "src"),
            str(ROOT / "tests/core/core_checks.cpp"),
            *CORE_SOURCES,
            "-o",
            str(binary),
        ],
        check=True,
    )
    result = subprocess.run([str(binary)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout
