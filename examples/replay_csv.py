"""Replays an order flow from a CSV file and prints the same report as simulate.py.

Run it with ``python examples/replay_csv.py [FILE] [--tick-size T] [--plot FILE]``;
FILE defaults to the order_flow.csv shipped beside this script.

The file has a header row naming at least these columns, in any order:

    timestamp  ISO 8601 date and time; never earlier than the row before
    event      add or cancel
    order_ref  the caller's name for an order: unique per add; a cancel names
               an earlier add that has not been cancelled yet
    side       buy or sell (add only)
    price      a positive multiple of the tick size, such as 100.25 (add only)
    quantity   a positive finite number (add only)

Cancel rows leave side, price and quantity empty (whatever they hold is ignored).
Every malformed row is reported with its line number and what is wrong with it,
and the run ends with exit code 1 before the book sees any event. Bad options or
an unreadable file end it with exit code 2.
"""

from __future__ import annotations

import argparse
import csv
import io
import math
import sys
from dataclasses import dataclass, field
from datetime import datetime
from decimal import Decimal, InvalidOperation
from pathlib import Path

from report import (
    Add,
    Cancel,
    Prices,
    add_report_options,
    check_plot_option,
    exit_with,
    print_report,
    replay,
    write_plot,
)

from kestrova import OrderBook, OrderType

COLUMNS = ("timestamp", "event", "order_ref", "side", "price", "quantity")
SIDES = {"buy": OrderType.Buy, "sell": OrderType.Sell}
SHOWN_ERRORS = 20
# Below this, the book's float division of price by tick size finds the exact tick.
MAX_TICKS = 10**15


class RowError(Exception):
    """One thing wrong with one row; the reader adds the line number."""


@dataclass
class Flow:
    events: list[Add | Cancel] = field(default_factory=list)
    first: datetime | None = None
    last: datetime | None = None
    errors: list[str] = field(default_factory=list)


def positive_decimal(text: str, column: str) -> Decimal:
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise RowError(f"{column} is not a number: {text!r}") from None
    if value.is_nan():
        raise RowError(f"{column} is not a number: {text!r}")
    if value <= 0:
        raise RowError(f"{column} must be positive, got {text!r}")
    if not value.is_finite() or not math.isfinite(float(value)):
        raise RowError(f"{column} must be finite, got {text!r}")
    return value


class FlowReader:
    """Turns rows into events, remembering what each order_ref refers to."""

    def __init__(self, prices: Prices) -> None:
        self.prices = prices
        self.flow = Flow()
        self.add_line: dict[str, int] = {}  # order_ref -> line of its add
        self.add_position: dict[str, int] = {}  # order_ref -> position among adds
        self.cancel_line: dict[str, int] = {}
        self.adds = 0

    def row(self, line: int, values: dict[str, str]) -> None:
        stamp = self.timestamp(values["timestamp"])
        event = values["event"].strip().lower()
        ref = values["order_ref"].strip()
        if event not in ("add", "cancel"):
            raise RowError(f"unknown event {values['event']!r} (expected add or cancel)")
        if not ref:
            raise RowError("order_ref is empty")
        if event == "add":
            self.add(line, ref, values)
        else:
            self.cancel(line, ref)
        if self.flow.first is None:
            self.flow.first = stamp
        self.flow.last = stamp

    def timestamp(self, text: str) -> datetime:
        try:
            stamp = datetime.fromisoformat(text.strip())
        except ValueError:
            raise RowError(f"timestamp is not an ISO 8601 date and time: {text!r}") from None
        last = self.flow.last
        if last is not None and (stamp.tzinfo is None) != (last.tzinfo is None):
            raise RowError(f"timestamp {text!r} mixes times with and without a time zone")
        if last is not None and stamp < last:
            raise RowError(f"timestamp {text!r} is earlier than the row before")
        return stamp

    def add(self, line: int, ref: str, values: dict[str, str]) -> None:
        if ref in self.add_line:
            raise RowError(f"order_ref {ref!r} was already added on line {self.add_line[ref]}")
        # Known from here on even if the row is bad, so its cancel is not reported too.
        self.add_line[ref] = line
        side_text = values["side"].strip()
        side = SIDES.get(side_text.lower())
        if side is None:
            raise RowError(f"unknown side {side_text!r} (expected buy or sell)")
        price = positive_decimal(values["price"].strip(), "price")
        ticks = price / self.prices.tick_size
        if ticks != ticks.to_integral_value():
            raise RowError(
                f"price {values['price'].strip()!r} is not a whole number of ticks "
                f"of {self.prices.tick_size}"
            )
        if ticks > MAX_TICKS:
            raise RowError(f"price {values['price'].strip()!r} is more than {MAX_TICKS} ticks")
        quantity = positive_decimal(values["quantity"].strip(), "quantity")
        self.add_position[ref] = self.adds
        self.adds += 1
        self.flow.events.append(Add(side, float(price), float(quantity)))

    def cancel(self, line: int, ref: str) -> None:
        if ref not in self.add_line:
            raise RowError(f"unknown order_ref {ref!r} (no earlier add)")
        if ref in self.cancel_line:
            raise RowError(
                f"order_ref {ref!r} was already cancelled on line {self.cancel_line[ref]}"
            )
        self.cancel_line[ref] = line
        if ref in self.add_position:
            self.flow.events.append(Cancel(self.add_position[ref]))


