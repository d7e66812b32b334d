"""ITCH 5.0 files: a stream of binary messages, each after a 2-byte big-endian length.

The scan runs in native code (``_native.itch_scan``) over blocks of a few MB,
so no Python runs per message: it checks every message's length against its
type, keeps the stock directory, and decodes the messages of the chosen stocks
only, found by their locate codes. Plain and gzip-compressed files are read
alike (gzip is told by its first two bytes). Prices are whole ticks of 0.0001.
"""

from __future__ import annotations

import gzip
import os
import zlib
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Any, BinaryIO, Self

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.parquet as pq

from .errors import DataError, OptionError
from .events import Batch, make_batch

TICK_SIZE = 0.0001
GZIP_MAGIC = b"\x1f\x8b"
BLOCK_BYTES = 1 << 23
BATCH_EVENTS = 1 << 16  # events of one stock gathered before the book runs them
MAX_MESSAGE = 1 << 16
NO_SLOT = -1

NAMES = {
    "A": "add order",
    "F": "add order, attributed",
    "E": "order executed",
    "C": "order executed with price",
    "X": "order cancel",
    "D": "order delete",
    "U": "order replace",
    "P": "trade",
    "Q": "cross trade",
    "B": "broken trade",
    "S": "system event",
    "H": "trading action",
}
# The tables' source names, indexed by the message type byte. Every name is
# distinct: Parquet files of a dictionary with repeated values are not
# byte-identical from run to run.
SOURCES = [f"type {code}" for code in range(256)]
for _code, _name in NAMES.items():
    SOURCES[ord(_code)] = f"{_code} {_name}"

_TRADE_KINDS = pa.array([SOURCES[ord(c)] for c in "PQB"])
_NOTICE_KINDS = pa.array([SOURCES[ord(c)] for c in "SH"])
_SIDES = pa.array(["buy", "sell"])

SCHEMAS = {
    "trades": pa.schema(
        [
            ("seq", pa.int64()),
            ("time", pa.int64()),
            ("kind", pa.dictionary(pa.int8(), pa.string())),
            ("ref", pa.uint64()),
            ("side", pa.dictionary(pa.int8(), pa.string())),
            ("shares", pa.int64()),
            ("price", pa.int64()),
            ("match_number", pa.uint64()),
            ("cross_type", pa.string()),
        ]
    ),
    "events": pa.schema(
        [
            ("seq", pa.int64()),
            ("time", pa.int64()),
            ("kind", pa.dictionary(pa.int8(), pa.string())),
            ("code", pa.string()),
            ("reason", pa.string()),
        ]
    ),
}

Columns = dict[str, npt.NDArray[Any]]
# The summary's name for the count of each recorded message type.
COUNTED = {
    "P": "trades",
    "Q": "cross_trades",
    "B": "broken_trades",
    "S": "system_events",
    "H": "trading_actions",
}


def check_symbols(symbols: Sequence[str]) -> list[str]:
    """The chosen symbols, each once, in the order given."""
    chosen: list[str] = []
    for symbol in symbols:
        if not 1 <= len(symbol) <= 8 or not symbol.isascii() or not symbol.isprintable():
            raise OptionError(f"not a stock symbol (1 to 8 ASCII characters): {symbol!r}")
        if " " in symbol:
            raise OptionError(f"a stock symbol has no spaces: {symbol!r}")
        if symbol not in chosen:
            chosen.append(symbol)
    if not chosen:
        raise OptionError("no symbol given")
    if len(chosen) > 32767:
        raise OptionError(f"at most 32767 symbols, got {len(chosen)}")
    return chosen


@contextmanager
def open_itch(path: Path) -> Iterator[tuple[BinaryIO, BinaryIO, bool]]:
    """The raw file, the stream of messages (decompressed if need be), and whether it was."""
    with open(path, "rb", buffering=0) as raw:
        compressed = raw.read(2) == GZIP_MAGIC
        raw.seek(0)
        if not compressed:
            yield raw, raw, False
            return
        with gzip.GzipFile(fileobj=raw, mode="rb") as stream:
            yield raw, stream, True  # type: ignore[misc]


