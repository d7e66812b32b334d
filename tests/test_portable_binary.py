"""The built module loads on old Linux systems and shows nothing but its entry point."""

import os
import re
import shutil
import subprocess

import pytest

import kestrova

# glibc 2.28 is the oldest base the wheel's manylinux_2_28 promise allows.
OLDEST_GLIBC = (2, 28)
SYSTEM_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libgcc_s.so.1",
    "libpthread.so.0",
    "ld-linux-x86-64.so.2",
}

pytestmark = [
    pytest.mark.skipif(
        shutil.which("nm") is None or shutil.which("objdump") is None, reason="needs binutils"
    ),
    # A sanitizer build links its runtimes on purpose; only release builds ship.
    pytest.mark.skipif(bool(os.environ.get("KESTROVA_SANITIZED")), reason="sanitizer build"),
]


def tool_output(*args, path=kestrova.__file__):
    return subprocess.run(
        [*args, path], capture_output=True, text=True, check=True, timeout=60
    ).stdout


def test_only_the_entry_point_is_exported():
    # nm -D --defined-only: "<address> <kind> <name>" for each defined dynamic symbol.
    names = {line.split()[-1] for line in tool_output("nm", "-D", "--defined-only").splitlines()}
    assert names == {"PyInit_kestrova"}


def test_glibc_symbol_versions_are_old_enough():
    versions = set(re.findall(r"\bGLIBC_(\d+)\.(\d+)", tool_output("objdump", "-T")))
    too_new = {v for v in versions if (int(v[0]), int(v[1])) > OLDEST_GLIBC}
    assert versions and not too_new


def test_the_replay_loop_needs_no_newer_glibc():
    # Its threads are the interpreter's, and named through prctl, for this reason.
    from kestrova_replay import _native

    versions = set(
        re.findall(r"\bGLIBC_(\d+)\.(\d+)", tool_output("objdump", "-T", path=_native.__file__))
    )
    too_new = {v for v in versions if (int(v[0]), int(v[1])) > OLDEST_GLIBC}
    assert versions and not too_new


def test_no_shared_cxx_runtime_is_needed():
    dynamic = tool_output("objdump", "-T", "-p")
    needed = set(re.findall(r"NEEDED\s+(\S+)", dynamic))
    assert needed <= SYSTEM_LIBRARIES
    assert not re.search(r"\b(GLIBCXX|CXXABI)_", dynamic)
