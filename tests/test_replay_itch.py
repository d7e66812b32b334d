"""ITCH 5.0 replay: files written from the published layout, replayed against a model book.

The writer packs each message with ``struct`` (big-endian) and keeps a plain
model of every stock's book; after every book message of a chosen stock, the
replay's depth rows must be the model's levels.
"""

from __future__ import annotations

import gzip
import json
import os
import random
import struct
import time
from collections import defaultdict
from pathlib import Path

import pyarrow.parquet as pq
import pytest
from replay_tables import depth_rows

from kestrova_replay import DataError, OptionError, itch
from kestrova_replay.cli import main
from kestrova_replay.engine import NativeBook
from kestrova_replay.runs import replay_itch

# The published size of every message type, and each one's fields after the
# common header (type, locate, tracking number, 6-byte timestamp).
LAYOUTS = {
    "S": (12, "c"),
    "R": (39, "8sccIcc2scccccIc"),
    "H": (25, "8scc4s"),
    "Y": (20, "8sc"),
    "L": (26, "4s8sccc"),
    "V": (35, "QQQ"),
    "W": (12, "c"),
    "K": (28, "8sIcI"),
    "J": (35, "8sIIII"),
    "h": (21, "8scc"),
    "A": (36, "QcI8sI"),
    "F": (40, "QcI8sI4s"),
    "E": (31, "QIQ"),
    "C": (36, "QIQcI"),
    "X": (23, "QI"),
    "D": (19, "Q"),
    "U": (35, "QQII"),
    "P": (44, "QcI8sIQ"),
    "Q": (40, "Q8sIQc"),
    "B": (19, "Q"),
    "I": (50, "QQc8sIIIcc"),
    "N": (20, "8sc"),
    "O": (48, "8scIIIQII"),
}
LEVELS = 5


def pack(kind: str, locate: int, time: int, *fields: object) -> bytes:
    size, layout = LAYOUTS[kind]
    body = struct.pack(">cHH", kind.encode(), locate, 0) + time.to_bytes(6, "big")
    body += struct.pack(">" + layout, *fields)
    assert len(body) == size
    return struct.pack(">H", size) + body


