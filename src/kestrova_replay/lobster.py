"""LOBSTER files: a message file (one event per row) and its orderbook file.

Message rows: time (seconds after midnight, decimal), event type 1-7, order id,
size, price (dollars x 10,000), direction (1 buy, -1 sell: the resting order's
side). Orderbook rows: the book after each message, per level ask price, ask
size, bid price, bid size; empty levels carry size 0. Neither file has a header.
The prices are already whole ticks of 0.0001.
"""

from __future__ import annotations

import csv
import re
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import DataError, OptionError
from .events import BUY, SELL, Action, Batch, make_batch

TICK_SIZE = 0.0001
BLOCK_BYTES = 1 << 22
MESSAGE_COLUMNS = ("time", "type", "order_id", "size", "price", "direction")
# What each event type does to the book; 5 (hidden execution), 6 (cross) and
# 7 (halt) have no book effect.
ACTIONS = np.array(
    [0, Action.ADD, Action.REDUCE, Action.DELETE, Action.EXECUTE] + [Action.NOTE] * 3
)
SOURCES = ["", "1 new order", "2 partial cancel", "3 delete", "4 execution",
           "5 hidden execution", "6 cross trade", "7 halt"]  # fmt: skip
EMPTY_ASK, EMPTY_BID = 9_999_999_999, -9_999_999_999


def levels_in_orderbook(path: Path) -> int:
    """The orderbook file's depth, from the column count of its first row."""
    with open(path, "rb") as f:
        first = f.readline()
    if not first.strip():
        raise DataError(path, 1, "empty file")
    columns = first.count(b",") + 1
    if columns % 4:
        raise DataError(path, 1, f"expected 4 columns per level, found {columns}")
    return columns // 4


def count_rows(path: Path) -> int:
    """Rows in a text file: its newlines, plus a last row without one."""
    count = 0
    last = b"\n"
    with open(path, "rb") as f:
        while block := f.read(1 << 24):
            count += block.count(b"\n")
            last = block[-1:]
    return count + (last != b"\n")


def _check_text(path: Path) -> None:
    with open(path, "rb") as f:
        head = f.read(4096)
    if not head:
        raise DataError(path, 1, "empty file")
    if b"\0" in head:
        raise DataError(path, 1, "not a text file")


def _whole(text: str) -> bool:
    return re.fullmatch(r"[+-]?\d+", text.strip()) is not None


def locate_message_error(path: Path) -> DataError:
    """The first bad row of a message file, found line by line after a fast read failed."""
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        previous = None
        for line, row in enumerate(csv.reader(f), start=1):
            if not row:
                return DataError(path, line, "blank line")
            if len(row) != 6:
                what = (
                    "a header where none belongs"
                    if line == 1 and row and not _number(row[0])
                    else None
                )
                return DataError(path, line, what or f"expected 6 columns, found {len(row)}")
            if not _number(row[0]):
                reason = (
                    "a header where none belongs"
                    if line == 1
                    else f"time is not a number: {row[0]!r}"
                )
                return DataError(path, line, reason)
            for name, text in zip(MESSAGE_COLUMNS[1:], row[1:], strict=True):
                if not _whole(text):
                    return DataError(path, line, f"{name} is not a whole number: {text!r}")
            time = float(row[0])
            if previous is not None and time < previous:
                return DataError(path, line, f"time goes backwards ({row[0]} after {previous})")
            previous = time
    return DataError(path, None, "unreadable as a LOBSTER message file")


def locate_orderbook_error(path: Path, columns: int) -> DataError:
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        for line, row in enumerate(csv.reader(f), start=1):
            if len(row) != columns:
                return DataError(path, line, f"expected {columns} columns, found {len(row)}")
            for text in row:
                if not _whole(text):
                    return DataError(path, line, f"not a whole number: {text!r}")
    return DataError(path, None, "unreadable as a LOBSTER orderbook file")


def _number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


