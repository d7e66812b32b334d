"""Process memory per resting order (both copies: the queue copy and the id map's).

Run: python bench/memory.py [--orders N] [--per-level K ...]
For each K, a new process fills a book with N resting orders, half bids and half asks,
K orders to a price level, and reports the growth of its resident memory per order.
"""

import argparse
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import options

from kestrova import Order, OrderBook, OrderType


def rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return float("nan")


def measure(orders, per_level):
    """Bytes of resident memory per resting order, measured in this process."""
    levels = max(1, orders // 2 // per_level)
    # The Order objects are made one at a time and dropped, so only the book grows.
    before = rss_bytes()
    book = OrderBook()
    half = orders // 2
    for i in range(half):
        book.add(Order(OrderType.Buy, 2_000_000 - (i % levels), 1.0))
    for i in range(orders - half):
        book.add(Order(OrderType.Sell, 2_000_001 + (i % levels), 1.0))
    grown = rss_bytes() - before
    assert book.best_bid()[0] == 2_000_000 and book.best_ask()[0] == 2_000_001
    return grown / orders


def measure_in_fresh_process(orders, per_level):
    """measure() in a process of its own, so that no earlier book's freed memory hides this one's."""
    run = [sys.executable, __file__, "--orders", str(orders), "--one", str(per_level)]
    return float(subprocess.run(run, capture_output=True, text=True, check=True).stdout)


def main():
    parser = argparse.ArgumentParser()
    # both sides of the book must hold an order: the check reads the best bid and ask
    parser.add_argument("--orders", type=options.at_least(2), default=1_000_000)
    parser.add_argument("--per-level", type=options.positive_int, nargs="+", default=[1, 10, 1000])
    parser.add_argument("--one", type=options.positive_int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one is not None:
        print(measure(args.orders, args.one))
        return
    print(f"{'orders per level':>16s} {'resting orders':>15s} {'bytes per order':>16s}")
    for per_level in args.per_level:
        per_order = measure_in_fresh_process(args.orders, per_level)
        print(f"{per_level:16d} {args.orders:15d} {per_order:16.1f}")


if __name__ == "__main__":
    options.run(main)