class Writer:
    """Messages of several stocks, and the book each one should show after each message."""

    def __init__(self) -> None:
        self.messages: list[bytes] = []
        self.time = 34_200_000_000_000
        self.orders: dict[int, list] = {}  # ref -> [locate, side, price, shares, queue place]
        self.serial = 0
        self.depth: dict[int, list[tuple]] = defaultdict(list)  # locate -> rows
        self.symbols: dict[int, str] = {}
        self.wire: dict[int, int] = {}  # a stock's locate code in the messages, when moved

    def put(self, kind: str, locate: int, *fields: object) -> None:
        self.time += 1_000
        self.messages.append(pack(kind, self.wire.get(locate, locate), self.time, *fields))

    def book_message(self, kind: str, locate: int, *fields: object) -> None:
        self.put(kind, locate, *fields)
        seq = len(self.messages)
        for row in self.levels(locate):
            self.depth[locate].append((seq, *row))

    def levels(self, locate: int) -> list[tuple]:
        rows = []
        for side, name in ((0, "bid"), (1, "ask")):
            totals: dict[int, list[int]] = {}
            for o in self.orders.values():
                if o[0] == locate and o[1] == side:
                    level = totals.setdefault(o[2], [0, 0])
                    level[0] += o[3]
                    level[1] += 1
            prices = sorted(totals, reverse=side == 0)[:LEVELS]
            rows += [(name, i + 1, p, *totals[p]) for i, p in enumerate(prices)]
        return rows

    def bytes(self) -> bytes:
        return b"".join(self.messages)

    # -- messages with a book effect
    def directory(self, locate: int, symbol: str) -> None:
        self.symbols[locate] = symbol
        self.put("R", locate, symbol.ljust(8).encode(), b"Q", b"N", 100, b"N", b"C", b"Z ",
                 b"P", b"N", b"N", b"2", b"N", 0, b"N")  # fmt: skip

    def relocate(self, locate: int, code: int) -> None:
        """The stock's directory entry again, under another locate code from now on."""
        self.wire[locate] = code
        self.directory(locate, self.symbols[locate])

    def add(self, locate: int, ref: int, side: int, shares: int, price: int, mpid: bool) -> None:
        self.serial += 1
        self.orders[ref] = [locate, side, price, shares, self.serial]
        fields = (
            ref,
            b"BS"[side : side + 1],
            shares,
            self.symbols[locate].ljust(8).encode(),
            price,
        )
        if mpid:
            self.book_message("F", locate, *fields, b"MPID")
        else:
            self.book_message("A", locate, *fields)

    def execute(self, ref: int, shares: int, price: int | None = None) -> None:
        o = self.orders[ref]
        o[3] -= shares
        if o[3] == 0:
            del self.orders[ref]
        if price is None:
            self.book_message("E", o[0], ref, shares, 7)
        else:
            self.book_message("C", o[0], ref, shares, 7, b"Y", price)

    def cancel(self, ref: int, shares: int) -> None:
        o = self.orders[ref]
        o[3] -= shares
        self.serial += 1
        o[4] = self.serial  # the remainder joins the back of its queue
        if o[3] == 0:
            del self.orders[ref]
        self.book_message("X", o[0], ref, shares)

    def delete(self, ref: int) -> None:
        o = self.orders.pop(ref)
        self.book_message("D", o[0], ref)

    def replace(self, ref: int, new_ref: int, shares: int, price: int) -> None:
        o = self.orders.pop(ref)
        self.serial += 1
        self.orders[new_ref] = [o[0], o[1], price, shares, self.serial]
        self.book_message("U", o[0], ref, new_ref, shares, price)

    # -- recorded only
    def trade(self, locate: int, shares: int, price: int) -> None:
        symbol = self.symbols[locate].ljust(8).encode()
        self.put("P", locate, 0, b"B", shares, symbol, price, 99)

    def cross(self, locate: int, shares: int, price: int) -> None:
        self.put("Q", locate, shares, self.symbols[locate].ljust(8).encode(), price, 98, b"O")

    def broken(self, locate: int) -> None:
        self.put("B", locate, 99)

    def others(self, locate: int) -> None:
        """One of every message the replay skips."""
        s = self.symbols[locate].ljust(8).encode()
        self.put("H", locate, s, b"T", b" ", b"    ")
        self.put("Y", locate, s, b"0")
        self.put("L", locate, b"MPID", s, b"Y", b"N", b"A")
        self.put("V", 0, 1, 2, 3)
        self.put("W", 0, b"1")
        self.put("K", locate, s, 0, b"A", 0)
        self.put("J", locate, s, 1, 2, 3, 4)
        self.put("h", locate, s, b"Q", b"H")
        self.put("I", locate, 1, 2, b"B", s, 1, 2, 3, b"O", b"L")
        self.put("N", locate, s, b"B")
        self.put("O", locate, s, b"Y", 1, 2, 3, 4, 5, 6)

    # -- a seeded day
    def best(self, locate: int, side: int) -> int | None:
        prices = [o[2] for o in self.orders.values() if o[0] == locate and o[1] == side]
        if not prices:
            return None
        return max(prices) if side == 0 else min(prices)

    def front(self, locate: int, side: int) -> int | None:
        """The order an execution on this side meets first: best price, then queue place."""
        best = self.best(locate, side)
        mine = [(o[4], r) for r, o in self.orders.items() if o[:2] == [locate, side]]
        at_best = [(place, r) for place, r in mine if self.orders[r][2] == best]
        return min(at_best)[1] if at_best else None

    def quiet_price(self, rng: random.Random, locate: int, side: int) -> int:
        """A price that rests without crossing the other side."""
        mid = 1_000_000 + locate * 10_000
        price = mid + (rng.randint(1, 8) * 100 if side == 1 else -rng.randint(1, 8) * 100)
        other = self.best(locate, 1 - side)
        if other is not None and (price >= other if side == 0 else price <= other):
            price = other - 100 if side == 0 else other + 100
        return price

    def flow(self, rng: random.Random, locates: list[int], count: int) -> None:
        next_ref = max(self.orders, default=0) + 1
        for _ in range(count):
            locate = rng.choice(locates)
            mine = [r for r, o in self.orders.items() if o[0] == locate]
            move = rng.random()
            if move < 0.4 or len(mine) < 4:
                side = rng.randrange(2)
                self.add(locate, next_ref, side, rng.randint(1, 9) * 100,
                         self.quiet_price(rng, locate, side), rng.random() < 0.3)  # fmt: skip
                next_ref += 1
            elif move < 0.55:
                ref = self.front(locate, rng.randrange(2))
                if ref is not None:
                    shares = rng.randint(1, self.orders[ref][3])
                    price = self.orders[ref][2] if rng.random() < 0.5 else None
                    self.execute(ref, shares, price)
            elif move < 0.65:
                ref = rng.choice(mine)
                if self.orders[ref][3] > 1:
                    self.cancel(ref, rng.randint(1, self.orders[ref][3] - 1))
            elif move < 0.75:
                self.delete(rng.choice(mine))
            elif move < 0.85:
                ref = rng.choice(mine)
                side = self.orders[ref][1]
                self.replace(ref, next_ref, rng.randint(1, 9) * 100,
                             self.quiet_price(rng, locate, side))  # fmt: skip
                next_ref += 1
            elif move < 0.9:
                self.trade(locate, 100, 1_000_000)
            elif move < 0.93:
                self.cross(locate, 500, 1_000_100)
            elif move < 0.95:
                self.broken(locate)
            else:
                self.others(locate)


