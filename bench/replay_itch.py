"""ITCH replay speed and memory against the machine's own read rate of the same file.

Writes a seeded ITCH 5.0 file (every message type, 100 stocks, built a block at
a time from numpy structured arrays), then measures, each run in a fresh
process: plain reads of the file (warm: read() into page-aligned buffers of
several sizes, and cat), one stock replayed end to end, ten stocks in one pass,
the gzip copy, and the peak RSS of one stock on the full file against a file a
tenth of its size. Each read and replay runs --rounds times and the best counts,
so that a machine shared with other work compares like with like. Beside the ten
stocks' pass it times the C++ core alone on their book events (the floor under
any replay of them: nothing read, scanned or written).

    python bench/replay_itch.py --gb 2 [--rounds N] [--file PATH] [--keep]
"""

import argparse
import json
import mmap
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from options import BadInput, positive_int, run

from kestrova_replay import itch
from replay import COLUMNS as CORE_COLUMNS
from replay import build_core

STOCKS = 100
MID = 1_000_000  # $100.0000 in ticks of 0.0001
HEADER = [("length", ">u2"), ("type", "S1"), ("locate", ">u2"), ("tracking", ">u2"),
          ("ts_hi", ">u2"), ("ts_lo", ">u4")]  # fmt: skip
# Fields after the header of the types the replay reads; the others are zeros.
FIELDS = {
    "A": [("ref", ">u8"), ("side", "S1"), ("shares", ">u4"), ("stock", "S8"), ("price", ">u4")],
    "F": [
        ("ref", ">u8"),
        ("side", "S1"),
        ("shares", ">u4"),
        ("stock", "S8"),
        ("price", ">u4"),
        ("mpid", "S4"),
    ],  # fmt: skip
    "E": [("ref", ">u8"), ("shares", ">u4"), ("match", ">u8")],
    "C": [
        ("ref", ">u8"),
        ("shares", ">u4"),
        ("match", ">u8"),
        ("printable", "S1"),
        ("price", ">u4"),
    ],  # fmt: skip
    "X": [("ref", ">u8"), ("shares", ">u4")],
    "D": [("ref", ">u8")],
    "U": [("ref", ">u8"), ("new_ref", ">u8"), ("shares", ">u4"), ("price", ">u4")],
    "P": [
        ("ref", ">u8"),
        ("side", "S1"),
        ("shares", ">u4"),
        ("stock", "S8"),
        ("price", ">u4"),
        ("match", ">u8"),
    ],  # fmt: skip
    "Q": [("shares", ">u8"), ("stock", "S8"), ("price", ">u4"), ("match", ">u8"), ("cross", "S1")],
    "B": [("match", ">u8")],
    "S": [("code", "S1")],
    "H": [("stock", "S8"), ("state", "S1"), ("reserved", "S1"), ("reason", "S4")],
    "R": [("stock", "S8")],
}
SIZES = {"S": 12, "R": 39, "H": 25, "Y": 20, "L": 26, "V": 35, "W": 12, "K": 28, "J": 35,
         "h": 21, "A": 36, "F": 40, "E": 31, "C": 36, "X": 23, "D": 19, "U": 35, "P": 44,
         "Q": 40, "B": 19, "I": 50, "N": 20, "O": 48}  # fmt: skip
SKIPPED = "YLVWKJhINO"
READ_SIZES = (128 << 10, 1 << 20, 8 << 20)
KEY_SPAN = 1 << 58


def symbol(locate):
    return f"S{locate:03d}"


def records(kind, n):
    fields = HEADER + FIELDS.get(kind, [])
    names = [f for f, _ in fields]
    formats = [t for _, t in fields]
    offsets = np.concatenate(([0], np.cumsum([np.dtype(t).itemsize for t in formats])[:-1]))
    dtype = np.dtype({"names": names, "formats": formats, "offsets": offsets.tolist(),
                      "itemsize": SIZES[kind] + 2})  # fmt: skip
    out = np.zeros(n, dtype)
    out["length"] = SIZES[kind]
    out["type"] = kind.encode()
    return out


def stocks_of(locate):
    names = np.array([symbol(i).ljust(8).encode() for i in range(STOCKS + 1)], "S8")
    return names[locate]


