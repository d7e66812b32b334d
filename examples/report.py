"""What the examples share: the order flow, the timed replay, the report and the plot.

A flow is a list of events, made in full before the book sees any of it:
``Add(side, price, quantity)`` enters a new order, ``Cancel(target)`` cancels the
order of the ``target``-th ``Add`` of the flow.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import math
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from fractions import Fraction
from pathlib import Path
from typing import NamedTuple, NoReturn

from kestrova import Fill, Order, OrderBook, OrderType

DEPTH_LEVELS = 5


class Add(NamedTuple):
    side: OrderType
    price: float
    quantity: float


class Cancel(NamedTuple):
    target: int


class Prices:
    """Writes prices from integer ticks, so no float rounding shows in the text."""

    def __init__(self, tick_size: Decimal) -> None:
        sign, _, exponent = tick_size.as_tuple()
        assert sign == 0 and isinstance(exponent, int)
        # tick_size == tick_units / 10**decimals, both integers.
        self.decimals = max(0, -exponent)
        self.scale = 10**self.decimals
        self.tick_units = int(tick_size * self.scale)
        self.tick_size = tick_size

    def text(self, ticks: int) -> str:
        return self._units_text(ticks * self.tick_units, self.decimals)

    def text_of(self, ticks: Fraction, extra_decimals: int) -> str:
        """A price between ticks (an average), rounded half to even."""
        decimals = self.decimals + extra_decimals
        units = round(ticks * self.tick_units * 10**extra_decimals)
        return self._units_text(units, decimals)

    @staticmethod
    def _units_text(units: int, decimals: int) -> str:
        sign = "-" if units < 0 else ""
        whole, part = divmod(abs(units), 10**decimals)
        return f"{sign}{whole}.{part:0{decimals}d}" if decimals else f"{sign}{whole}"


def tick_size_option(text: str) -> Decimal:
    """argparse type for --tick-size: a positive decimal such as 0.01 or 0.25."""
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value.is_finite() or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
    value = value.normalize()  # 0.010 has two decimals, not three
    if -value.as_tuple().exponent > 9:  # type: ignore[operator]
        raise argparse.ArgumentTypeError(f"at most 9 decimals, got {text!r}")
    return value


def exit_with(main: Callable[[], int]) -> NoReturn:
    """Runs an example's main; a closed pipe or Ctrl-C ends it without a traceback."""
    try:
        code = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`| head`): keep Python from failing again at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        code = 1
    except KeyboardInterrupt:
        code = 130
    sys.exit(code)


def add_report_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--tick-size",
        type=tick_size_option,
        default=Decimal("0.01"),
        metavar="T",
        help="price of one tick (default 0.01)",
    )
    parser.add_argument(
        "--plot",
        type=Path,
        metavar="FILE",
        help="also write a PNG of mid price, spread and final depth (needs matplotlib)",
    )


def check_plot_option(parser: argparse.ArgumentParser, plot: Path | None) -> None:
    """Fails before any work when --plot cannot be honoured."""
    if plot is None:
        return
    if plot.is_dir():
        parser.error(f"--plot: {str(plot)!r} is a folder; give a file name")
    folder = plot.resolve().parent
    if not folder.is_dir():
        parser.error(f"--plot: folder {str(folder)!r} does not exist")
    if importlib.util.find_spec("matplotlib") is None:
        parser.error(
            "--plot needs matplotlib, which is not installed; "
            "install it with: pip install '.[plot]'"
        )


@dataclass
class Run:
    """What the book answered to each event of a flow, in event order."""

    flow: list[Add | Cancel]
    orders: list[Order]  # the order made for each Add, in flow order
    answers: list[list[Fill] | bool]  # add's fills or cancel's result, per event
    quotes: list[tuple[tuple[int, float] | None, tuple[int, float] | None]]
    elapsed_ns: int


