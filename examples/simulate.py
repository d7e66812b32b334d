"""A small market simulation: a seeded random order flow around a drifting mid price.

Run it with ``python examples/simulate.py [--orders N] [--seed S]``.
"""

import argparse
import random
import time

from kestrova import OrderBook, OrderType


def simulate(orders: int, seed: int, tick_size: float = 0.01) -> None:
    rng = random.Random(seed)
    book = OrderBook(tick_size)
    mid = 100.0
    resting_ids = []
    fills = 0
    traded = 0.0
    cancels = 0

    started = time.perf_counter()
    for _ in range(orders):
        mid = max(1.0, mid + rng.gauss(0.0, 0.02))
        side = OrderType.Buy if rng.random() < 0.5 else OrderType.Sell
        # Most orders rest a little away from the mid; some cross it.
        offset = rng.uniform(-0.05, 0.25)
        price = mid - offset if side == OrderType.Buy else mid + offset
        order = book.create_order(side, round(price, 2), rng.choice((1.0, 2.0, 5.0, 10.0)))
        for fill in book.add(order):
            fills += 1
            traded += fill.quantity
        resting_ids.append(order.id)
        if resting_ids and rng.random() < 0.2:
            victim = resting_ids.pop(rng.randrange(len(resting_ids)))
            cancels += book.cancel(victim)
    elapsed = time.perf_counter() - started

    print(f"orders: {orders}, seed: {seed}")
    print(f"fills: {fills}, traded volume: {traded:.2f}, cancels: {cancels}")
    print(book)
    print(f"elapsed: {elapsed * 1000:.1f} ms ({elapsed / orders * 1e9:.0f} ns per order)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orders", type=int, default=5000, help="number of orders (default 5000)")
    parser.add_argument("--seed", type=int, default=7, help="random seed (default 7)")
    args = parser.parse_args()
    simulate(args.orders, args.seed)


if __name__ == "__main__":
    main()
