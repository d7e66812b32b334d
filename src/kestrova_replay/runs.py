"""The operations the command runs, as Python functions that return a Summary."""

from __future__ import annotations

import dataclasses
import importlib.metadata
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from decimal import Decimal
from fractions import Fraction
from pathlib import Path
from typing import Any

import numpy as np

from . import lobster, simulation
from .engine import ClassBook, NativeBook, Replayer
from .errors import OptionError
from .events import Action, Batch
from .tables import OutputFolder

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
            self.notional += int(np.dot(price.astype(object), quantity.astype(object)))
            self.last_price = int(price[-1])
        self.deletes += int(np.count_nonzero(batch.columns["action"] == Action.DELETE))

    def vwap(self) -> Fraction | None:
        return Fraction(self.notional, self.volume) if self.volume else None


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
    """The replay loop: each batch through the book, its rows to the tables."""
    done = 0
    for batch in batches:
        book.run(batch)
        tables = book.take_tables()
        trading.add(tables, batch)
        if trace is not None:
            trace.add(tables)
        if out is not None:
            out.append(tables)
        if progress is not None:
            progress.update(batch.position - done)
            done = batch.position
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
    stream = batches() if prepare is None else prepare(batches())

    def finish() -> Summary:
        seconds = time.perf_counter() - started
        details = {**extra(), **_book_details(book, trading, tick_size)}
        return _summary(command, parameters, book, seconds, details)

    if out is None:
        replay_batches(stream, book, None, trading, progress, trace)
        summary = finish()
    else:
        with OutputFolder(out, sources) as folder:
            replay_batches(stream, book, folder, trading, progress, trace)
            summary = finish()
            counts = {k: v for k, v in summary.to_dict().items() if isinstance(v, int)}
            metadata = {"command": command, "version": summary.version}
            metadata.update({f"parameter.{k}": str(v) for k, v in parameters.items()})
            metadata.update({f"count.{k}": str(v) for k, v in counts.items()})
            folder.finish(summary.to_dict(), metadata)
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
        engine, tick_size=float(tick), levels=levels, depth_every=depth_every, recorded=False
    )
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
