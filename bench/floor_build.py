"""Compile bench/floor_calls.c against the running Python and import it.

The module lands in a cache directory keyed by the source's hash and the
interpreter's ABI tag, so it is built once per change and never committed.
"""

import hashlib
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

SOURCE = Path(__file__).with_name("floor_calls.c")


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "kestrova-bench"


def build():
    source = SOURCE.read_bytes()
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    tag = hashlib.sha256(source + suffix.encode()).hexdigest()[:16]
    target = cache_dir() / f"floor_calls-{tag}" / f"floor_calls{suffix}"
    if not target.exists():
        target.parent.mkdir(parents=True, exist_ok=True)
        compiler = os.environ.get("CC", "cc")
        include = sysconfig.get_paths()["include"]
        command = [compiler, "-O2", "-std=c11", "-Wall", "-Wextra", "-shared", "-fPIC"]
        command += [f"-I{include}", str(SOURCE), "-o", str(target) + ".tmp"]
        subprocess.run(command, check=True)
        os.replace(str(target) + ".tmp", target)
    return target


def load():
    """The floor module, built on first use."""
    if "floor_calls" in sys.modules:
        return sys.modules["floor_calls"]
    path = build()
    spec = importlib.util.spec_from_file_location("floor_calls", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["floor_calls"] = module
    return module


if __name__ == "__main__":
    print(build())