STOCKS = {1: "AAA", 2: "BBBB", 3: "CC", 4: "DDDDDDDD"}


def day(seed: int, count: int = 1500) -> Writer:
    w = Writer()
    w.put("S", 0, b"O")
    for locate, symbol in STOCKS.items():
        w.directory(locate, symbol)
    w.put("S", 0, b"Q")
    w.flow(random.Random(seed), list(STOCKS), count)
    w.put("S", 0, b"C")
    return w


def write(tmp_path: Path, data: bytes, compressed: bool = False, name: str = "day") -> Path:
    path = tmp_path / (name + (".gz" if compressed else ".itch"))
    path.write_bytes(gzip.compress(data, mtime=0) if compressed else data)
    return path


@pytest.mark.parametrize(
    ("seed", "symbols", "compressed"),
    [
        pytest.param(1, ["AAA"], False, id="one-stock"),
        pytest.param(2, ["BBBB", "DDDDDDDD", "CC"], False, id="three-stocks"),
        pytest.param(3, ["AAA", "CC"], True, id="gzip"),
    ],
)
def test_every_book_matches_the_writers_after_every_message(tmp_path, seed, symbols, compressed):
    w = day(seed)
    path = write(tmp_path, w.bytes(), compressed)
    summary = replay_itch(path, symbols, out=tmp_path / "out", levels=LEVELS, depth_every=1)
    by_symbol = {s: loc for loc, s in STOCKS.items()}
    assert summary.divergences == 0
    for symbol in symbols:
        folder = tmp_path / "out" / f"symbol={symbol}"
        assert depth_rows(folder) == sorted(w.depth[by_symbol[symbol]])
        mine = json.loads((folder / "summary.json").read_text())
        assert mine["complete"] and mine["symbol"] == symbol
        trades = pq.read_table(folder / "trades.parquet").to_pydict()
        events = pq.read_table(folder / "events.parquet").to_pydict()
        assert len(trades["seq"]) == mine["trades"] + mine["cross_trades"] + mine["broken_trades"]
        # The three system events reach every stock; H only its own.
        assert events["kind"].count("S system event") == 3
        assert events["code"][:1] == ["O"]
    top = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert top["messages"] == len(w.messages)
    assert top["events"] == sum(top["symbols"][s]["events"] for s in symbols)
    assert set(top["message_types"]) == set(LAYOUTS)


