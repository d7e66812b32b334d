"""The operations the command runs, as Python functions that return a Summary."""

from __future__ import annotations

import contextlib
import dataclasses
import importlib.metadata
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from decimal import Decimal
from fractions import Fraction
from pathlib import Path
from typing import Any

import numpy as np

from . import lobster, simulation
from .engine import ClassBook, NativeBook, Replayer
from .errors import DataError, OptionError
from .events import Action, Batch
from .pipeline import WriteBehind, read_ahead
from .tables import OutputFolder, TableFiles

DEFAULT_DEPTH_EVERY = 100
REPORT_LEVELS = 5


def version() -> str:
    try:
        return importlib.metadata.version("kestrova")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


@dataclass(frozen=True)
class Summary:
    """What a run did: its counts, its speed, its parameters; ``to_dict()`` is summary.json."""

    command: str
    parameters: dict[str, Any]
    events: int
    fills: int
    rows_compared: int
    rows_matching: int
    first_mismatch: int | None
    resyncs: int
    corrections: int
    divergences: int
    partial_cancels: int
    unknown_orders: int
    seconds: float
    events_per_second: float
    version: str
    complete: bool = True
    details: dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        out = dataclasses.asdict(self)
        details = out.pop("details")
        return {**out, **details}


@dataclass
class Trading:
    """Running aggregates of the fills, exact in ticks and whole quantities."""

    fills: int = 0
    volume: int = 0
    notional: int = 0  # sum of price_in_ticks x quantity
    last_price: int | None = None
    deletes: int = 0

    def add(self, tables: dict[str, np.ndarray], batch: Batch) -> None:
        quantity, price = tables["fill_quantity"], tables["fill_price"]
        if len(quantity):
            self.fills += len(quantity)
            self.volume += int(quantity.sum())
            self.notional += _dot(price, quantity)
            self.last_price = int(price[-1])
        # Full and partial cancels alike, as the book's count of those it held.
        action = batch.columns["action"]
        self.deletes += int(np.count_nonzero((action == Action.DELETE) | (action == Action.REDUCE)))

    def vwap(self) -> Fraction | None:
        return Fraction(self.notional, self.volume) if self.volume else None


def _dot(a: np.ndarray, b: np.ndarray) -> int:
    """The exact sum of products: in int64 when it cannot overflow, else in Python ints."""
    if int(np.abs(a).max()) * int(np.abs(b).max()) * len(a) < 1 << 63:
        return int(np.dot(a, b))
    return int(np.dot(a.astype(object), b.astype(object)))


def make_replayer(engine: str, **options: Any) -> Replayer:
    if engine == "native":
        return NativeBook(**options)
    if engine == "classes":
        return ClassBook(**options)
    raise OptionError(f"unknown engine {engine!r} (native or classes)")


def _progress(enabled: bool, total: int, unit: str, label: str) -> Any:
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(total=total, unit=unit, unit_scale=True, desc=label, file=sys.stderr, leave=False)


@dataclass(frozen=True)
class PlotRequest:
    """A picture of the run: where, its title, and the data's own time axis."""

    path: Path
    title: str
    time_axis: str = "event"
    time_unit: float = 1.0


def replay_batches(
    batches: Iterable[Batch],
    book: Replayer,
    out: OutputFolder | None,
    trading: Trading,
    progress: Any = None,
    trace: Any = None,
) -> None:
    """The replay loop: each batch through the book, its rows to the tables.

    The last batch's rows are written in another thread meanwhile.
    """
    done = 0
    writer = None if out is None else WriteBehind(out.append)
    try:
        for batch in batches:
            book.run(batch)
            tables = book.take_tables()
            trading.add(tables, batch)
            if trace is not None:
                trace.add(tables)
            if writer is not None:
                writer.put(tables)
            if progress is not None:
                progress.update(batch.position - done)
                done = batch.position
        if writer is not None:
            writer.close()
    finally:
        if writer is not None:
            writer.abandon()
    if progress is not None:
        progress.close()


