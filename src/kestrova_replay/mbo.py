"""Databento MBO files (DBN, plain or zstd), read through the ``databento`` package.

Records come as numpy structured arrays, a batch at a time; each batch's
records of the chosen instrument become event columns without a Python loop
per record. Actions: ``A`` add, ``C`` cancel of ``size`` (the engine deletes
the order when that is all it had, and counts a partial cancel otherwise),
``M`` modify, ``R`` clear, ``T`` and ``F`` recorded only. The book is
consistent only after a record flagged F_LAST, so its code carries that flag
in its top bit and the engine samples the book only there.
"""

from __future__ import annotations

import warnings
from collections.abc import Iterator
from dataclasses import dataclass, field
from decimal import Decimal
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa

from .errors import DataError, OptionError
from .events import BUY, NO_SIDE, SELL, Action, Batch, make_batch

BATCH_RECORDS = 1 << 16
UNDEF_PRICE = np.iinfo(np.int64).max
PRICE_UNITS = 10**9  # DBN prices are integers of 1e-9
F_LAST, F_SNAPSHOT, F_BAD_TS_RECV, F_MAYBE_BAD_BOOK = 128, 32, 8, 4
LAST_BIT = 0x80  # set in an event's code when its record ended a consistent book

NAMES = {"A": "add", "C": "cancel", "M": "modify", "R": "clear", "T": "trade", "F": "fill",
         "N": "no action"}  # fmt: skip
ACTIONS = np.zeros(256, np.uint8)
for _code, _action in {"A": Action.ADD, "C": Action.REDUCE, "M": Action.MODIFY,
                       "R": Action.CLEAR, "T": Action.NOTE, "F": Action.NOTE,
                       "N": Action.NOTE}.items():  # fmt: skip
    ACTIONS[ord(_code)] = _action
# Source names by code, each distinct (see itch.SOURCES): the top bit is F_LAST.
SOURCES = [f"type {code}" for code in range(256)]
for _code, _name in NAMES.items():
    SOURCES[ord(_code)] = f"{_code} {_name}"
    SOURCES[ord(_code) | LAST_BIT] = f"{_code} {_name}, last of its event"

TRADE_SCHEMA = pa.schema(
    [
        ("seq", pa.int64()),
        ("time", pa.int64()),
        ("kind", pa.string()),
        ("order_id", pa.uint64()),
        ("side", pa.string()),
        ("price", pa.int64()),
        ("size", pa.int64()),
    ]
)


def open_store(path: Path) -> Any:
    """The file's DBNStore, checked to hold MBO records."""
    import databento
    from databento.common.error import BentoError

    try:
        store = databento.DBNStore.from_file(path)
    except (ValueError, BentoError) as error:
        raise DataError(path, None, f"not a DBN file: {error}") from None
    if str(store.schema) != "mbo":
        raise DataError(path, None, f"holds {store.schema} records, not mbo")
    return store


def instrument_of_symbol(store: Any, path: Path, symbol: str) -> int:
    """The instrument id the file's symbology maps a raw symbol to."""
    mappings = store.metadata.mappings
    if symbol not in mappings:
        known = ", ".join(sorted(mappings)) or "none"
        raise OptionError(f"{path}: no symbol {symbol!r} in its symbology (it maps: {known})")
    ids = {int(interval["symbol"]) for interval in mappings[symbol]}
    if len(ids) != 1:
        raise OptionError(f"{path}: {symbol!r} maps to several instruments: {sorted(ids)}")
    return ids.pop()


def _records(store: Any, path: Path) -> Iterator[npt.NDArray[Any]]:
    from databento.common.error import BentoError, BentoWarning

    chunks = iter(store.to_ndarray(count=BATCH_RECORDS))
    while True:
        # The reader only warns of a record cut short; here that is bad data.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", BentoWarning)
            try:
                records = next(chunks, None)
            except (ValueError, BentoError) as error:
                raise DataError(path, None, f"corrupt DBN data: {error}") from None
        for warning in caught:
            if issubclass(warning.category, BentoWarning):
                raise DataError(path, None, f"corrupt DBN data: {warning.message}")
        if records is None:
            return
        yield records


def instruments(path: Path) -> list[int]:
    """Every instrument id in the file."""
    seen: set[int] = set()
    for records in _records(open_store(path), path):
        seen.update(np.unique(records["instrument_id"]).tolist())
    return sorted(seen)