def test_class_path_gives_the_same_tables_and_runs_are_byte_identical(tmp_path):
    path = write(tmp_path, day(5, 800).bytes())
    for name, engine in (("a", "native"), ("b", "native"), ("c", "classes")):
        replay_itch(path, ["AAA", "BBBB"], out=tmp_path / name, depth_every=3, engine=engine)
    for symbol in ("AAA", "BBBB"):
        for table in ("fills", "bbo", "depth", "divergences", "trades", "events"):
            a, b, c = (tmp_path / n / f"symbol={symbol}" / f"{table}.parquet" for n in "abc")
            assert a.read_bytes() == b.read_bytes(), table
            assert pq.read_table(a).equals(pq.read_table(c)), table


def test_small_blocks_carry_messages_across_block_ends(tmp_path, monkeypatch):
    path = write(tmp_path, day(6, 600).bytes())
    whole = replay_itch(path, ["AAA", "CC"], out=tmp_path / "whole", depth_every=1)
    monkeypatch.setattr(itch, "BLOCK_BYTES", 37)
    monkeypatch.setattr(itch, "BATCH_EVENTS", 5)
    pieces = replay_itch(path, ["AAA", "CC"], out=tmp_path / "pieces", depth_every=1)
    assert pieces.events == whole.events
    for symbol in ("AAA", "CC"):
        assert depth_rows(tmp_path / "whole" / f"symbol={symbol}") == depth_rows(
            tmp_path / "pieces" / f"symbol={symbol}"
        )


@pytest.fixture(scope="module")
def long_day() -> Writer:
    """A day of a few hundred KB, in which AAA moves to locate code 5 before midway."""
    w = Writer()
    w.put("S", 0, b"O")
    for locate, symbol in STOCKS.items():
        w.directory(locate, symbol)
    rng = random.Random(11)
    w.flow(rng, list(STOCKS), 2200)
    w.relocate(1, 5)
    w.flow(rng, list(STOCKS), 2800)
    w.put("S", 0, b"C")
    return w


def without_timings(summary: dict) -> dict:
    drop = {"seconds", "events_per_second"}
    out = {k: v for k, v in summary.items() if k not in drop}
    out["symbols"] = {
        s: {k: v for k, v in d.items() if k not in drop} for s, d in out["symbols"].items()
    }
    return out


