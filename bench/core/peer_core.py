"""Build and run the C++ cores side by side on one flow file.

Run: python bench/core/peer_core.py [--flow FILE] [--rounds R]

- orderly-chaos: its header-only C++ book is taken from its PyPI sdist (fetched
  with pip into a cache directory, never committed) and driven by
  bench/core/peer_orderly_chaos.cpp.
- kestrova: bench/core/core_bench.cpp through CMake (KESTROVA_BENCH=ON), when
  that file is in this tree.

Without --flow the default flow (bench/flow.py, --ops 1000000 --seed 1) is
written to the cache directory once. The two programs run alternately, one
round each at a time, and the medians of their per-round figures are shown.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tarfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import flow as flows  # noqa: E402
import options  # noqa: E402
import timing  # noqa: E402

PEER = "orderly-chaos"
PEER_VERSION = "0.2.0"


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    path = Path(base) / "kestrova-bench"
    path.mkdir(parents=True, exist_ok=True)
    return path


def peer_headers():
    """The sdist's include directories, fetched and unpacked once."""
    root = cache_dir() / f"orderly_chaos-{PEER_VERSION}"
    include = root / "include"
    robin = root / "third_party" / "robin_map" / "include"
    if include.exists() and robin.exists():
        return include, robin
    download = cache_dir() / "sdist"
    download.mkdir(exist_ok=True)
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "download",
            "--no-deps",
            "--no-binary",
            ":all:",
            "-q",
        ]
        + ["-d", str(download), f"{PEER}=={PEER_VERSION}"],
        check=True,
    )
    archive = next(download.glob(f"orderly_chaos-{PEER_VERSION}.tar.gz"))
    prefix = f"orderly_chaos-{PEER_VERSION}/"
    wanted = (
        prefix + "include/",
        prefix + "third_party/robin_map/include/",
        prefix + "LICENSE",
    )
    with tarfile.open(archive) as sdist:
        members = [m for m in sdist.getmembers() if m.name.startswith(wanted)]
        sdist.extractall(cache_dir(), members=members, filter="data")
    return include, robin


def build_peer():
    include, robin = peer_headers()
    source = HERE / "peer_orderly_chaos.cpp"
    binary = cache_dir() / "peer_orderly_chaos"
    newest = max(path.stat().st_mtime for path in (source, HERE / "flow_replay.hpp"))
    if not binary.exists() or binary.stat().st_mtime < newest:
        compiler = os.environ.get("CXX", "c++")
        command = [compiler, "-std=c++20", "-O2", "-Wall", "-Wextra"]
        command += ["-isystem", str(include), "-isystem", str(robin)]
        command += [str(source), "-o", str(binary)]
        subprocess.run(command, check=True)
    return binary


def build_core():
    """kestrova's core benchmark, or None when this tree does not have it."""
    if not (HERE / "core_bench.cpp").exists():
        return None
    build = ROOT / "build" / "bench"
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"]
        + ["-DKESTROVA_BENCH=ON", f"-DPython_EXECUTABLE={sys.executable}"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        ["cmake", "--build", str(build), "--target", "core_bench"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return build / "core_bench"


def default_flow():
    path = cache_dir() / "flow-seed1-ops1000000.txt"
    if not path.exists():
        subprocess.run(
            [sys.executable, str(ROOT / "bench" / "flow.py"), "--write", str(path)],
            check=True,
        )
    return path


# "<operation> <count> <ns>" and whatever follows (a min-max, say); "-" for no calls
ROW = re.compile(
    r"^(create_order|add|cancel|best_bid\+ask|overall)\s+(\d+)\s+(-?\d+(?:\.\d*)?|-)(?:\s|$)"
)


def run_once(binary, flow):
    """(figures by operation, the 'work:' line) from one round of a program."""
    out = subprocess.run(
        [str(binary), str(flow), "--rounds", "1"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    figures, work = {}, ""
    for line in out.splitlines():
        if line.startswith("work:"):
            work = line
        match = ROW.match(line)
        if match:
            figures[match.group(1)] = (
                int(match.group(2)),
                None if match.group(3) == "-" else float(match.group(3)),
            )
    return figures, work


def model_work(path, parser):
    """The 'work:' line the flow's matching model gives, to check the programs by."""
    checksum = 0

    def quote(model):
        nonlocal checksum
        checksum += (model.best(flows.BUY) or 0) + (model.best(flows.SELL) or 0)

    _, model = flows.load_option(parser, path, on_quote=quote)
    return (
        f"work: {model.fills} fills, filled {model.filled:.0f}, {model.cancels} cancels, "
        f"best-price checksum {checksum}"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--flow", metavar="FILE")
    parser.add_argument("--rounds", type=options.positive_int, default=5)
    args = parser.parse_args()
    flow = Path(args.flow) if args.flow else default_flow()
    # checked before anything is fetched or built: the programs trust the file
    want = model_work(flow, parser)

    programs = {PEER: build_peer()}
    core = build_core()
    if core is not None:
        programs = {"kestrova core": core, **programs}

    figures = {name: {} for name in programs}
    works = {}
    for _ in range(args.rounds):
        for name, binary in programs.items():
            once, work = run_once(binary, flow)
            works[name] = work
            for operation, (count, ns) in once.items():
                figures[name].setdefault(operation, [count, []])
                if ns is not None:
                    figures[name][operation][1].append(ns)

    compiler = shutil.which(os.environ.get("CXX", "c++"))
    version = subprocess.run(
        [compiler, "--version"], check=False, capture_output=True, text=True
    ).stdout.splitlines()[0]
    print(f"C++ cores on one flow: {timing.machine()}")
    print(f"compiler: {version}, -O2")
    print(f"flow: {flow}; {args.rounds} alternating rounds, ns per operation, median (min-max)")
    if core is None:
        print(
            "kestrova core: bench/core/core_bench.cpp is not in this tree; the peer alone is shown"
        )
    print()
    names = list(programs)
    header = ("operation", *names)
    rows = []
    for operation in ("create_order", "add", "cancel", "best_bid+ask", "overall"):
        row = [operation]
        for name in names:
            count, values = figures[name].get(operation, (0, []))
            if not values:
                row.append("-")
            else:
                low, high = min(values), max(values)
                row.append(f"{statistics.median(values):.1f} ({low:.0f}-{high:.0f})")
        rows.append(row)
    print(timing.table(header, rows))
    print()
    print(f"model: {want}")
    for name in names:
        verdict = "same work as the model" if works[name] == want else "DIFFERS from the model"
        print(f"{name}: {works[name]}: {verdict}")


if __name__ == "__main__":
    options.run(main)
