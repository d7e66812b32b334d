"""MBO replay: DBN files written with databento_dbn's own records, against a model book.

The writer keeps each instrument's book as plain dicts; the replay's depth rows,
taken only after records flagged F_LAST, must be the model's at those records.
"""

from __future__ import annotations

import json
import random
from pathlib import Path

import pyarrow.parquet as pq
import pytest

databento_dbn = pytest.importorskip("databento_dbn")
zstandard = pytest.importorskip("zstandard")

from replay_tables import depth_rows  # noqa: E402

from kestrova_replay import DataError, OptionError  # noqa: E402
from kestrova_replay.cli import main  # noqa: E402
from kestrova_replay.runs import replay_mbo  # noqa: E402

D = databento_dbn
LEVELS = 5
TICK = 10_000_000  # 0.01 in units of 1e-9
ACTIONS = {"A": D.Action.ADD, "C": D.Action.CANCEL, "M": D.Action.MODIFY, "R": D.Action.CLEAR,
           "T": D.Action.TRADE, "F": D.Action.FILL}  # fmt: skip
SIDES = {"B": D.Side.BID, "A": D.Side.ASK, "N": D.Side.NONE}


class Writer:
    def __init__(self, schema: object = None) -> None:
        self.schema = schema or D.Schema.MBO
        self.records: list[bytes] = []
        self.orders: dict[tuple[int, int], list] = {}  # (instrument, id) -> [side, price, size]
        self.depth: dict[int, list[tuple]] = {}
        self.time = 1_700_000_000_000_000_000

    def put(self, instrument: int, action: str, order_id: int = 0, side: str = "N",
            price: int = D.UNDEF_PRICE, size: int = 0, flags: int = 128) -> None:  # fmt: skip
        self.time += 1000
        record = D.MBOMsg(publisher_id=1, instrument_id=instrument, ts_event=self.time - 5,
                          order_id=order_id, price=price, size=size, action=ACTIONS[action],
                          side=SIDES[side], ts_recv=self.time, flags=flags, sequence=len(self.records))  # fmt: skip
        self.records.append(bytes(record))
        self._apply(instrument, action, order_id, side, price, size)
        if flags & 128:
            seq = len(self.records)
            self.depth.setdefault(instrument, [])
            self.depth[instrument] += [(seq, *row) for row in self.levels(instrument)]

    def _apply(self, instrument: int, action: str, order_id: int, side: str, price: int,
               size: int) -> None:  # fmt: skip
        key = (instrument, order_id)
        if action == "A":
            self.orders[key] = [side, price, size]
        elif action == "C":
            self.orders[key][2] -= size
            if self.orders[key][2] == 0:
                del self.orders[key]
        elif action == "M":
            self.orders[key] = [self.orders.get(key, [side])[0], price, size]
        elif action == "R":
            for k in [k for k in self.orders if k[0] == instrument]:
                del self.orders[k]

    def levels(self, instrument: int) -> list[tuple]:
        rows = []
        for side, name in (("B", "bid"), ("A", "ask")):
            totals: dict[int, list[int]] = {}
            for (i, _), (s, price, size) in self.orders.items():
                if i == instrument and s == side:
                    level = totals.setdefault(price // TICK, [0, 0])
                    level[0] += size
                    level[1] += 1
            prices = sorted(totals, reverse=side == "B")[:LEVELS]
            rows += [(name, n + 1, p, *totals[p]) for n, p in enumerate(prices)]
        return rows

    def best(self, instrument: int, side: str) -> int | None:
        prices = [o[1] for (i, _), o in self.orders.items() if i == instrument and o[0] == side]
        return (max(prices) if side == "B" else min(prices)) if prices else None

    def quiet_price(self, rng: random.Random, instrument: int, side: str) -> int:
        mid = 100 * TICK * 100 + instrument * 1000 * TICK
        step = rng.randint(1, 8) * TICK
        price = mid - step if side == "B" else mid + step
        other = self.best(instrument, "A" if side == "B" else "B")
        if other is not None and (price >= other if side == "B" else price <= other):
            price = other - TICK if side == "B" else other + TICK
        return price

    def flow(self, rng: random.Random, instruments: list[int], count: int) -> None:
        next_id = 1
        for _ in range(count):
            i = rng.choice(instruments)
            mine = [k[1] for k in self.orders if k[0] == i]
            move = rng.random()
            # Some records end an event, others leave the book mid-event.
            last = 128 if rng.random() < 0.7 else 0
            if move < 0.4 or len(mine) < 3:
                side = rng.choice("BA")
                self.put(i, "A", next_id, side, self.quiet_price(rng, i, side),
                         rng.randint(1, 9), last)  # fmt: skip
                next_id += 1
            elif move < 0.55:  # a fill, then the cancel that takes it off the book
                oid = rng.choice(mine)
                side, price, size = self.orders[(i, oid)]
                self.put(i, "T", 0, "A" if side == "B" else "B", price, size, 0)
                self.put(i, "F", oid, side, price, size, 0)
                self.put(i, "C", oid, side, price, size, 128)
            elif move < 0.7:
                oid = rng.choice(mine)
                side, price, size = self.orders[(i, oid)]
                self.put(i, "C", oid, side, price, rng.randint(1, size), last)
            elif move < 0.9:  # modifies: size down, size up, new price
                oid = rng.choice(mine)
                side, price, size = self.orders[(i, oid)]
                kind = rng.randrange(3)
                if kind == 0 and size > 1:
                    self.put(i, "M", oid, side, price, size - 1, last)
                elif kind == 1:
                    self.put(i, "M", oid, side, price, size + 2, last)
                else:
                    new = self.quiet_price(rng, i, side)
                    self.put(i, "M", oid, side, new, size, last)
            elif move < 0.93:  # a clear, then a snapshot of two adds
                self.put(i, "R", flags=32)
                for side in "BA":
                    self.put(i, "A", next_id, side, self.quiet_price(rng, i, side), 5, 32)
                    next_id += 1
                self.put(i, "A", next_id, "B", self.quiet_price(rng, i, "B"), 1, 32 | 128)
                next_id += 1
            else:
                self.put(i, "T", 0, "N", self.best(i, "A") or TICK * 100, 1, last | 8 | 4)

    def write(self, path: Path, compressed: bool = False, symbols: list[str] | None = None) -> Path:
        metadata = D.Metadata(dataset="TEST.MBO", schema=self.schema, start=0,
                              stype_in=D.SType.INSTRUMENT_ID, stype_out=D.SType.INSTRUMENT_ID,
                              end=self.time + 1, symbols=symbols or [])  # fmt: skip
        data = metadata.encode() + b"".join(self.records)
        if compressed:
            data = zstandard.ZstdCompressor().compress(data)
        path.write_bytes(data)
        return path


@pytest.mark.parametrize(
    ("seed", "instrument", "compressed"),
    [
        pytest.param(1, 7, False, id="plain"),
        pytest.param(2, 9, True, id="zstd"),
    ],
)
def test_book_matches_the_writers_after_each_last_record(tmp_path, seed, instrument, compressed):
    w = Writer()
    w.flow(random.Random(seed), [7, 9], 1500)
    path = w.write(tmp_path / "day.dbn", compressed)
    out = tmp_path / "out"
    summary = replay_mbo(path, instrument=instrument, out=out, levels=LEVELS, depth_every=1)
    assert summary.divergences == 0
    assert depth_rows(out) == sorted(w.depth[instrument])
    # The top of book changes only where the book was consistent.
    last = {row[0] for row in w.depth[instrument]} | {
        n + 1 for n, r in enumerate(w.records) if r[38] & 128
    }
    assert set(pq.read_table(out / "bbo.parquet").column("seq").to_pylist()) <= last
    done = json.loads((out / "summary.json").read_text())
    assert done["complete"] and done["tick_size"] == "0.01"
    assert done["partial_cancels"] > 0
    assert done["flags"]["bad_ts_recv"] == done["flags"]["maybe_bad_book"] > 0
    trades = pq.read_table(out / "trades.parquet").to_pydict()
    assert set(trades["kind"]) == {"T trade", "F fill"}
    assert len(trades["seq"]) == done["actions"]["T"] + done["actions"]["F"]


def test_class_path_gives_the_same_tables(tmp_path):
    w = Writer()
    w.flow(random.Random(3), [7], 600)
    path = w.write(tmp_path / "day.dbn")
    for name, engine in (("a", "native"), ("b", "classes")):
        replay_mbo(path, out=tmp_path / name, depth_every=2, engine=engine)
    for table in ("fills", "bbo", "depth", "divergences", "trades"):
        a, b = (pq.read_table(tmp_path / n / f"{table}.parquet") for n in "ab")
        assert a.equals(b), table


@pytest.mark.parametrize(
    ("tick_size", "expected"),
    [
        pytest.param(None, "0.01", id="found-from-prices"),
        pytest.param("0.005", "0.005", id="given"),
    ],
)
def test_tick_size(tmp_path, tick_size, expected):
    w = Writer()
    w.put(7, "A", 1, "B", 100 * TICK * 100, 3)
    w.put(7, "A", 2, "A", 100 * TICK * 100 + 3 * TICK, 3)
    summary = replay_mbo(w.write(tmp_path / "day.dbn"), tick_size=tick_size)
    assert summary.details["tick_size"] == expected
    scale = 100 if expected == "0.01" else 200
    assert summary.details["depth"]["bid"][0][0] == 100 * scale


def _bad(tmp_path: Path, kind: str) -> tuple[Path, str]:
    w = Writer()
    w.put(7, "A", 1, "B", 100 * TICK * 100, 3)
    w.put(8, "A", 2, "B", 100 * TICK * 100, 3)
    path = tmp_path / "bad.dbn"
    if kind == "other-schema":
        w.schema = D.Schema.MBP_1
        return w.write(path), "holds mbp-1 records, not mbo"
    if kind == "corrupt":
        path.write_bytes(b"not a dbn file at all" * 10)
        return path, "not a DBN file"
    if kind == "truncated":
        w.write(path)
        path.write_bytes(path.read_bytes()[:-9])
        return path, "corrupt DBN data: DBN file is truncated"
    if kind == "off-tick":
        w.put(7, "A", 3, "B", 100 * TICK * 100 + 3, 3)
        return w.write(path), "record 3: price 100.000000003 is not a whole number of ticks of 0.01"
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["other-schema", "corrupt", "truncated", "off-tick"])
def test_bad_files_fail_with_their_reason(tmp_path, capsys, kind):
    path, message = _bad(tmp_path, kind)
    with pytest.raises(DataError, match=message.replace("(", r"\(")):
        replay_mbo(path, instrument=7, tick_size="0.01")
    options = ["--instrument", "7", "--tick-size", "0.01", "--out", str(tmp_path / "o")]
    assert main(["replay", "mbo", str(path), *options]) == 1
    assert message in capsys.readouterr().err
    assert not list((tmp_path / "o").glob("*.parquet"))


@pytest.mark.parametrize(
    ("options", "message"),
    [
        pytest.param([], "holds 2 instruments; choose one with --instrument: 7, 8", id="several"),
        pytest.param(
            ["--instrument", "99"], "no records of instrument 99 (it holds: 7, 8)", id="absent"
        ),  # fmt: skip
        pytest.param(["--symbol", "ESZ4"], "no symbol 'ESZ4' in its symbology", id="no-symbol"),
        pytest.param(["--instrument", "7", "--symbol", "X"], "not allowed with", id="both"),
    ],
)
def test_choosing_the_instrument(tmp_path, capsys, options, message):
    w = Writer()
    w.put(7, "A", 1, "B", 100 * TICK * 100, 3)
    w.put(8, "A", 2, "B", 100 * TICK * 100, 3)
    path = w.write(tmp_path / "two.dbn")
    with pytest.raises(SystemExit) as caught:
        main(["replay", "mbo", str(path), *options])
    assert caught.value.code == 2
    assert message in capsys.readouterr().err
    with pytest.raises(OptionError):
        replay_mbo(path, instrument=None if not options else 99)