def _fill(stream: BinaryIO, view: memoryview, path: Path) -> int:
    """Reads until ``view`` is full or the stream ends; the bytes read."""
    done = 0
    try:
        while done < len(view):
            n = stream.readinto(view[done:])  # type: ignore[attr-defined]
            if not n:
                break
            done += n
    except (gzip.BadGzipFile, zlib.error, EOFError) as error:
        raise DataError(path, None, f"corrupt gzip data: {error}") from None
    return done


@dataclass
class ScanState:
    """How far a scan has got: bytes and messages of the (decompressed) stream."""

    offset: int = 0
    messages: int = 0
    compressed: bool = False
    position: int = 0  # bytes of the file itself, for progress


def scan_blocks(
    path: Path,
    slots: npt.NDArray[np.int16],
    symbols: bytes,
    state: ScanState,
    *,
    stop_at_orders: bool = False,
    block_bytes: int | None = None,
) -> Iterator[dict[str, Any]]:
    """The native scan's result for each block, a partial message carried to the next."""
    from . import _native

    block_bytes = block_bytes or BLOCK_BYTES
    buffer = bytearray(block_bytes + MAX_MESSAGE)
    view = memoryview(buffer)
    held = 0
    with open_itch(path) as (raw, stream, compressed):
        state.compressed = compressed
        while True:
            n = _fill(stream, view[held : held + block_bytes], path)
            final = n < block_bytes
            size = held + n
            result = _native.itch_scan(
                view[:size], slots, symbols, state.offset, state.messages, final, stop_at_orders
            )
            if result["reason"] is not None:
                raise _scan_error(path, result, state)
            state.offset += result["consumed"]
            state.messages += result["messages"]
            state.position = raw.tell()
            yield result
            if final or result["orders_seen"]:
                break
            held = size - result["consumed"]
            buffer[:held] = bytes(view[result["consumed"] : size])
    if state.messages == 0 and state.offset == 0 and not stop_at_orders:
        raise DataError(path, None, "empty file")


def _scan_error(path: Path, result: dict[str, Any], state: ScanState) -> DataError:
    reason = result["reason"]
    offset = result["error_offset"]
    if offset == 0 and not reason.startswith("truncated"):
        reason = f"not an ITCH 5.0 file: {reason}"
    if state.compressed:
        reason += " (offset in the decompressed data)"
    return DataError(path, offset, reason, offset=True)


def read_directory(path: Path) -> dict[str, int]:
    """The stock directory: symbol -> locate, read up to the first add order."""
    slots = np.full(1 << 16, NO_SLOT, np.int16)
    directory: dict[str, int] = {}
    state = ScanState()
    empty = True
    for result in scan_blocks(
        path, slots, b"", state, stop_at_orders=True, block_bytes=min(BLOCK_BYTES, 1 << 20)
    ):
        empty = empty and result["messages"] == 0 and not result["orders_seen"]
        directory.update(_directory_entries(result))
    if empty:
        raise DataError(path, None, "empty file")
    return directory


def _directory_entries(result: dict[str, Any]) -> dict[str, int]:
    locates = np.frombuffer(result["directory_locate"], np.uint16)
    names = np.frombuffer(result["directory_symbol"], "S8")
    return {
        name.decode("ascii", "replace").rstrip(): int(locate)
        for name, locate in zip(names, locates, strict=True)
    }


@dataclass
class Part:
    """What a scan gathered of one stock: book events, and the trade and notice rows."""

    batch: Batch | None
    trades: Columns
    notices: Columns