def read_flow(path: Path, prices: Prices) -> Flow:
    reader = FlowReader(prices)
    errors = reader.flow.errors
    data = path.read_bytes()
    try:
        text = data.decode("utf-8-sig")  # a spreadsheet's byte-order mark is fine
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        errors.append(f"line {line}: not UTF-8 text")
        return reader.flow
    rows = csv.reader(io.StringIO(text, newline=""), strict=True)
    try:
        header = [name.strip() for name in next(rows, [])]
        if not header or header == [""]:
            errors.append("line 1: expected a header row naming the columns")
            return reader.flow
        missing = [name for name in COLUMNS if name not in header]
        if missing:
            errors.append(f"line 1: header lacks column(s) {', '.join(missing)}")
            return reader.flow
        for row in rows:
            line = rows.line_num
            if not row or row == [""]:
                continue  # blank lines carry no event
            if len(row) != len(header):
                errors.append(f"line {line}: expected {len(header)} fields, found {len(row)}")
                continue
            try:
                reader.row(line, dict(zip(header, row, strict=True)))
            except RowError as error:
                errors.append(f"line {line}: {error}")
    except csv.Error as error:
        errors.append(f"line {rows.line_num}: not valid CSV ({error})")
    return reader.flow


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "file",
        nargs="?",
        type=Path,
        default=Path(__file__).with_name("order_flow.csv"),
        help="order-flow CSV (default: order_flow.csv beside this script)",
    )
    add_report_options(parser)
    args = parser.parse_args(argv)
    check_plot_option(parser, args.plot)

    prices = Prices(args.tick_size)
    try:
        flow = read_flow(args.file, prices)
    except OSError as error:
        parser.error(f"cannot read {str(args.file)!r}: {error.strerror}")
    if flow.errors:
        for message in flow.errors[:SHOWN_ERRORS]:
            print(f"{args.file}: {message}", file=sys.stderr)
        if len(flow.errors) > SHOWN_ERRORS:
            print(f"... and {len(flow.errors) - SHOWN_ERRORS} more", file=sys.stderr)
        print(
            f"{args.file}: {len(flow.errors)} malformed row(s); nothing replayed",
            file=sys.stderr,
        )
        return 1

    book = OrderBook(float(args.tick_size))
    run = replay(book, flow.events)
    print(f"Replay of {args.file.name} ({len(flow.events)} events, tick size {args.tick_size})")
    if flow.first is not None:
        print(f"events from {flow.first} to {flow.last}")
    print_report(book, run, prices)
    if args.plot is not None:
        return write_plot(args.plot, book, run, prices)
    return 0


if __name__ == "__main__":
    exit_with(main)