def parquet_files(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*.parquet"))}


# Blocks from 64 KB on are scanned as two chains of messages, the second from a
# guessed message start; 997-byte blocks are scanned one message after another.
@pytest.mark.parametrize("block", [1 << 20, 1 << 16], ids=["one-block", "64k-blocks"])
@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_large_blocks_give_the_bytes_of_small_ones(
    tmp_path, monkeypatch, long_day, block, compressed
):
    data = long_day.bytes()
    # AAA's new directory entry sits in the first half of the whole-file block:
    # the second chain passes AAA's messages under the new code before it comes.
    late = data.index(b"\x00\x27R\x00\x05")
    assert len(data) > 1 << 17 and late < len(data) // 2
    path = write(tmp_path, data, compressed)
    symbols = ["AAA", "CC", "DDDDDDDD"]
    runs = {}
    for name, size in (("large", block), ("small", 997)):
        monkeypatch.setattr(itch, "BLOCK_BYTES", size)
        summary = replay_itch(path, symbols, out=tmp_path / name, levels=LEVELS, depth_every=1)
        runs[name] = without_timings(summary.to_dict())
    assert runs["large"] == runs["small"]
    assert runs["large"]["messages"] == len(long_day.messages)
    assert parquet_files(tmp_path / "large") == parquet_files(tmp_path / "small")
    by_symbol = {s: loc for loc, s in STOCKS.items()}
    for symbol in symbols:
        folder = tmp_path / "large" / f"symbol={symbol}"
        assert depth_rows(folder) == sorted(long_day.depth[by_symbol[symbol]])


def _spoil(w: Writer, kind: str, where: float) -> tuple[bytes, str]:
    """The day with one message spoilt about ``where`` into it, and the error it gives."""
    i = int(len(w.messages) * where)
    if kind == "zero-shares":  # an add of a chosen stock, decoded only for it
        aaa = (b"A\x00\x01", b"A\x00\x05")
        i = next(j for j in range(i, len(w.messages)) if w.messages[j][2:5] in aaa)
    offset = sum(map(len, w.messages[:i]))
    message = bytearray(w.messages[i])
    kind_text = repr(chr(message[2]))
    if kind == "unknown-type":
        message[2] = ord("Z")
        reason = "unknown message type 'Z'"
    elif kind == "bad-length":
        size = len(message) - 2
        message[:2] = (size + 1).to_bytes(2, "big")
        reason = f"length {size + 1} for a message of type {kind_text}, whose size is {size}"
    else:
        message[22:26] = bytes(4)
        reason = "add order with 0 shares or a price of 0"
    spoilt = w.messages[:i] + [bytes(message)] + w.messages[i + 1 :]
    return b"".join(spoilt), f"byte {offset}: {reason}"


@pytest.mark.parametrize("where", [0.3, 0.8], ids=["first-chain", "second-chain"])
@pytest.mark.parametrize("kind", ["unknown-type", "bad-length", "zero-shares"])
def test_bad_bytes_in_a_large_block_fail_where_they_are(tmp_path, long_day, kind, where):
    data, message = _spoil(long_day, kind, where)
    with pytest.raises(DataError) as caught:
        replay_itch(write(tmp_path, data), ["AAA"])
    assert message in str(caught.value)


def native_threads() -> int:
    return len(os.listdir("/proc/self/task"))


def threads_back_to(count: int) -> bool:
    """Whether the process is down to ``count`` threads within a second: a thread
    that has let its scan go may take a moment to leave."""
    deadline = time.monotonic() + 1
    while native_threads() != count and time.monotonic() < deadline:
        time.sleep(0.01)
    return native_threads() == count


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_a_scan_left_early_ends_its_threads(tmp_path, monkeypatch, long_day, compressed):
    monkeypatch.setattr(itch, "BLOCK_BYTES", 1 << 12)
    monkeypatch.setattr(itch, "BATCH_EVENTS", 10)
    path = write(tmp_path, long_day.bytes(), compressed)
    books = [NativeBook(tick_size=itch.TICK_SIZE) for _ in range(2)]
    before = native_threads()
    parts = itch.ItchScan(path, ["AAA", "BBBB"], [b.engine for b in books]).parts()
    first = next(parts)
    assert first.tables is not None and native_threads() > before
    with pytest.raises(RuntimeError, match="running"):  # its books are the scan's meanwhile
        books[0].counts()
    parts.close()
    assert threads_back_to(before)
    assert books[first.slot].counts()["events"] > 0


def test_what_the_book_cannot_follow_is_counted(tmp_path):
    w = Writer()
    w.directory(1, "AAA")
    w.add(1, 10, 0, 500, 990_000, False)
    w.add(1, 11, 1, 300, 1_010_000, False)
    w.cancel(10, 200)  # partial cancel: loses its place
    w.book_message("C", 1, 11, 100, 7, b"Y", 1_005_000)  # executed away from its limit
    w.book_message(
        "D",
        1,
        999,
    )  # an order never added
    w.book_message("E", 1, 998, 100, 8)
    summary = replay_itch(write(tmp_path, w.bytes()), ["AAA"], out=tmp_path / "out")
    assert (summary.partial_cancels, summary.divergences, summary.unknown_orders) == (1, 3, 2)
    reasons = pq.read_table(tmp_path / "out/symbol=AAA/divergences.parquet").column("reason")
    assert reasons.to_pylist() == [
        "execution price differs from the order's limit",
        "unknown order, and no unknown part at its level to act on",
        "unknown order, and no unknown part at its level to act on",
    ]
    fills = pq.read_table(tmp_path / "out/symbol=AAA/fills.parquet").to_pydict()
    assert (fills["maker_ref"], fills["quantity"], fills["price"]) == ([11], [100], [1_010_000])


@pytest.mark.parametrize("shares", [300, 0xFFFF_FFFF], ids=["small", "beyond-int64"])
def test_the_notional_of_the_fills_is_exact(tmp_path, shares):
    w = Writer()
    w.directory(1, "AAA")
    w.add(1, 10, 1, shares, 0xFFFF_FFFF, False)  # the largest price the format holds
    w.execute(10, shares)
    summary = replay_itch(write(tmp_path, w.bytes()), ["AAA"])
    assert summary.details["symbols"]["AAA"]["notional_ticks"] == shares * 0xFFFF_FFFF


def small_day() -> Writer:
    w = Writer()
    w.put("S", 0, b"O")
    w.directory(1, "AAA")
    w.directory(2, "BBB")
    w.add(1, 1, 0, 100, 990_000, False)
    w.add(2, 2, 1, 100, 1_010_000, False)
    return w


def _corrupt(kind: str) -> tuple[bytes, str]:
    data = small_day().bytes()
    last = len(data) - 38  # where the last add begins
    if kind == "truncated":
        return data[:-5], f"byte {last}: truncated message: the data ends 31 bytes into a 'A'"
    if kind == "unknown-type":
        return data + b"\x00\x0cZ" + bytes(12), f"byte {len(data)}: unknown message type 'Z'"
    if kind == "bad-length":
        bad = data[:last] + b"\x00\x25" + data[last + 2 :] + b"\x00"
        return bad, f"byte {last}: length 37 for a message of type 'A', whose size is 36"
    if kind == "not-itch":
        return b"time,type,id\n1,2,3\n", "byte 0: not an ITCH 5.0 file: unknown message type 'm'"
    if kind == "empty":
        return b"", "empty file"
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["truncated", "unknown-type", "bad-length", "not-itch", "empty"])
@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_bad_files_fail_with_where_and_why(tmp_path, capsys, kind, compressed):
    data, message = _corrupt(kind)
    path = write(tmp_path, data, compressed)
    with pytest.raises(DataError) as caught:
        replay_itch(path, ["AAA"])
    assert message in str(caught.value)
    out = tmp_path / "out"
    assert main(["replay", "itch", str(path), "--symbol", "AAA", "--out", str(out)]) == 1
    assert message in capsys.readouterr().err
    # Nothing left behind passes for a result.
    assert not list(out.glob("**/*.parquet"))
    for summary in out.glob("**/summary.json"):
        assert json.loads(summary.read_text())["complete"] is False