def _summary(
    command: str,
    parameters: dict[str, Any],
    book: Replayer,
    seconds: float,
    details: dict[str, Any],
) -> Summary:
    c = book.counts()
    return Summary(
        command=command,
        parameters=parameters,
        events=c["events"],
        fills=c["fills"],
        rows_compared=c["rows_compared"],
        rows_matching=c["rows_matching"],
        first_mismatch=None if c["first_mismatch"] < 0 else c["first_mismatch"],
        resyncs=c["resyncs"],
        corrections=c["corrections"],
        divergences=c["divergences"],
        partial_cancels=c["partial_cancels"],
        unknown_orders=c["unknown_orders"],
        seconds=round(seconds, 6),
        events_per_second=round(c["events"] / seconds, 1) if seconds > 0 else 0.0,
        version=version(),
        details=details,
    )


def _book_details(book: Replayer, trading: Trading, tick_size: Decimal) -> dict[str, Any]:
    """The report's figures: trading, resting orders, top-of-book depth, the book's text."""
    info = book.book()
    vwap = trading.vwap()
    counts = book.counts()
    return {
        "traded_volume": trading.volume,
        "notional_ticks": trading.notional,
        "vwap_ticks": None if vwap is None else float(vwap),
        "last_trade_ticks": trading.last_price,
        "cancels": trading.deletes,
        "cancels_resting": counts["deletes_known"],
        "expired": counts["expired"],
        "resting_buy": info["resting_buy"],
        "resting_sell": info["resting_sell"],
        "tick_size": str(tick_size),
        "depth": {
            "bid": [list(level) for level in book.levels(0, REPORT_LEVELS)],
            "ask": [list(level) for level in book.levels(1, REPORT_LEVELS)],
        },
        "book_summary": info["summary"],
    }


def _run(
    command: str,
    parameters: dict[str, Any],
    batches: Callable[[], Iterator[Batch]],
    book: Replayer,
    sources: list[str],
    out: str | Path | None,
    tick_size: Decimal,
    progress: Any,
    extra: Callable[[], dict[str, Any]] = dict,
    prepare: Callable[[Iterator[Batch]], Iterator[Batch]] | None = None,
    plot: PlotRequest | None = None,
) -> Summary:
    trace = None
    if plot is not None:
        from .plot import BboTrace, check_plot_path

        check_plot_path(plot.path)
        trace = BboTrace()
    trading = Trading()
    started = time.perf_counter()
    # The input is read a batch or two ahead in another thread; `prepare`
    # touches the book, so it runs here.
    source = read_ahead(batches())
    stream = source if prepare is None else prepare(source)

    def finish() -> Summary:
        seconds = time.perf_counter() - started
        details = {**extra(), **_book_details(book, trading, tick_size)}
        return _summary(command, parameters, book, seconds, details)

    with contextlib.closing(source):
        if out is None:
            replay_batches(stream, book, None, trading, progress, trace)
            summary = finish()
        else:
            with OutputFolder(out, sources) as folder:
                replay_batches(stream, book, folder, trading, progress, trace)
                summary = finish()
                _finish_folder(folder, command, parameters, summary)
    _draw(plot, trace, book, tick_size, summary)
    return summary


def _draw(
    plot: PlotRequest | None, trace: Any, book: Replayer, tick_size: Decimal, summary: Summary
) -> None:
    if plot is None:
        return
    from .plot import LADDER_LEVELS, draw

    draw(
        plot.path,
        plot.title,
        trace,
        book.levels(0, LADDER_LEVELS),
        book.levels(1, LADDER_LEVELS),
        tick_size,
        plot.time_axis,
        summary.details.get("quantity_scale", 1),
        summary.details.get("first_ns") or 0,
        plot.time_unit,
    )