_EVENT_TYPES = {
    "time": np.int64,
    "seq": np.int64,
    "action": np.uint8,
    "side": np.uint8,
    "code": np.uint8,
    "ref": np.uint64,
    "new_ref": np.uint64,
    "price": np.int64,
    "quantity": np.int64,
}
_TRADE_TYPES = {
    "trade_seq": np.int64,
    "trade_time": np.int64,
    "trade_code": np.uint8,
    "trade_ref": np.uint64,
    "trade_side": np.uint8,
    "trade_shares": np.int64,
    "trade_price": np.int64,
    "trade_match": np.uint64,
    "trade_cross": np.uint8,
}
_NOTICE_TYPES = {
    "notice_seq": np.int64,
    "notice_time": np.int64,
    "notice_code": np.uint8,
    "notice_state": np.uint8,
    "notice_reason": "S4",
}


def _split(
    result: dict[str, Any], types: dict[str, Any], slot_name: str, count: int
) -> list[Columns]:
    """One column set per chosen stock, from a block's columns tagged by slot."""
    columns = {name: np.frombuffer(result[name], dtype) for name, dtype in types.items()}
    if count == 1:
        return [columns]
    slot = np.frombuffer(result[slot_name], np.uint16)
    # One gather a column, then views of it: cheaper than a mask per stock.
    order = np.argsort(slot, kind="stable")
    ends = np.cumsum(np.bincount(slot, minlength=count))
    starts = ends - np.bincount(slot, minlength=count)
    grouped = {name: c[order] for name, c in columns.items()}
    return [
        {name: c[start:end] for name, c in grouped.items()}
        for start, end in zip(starts.tolist(), ends.tolist(), strict=True)
    ]


class ItchScan:
    """Scans a file once for several stocks, giving each its events in batches."""

    def __init__(self, path: Path, symbols: Sequence[str]) -> None:
        self.path = path
        self.symbols = list(symbols)
        self.state = ScanState()
        self.type_counts = np.zeros(256, np.int64)

    def parts(self) -> Iterator[list[Part]]:
        """Lists of one Part per stock, each time some stock has a batch's worth."""
        count = len(self.symbols)
        slots = np.full(1 << 16, NO_SLOT, np.int16)
        names = b"".join(s.encode("ascii").ljust(8) for s in self.symbols)
        held: list[list[Columns]] = [[] for _ in range(count)]
        trades: list[list[Columns]] = [[] for _ in range(count)]
        notices: list[list[Columns]] = [[] for _ in range(count)]
        waiting = np.zeros(count, np.int64)
        blocks = scan_blocks(self.path, slots, names, self.state)
        for result in blocks:
            self.type_counts += np.frombuffer(result["type_counts"], np.int64)
            for i, columns in enumerate(_split(result, _EVENT_TYPES, "slot", count)):
                if len(columns["time"]):
                    held[i].append(columns)
                    waiting[i] += len(columns["time"])
            for i, columns in enumerate(_split(result, _TRADE_TYPES, "trade_slot", count)):
                if len(columns["trade_seq"]):
                    trades[i].append(columns)
            for i, columns in enumerate(_split(result, _NOTICE_TYPES, "notice_slot", count)):
                if len(columns["notice_seq"]):
                    notices[i].append(columns)
            if (waiting >= BATCH_EVENTS).any():
                yield self._take(held, trades, notices, waiting, everything=False)
        yield self._take(held, trades, notices, waiting, everything=True)

    def _take(
        self,
        held: list[list[Columns]],
        trades: list[list[Columns]],
        notices: list[list[Columns]],
        waiting: npt.NDArray[np.int64],
        *,
        everything: bool,
    ) -> list[Part]:
        parts = []
        for i in range(len(self.symbols)):
            batch = None
            if held[i] and (everything or waiting[i] >= BATCH_EVENTS):
                joined = _join(held[i], _EVENT_TYPES)
                batch = make_batch(position=self.state.position, **joined)
                held[i].clear()
                waiting[i] = 0
            parts.append(
                Part(batch, _join(trades[i], _TRADE_TYPES), _join(notices[i], _NOTICE_TYPES))
            )
            trades[i].clear()
            notices[i].clear()
        return parts

    def message_types(self) -> dict[str, int]:
        """Messages of the whole file by type."""
        return {chr(code): int(n) for code, n in enumerate(self.type_counts) if n}