class Block:
    """Messages of one block, each with a sort key that sets its place."""

    def __init__(self, rng):
        self.rng = rng
        self.parts = []

    def key(self, n, low=0, high=KEY_SPAN, sub=0):
        return self.rng.integers(low, high, n, dtype=np.int64) * 4 + sub

    def add(self, array, keys):
        self.parts.append((array, keys))

    def bytes(self, first_ns):
        keys = np.concatenate([k for _, k in self.parts])
        sizes = np.concatenate([np.full(len(a), a.dtype.itemsize) for a, _ in self.parts])
        order = np.argsort(keys, kind="stable")
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        ends = np.cumsum(sizes[order])
        start = (ends - sizes[order])[rank]
        out = np.empty(int(ends[-1]), np.uint8)
        i = 0
        for array, _ in self.parts:
            n = len(array)
            ts = first_ns + rank[i : i + n].astype(np.int64) * 50
            array["ts_hi"] = ts >> 32
            array["ts_lo"] = ts & 0xFFFFFFFF
            width = array.dtype.itemsize
            raw = array.view(np.uint8).reshape(n, width)
            out[start[i : i + n, None] + np.arange(width)] = raw
            i += n
        return out.tobytes(), len(keys)


def passive(rng, kind, refs, locate, side, shares, k):
    a = records(kind, len(refs))
    a["ref"], a["locate"], a["shares"] = refs, locate, shares
    a["side"] = np.where(side == 0, b"B", b"S")
    a["stock"] = stocks_of(locate)
    a["price"] = MID + locate * 1000 + np.where(side == 0, -k, k)
    if kind == "F":
        a["mpid"] = b"MPID"
    return a


