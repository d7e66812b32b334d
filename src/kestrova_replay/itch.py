"""ITCH 5.0 files: a stream of binary messages, each after a 2-byte big-endian length.

The scan runs in native code (``_native.ItchPipeline``) on threads of its own,
so no Python runs per message: it checks every message's length against its
type, keeps the stock directory, and decodes the messages of the chosen stocks
only, found by their locate codes; the chosen stocks' engines run there too.
Plain and gzip-compressed files are read alike (gzip is told by its first two
bytes). Prices are whole ticks of 0.0001.
"""

from __future__ import annotations

import gzip
import os
import threading
import zlib
from collections.abc import Generator, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt
import pyarrow as pa

from .engine import Tables, tables_from_bytes
from .errors import DataError, OptionError
from .events import COLUMNS, Batch, make_batch
from .tables import TableFiles

TICK_SIZE = 0.0001
GZIP_MAGIC = b"\x1f\x8b"
BLOCK_BYTES = 1 << 18  # read at a time: the scan finds it still in the core's cache
BATCH_EVENTS = 1 << 16  # rows of one stock gathered before its book runs them

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


@dataclass
class ScanState:
    """How far a scan has got: bytes and messages of the (decompressed) stream."""

    offset: int = 0
    messages: int = 0
    compressed: bool = False
    position: int = 0  # bytes of the file itself, for progress


@dataclass
class Part:
    """One chosen stock's rows since its last part, cut every BATCH_EVENTS rows.

    ``batch`` holds the book events for a caller that runs the book itself;
    when the scan ran the stock's engine, ``tables`` holds the engine's rows
    and ``batch`` only the events' actions.
    """

    slot: int
    batch: Batch
    tables: Tables | None
    trades: Columns
    notices: Columns

    @property
    def events(self) -> int:
        return len(self.batch.columns["action"])