def _join(pieces: list[Columns], types: dict[str, Any]) -> Columns:
    if not pieces:
        return {name: np.empty(0, dtype) for name, dtype in types.items()}
    if len(pieces) == 1:
        return pieces[0]
    return {name: np.concatenate([p[name] for p in pieces]) for name in types}


def _chars(values: npt.NDArray[np.uint8], present: npt.NDArray[np.bool_]) -> pa.Array:
    text = np.ascontiguousarray(values).view("S1").astype(str)
    return pa.array(text, pa.string(), mask=~present)


def trade_batch(t: Columns) -> pa.RecordBatch:
    code = t["trade_code"]
    is_p = code == ord("P")
    is_b = code == ord("B")
    kind = np.select([code == ord("P"), code == ord("Q")], [0, 1], 2).astype(np.int8)
    return pa.record_batch(
        [
            t["trade_seq"],
            t["trade_time"],
            pa.DictionaryArray.from_arrays(pa.array(kind), _TRADE_KINDS),
            pa.array(t["trade_ref"], pa.uint64(), mask=~is_p),
            pa.DictionaryArray.from_arrays(
                pa.array(t["trade_side"].astype(np.int8), mask=t["trade_side"] > 1), _SIDES
            ),
            pa.array(t["trade_shares"], pa.int64(), mask=is_b),
            pa.array(t["trade_price"], pa.int64(), mask=is_b),
            t["trade_match"],
            _chars(t["trade_cross"], code == ord("Q")),
        ],
        schema=SCHEMAS["trades"],
    )


def notice_batch(t: Columns) -> pa.RecordBatch:
    is_h = t["notice_code"] == ord("H")
    reason = np.char.rstrip(t["notice_reason"]).astype(str)
    return pa.record_batch(
        [
            t["notice_seq"],
            t["notice_time"],
            pa.DictionaryArray.from_arrays(pa.array(is_h.astype(np.int8)), _NOTICE_KINDS),
            _chars(t["notice_state"], np.ones(len(is_h), bool)),
            pa.array(reason, pa.string(), mask=~is_h),
        ],
        schema=SCHEMAS["events"],
    )


def count_recorded(part: Part, counts: dict[str, int]) -> None:
    """Adds the part's trades and notices to ``counts``, by the names of COUNTED."""
    for codes in (part.trades["trade_code"], part.notices["notice_code"]):
        for code, n in zip(*np.unique(codes, return_counts=True), strict=True):
            name = COUNTED[chr(code)]
            counts[name] = counts.get(name, 0) + int(n)


def write_part(tables: ExtraTables, part: Part) -> None:
    """The part's trades and notices into their tables."""
    if len(part.trades["trade_seq"]):
        tables.write("trades", trade_batch(part.trades))
    if len(part.notices["notice_seq"]):
        tables.write("events", notice_batch(part.notices))


class ExtraTables:
    """Tables beside the engine's, written under temporary names and renamed by ``finish``."""

    def __init__(self, folder: Path, schemas: dict[str, pa.Schema]) -> None:
        self.folder = folder
        self.schemas = schemas
        self._writers: dict[str, pq.ParquetWriter] = {}

    def _temp(self, name: str) -> Path:
        return self.folder / f".{name}.tmp-{os.getpid()}"

    def __enter__(self) -> Self:
        self.folder.mkdir(parents=True, exist_ok=True)
        for name, schema in self.schemas.items():
            (self.folder / f"{name}.parquet").unlink(missing_ok=True)
            self._writers[name] = pq.ParquetWriter(self._temp(name), schema, compression="zstd")
        return self

    def write(self, name: str, batch: pa.RecordBatch) -> None:
        self._writers[name].write_batch(batch)

    def finish(self) -> None:
        for name, writer in self._writers.items():
            writer.close()
            os.replace(self._temp(name), self.folder / f"{name}.parquet")
        self._writers.clear()

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        for name, writer in self._writers.items():
            try:
                writer.close()
            except Exception:  # the run's own failure is the one to report
                pass
            self._temp(name).unlink(missing_ok=True)