def write_file(path, gb, seed):
    """Writes about `gb` GB of messages; the live orders stay bounded whatever the size."""
    rng = np.random.default_rng(seed)
    target = int(gb * 1e9)
    n = 400_000  # passive adds a block
    head = Block(rng)
    s = records("S", 1)
    s["code"] = b"O"
    head.add(s, np.array([0]))
    r = records("R", STOCKS)
    r["locate"] = np.arange(1, STOCKS + 1)
    r["stock"] = stocks_of(r["locate"])
    head.add(r, np.arange(1, STOCKS + 1) * 4)
    written, clock = 0, 34_200_000_000_000
    next_ref = 1
    prev = None  # the last block's passive adds: ref, locate, side, shares
    with open(path, "wb") as out:
        data, count = head.bytes(clock)
        out.write(data)
        written += len(data)
        while written < target:
            b = Block(rng)
            refs = np.arange(next_ref, next_ref + n, dtype=np.uint64)
            next_ref += n
            locate = rng.integers(1, STOCKS + 1, n)
            side = rng.integers(0, 2, n)
            shares = rng.integers(1, 10, n) * 100
            k = rng.integers(1, 21, n)
            is_f = rng.random(n) < 0.1
            for kind, mask in (("A", ~is_f), ("F", is_f)):
                b.add(passive(rng, kind, refs[mask], locate[mask], side[mask], shares[mask],
                              k[mask]), b.key(int(mask.sum())))  # fmt: skip
            if prev is not None:
                next_ref = _retire(b, rng, prev, next_ref)
            prev = (refs, locate, side, shares)
            next_ref = _aggressive(b, rng, n // 4, next_ref)
            _recorded(b, rng, n)
            data, count = b.bytes(clock)
            clock += count * 50
            out.write(data)
            written += len(data)
    return written


def _retire(b, rng, prev, next_ref):
    """Ends the previous block's orders: partial cancels, replaces, then deletes."""
    refs, locate, side, shares = prev
    n = len(refs)
    fate = rng.random(n)
    x, u = fate < 0.2, (fate >= 0.2) & (fate < 0.4)
    early = b.key(n, 0, KEY_SPAN // 2)
    late = b.key(n, KEY_SPAN // 2)
    a = records("X", int(x.sum()))
    a["ref"], a["locate"], a["shares"] = refs[x], locate[x], 50
    b.add(a, early[x])
    m = int(u.sum())
    new_refs = np.arange(next_ref, next_ref + m, dtype=np.uint64)
    a = records("U", m)
    a["ref"], a["new_ref"], a["locate"], a["shares"] = refs[u], new_refs, locate[u], shares[u]
    a["price"] = MID + locate[u] * 1000 + np.where(side[u] == 0, -1, 1) * rng.integers(1, 21, m)
    b.add(a, early[u])
    a = records("D", n)
    a["ref"] = np.where(u, 0, refs)
    a["ref"][u] = new_refs
    a["locate"] = locate
    b.add(a, late)
    return next_ref + m


def _aggressive(b, rng, n, next_ref):
    """Orders at the middle, executed right after they rest: each is the best of its side."""
    refs = np.arange(next_ref, next_ref + n, dtype=np.uint64)
    locate = rng.integers(1, STOCKS + 1, n)
    side = rng.integers(0, 2, n)
    fate = rng.random(n)
    base = b.key(n, sub=0) // 4 * 4
    add = passive(rng, "A", refs, locate, side, np.full(n, 200), np.zeros(n, np.int64))
    b.add(add, base)
    e_full, c_full = fate < 0.4, (fate >= 0.4) & (fate < 0.7)
    partial = ~(e_full | c_full)
    e = records("E", int((e_full | partial).sum()))
    mask = e_full | partial
    e["ref"], e["locate"] = refs[mask], locate[mask]
    e["shares"] = np.where(e_full[mask], 200, 50)
    e["match"] = refs[mask]
    b.add(e, base[mask] + 1)
    c = records("C", int(c_full.sum()))
    c["ref"], c["locate"], c["shares"], c["printable"] = refs[c_full], locate[c_full], 200, b"Y"
    c["price"] = add["price"][c_full]
    b.add(c, base[c_full] + 1)
    d = records("D", int(partial.sum()))
    d["ref"], d["locate"] = refs[partial], locate[partial]
    b.add(d, base[partial] + 2)
    return next_ref + n


def _recorded(b, rng, n):
    """Trades, crosses, broken trades, trading actions, a system event, and skipped types."""
    for kind, count in (("P", n // 10), ("Q", n // 200), ("B", n // 400), ("H", n // 200)):
        a = records(kind, count)
        a["locate"] = rng.integers(1, STOCKS + 1, count)
        if kind in "PQH":
            a["stock"] = stocks_of(a["locate"])
        if kind in "PQ":
            a["shares"], a["price"] = 100, MID
        if kind == "P":
            a["side"] = b"B"
        if kind == "Q":
            a["cross"] = b"O"
        if kind == "H":
            a["state"], a["reserved"], a["reason"] = b"T", b" ", b"    "
        b.add(a, b.key(count))
    s = records("S", 1)
    s["code"] = b"Q"
    b.add(s, b.key(1))
    for kind in SKIPPED:
        a = records(kind, n // 100)
        a["locate"] = rng.integers(1, STOCKS + 1, n // 100)
        b.add(a, b.key(n // 100))


def read_rate(path, size):
    """Bytes a second of read() into a page-aligned buffer of ``size``, as the replay reads.

    The buffer is mapped memory, so it starts on a page: the kernel copies into a
    buffer off a cache line (such as a bytearray's, 16 bytes into its page) several
    times slower on some machines, which would make the reference easy to beat.
    """
    buffer = mmap.mmap(-1, size)
    started = time.perf_counter()
    total = 0
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buffer):
            total += n
    buffer.close()
    return total / (time.perf_counter() - started)


def cat_rate(path):
    """Bytes a second of ``cat FILE > /dev/null``."""
    with open(os.devnull, "wb") as sink:
        started = time.perf_counter()
        subprocess.run(["cat", str(path)], stdout=sink, check=True)
    return path.stat().st_size / (time.perf_counter() - started)


def measure_reads(path, rounds):
    reads = {f"read() {n >> 10} KB": max(read_rate(path, n) for _ in range(rounds))
             for n in READ_SIZES}  # fmt: skip
    reads["cat > /dev/null"] = max(cat_rate(path) for _ in range(rounds))
    return reads


def best(rounds, function, *args):
    """The round of ``function(*args)`` with the fewest run seconds."""
    return min((function(*args) for _ in range(rounds)), key=lambda result: result[1])


def child(command):
    """Wall seconds, the run's own seconds and peak RSS (MB) of a fresh process.

    The peak comes from GNU time where there is one: a child started straight from
    this process would count this process's own resident memory as its peak, since
    the kernel records the memory a process had when it replaced itself by the command.
    """
    gnu_time = Path("/usr/bin/time")
    with tempfile.NamedTemporaryFile("r") as peak:
        if gnu_time.exists():
            command = [str(gnu_time), "-f", "%M", "-o", peak.name, *command]
        started = time.perf_counter()
        result = subprocess.run(command, capture_output=True, text=True)
        seconds = time.perf_counter() - started
        if result.returncode != 0:
            raise subprocess.CalledProcessError(result.returncode, command, stderr=result.stderr)
        text = peak.read().split()
    if text:
        rss = int(text[-1]) / 1024
    else:
        rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    return seconds, json.loads(result.stdout)["seconds"], rss


def replay(path, symbols, out):
    command = [sys.executable, "-m", "kestrova_replay", "replay", "itch", str(path),
               "--symbol", ",".join(symbols), "--quiet", "--json", "--out", str(out)]  # fmt: skip
    return child(command)


def core_alone(path, symbols, folder):
    """Seconds the C++ core alone takes on the stocks' book events, each in a book of its own.

    The floor under any replay of those stocks: the events decoded once, then
    replayed by ``bench/core/replay_core.cpp`` (best of 3), nothing read or written.
    """
    names = {**CORE_COLUMNS, "new_ref": "u64"}
    columns = [{name: [] for name in names} for _ in symbols]
    for part in itch.ItchScan(path, symbols).parts():
        for name in names:
            columns[part.slot][name].append(part.batch.columns[name])
    core = build_core()
    seconds = 0.0
    for slot, stock in enumerate(columns):
        where = folder / f"stock-{slot}"
        where.mkdir(parents=True)
        for name, kind in names.items():
            np.concatenate(stock[name]).tofile(where / f"{name}.{kind}")
        events = sum(len(c) for c in stock["action"])
        result = subprocess.run([core, where, "3"], capture_output=True, text=True, check=True)
        seconds += float(result.stdout.split()[0]) * events / 1e9
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gb", type=float, default=2.0, help="file size in GB (default 2)")
    parser.add_argument("--file", type=Path, help="where the file is cached (default: a temp dir)")
    parser.add_argument("--seed", type=positive_int, default=7)
    parser.add_argument(
        "--rounds",
        type=positive_int,
        default=3,
        help="runs of each read and replay; the best counts (default 3)",
    )
    parser.add_argument("--keep", action="store_true", help="keep the files afterwards")
    args = parser.parse_args()
    if not args.gb > 0:
        parser.error(f"--gb must be positive, got {args.gb}")
    folder = Path(tempfile.gettempdir()) / "kestrova-itch-bench"
    path = args.file or folder / f"day-{args.gb:g}gb-{args.seed}.itch"
    small = path.with_name(path.stem + "-tenth.itch")
    packed = path.with_name(path.name + ".gz")
    path.parent.mkdir(parents=True, exist_ok=True)
    free = shutil.disk_usage(path.parent).free
    if free < 2.5 * args.gb * 1e9:
        raise BadInput(f"{path.parent}: {free / 1e9:.1f} GB free, needs {2.5 * args.gb:.1f}")
    made = []
    try:
        for file, gb in ((path, args.gb), (small, args.gb / 10)):
            if not file.exists():
                started = time.perf_counter()
                size = write_file(file, gb, args.seed)
                print(f"wrote {file} ({size / 1e9:.2f} GB) in {time.perf_counter() - started:.1f} s",
                      file=sys.stderr)  # fmt: skip
                made.append(file)
        if not packed.exists():
            with open(packed, "wb") as out:
                subprocess.run(["gzip", "-1", "-c", str(path)], stdout=out, check=True)
            made.append(packed)
        size = path.stat().st_size
        read_rate(path, READ_SIZES[0])  # warm the page cache
        # The reference is the fastest plain read of the file: read() loops with
        # buffers of several sizes, and cat; the best of the rounds of each, taken
        # before and after the replays, whose best rounds they are compared with.
        reads = measure_reads(path, args.rounds)
        work = Path(tempfile.mkdtemp())
        one, one_run, rss_one = best(args.rounds, replay, path, [symbol(1)], work / "one")
        ten_stocks = [symbol(i) for i in range(1, 11)]
        ten, ten_run, _ = best(args.rounds, replay, path, ten_stocks, work / "ten")
        gz, gz_run, _ = replay(packed, [symbol(1)], work / "gz")
        floor = core_alone(path, ten_stocks, work / "core")
        reads = {name: max(r, again) for (name, r), again in
                 zip(reads.items(), measure_reads(path, args.rounds).values(), strict=True)}  # fmt: skip
        rate = max(reads.values())
        _, _, rss_small = replay(small, [symbol(1)], work / "small")
        shutil.rmtree(work)
        gz_size = f"{packed.stat().st_size / 1e9:.2f} GB gzip"
        fastest = max(reads, key=reads.__getitem__)
        rows = [
            (f"read, {name}", size / r, size / r, "reference" if name == fastest else "")
            for name, r in reads.items()
        ] + [
            ("replay 1 stock", one, one_run, f"{size / one_run / rate:.2f} of read rate (run)"),
            ("replay 10 stocks", ten, ten_run, f"{ten_run / one_run:.2f}x one stock (run)"),
            (
                "C++ core alone, 10 stocks",
                floor,
                floor,
                f"{floor / one_run:.2f}x one stock: their book events alone",
            ),
            ("replay 1 stock, gzip", gz, gz_run, gz_size),
        ]
        print(f"ITCH 5.0 file: {size / 1e9:.2f} GB, {STOCKS} stocks, seed {args.seed}")
        print("wall: the whole process; run: the replay's own seconds, from its summary")
        print(f"{'':<26}{'wall s':>8}{'run s':>8}{'run MB/s':>10}  note")
        for name, wall, seconds, note in rows:
            print(f"{name:<26}{wall:>8.2f}{seconds:>8.2f}{size / seconds / 1e6:>10.0f}  {note}")
        print(f"peak RSS, 1 stock: {rss_one:.0f} MB on {size / 1e9:.2f} GB, "
              f"{rss_small:.0f} MB on {small.stat().st_size / 1e9:.2f} GB")  # fmt: skip
    finally:
        if not args.keep:
            for file in (path, small, packed):
                file.unlink(missing_ok=True)


if __name__ == "__main__":
    run(main)