def replay(book: OrderBook, flow: list[Add | Cancel]) -> Run:
    """Feeds the flow to the book, timing only the book's calls.

    After every event it reads the best bid and ask, for the plot; the loop does
    nothing else but keep the answers, which are read once the clock has stopped.
    """
    create_order, add, cancel = book.create_order, book.add, book.cancel
    best_bid, best_ask = book.best_bid, book.best_ask
    orders: list[Order] = []
    answers: list[list[Fill] | bool] = []
    quotes = []
    gc_was_enabled = gc.isenabled()
    gc.disable()  # a collection in the middle would be charged to the book
    try:
        started = time.perf_counter_ns()
        for event in flow:
            if type(event) is Add:
                order = create_order(*event)
                orders.append(order)
                answers.append(add(order))
            else:
                answers.append(cancel(orders[event.target].id))
            quotes.append((best_bid(), best_ask()))
        elapsed = time.perf_counter_ns() - started
    finally:
        if gc_was_enabled:
            gc.enable()
    return Run(flow, orders, answers, quotes, elapsed)


def depth(orders: list[Order]) -> dict[int, tuple[float, int]]:
    """Resting orders aggregated by price level: ticks -> (total quantity, count)."""
    levels: dict[int, tuple[float, int]] = {}
    for order in orders:
        quantity, count = levels.get(order.price_in_ticks, (0.0, 0))
        levels[order.price_in_ticks] = (quantity + order.quantity, count + 1)
    return levels


@dataclass
class Trading:
    fills: int
    volume: float
    vwap_ticks: Fraction | None
    last_ticks: int | None
    cancels_resting: int
    cancels_filled: int


def trading(run: Run) -> Trading:
    """Fills, prices and what each cancel met, worked out from the recorded answers."""
    ticks = {order.id: order.price_in_ticks for order in run.orders}
    position = {order.id: index for index, order in enumerate(run.orders)}
    # The book marks an order filled when its remaining quantity reaches 0 or less;
    # taking off each fill's quantity in turn gives the very same remainders.
    remaining = [order.quantity for order in run.orders]
    fills = 0
    quantities: list[float] = []
    notional = Fraction(0)
    last_ticks = None
    cancels_resting = cancels_filled = 0
    for event, answer in zip(run.flow, run.answers, strict=True):
        if isinstance(answer, bool):
            assert isinstance(event, Cancel)
            if answer and remaining[event.target] > 0.0:
                cancels_resting += 1
            elif answer:
                cancels_filled += 1
            continue
        for fill in answer:
            fills += 1
            # A fill is priced at the sell order's limit, known here in whole ticks.
            last_ticks = ticks[fill.sell_id]
            quantities.append(fill.quantity)
            notional += Fraction(fill.quantity) * last_ticks
            remaining[position[fill.buy_id]] -= fill.quantity
            remaining[position[fill.sell_id]] -= fill.quantity
    volume = math.fsum(quantities)
    total = sum(map(Fraction, quantities), Fraction(0))
    vwap = notional / total if total else None
    return Trading(fills, volume, vwap, last_ticks, cancels_resting, cancels_filled)


def quote_text(prices: Prices, quote: tuple[int, float] | None) -> str:
    if quote is None:
        return "none"
    ticks, front_quantity = quote
    return f"{prices.text(ticks)} (front order {front_quantity:.2f})"


def print_report(book: OrderBook, run: Run, prices: Prices) -> None:
    deals = trading(run)
    adds = len(run.orders)
    bids, asks = book.buy_orders, book.sell_orders
    best_bid, best_ask = book.best_bid(), book.best_ask()

    def line(label: str, value: object) -> None:
        print(f"{label + ':':<16}{value}")

    line("orders", adds)
    line("fills", deals.fills)
    line("traded volume", f"{deals.volume:.2f}")
    vwap = deals.vwap_ticks
    line("VWAP", "none" if vwap is None else prices.text_of(vwap, extra_decimals=2))
    last = deals.last_ticks
    line("last trade", "none" if last is None else prices.text(last))
    cancels = sum(1 for event in run.flow if type(event) is Cancel)
    line(
        "cancels",
        f"{cancels} ({deals.cancels_resting} resting, {deals.cancels_filled} already filled)",
    )
    line("resting orders", f"{len(bids)} buy, {len(asks)} sell")
    line("best bid", quote_text(prices, best_bid))
    line("best ask", quote_text(prices, best_ask))
    if best_bid is None or best_ask is None:
        line("spread", "none")
    else:
        gap = best_ask[0] - best_bid[0]
        line("spread", f"{prices.text(gap)} ({gap} ticks)")
    per_order = f"{run.elapsed_ns / adds:.0f} ns per order" if adds else "no orders"
    line("book calls", f"{run.elapsed_ns / 1e6:.1f} ms, {per_order}")
    print()
    print_depth(depth(bids), depth(asks), prices)
    print()
    print("the book's own summary, str(book), prices in shortest form:")
    print(book)