class _TextBlocks:
    """A text file a block at a time, each block led by what its reader left unread of
    the one before (a line the block's end cut): the reader says so with ``leave``."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._rest = b""

    def __iter__(self) -> Iterator[tuple[bytes, bool]]:
        """Each block and whether it is the last (the file's end, nothing new read)."""
        _check_text(self.path)
        with open(self.path, "rb") as f:
            while True:
                block = f.read(BLOCK_BYTES)
                data = self._rest + block if self._rest else block
                self._rest = b""
                final = not block
                yield data, final
                if final:
                    return

    def leave(self, tail: bytes) -> None:
        self._rest = tail


def _number_blocks(
    path: Path, columns: int, keep: int, decimal_first: bool, locate: Callable[[], DataError]
) -> Iterator[tuple[npt.NDArray[np.int64], npt.NDArray[np.float64] | None]]:
    """Rows of numbers a block at a time: the first ``keep`` columns, and the first as decimals."""
    from . import _native

    blocks = _TextBlocks(path)
    for data, final in blocks:
        values, first, rows, consumed, bad = _native.read_number_rows(
            data, columns, keep, decimal_first, final
        )
        if bad >= 0:
            raise locate()
        if rows:
            yield (
                np.frombuffer(values, np.int64).reshape(rows, keep),
                None if first is None else np.frombuffer(first, np.float64),
            )
        blocks.leave(data[consumed:])


MESSAGE_TYPES = {"time": np.int64, "seq": np.int64, "action": np.uint8, "side": np.uint8,
                 "code": np.uint8, "ref": np.uint64, "price": np.int64, "quantity": np.int64}  # fmt: skip


def _message_batches(path: Path) -> Iterator[dict[str, npt.NDArray[Any]]]:
    """The message file's events a block at a time, as the replay's columns.

    The native decoder takes rows written as every LOBSTER file writes them. A line
    it leaves (numbers written another way, or a row that breaks a rule) goes to
    the general reader, which either reads it or says what is wrong with it.
    """
    from . import _native

    line, last_ns, last_seconds = 1, 0, 0.0
    blocks = _TextBlocks(path)
    for whole, final in blocks:
        data = memoryview(whole)
        # A row takes at least 12 bytes ("0,1,0,1,1,1" and its newline).
        lines = len(whole) // 12 + 1
        while data:
            columns = {name: np.empty(lines, kind) for name, kind in MESSAGE_TYPES.items()}
            rows, used, stopped, last_ns, last_seconds = _native.read_lobster_messages(
                data, final, line, last_ns, last_seconds, *columns.values()
            )
            if rows:
                yield {name: column[:rows] for name, column in columns.items()}
                line += rows
            data = data[used:]
            if not stopped:
                break
            values, first, rows, used, bad = _native.read_number_rows(data, 6, 6, True, final)
            if rows:
                yield _general_rows(path, line, values, first, rows, last_seconds)
                line += rows
                last_seconds = float(np.frombuffer(first, np.float64)[-1])
                last_ns = int(np.rint(last_seconds * 1e9))
                data = data[used:]
            if bad >= 0:
                raise locate_message_error(path)
            if not rows:
                break
        blocks.leave(bytes(data))


def _general_rows(
    path: Path, line: int, values: bytes, first: bytes, rows: int, last_seconds: float
) -> dict[str, npt.NDArray[Any]]:
    """Rows of the general reader, checked against the layout's rules, as event columns."""
    numbers = np.frombuffer(values, np.int64).reshape(rows, 6)
    table: dict[str, npt.NDArray[Any]] = {"time": np.frombuffer(first, np.float64)}
    for i, name in enumerate(MESSAGE_COLUMNS[1:], start=1):
        table[name] = numbers[:, i]
    check_messages(path, line, table, last_seconds)
    kind = table["type"]
    return {
        "time": np.rint(table["time"] * 1e9).astype(np.int64),
        "seq": np.arange(line, line + rows, dtype=np.int64),
        "action": ACTIONS[kind].astype(np.uint8),
        "side": np.where(table["direction"] == 1, BUY, SELL).astype(np.uint8),
        "code": kind.astype(np.uint8),
        "ref": table["order_id"].astype(np.uint64),
        "price": table["price"],
        "quantity": table["size"],
    }


def _orderbook_rows(path: Path, file_levels: int, levels: int) -> Iterator[npt.NDArray[np.int64]]:
    columns = 4 * file_levels
    blocks = _number_blocks(
        path, columns, 4 * levels, False, lambda: locate_orderbook_error(path, columns)
    )
    for values, _ in blocks:
        yield values


def _first_bad(mask: npt.NDArray[np.bool_]) -> int | None:
    bad = np.flatnonzero(mask)
    return int(bad[0]) if len(bad) else None


def check_messages(
    path: Path, first_line: int, table: dict[str, npt.NDArray[Any]], last_time: float
) -> None:
    """Raises DataError at the first row of the batch that breaks a rule of the layout."""
    time, kind, size = table["time"], table["type"], table["size"]
    price, direction, order_id = table["price"], table["direction"], table["order_id"]
    previous = np.concatenate(([last_time], time[:-1]))
    book_effect = (kind >= 1) & (kind <= 6)
    rules = [
        ((kind < 1) | (kind > 7), lambda i: f"unknown event type {kind[i]}"),
        (~np.isfinite(time) | (time < 0), lambda i: f"time is not a time of day: {time[i]}"),
        (time < previous, lambda i: f"time goes backwards ({time[i]:.9f} after {previous[i]:.9f})"),
        ((direction != 1) & (direction != -1), lambda i: f"direction must be 1 or -1, got {direction[i]}"),
        (book_effect & (size <= 0), lambda i: f"size must be a positive whole number, got {size[i]}"),
        (book_effect & (price <= 0), lambda i: f"price must be a positive whole number, got {price[i]}"),
        (order_id < 0, lambda i: f"order id must not be negative, got {order_id[i]}"),
    ]  # fmt: skip
    found = [(index, reason) for mask, reason in rules if (index := _first_bad(mask)) is not None]
    if found:
        index, reason = min(found, key=lambda item: item[0])
        raise DataError(path, first_line + index, reason(index))


def check_orderbook(path: Path, first_line: int, rows: npt.NDArray[np.int64], levels: int) -> None:
    asks, ask_sizes = rows[:, 0::4], rows[:, 1::4]
    bids, bid_sizes = rows[:, 2::4], rows[:, 3::4]
    bad = (ask_sizes < 0).any(axis=1) | (bid_sizes < 0).any(axis=1)
    reason = "negative size"
    if levels > 1:
        for prices, sizes, step in ((asks, ask_sizes, 1), (bids, bid_sizes, -1)):
            shown = sizes > 0
            # A level shows only behind shown levels, each further from the touch.
            gap = (~shown[:, :-1]) & shown[:, 1:]
            order = shown[:, 1:] & ((prices[:, 1:] - prices[:, :-1]) * step <= 0)
            bad |= gap.any(axis=1) | order.any(axis=1)
        reason = "levels out of order (corrupt row)"
    crossed = (ask_sizes[:, 0] > 0) & (bid_sizes[:, 0] > 0) & (bids[:, 0] >= asks[:, 0])
    index = _first_bad(bad | crossed)
    if index is not None:
        if not bad[index]:
            reason = "best bid at or above best ask (corrupt row)"
        elif (rows[index, 1::2] < 0).any():
            reason = "negative size"
        raise DataError(path, first_line + index, reason)


def pre_open_row(
    row: npt.NDArray[np.int64], kind: int, side: int, price: int, size: int, levels: int
) -> npt.NDArray[np.int64]:
    """The book before the first message: the first row less that message's own effect."""
    books = {
        SELL: [(int(row[4 * i]), int(row[4 * i + 1])) for i in range(levels) if row[4 * i + 1] > 0],
        BUY: [(int(row[4 * i + 2]), int(row[4 * i + 3])) for i in range(levels) if row[4 * i + 3] > 0],
    }  # fmt: skip
    delta = {1: -size, 2: size, 3: size, 4: size}.get(kind, 0)
    if delta:
        book = dict(books[side])
        book[price] = book.get(price, 0) + delta
        ordered = sorted((p, s) for p, s in book.items() if s > 0)
        books[side] = (ordered if side == SELL else ordered[::-1])[:levels]
    out = np.zeros(4 * levels, np.int64)
    for i in range(levels):
        ask = books[SELL][i] if i < len(books[SELL]) else (EMPTY_ASK, 0)
        bid = books[BUY][i] if i < len(books[BUY]) else (EMPTY_BID, 0)
        out[4 * i : 4 * i + 4] = (ask[0], ask[1], bid[0], bid[1])
    return out


class LobsterReader:
    """Yields batches of events, with the orderbook rows beside them when given."""

    def __init__(self, message_file: Path, book_file: Path | None, levels: int) -> None:
        self.message_file = message_file
        self.book_file = book_file
        self.levels = levels
        self.type_counts = np.zeros(8, np.int64)
        self.first_row: npt.NDArray[np.int64] | None = None

    def batches(self) -> Iterator[Batch]:
        rows = None
        if self.book_file is not None:
            file_levels = levels_in_orderbook(self.book_file)
            rows = _RowStream(self.book_file, file_levels, self.levels)
        line = 1
        for columns in _message_batches(self.message_file):
            n = len(columns["time"])
            book_rows = None
            if rows is not None:
                book_rows = rows.take(n)
                check_orderbook(rows.path, line, book_rows, self.levels)
                if self.first_row is None:
                    self.first_row = pre_open_row(
                        book_rows[0], int(columns["code"][0]), int(columns["side"][0]),
                        int(columns["price"][0]), int(columns["quantity"][0]), self.levels,
                    )  # fmt: skip
            self.type_counts += np.bincount(columns["code"], minlength=8)[:8]
            yield make_batch(book_rows, line + n - 1, **columns)
            line += n
        if line == 1:
            raise DataError(self.message_file, 1, "empty file")


class _RowStream:
    """Orderbook rows taken n at a time, whatever the reader's block sizes."""

    def __init__(self, path: Path, file_levels: int, levels: int) -> None:
        self.path = path
        self._blocks = _orderbook_rows(path, file_levels, levels)
        self._held: list[npt.NDArray[np.int64]] = []
        self._count = 0

    def take(self, n: int) -> npt.NDArray[np.int64]:
        while self._count < n:
            block = next(self._blocks, None)
            if block is None:
                raise OptionError(f"{self.path}: fewer rows than the message file")
            self._held.append(block)
            self._count += len(block)
        joined = np.concatenate(self._held) if len(self._held) > 1 else self._held[0]
        out, rest = joined[:n], joined[n:]
        self._held = [rest] if len(rest) else []
        self._count = len(rest)
        return np.ascontiguousarray(out)