def simulate(
    orders: int = 5000,
    seed: int = 7,
    tick_size: Decimal | str = "0.01",
    *,
    out: str | Path | None = None,
    levels: int = 10,
    depth_every: int = DEFAULT_DEPTH_EVERY,
    progress: bool = False,
    engine: str = "native",
    plot: str | Path | None = None,
) -> Summary:
    """Streams ``orders`` simulated orders through a book; tables go to ``out`` if given."""
    tick = Decimal(str(tick_size))
    if not 1 <= orders <= simulation.MAX_ORDERS:
        raise OptionError(f"orders must be 1 to {simulation.MAX_ORDERS}, got {orders}")
    simulation.check_tick_size(tick)
    _check_counts(levels=levels, depth_every=depth_every)
    book = make_replayer(
        engine, tick_size=float(tick), levels=levels, depth_every=depth_every, recorded=False,
        expire_after=simulation.EXPIRY,
    )  # fmt: skip
    parameters = {"orders": orders, "seed": seed, "tick_size": str(tick), "levels": levels,
                  "depth_every": depth_every}  # fmt: skip
    return _run(
        "simulate",
        parameters,
        lambda: simulation.simulated_batches(orders, seed, tick),
        book,
        simulation.SOURCES,
        out,
        tick,
        _progress(progress, orders, "orders", "simulate"),
        plot=None
        if plot is None
        else PlotRequest(
            Path(plot), f"Simulated flow: {orders:,} orders, seed {seed}, tick size {tick}"
        ),
    )


def replay_lobster(
    message_file: str | Path,
    book_file: str | Path | None = None,
    *,
    levels: int | None = None,
    out: str | Path | None = None,
    depth_every: int = DEFAULT_DEPTH_EVERY,
    correct: bool = True,
    progress: bool = False,
    engine: str = "native",
    plot: str | Path | None = None,
) -> Summary:
    """Replays a LOBSTER message file, checked against its orderbook file when given."""
    message_path = Path(message_file)
    book_path = None if book_file is None else Path(book_file)
    for path in (message_path, book_path):
        if path is not None and not path.is_file():
            raise OptionError(f"no such file: {path}")
    if book_path is not None:
        file_levels = lobster.levels_in_orderbook(book_path)
        if levels is None:
            levels = file_levels
        if not 1 <= levels <= file_levels:
            raise OptionError(f"--levels must be 1 to {file_levels} for {book_path}, got {levels}")
        book_rows, message_rows = lobster.count_rows(book_path), lobster.count_rows(message_path)
        if book_rows < message_rows:
            raise OptionError(
                f"{book_path} has {book_rows} rows, fewer than the {message_rows} of {message_path}"
            )
    elif levels is None:
        levels = 10
    _check_counts(levels=levels, depth_every=depth_every)
    if levels > 255:
        raise OptionError(f"--levels must be at most 255, got {levels}")
    reader = lobster.LobsterReader(message_path, book_path, levels)
    book = make_replayer(
        engine,
        tick_size=lobster.TICK_SIZE,
        levels=levels,
        depth_every=depth_every,
        unknown_parts=True,
        recorded=True,
        correct=correct,
    )

    def seeded(batches: Iterator[Batch]) -> Iterator[Batch]:
        first = True
        for batch in batches:
            if first and reader.first_row is not None:
                book.seed(reader.first_row)
            first = False
            yield batch

    def extra() -> dict[str, Any]:
        t = reader.type_counts
        return {"hidden_executions": int(t[5]), "cross_trades": int(t[6]), "halts": int(t[7])}

    parameters = {
        "message_file": str(message_path),
        "book_file": None if book_path is None else str(book_path),
        "levels": levels,
        "depth_every": depth_every,
        "correct": correct,
    }
    return _run(
        "replay lobster",
        parameters,
        reader.batches,
        book,
        lobster.SOURCES,
        out,
        Decimal("0.0001"),
        _progress(
            progress, lobster.count_rows(message_path) if progress else 0, "msg", message_path.name
        ),
        extra,
        seeded,
        None
        if plot is None
        else PlotRequest(
            Path(plot), f"LOBSTER replay of {message_path.name}", "hours after midnight", 3.6e12
        ),
    )