@dataclass
class MboReader:
    """Batches of the chosen instrument's events, with its trades and flag counts."""

    path: Path
    instrument: int
    tick_size: Decimal | None = None
    records: int = 0
    flags: dict[str, int] = field(default_factory=dict)
    actions: dict[str, int] = field(default_factory=dict)
    trades: list[pa.RecordBatch] = field(default_factory=list)
    ids_seen: set[int] = field(default_factory=set)

    def batches(self) -> Iterator[Batch]:
        store = open_store(self.path)
        self.flags = dict.fromkeys(("last", "snapshot", "bad_ts_recv", "maybe_bad_book"), 0)
        for records in _records(store, self.path):
            first = self.records + 1
            self.records += len(records)
            ids = records["instrument_id"]
            mine = ids == self.instrument
            if not mine.all():
                self.ids_seen.update(np.unique(ids).tolist())
            seq = np.arange(first, first + len(records), dtype=np.int64)[mine]
            r = records[mine]
            if not len(r):
                continue
            self.ids_seen.add(self.instrument)
            yield self._batch(r, seq)

    def _batch(self, r: npt.NDArray[Any], seq: npt.NDArray[np.int64]) -> Batch:
        action = r["action"].view(np.uint8)
        flags = r["flags"]
        for name, bit in (("last", F_LAST), ("snapshot", F_SNAPSHOT),
                          ("bad_ts_recv", F_BAD_TS_RECV), ("maybe_bad_book", F_MAYBE_BAD_BOOK)):  # fmt: skip
            self.flags[name] += int(np.count_nonzero(flags & bit))
        for code, n in zip(*np.unique(action, return_counts=True), strict=True):
            self.actions[chr(code)] = self.actions.get(chr(code), 0) + int(n)
        unknown = ACTIONS[action] == 0
        if unknown.any():
            i = int(np.flatnonzero(unknown)[0])
            raise DataError(self.path, None, f"record {seq[i]}: unknown action {chr(action[i])!r}")
        side_byte = r["side"].view(np.uint8)
        side = np.full(len(r), NO_SIDE, np.uint8)
        side[side_byte == ord("B")] = BUY
        side[side_byte == ord("A")] = SELL
        price = r["price"].astype(np.int64)
        defined = price != UNDEF_PRICE
        ticks = self._ticks(price, defined, seq)
        time = r["ts_recv"].astype(np.int64)
        kinds = ACTIONS[action]
        booked = (kinds == Action.ADD) | (kinds == Action.MODIFY)
        bad = booked & (~defined | (r["size"] == 0) | (side == NO_SIDE))
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            raise DataError(
                self.path, None, f"record {seq[i]}: {NAMES[chr(action[i])]} without a price, "
                "size or side"
            )  # fmt: skip
        trade = (action == ord("T")) | (action == ord("F"))
        if trade.any():
            self.trades.append(self._trades(r[trade], seq[trade], ticks[trade], defined[trade]))
        code = action | np.where(flags & F_LAST, LAST_BIT, 0).astype(np.uint8)
        return make_batch(
            position=self.records,
            time=time,
            seq=seq,
            action=kinds,
            side=side,
            code=code,
            ref=r["order_id"],
            price=np.where(defined, ticks, 0),
            quantity=r["size"].astype(np.int64),
        )

    def _ticks(
        self, price: npt.NDArray[np.int64], defined: npt.NDArray[np.bool_], seq: npt.NDArray[Any]
    ) -> npt.NDArray[np.int64]:
        if self.tick_size is None:
            seen = price[defined & (price != 0)]
            if not len(seen):
                return np.zeros(len(price), np.int64)
            units = int(np.gcd.reduce(np.abs(seen)))
            self.tick_size = Decimal(units) / PRICE_UNITS
        units = int(self.tick_size * PRICE_UNITS)
        off = defined & (price % units != 0)
        if off.any():
            i = int(np.flatnonzero(off)[0])
            raise DataError(
                self.path, None, f"record {seq[i]}: price {Decimal(int(price[i])) / PRICE_UNITS} "
                f"is not a whole number of ticks of {self.tick_size} (give --tick-size)"
            )  # fmt: skip
        return np.where(defined, price // units, 0)

    def _trades(
        self,
        r: npt.NDArray[Any],
        seq: npt.NDArray[np.int64],
        ticks: npt.NDArray[np.int64],
        defined: npt.NDArray[np.bool_],
    ) -> pa.RecordBatch:
        side = r["side"].view(np.uint8)
        names = np.array(["", "buy", "sell"])[(side == ord("B")) + 2 * (side == ord("A"))]
        return pa.record_batch(
            [
                seq,
                r["ts_recv"].astype(np.int64),
                pa.array(np.where(r["action"] == b"T", "T trade", "F fill")),
                r["order_id"].astype(np.uint64),
                pa.array(names, mask=names == ""),
                pa.array(ticks, pa.int64(), mask=~defined),
                r["size"].astype(np.int64),
            ],
            schema=TRADE_SCHEMA,
        )
