"""Process memory with N resting orders (both copies: level queue and id map).

Run: python bench/memory.py [--orders N]
"""

import argparse
import resource

from kestrova import Order, OrderBook, OrderType


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--orders", type=int, default=1_000_000)
    parser.add_argument("--levels", type=int, default=1000)
    args = parser.parse_args()
    before = rss_mib()
    book = OrderBook()
    half = args.orders // 2
    for i in range(half):
        book.add(Order(OrderType.Buy, 2_000_000 - (i % args.levels), 1.0))
    for i in range(args.orders - half):
        book.add(Order(OrderType.Sell, 2_000_001 + (i % args.levels), 1.0))
    after = rss_mib()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"resting orders: {len(book.buy_orders) + len(book.sell_orders)}")
    print(f"process RSS: {after:.1f} MiB (before the book: {before:.1f} MiB, peak {peak:.1f} MiB)")


if __name__ == "__main__":
    main()