def _check_counts(**counts: int) -> None:
    for name, value in counts.items():
        minimum = 0 if name == "depth_every" else 1
        if value < minimum:
            raise OptionError(f"--{name.replace('_', '-')} must be at least {minimum}, got {value}")


def replay_csv(
    file: str | Path,
    tick_size: Decimal | str = "0.01",
    *,
    out: str | Path | None = None,
    levels: int = 10,
    depth_every: int = DEFAULT_DEPTH_EVERY,
    progress: bool = False,
    engine: str = "native",
    plot: str | Path | None = None,
) -> Summary:
    """Replays an order flow in kestrova's own CSV layout (see ``csv_flow``)."""
    from . import csv_flow

    path = Path(file)
    if not path.is_file():
        raise OptionError(f"no such file: {path}")
    tick = Decimal(str(tick_size))
    _check_counts(levels=levels, depth_every=depth_every)
    flow = csv_flow.CsvFlow(path, tick)
    book = make_replayer(
        engine, tick_size=float(tick), levels=levels, depth_every=depth_every, recorded=False
    )
    parameters = {"file": str(path), "tick_size": str(tick), "levels": levels,
                  "depth_every": depth_every}  # fmt: skip

    def extra() -> dict[str, Any]:
        return {"quantity_scale": flow.quantity_scale, "first_ns": flow.first_ns,
                "last_ns": flow.last_ns}  # fmt: skip

    return _run(
        "replay csv",
        parameters,
        flow.batches,
        book,
        csv_flow.SOURCES,
        out,
        tick,
        _progress(progress, 0, "events", path.name),
        extra,
        plot=None
        if plot is None
        else PlotRequest(
            Path(plot),
            f"Replay of {path.name}, tick size {tick}",
            "seconds from the first event",
            1e9,
        ),
    )


def symbol_summaries(summary: Summary) -> dict[str, Summary]:
    """The per-stock summaries inside a run over several stocks."""
    names = {f.name for f in dataclasses.fields(Summary)} - {"details"}
    out = {}
    for symbol, values in summary.details.get("symbols", {}).items():
        fields = {k: v for k, v in values.items() if k in names}
        out[symbol] = Summary(**fields, details={k: v for k, v in values.items() if k not in names})
    return out


def _finish_folder(
    folder: OutputFolder, command: str, parameters: dict[str, Any], summary: Summary
) -> None:
    counts = {k: v for k, v in summary.to_dict().items() if isinstance(v, int)}
    metadata = {"command": command, "version": summary.version}
    metadata.update({f"parameter.{k}": str(v) for k, v in parameters.items()})
    metadata.update({f"count.{k}": str(v) for k, v in counts.items()})
    folder.finish(summary.to_dict(), metadata)


_TOTALLED = ("events", "fills", "divergences", "partial_cancels", "unknown_orders")


