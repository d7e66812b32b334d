"""Order flow in kestrova's own CSV layout: a header row, then one add or cancel per row.

Columns, in any order: ``timestamp`` (ISO 8601, never earlier than the row
before), ``event`` (add or cancel), ``order_ref`` (the caller's name for an
order; a cancel names an earlier add not yet cancelled), ``side`` (buy or sell),
``price`` (a positive multiple of the tick size) and ``quantity`` (positive).
Cancel rows leave side, price and quantity empty.

Quantities are fed to the book as whole numbers of the smallest unit the file
uses (0.5 and 2.25 make a unit of 0.01), so fills are exact.
"""

from __future__ import annotations

import csv
import io
from collections.abc import Iterator
from datetime import UTC, datetime
from decimal import Decimal, InvalidOperation
from pathlib import Path

import numpy as np

from .errors import DataError
from .events import BUY, SELL, Action, Batch, make_batch

COLUMNS = ("timestamp", "event", "order_ref", "side", "price", "quantity")
SIDES = {"buy": BUY, "sell": SELL}
SOURCES = ["", "add", "cancel"]
# Below this, ticks and quantity units stay exact as 64-bit integers and floats.
MAX_UNITS = 10**15
MAX_DECIMALS = 9
BATCH = 1 << 16


class _RowError(Exception):
    """One thing wrong with one row; the reader adds the file and line."""


def _decimal(text: str, column: str) -> Decimal:
    try:
        value = Decimal(text.strip())
    except InvalidOperation:
        raise _RowError(f"{column} is not a number: {text!r}") from None
    if value.is_nan():
        raise _RowError(f"{column} is not a number: {text!r}")
    if not value.is_finite():
        raise _RowError(f"{column} must be finite, got {text!r}")
    if value <= 0:
        raise _RowError(f"{column} must be positive, got {text!r}")
    return value


def _rows(path: Path) -> Iterator[tuple[int, dict[str, str]]]:
    data = path.read_bytes()
    if not data.strip():
        raise DataError(path, 1, "empty file: expected a header row naming the columns")
    try:
        text = data.decode("utf-8-sig")  # a spreadsheet's byte-order mark is fine
    except UnicodeDecodeError as error:
        raise DataError(path, data.count(b"\n", 0, error.start) + 1, "not UTF-8 text") from None
    rows = csv.reader(io.StringIO(text, newline=""), strict=True)
    try:
        header = [name.strip() for name in next(rows, [])]
        missing = [name for name in COLUMNS if name not in header]
        if missing:
            raise DataError(path, 1, f"header lacks column(s) {', '.join(missing)}")
        for row in rows:
            if not row or row == [""]:
                continue  # blank lines carry no event
            if len(row) != len(header):
                raise DataError(
                    path, rows.line_num, f"expected {len(header)} fields, found {len(row)}"
                )
            yield rows.line_num, dict(zip(header, row, strict=True))
    except csv.Error as error:
        raise DataError(path, rows.line_num, f"not valid CSV ({error})") from None


def _timestamp_ns(text: str) -> int:
    try:
        stamp = datetime.fromisoformat(text.strip())
    except ValueError:
        raise _RowError(f"timestamp is not an ISO 8601 date and time: {text!r}") from None
    if stamp.tzinfo is None:
        stamp = stamp.replace(tzinfo=UTC)
    delta = stamp - datetime(1970, 1, 1, tzinfo=UTC)
    return (delta.days * 86_400 + delta.seconds) * 10**9 + delta.microseconds * 1000