def print_depth(
    bid_levels: dict[int, tuple[float, int]],
    ask_levels: dict[int, tuple[float, int]],
    prices: Prices,
) -> None:
    asks = sorted(ask_levels)[:DEPTH_LEVELS]
    bids = sorted(bid_levels, reverse=True)[:DEPTH_LEVELS]
    rows = [("ask", t, *ask_levels[t]) for t in reversed(asks)]
    rows += [("bid", t, *bid_levels[t]) for t in bids]
    texts = [(side, prices.text(t), f"{q:.2f}", str(n)) for side, t, q, n in rows]
    price_width = max([len("price")] + [len(row[1]) for row in texts])
    quantity_width = max([len("quantity")] + [len(row[2]) for row in texts])
    print(f"depth, best {DEPTH_LEVELS} levels a side:")
    print(f"side  {'price':>{price_width}}  {'quantity':>{quantity_width}}  orders")
    for side, price, quantity, count in texts:
        print(f"{side:<4}  {price:>{price_width}}  {quantity:>{quantity_width}}  {count:>6}")
    if not texts:
        print("(empty book)")


def write_plot(path: Path, book: OrderBook, run: Run, prices: Prices) -> int:
    """Writes the PNG; an exit code, 1 with a message when it cannot be written."""
    try:
        draw_plot(path, book, run, prices)
    except (ImportError, OSError) as error:
        print(f"\ncannot write the plot to {str(path)!r}: {error}", file=sys.stderr)
        return 1
    print(f"\nplot written to {path}")
    return 0


def draw_plot(path: Path, book: OrderBook, run: Run, prices: Prices) -> None:
    """Mid price and spread over the run, and the final depth ladder, as a PNG."""
    import matplotlib

    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt

    tick = float(prices.tick_size)
    steps, mids, spreads = [], [], []
    for step, (bid, ask) in enumerate(run.quotes, start=1):
        if bid is not None and ask is not None:
            steps.append(step)
            mids.append((bid[0] + ask[0]) / 2 * tick)
            spreads.append((ask[0] - bid[0]) * tick)

    figure, (mid_axes, spread_axes, depth_axes) = plt.subplots(
        3, 1, figsize=(9, 10), gridspec_kw={"height_ratios": [3, 1.5, 3]}
    )
    mid_axes.plot(steps, mids, drawstyle="steps-post", linewidth=0.8, color="tab:blue")
    mid_axes.set_title("mid price (best bid and ask both present)")
    mid_axes.set_ylabel("price")
    spread_axes.plot(steps, spreads, drawstyle="steps-post", linewidth=0.6, color="tab:orange")
    spread_axes.set_title("spread")
    spread_axes.set_ylabel("price")
    spread_axes.set_xlabel("event")

    ladder_levels = 10
    bid_levels, ask_levels = depth(book.buy_orders), depth(book.sell_orders)
    bids = sorted(bid_levels, reverse=True)[:ladder_levels]
    asks = sorted(ask_levels)[:ladder_levels]
    # One row per level, lowest price at the bottom, as on a ladder.
    ladder = sorted(bids + asks)
    row = {ticks: position for position, ticks in enumerate(ladder)}
    depth_axes.barh(
        [row[t] for t in bids],
        [bid_levels[t][0] for t in bids],
        color="tab:green",
        label="bid",
    )
    depth_axes.barh(
        [row[t] for t in asks],
        [ask_levels[t][0] for t in asks],
        color="tab:red",
        label="ask",
    )
    depth_axes.set_yticks(range(len(ladder)), [prices.text(t) for t in ladder])
    depth_axes.set_title(f"final depth, best {ladder_levels} levels a side")
    depth_axes.set_xlabel("resting quantity")
    depth_axes.legend(loc="lower right")
    figure.tight_layout()
    try:
        figure.savefig(path, dpi=100, format="png")
    finally:
        plt.close(figure)