def replay_itch(
    path: str | Path,
    symbols: Sequence[str],
    *,
    out: str | Path | None = None,
    levels: int = 10,
    depth_every: int = DEFAULT_DEPTH_EVERY,
    progress: bool = False,
    engine: str = "native",
) -> Summary:
    """Replays the chosen stocks of an ITCH 5.0 file (plain or gzip), each in its own book.

    One pass over the file feeds every book. With ``out``, each stock's tables go
    to ``out/symbol=SYM/`` with its summary.json, and ``out/summary.json`` holds
    the totals. A symbol missing from the file's directory is an OptionError.
    """
    from . import itch
    from .tables import write_json

    file = Path(path)
    if not file.is_file():
        raise OptionError(f"no such file: {file}")
    chosen = itch.check_symbols(symbols)
    _check_counts(levels=levels, depth_every=depth_every)
    if levels > 255:
        raise OptionError(f"--levels must be at most 255, got {levels}")
    directory = itch.read_directory(file)
    missing = [s for s in chosen if s not in directory]
    if missing:
        found = sorted(directory)
        shown = ", ".join(found[:50]) + (f" and {len(found) - 50} more" if len(found) > 50 else "")
        raise OptionError(
            f"{file}: not in the stock directory: {', '.join(missing)} "
            f"(it lists {len(found)}: {shown or 'none'})"
        )
    books = {
        s: make_replayer(engine, tick_size=itch.TICK_SIZE, levels=levels,
                         depth_every=depth_every, unknown_parts=False, recorded=True)
        for s in chosen
    }  # fmt: skip
    trading = {s: Trading() for s in chosen}
    recorded = {s: dict.fromkeys(itch.COUNTED.values(), 0) for s in chosen}
    parameters = {"file": str(file), "symbols": ",".join(chosen), "levels": levels,
                  "depth_every": depth_every}  # fmt: skip
    command = "replay itch"
    # The native books run on the scan's own threads; the class books run here.
    native = [b.engine for b in books.values() if isinstance(b, NativeBook)]
    engines = native if len(native) == len(books) else None
    scan = itch.ItchScan(file, chosen, engines)
    bar = _progress(progress, file.stat().st_size, "B", file.name)
    top = None if out is None else Path(out)
    started = time.perf_counter()
    try:
        with contextlib.ExitStack() as stack:
            folders: dict[str, OutputFolder] = {}
            extras: dict[str, TableFiles] = {}
            if top is not None:
                top.mkdir(parents=True, exist_ok=True)
                (top / "summary.json").unlink(missing_ok=True)
                for s in chosen:
                    folder = top / f"symbol={s}"
                    folders[s] = stack.enter_context(OutputFolder(folder, itch.SOURCES))
                    extras[s] = stack.enter_context(TableFiles(folder, itch.SCHEMAS))
            done = 0
            for part in stack.enter_context(contextlib.closing(scan.parts())):
                s = chosen[part.slot]
                if part.events:
                    tables = part.tables
                    if tables is None:
                        books[s].run(part.batch)
                        tables = books[s].take_tables()
                    trading[s].add(tables, part.batch)
                    if s in folders:
                        folders[s].append(tables)
                itch.count_recorded(part, recorded[s])
                if s in extras:
                    itch.write_part(extras[s], part)
                if bar is not None:
                    bar.update(scan.state.position - done)
                    done = scan.state.position
            if bar is not None:
                bar.close()
            seconds = time.perf_counter() - started
            per_symbol: dict[str, Summary] = {}
            for s in chosen:
                details = {"symbol": s, "locate": directory[s], **recorded[s],
                           **_book_details(books[s], trading[s], Decimal("0.0001"))}  # fmt: skip
                per_symbol[s] = _summary(
                    command, {**parameters, "symbol": s}, books[s], seconds, details
                )
                if s in folders:
                    extras[s].finish()
                    _finish_folder(folders[s], command, {**parameters, "symbol": s}, per_symbol[s])
            events = sum(p.events for p in per_symbol.values())
            total = Summary(
                command=command,
                parameters=parameters,
                **{k: sum(getattr(p, k) for p in per_symbol.values()) for k in _TOTALLED},
                rows_compared=0,
                rows_matching=0,
                first_mismatch=None,
                resyncs=0,
                corrections=0,
                seconds=round(seconds, 6),
                events_per_second=round(events / seconds, 1) if seconds > 0 else 0.0,
                version=version(),
                details={
                    "messages": scan.state.messages,
                    "bytes": scan.state.offset,
                    "compressed": scan.state.compressed,
                    "message_types": scan.message_types(),
                    "symbols": {s: p.to_dict() for s, p in per_symbol.items()},
                },
            )
    except BaseException:
        if top is not None:
            _mark_incomplete(top / "summary.json")
        raise
    if top is not None:
        write_json(top / "summary.json", total.to_dict())
    return total