class CsvFlow:
    """Reads and checks the whole file once, then yields its events in batches."""

    def __init__(self, path: Path, tick_size: Decimal) -> None:
        self.path = path
        self.tick_size = tick_size
        self.decimals = 0
        self.first_ns: int | None = None
        self.last_ns: int | None = None
        self._check()

    def _check(self) -> None:
        added: dict[str, int] = {}
        cancelled: dict[str, int] = {}
        last = None
        for line, values in _rows(self.path):
            try:
                stamp = _timestamp_ns(values["timestamp"])
                if last is not None and stamp < last:
                    raise _RowError(
                        f"timestamp {values['timestamp']!r} is earlier than the row before"
                    )
                last = stamp
                self._check_row(line, values, added, cancelled)
            except _RowError as error:
                raise DataError(self.path, line, str(error)) from None
            if self.first_ns is None:
                self.first_ns = stamp
            self.last_ns = stamp
        if self.first_ns is None:
            raise DataError(self.path, 2, "no events after the header")

    def _check_row(
        self, line: int, values: dict[str, str], added: dict[str, int], cancelled: dict[str, int]
    ) -> None:
        event = values["event"].strip().lower()
        ref = values["order_ref"].strip()
        if event not in ("add", "cancel"):
            raise _RowError(f"unknown event {values['event']!r} (expected add or cancel)")
        if not ref:
            raise _RowError("order_ref is empty")
        if event == "cancel":
            if ref not in added:
                raise _RowError(f"unknown order_ref {ref!r} (no earlier add)")
            if ref in cancelled:
                raise _RowError(f"order_ref {ref!r} was already cancelled on line {cancelled[ref]}")
            cancelled[ref] = line
            return
        if ref in added:
            raise _RowError(f"order_ref {ref!r} was already added on line {added[ref]}")
        added[ref] = line
        if values["side"].strip().lower() not in SIDES:
            raise _RowError(f"unknown side {values['side'].strip()!r} (expected buy or sell)")
        price = _decimal(values["price"], "price")
        ticks = price / self.tick_size
        if ticks != ticks.to_integral_value():
            raise _RowError(
                f"price {values['price'].strip()!r} is not a whole number of ticks of {self.tick_size}"
            )
        if ticks > MAX_UNITS:
            raise _RowError(f"price {values['price'].strip()!r} is more than {MAX_UNITS} ticks")
        quantity = _decimal(values["quantity"], "quantity").normalize()
        decimals = max(0, -int(quantity.as_tuple().exponent))
        if decimals > MAX_DECIMALS:
            raise _RowError(
                f"quantity {values['quantity'].strip()!r} has more than {MAX_DECIMALS} decimals"
            )
        if quantity > MAX_UNITS:
            raise _RowError(f"quantity {values['quantity'].strip()!r} is more than {MAX_UNITS}")
        self.decimals = max(self.decimals, decimals)

    @property
    def quantity_scale(self) -> int:
        return 10**self.decimals

    def batches(self) -> Iterator[Batch]:
        refs: dict[str, int] = {}
        columns: dict[str, list[int]] = {name: [] for name in ("time", "seq", "action", "side", "ref", "price", "quantity")}  # fmt: skip
        for line, values in _rows(self.path):
            ref_text = values["order_ref"].strip()
            ref = refs.setdefault(ref_text, len(refs) + 1)
            adding = values["event"].strip().lower() == "add"
            columns["time"].append(_timestamp_ns(values["timestamp"]))
            columns["seq"].append(line)
            columns["action"].append(Action.ADD if adding else Action.DELETE)
            columns["ref"].append(ref)
            if adding:
                columns["side"].append(SIDES[values["side"].strip().lower()])
                columns["price"].append(int(Decimal(values["price"].strip()) / self.tick_size))
                units = Decimal(values["quantity"].strip()) * self.quantity_scale
                columns["quantity"].append(int(units))
            else:
                columns["side"].append(BUY)
                columns["price"].append(0)
                columns["quantity"].append(0)
            if len(columns["time"]) == BATCH:
                yield self._batch(columns)
        if columns["time"]:
            yield self._batch(columns)

    @staticmethod
    def _batch(columns: dict[str, list[int]]) -> Batch:
        action = np.array(columns["action"], np.uint8)
        batch = make_batch(
            None,
            columns["seq"][-1],
            code=np.where(action == Action.ADD, 1, 2),
            **{name: np.array(values) for name, values in columns.items()},
        )
        for values in columns.values():
            values.clear()
        return batch