def test_corrupt_gzip_is_bad_data(tmp_path):
    packed = gzip.compress(small_day().bytes() * 50)
    path = tmp_path / "day.gz"
    path.write_bytes(packed[: len(packed) // 2])
    with pytest.raises(DataError, match="corrupt gzip data"):
        replay_itch(path, ["AAA"])


@pytest.mark.parametrize(
    ("symbols", "message"),
    [
        pytest.param(
            ["ZZZ"], "not in the stock directory: ZZZ (it lists 2: AAA, BBB)", id="missing"
        ),
        pytest.param(["TOOLONGSYM"], "not a stock symbol", id="too-long"),
        pytest.param(["A B"], "no spaces", id="space"),
    ],
)
def test_symbols_are_options(tmp_path, capsys, symbols, message):
    path = write(tmp_path, small_day().bytes())
    with pytest.raises(OptionError, match=message.replace("(", r"\(").replace(")", r"\)")):
        replay_itch(path, symbols)
    with pytest.raises(SystemExit) as caught:
        main(["replay", "itch", str(path), "--symbol", ",".join(symbols)])
    assert caught.value.code == 2
    assert message in capsys.readouterr().err


def test_command_prints_one_summary_per_stock(tmp_path, capsys):
    path = write(tmp_path, small_day().bytes())
    assert main(["replay", "itch", str(path), "--symbol", "AAA,BBB", "--json"]) == 0
    printed = json.loads(capsys.readouterr().out)
    assert (printed["events"], sorted(printed["symbols"])) == (2, ["AAA", "BBB"])
    assert main(["replay", "itch", str(path), "--symbol", "AAA", "--symbol", "BBB"]) == 0
    text = capsys.readouterr().out
    assert "Replay of day.itch, AAA" in text and "Replay of day.itch, BBB" in text