def _mark_incomplete(path: Path) -> None:
    from .tables import write_json

    try:
        write_json(path, {"complete": False})
    except OSError:
        pass


def replay_mbo(
    path: str | Path,
    *,
    instrument: int | None = None,
    symbol: str | None = None,
    tick_size: Decimal | str | None = None,
    out: str | Path | None = None,
    levels: int = 10,
    depth_every: int = DEFAULT_DEPTH_EVERY,
    progress: bool = False,
    engine: str = "native",
) -> Summary:
    """Replays one instrument of a Databento MBO file (DBN, plain or zstd).

    The instrument is ``instrument``, or the one ``symbol`` maps to, or the
    file's only one. Prices become ticks of ``tick_size``, by default the
    largest that divides the prices of the first batch. Top of book and depth
    are sampled only after records flagged F_LAST.
    """
    import itertools

    from . import mbo

    file = Path(path)
    if not file.is_file():
        raise OptionError(f"no such file: {file}")
    if instrument is not None and symbol is not None:
        raise OptionError("give an instrument or a symbol, not both")
    _check_counts(levels=levels, depth_every=depth_every)
    if levels > 255:
        raise OptionError(f"--levels must be at most 255, got {levels}")
    tick = None if tick_size is None else Decimal(str(tick_size))
    if tick is not None and (tick <= 0 or (tick * mbo.PRICE_UNITS) % 1):
        raise OptionError(f"--tick-size must be a positive multiple of 1e-9, got {tick_size}")
    store = mbo.open_store(file)
    if symbol is not None:
        instrument = mbo.instrument_of_symbol(store, file, symbol)
    if instrument is None:
        ids = mbo.instruments(file)
        if not ids:
            raise DataError(file, None, "no records")
        if len(ids) > 1:
            raise OptionError(
                f"{file} holds {len(ids)} instruments; choose one with --instrument: "
                + ", ".join(map(str, ids[:50]))
            )
        instrument = ids[0]
    reader = mbo.MboReader(file, instrument, tick)
    stream = reader.batches()
    first = next(stream, None)
    if first is None:
        held = ", ".join(map(str, sorted(reader.ids_seen)[:50])) or "none"
        raise OptionError(f"{file}: no records of instrument {instrument} (it holds: {held})")
    if reader.tick_size is None:
        reader.tick_size = Decimal(1) / mbo.PRICE_UNITS
    book = make_replayer(
        engine, tick_size=float(reader.tick_size), levels=levels, depth_every=depth_every,
        unknown_parts=False, recorded=True, sample_code_bit=mbo.LAST_BIT,
    )  # fmt: skip
    parameters = {"file": str(file), "instrument_id": instrument, "tick_size": str(reader.tick_size),
                  "levels": levels, "depth_every": depth_every}  # fmt: skip
    sinks: list[TableFiles] = []  # the trades table, when writing tables

    def with_trades(batches: Iterator[Batch]) -> Iterator[Batch]:
        for batch in batches:
            yield batch
            for sink in sinks:
                for rows in reader.trades:
                    sink.write("trades", rows)
            reader.trades.clear()

    def extra() -> dict[str, Any]:
        for sink in sinks:
            sink.finish()
        return {
            "instrument_id": instrument,
            "records": reader.records,
            "actions": dict(sorted(reader.actions.items())),
            "flags": reader.flags,
        }

    def run() -> Summary:
        return _run(
            "replay mbo",
            parameters,
            lambda: itertools.chain([first], stream),
            book,
            mbo.SOURCES,
            out,
            reader.tick_size or Decimal(1),
            _progress(progress, 0, "records", file.name),
            extra,
            with_trades,
        )

    if out is None:
        return run()
    with TableFiles(Path(out), {"trades": mbo.TRADE_SCHEMA}) as sink:
        sinks.append(sink)
        return run()
