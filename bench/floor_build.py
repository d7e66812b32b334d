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
# The floor draws random bytes through kestrova's own vDSO reader.
RANDOM = Path(__file__).with_name("floor_random.cpp")
ROOT = Path(__file__).resolve().parent.parent
VDSO = ROOT / "src" / "model" / "vdso_random.cpp"


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "kestrova-bench"


def build():
    sources = b"".join(path.read_bytes() for path in (SOURCE, RANDOM, VDSO))
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    tag = hashlib.sha256(sources + suffix.encode()).hexdigest()[:16]
    target = cache_dir() / f"floor_calls-{tag}" / f"floor_calls{suffix}"
    if not target.exists():
        folder = target.parent
        folder.mkdir(parents=True, exist_ok=True)
        cc = os.environ.get("CC", "cc")
        cxx = os.environ.get("CXX", "c++")
        include = sysconfig.get_paths()["include"]
        flags = ["-O2", "-Wall", "-Wextra", "-fPIC", "-c"]
        objects = [folder / "floor_calls.o", folder / "floor_random.o", folder / "vdso_random.o"]
        subprocess.run(
            [cc, *flags, "-std=c11", f"-I{include}", str(SOURCE), "-o", str(objects[0])], check=True
        )
        for source, output in ((RANDOM, objects[1]), (VDSO, objects[2])):
            command = [
                cxx,
                *flags,
                "-std=c++20",
                f"-I{ROOT / 'src'}",
                str(source),
                "-o",
                str(output),
            ]
            subprocess.run(command, check=True)
        link = [cxx, "-shared", *map(str, objects), "-o", str(target) + ".tmp"]
        subprocess.run(link, check=True)
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
