"""Nanoseconds per call of the hot members, as figures (not a pass/fail test).

Run: python bench/time_calls.py [--repeat R]
Each figure is the best of R runs of a timeit loop, minus nothing: it includes
the interpreter's own call overhead, which `noop` shows for comparison.
"""

import argparse
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import options

from kestrova import Order, OrderBook, OrderType


def best_ns(statement, setup, number, repeat):
    namespace = {}
    exec(setup, globals(), namespace)
    timer = timeit.Timer(statement, globals={**globals(), **namespace})
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


CASES = [
    ("noop: len(())", "len(t)", "t = ()", 1_000_000),
    ("Order(...)", "Order(Buy, 100, 5.0)", "Buy = OrderType.Buy", 1_000_000),
    (
        "Order.fill (no cross)",
        "a.fill(b, 0.01)",
        "a = Order(OrderType.Buy, 99, 5.0); b = Order(OrderType.Sell, 100, 5.0)",
        1_000_000,
    ),
    (
        "Order.fill (trades)",
        "a.fill(b, 0.01)",
        "a = Order(OrderType.Buy, 100, 1e300); b = Order(OrderType.Sell, 100, 1e300)",
        1_000_000,
    ),
    ("Order.quantity", "o.quantity", "o = Order(OrderType.Buy, 100, 5.0)", 2_000_000),
    ("Order.price_in_ticks", "o.price_in_ticks", "o = Order(OrderType.Buy, 100, 5.0)", 2_000_000),
    ("Order.id", "o.id", "o = Order(OrderType.Buy, 100, 5.0)", 2_000_000),
    ("Order.side", "o.side", "o = Order(OrderType.Buy, 100, 5.0)", 2_000_000),
]


def book_cases(repeat):
    """add/cancel need fresh orders each time, so they are timed over prepared lists."""
    n = 200_000
    rows = []

    def timed(fn):
        best = float("inf")
        for _ in range(repeat):
            best = min(best, fn())
        return best / n * 1e9

    def resting_adds():
        book = OrderBook()
        orders = [Order(OrderType.Buy, 10_000 - (i % 500), 1.0) for i in range(n)]
        add = book.add
        t = timeit.default_timer()
        for o in orders:
            add(o)
        return timeit.default_timer() - t

    def crossing_adds():
        book = OrderBook()
        for i in range(n):
            book.add(Order(OrderType.Sell, 10_000 + (i % 500), 1.0))
        orders = [Order(OrderType.Buy, 20_000, 1.0) for _ in range(n)]
        add = book.add
        t = timeit.default_timer()
        for o in orders:
            add(o)  # each takes exactly one resting sell: one fill
        return timeit.default_timer() - t

    def cancels():
        book = OrderBook()
        ids = []
        for i in range(n):
            o = Order(OrderType.Buy, 10_000 - (i % 500), 1.0)
            book.add(o)
            ids.append(o.id)
        cancel = book.cancel
        t = timeit.default_timer()
        for order_id in ids:
            cancel(order_id)
        return timeit.default_timer() - t

    rows.append(("OrderBook.add (rests)", timed(resting_adds)))
    rows.append(("OrderBook.add (one fill)", timed(crossing_adds)))
    rows.append(("OrderBook.cancel", timed(cancels)))

    book = OrderBook()
    for i in range(100_000):
        book.add(Order(OrderType.Buy, 10_000 - (i % 500), 1.0))
        book.add(Order(OrderType.Sell, 10_001 + (i % 500), 1.0))
    for name, stmt in [
        ("OrderBook.best_bid", "book.best_bid()"),
        ("OrderBook.spread", "book.spread()"),
    ]:
        rows.append(
            (
                name,
                min(timeit.repeat(stmt, globals={"book": book}, number=1_000_000, repeat=repeat))
                / 1e6
                * 1e9,
            )
        )
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=options.positive_int, default=5)
    args = parser.parse_args()
    rows = [
        (name, best_ns(stmt, setup, number, args.repeat)) for name, stmt, setup, number in CASES
    ]
    rows += book_cases(args.repeat)
    for name, ns in rows:
        print(f"{name:28s} {ns:8.1f} ns")


if __name__ == "__main__":
    options.run(main)