_TRADE_TYPES: dict[str, Any] = {
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
_NOTICE_TYPES: dict[str, Any] = {
    "notice_seq": np.int64,
    "notice_time": np.int64,
    "notice_code": np.uint8,
    "notice_state": np.uint8,
    "notice_reason": "S4",
}


class ItchScan:
    """Scans a file once for several stocks, giving each its rows in parts.

    The native pipeline reads, scans and, given ``engines`` (one per symbol),
    runs the books on threads of its own while the caller writes tables. A
    gzip file is decompressed by a thread here and fed to it.
    """

    def __init__(
        self,
        path: Path,
        symbols: Sequence[str],
        engines: Sequence[Any] | None = None,
        *,
        stop_at_orders: bool = False,
        block_bytes: int | None = None,
    ) -> None:
        self.path = path
        self.symbols = list(symbols)
        self.engines = None if engines is None else tuple(engines)
        self.stop_at_orders = stop_at_orders
        self.block_bytes = block_bytes
        self.state = ScanState()
        self.type_counts = np.zeros(256, np.int64)
        self.directory: dict[str, int] = {}

    def parts(self) -> Generator[Part, None, None]:
        """Each stock's parts in its own order; stocks interleave as their rows come."""
        from . import _native

        block_bytes = self.block_bytes or BLOCK_BYTES
        names = b"".join(s.encode("ascii").ljust(8) for s in self.symbols)
        workers = min(len(self.symbols), len(os.sched_getaffinity(0))) or 1
        failures: list[BaseException] = []
        with open_itch(self.path) as (raw, stream, compressed):
            self.state.compressed = compressed
            pipeline = _native.ItchPipeline(
                -1 if compressed else raw.fileno(), names, block_bytes, BATCH_EVENTS,
                self.stop_at_orders, self.engines, workers,
            )  # fmt: skip
            feeder = None
            if compressed:
                feeder = threading.Thread(
                    target=_feed, args=(pipeline, stream, raw, block_bytes, self.path, failures),
                    name="kestrova-gzip", daemon=True,
                )  # fmt: skip
                feeder.start()
            try:
                while (piece := pipeline.next()) is not None:
                    self.state.position = piece["position"]
                    yield self._part(piece)
            finally:
                # Ends the threads early when the caller stopped reading; at the
                # end they are done, and it changes nothing.
                pipeline.stop()
                if feeder is not None:
                    feeder.join()
            self._finish(pipeline.outcome(), failures)

    def _part(self, piece: dict[str, Any]) -> Part:
        tables = piece.get("tables")
        if tables is None:
            batch = make_batch(
                position=piece["position"],
                **{name: np.frombuffer(piece[name], t) for name, t in COLUMNS.items()},
            )
        else:
            tables = tables_from_bytes(tables)
            batch = Batch({"action": np.frombuffer(piece["action"], np.uint8)}, None)
        return Part(
            piece["slot"],
            batch,
            tables,
            {name: np.frombuffer(piece[name], t) for name, t in _TRADE_TYPES.items()},
            {name: np.frombuffer(piece[name], t) for name, t in _NOTICE_TYPES.items()},
        )

    def _finish(self, outcome: dict[str, Any], failures: list[BaseException]) -> None:
        self.state.offset = outcome["offset"]
        self.state.messages = outcome["messages"]
        self.type_counts += np.frombuffer(outcome["type_counts"], np.int64)
        locates = np.frombuffer(outcome["directory_locate"], np.uint16)
        names = np.frombuffer(outcome["directory_symbol"], "S8")
        self.directory = {
            name.decode("ascii", "replace").rstrip(): int(locate)
            for name, locate in zip(names, locates, strict=True)
        }
        # Bad data comes first: a gzip failure can only be at or after it.
        if outcome["reason"] is not None:
            raise _scan_error(self.path, outcome, self.state)
        if failures:
            raise failures[0]
        if outcome["read_error"]:
            error = outcome["read_error"]
            raise OSError(error, os.strerror(error), str(self.path))
        if outcome["internal"] is not None:
            raise RuntimeError(f"replay failed: {outcome['internal']}")
        if self.state.messages == 0 and not outcome["orders_seen"]:
            raise DataError(self.path, None, "empty file")

    def message_types(self) -> dict[str, int]:
        """Messages of the whole file by type."""
        return {chr(code): int(n) for code, n in enumerate(self.type_counts) if n}


def _feed(
    pipeline: Any,
    stream: BinaryIO,
    raw: BinaryIO,
    block_bytes: int,
    path: Path,
    failures: list[BaseException],
) -> None:
    """Decompresses into the pipeline; a failure ends the data where it happened."""
    view = memoryview(bytearray(block_bytes))
    clean = False
    try:
        while n := stream.readinto(view):  # type: ignore[attr-defined]
            if not pipeline.feed(view[:n], raw.tell()):
                return
        clean = True
    except (gzip.BadGzipFile, zlib.error, EOFError) as error:
        failures.append(DataError(path, None, f"corrupt gzip data: {error}"))
    except BaseException as error:  # raised where the scan is consumed
        failures.append(error)
    finally:
        pipeline.finish(clean)


def _scan_error(path: Path, outcome: dict[str, Any], state: ScanState) -> DataError:
    reason = outcome["reason"]
    offset = outcome["error_offset"]
    if offset == 0 and not reason.startswith("truncated"):
        reason = f"not an ITCH 5.0 file: {reason}"
    if state.compressed:
        reason += " (offset in the decompressed data)"
    return DataError(path, offset, reason, offset=True)


def read_directory(path: Path) -> dict[str, int]:
    """The stock directory: symbol -> locate, read up to the first add order."""
    scan = ItchScan(path, [], stop_at_orders=True)
    for _ in scan.parts():
        pass
    return scan.directory


# Each byte as the one-character text the tables show: ASCII as it is, the
# byte 0 as empty text, others as their Latin-1 character.
_CHARACTERS = pa.array(["" if code == 0 else chr(code) for code in range(256)])


def _chars(values: npt.NDArray[np.uint8], present: npt.NDArray[np.bool_]) -> pa.Array:
    codes = pa.array(np.ascontiguousarray(values), pa.uint8(), mask=~present)
    return pa.DictionaryArray.from_arrays(codes, _CHARACTERS).cast(pa.string())


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


def write_part(tables: TableFiles, part: Part) -> None:
    """The part's trades and notices into their tables."""
    if len(part.trades["trade_seq"]):
        tables.write("trades", trade_batch(part.trades))
    if len(part.notices["notice_seq"]):
        tables.write("events", notice_batch(part.notices))
