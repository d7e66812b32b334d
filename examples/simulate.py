"""A small market simulation: a seeded random order flow around a drifting mid price.

Run it with ``python examples/simulate.py [--orders N] [--seed S] [--tick-size T]
[--plot FILE]``. The whole flow is generated first; only the book's own calls are
timed. Bad options end the run with a message and exit code 2.
"""

from __future__ import annotations

import argparse
import random

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

# Every answer of the book is kept until the report: about 1.3 kB per order.
MAX_ORDERS = 200_000


def orders_option(text: str) -> int:
    """argparse type for --orders: a whole number from 1 to MAX_ORDERS."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    if value > MAX_ORDERS:
        raise argparse.ArgumentTypeError(f"at most {MAX_ORDERS}, got {value}")
    return value


def make_flow(orders: int, seed: int, prices: Prices) -> list[Add | Cancel]:
    """Orders around a mid that drifts from 100; about one cancel per five orders."""
    rng = random.Random(seed)
    ticks_per_unit = 1 / float(prices.tick_size)
    mid = 100.0
    flow: list[Add | Cancel] = []
    cancellable: list[int] = []  # adds not yet cancelled, by position among the adds
    for position in range(orders):
        mid = max(1.0, mid + rng.gauss(0.0, 0.02))
        side = OrderType.Buy if rng.random() < 0.5 else OrderType.Sell
        # Most orders rest a little away from the mid; some cross it.
        offset = rng.uniform(-0.05, 0.25)
        price = mid - offset if side == OrderType.Buy else mid + offset
        ticks = max(1, round(price * ticks_per_unit))
        # The price handed to create_order is the tick count's own decimal value.
        price_units = ticks * prices.tick_units / prices.scale
        flow.append(Add(side, price_units, rng.choice((1.0, 2.0, 5.0, 10.0))))
        cancellable.append(position)
        if rng.random() < 0.2:
            flow.append(Cancel(cancellable.pop(rng.randrange(len(cancellable)))))
    return flow


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--orders",
        type=orders_option,
        default=5000,
        metavar="N",
        help=f"number of orders, 1 to {MAX_ORDERS} (default 5000)",
    )
    parser.add_argument("--seed", type=int, default=7, metavar="S", help="random seed (default 7)")
    add_report_options(parser)
    args = parser.parse_args(argv)
    check_plot_option(parser, args.plot)

    prices = Prices(args.tick_size)
    flow = make_flow(args.orders, args.seed, prices)
    book = OrderBook(float(args.tick_size))
    run = replay(book, flow)
    print(f"Simulated flow ({args.orders} orders, seed {args.seed}, tick size {args.tick_size})")
    print_report(book, run, prices)
    if args.plot is not None:
        return write_plot(args.plot, book, run, prices)
    return 0


if __name__ == "__main__":
    exit_with(main)
