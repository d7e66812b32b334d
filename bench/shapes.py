"""How kestrova's calls cost as the book's shape changes.

Run: python bench/shapes.py [--quick] [--rounds R] [--only cancel|size|memory]

1. cancel by the depth of the order's level (1, 100, 10,000, 100,000 orders in
   one level) and its place in the level (front, middle, back);
2. add (at an existing level near the touch, and at a new level inside the
   spread), cancel, best_bid and buy_volume by book size (10k, 100k, 1M, 5M
   resting orders) and orders per level (1, 10, 1000);
3. bytes per resting order: the process's RSS growth over 1,000,000 resting
   orders at 1, 10 and 1000 orders per level, one subprocess per case.

Figures are ns per call, median (min-max) over interleaved rounds; each case
is a replay loop over prepared ids or orders, timed as a whole. Calls whose
cost grows with the book (buy_volume on a walking implementation) are timed
over as many calls as fit in about 20 ms, at least one, so an old build still
finishes in reasonable time. --quick leaves out the 5M books and takes fewer
rounds and calls.
"""

import argparse
import gc
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import memory
import options
import timing

from kestrova import Order, OrderBook, OrderType

Buy, Sell = OrderType.Buy, OrderType.Sell
TOP = 10_000_000  # best bid of every book, in ticks
GAP = 100_000  # ticks between the best bid and the best ask: room for new levels


# ----------------------------------------------------------------------------
# 1. cancel by level depth and position


def cancel_cases(depths, rounds, quick):
    """{(depth, position): [ns per cancel]}: each round builds fresh levels."""
    plans = {}
    for depth in depths:
        # levels x orders per level, and cancels per level: every cancel meets a
        # level of about `depth` orders (at most a tenth of it is taken away)
        if depth == 1:
            levels, per_level = (5_000 if quick else 20_000), 1
        else:
            cancels = 500 if quick else 2_000
            levels = max(1, cancels // max(1, depth // 10))
            per_level = min(depth // 10, cancels)
        plans[depth] = (levels, per_level)

    def targets(ids, depth, per_level, position):
        if position == "front":
            return ids[:per_level]
        if position == "back":
            return ids[depth - per_level :][::-1]
        start = depth // 2 - per_level // 2
        return ids[start : start + per_level]

    def case(depth, position):
        levels, per_level = plans[depth]

        def run():
            book = OrderBook()
            picked = []
            for level in range(levels):
                ids = []
                for _ in range(depth):
                    order = Order(Buy, TOP - level, 1.0)
                    book.add(order)
                    ids.append(order.id)
                picked += targets(ids, depth, per_level, position)
            book.add(Order(Sell, TOP + GAP, 1.0))
            cancel = book.cancel

            def loop(cancel=cancel, picked=picked):
                for order_id in picked:
                    cancel(order_id)

            elapsed = timing.timed(loop)
            count = len(picked)
            del book, picked
            gc.collect()
            return elapsed / count

        return run

    positions = ("front", "middle", "back")
    runs = {(d, p): case(d, p) for d in depths for p in positions}
    samples = timing.interleave(runs, rounds)
    rows = []
    for depth in depths:
        levels, per_level = plans[depth]
        label = f"{depth:,} ({levels * per_level} cancels)"
        rows.append((label, *(timing.ns_cell(samples[depth, p]) for p in positions)))
    medians = [timing.spread(values)[0] for values in samples.values()]
    print("cancel by the depth of the order's level and its place in it (ns per cancel)")
    print(timing.table(("orders in the level", *positions), rows))
    print(f"slowest / fastest median: {max(medians) / min(medians):.2f}")
    print()


# ----------------------------------------------------------------------------
# 2. by book size and orders per level


def build_book(size, per_level, keep):
    """A two-sided book of `size` resting orders of quantity 1.0 at `per_level`
    orders a level, contiguous levels from the touch outwards; a random sample
    of about `keep` resting bids is returned (the orders themselves)."""
    rng = random.Random(size * 31 + per_level)
    book = OrderBook()
    add = book.add
    chance = min(1.0, 2.0 * keep / size)
    kept = []
    half = size // 2
    for i in range(half):
        level = i // per_level
        bid = Order(Buy, TOP - level, 1.0)
        add(bid)
        if rng.random() < chance:
            kept.append(bid)
        add(Order(Sell, TOP + GAP + level, 1.0))
    return book, kept


def size_cases(sizes, per_levels, rounds, writes, reads):
    """One book at a time: every call on it runs once per round."""
    names = (
        "add, existing level",
        "add, new level",
        "cancel",
        "best_bid",
        "buy_volume",
    )
    results = {}
    for per_level in per_levels:
        for size in sizes:
            if per_level > size // 2:
                continue
            print(
                f"  building {size:,} resting at {per_level} per level",
                file=sys.stderr,
                flush=True,
            )
            book, kept = build_book(size, per_level, keep=4 * writes)
            rng = random.Random(size + per_level)
            near = min(100, max(1, size // 2 // per_level))
            joining = [Order(Buy, TOP - rng.randrange(near), 1.0) for _ in range(writes)]
            inside = [
                Order(Buy, price, 1.0) for price in rng.sample(range(TOP + 1, TOP + GAP), writes)
            ]

            def adds(orders, book=book):
                ids = [order.id for order in orders]

                def run():
                    def loop(add=book.add, orders=orders):
                        for order in orders:
                            add(order)

                    elapsed = timing.timed(loop)
                    for order_id in ids:  # back to the same book
                        book.cancel(order_id)
                    return elapsed / len(orders)

                return run

            def cancels(book=book, kept=kept, rng=rng):
                def run():
                    picked = rng.sample(kept, min(writes, len(kept)))
                    ids = [order.id for order in picked]

                    def loop(cancel=book.cancel, ids=ids):
                        for order_id in ids:
                            cancel(order_id)

                    elapsed = timing.timed(loop)
                    for order in picked:  # back, at the back of their levels
                        book.add(order)
                    return elapsed / len(ids)

                return run

            def calls(method):
                def run():
                    once = timing.timed(method)
                    count = max(1, min(reads, int(20e6 / max(once, 1))))
                    repeat = [None] * count

                    def loop(method=method, repeat=repeat):
                        for _ in repeat:
                            method()

                    return timing.timed(loop) / count

                return run

            runs = {
                names[0]: adds(joining),
                names[1]: adds(inside),
                names[2]: cancels(),
                names[3]: calls(book.best_bid),
                names[4]: calls(book.buy_volume),
            }
            samples = timing.interleave(runs, rounds)
            for name in names:
                results[per_level, size, name] = samples[name]
            del book, kept, joining, inside, runs
            gc.collect()

    print("calls by book size (resting orders, both sides) and orders per level (ns per call)")
    print(
        "adds land within 100 levels of the touch, or each at a new level of its own inside the spread;"
    )
    print(
        "each round takes them out again; cancels hit random resting bids, put back after each round"
    )
    for per_level in per_levels:
        rows = []
        for size in sizes:
            if (per_level, size, names[0]) not in results:
                continue
            rows.append(
                (
                    f"{size:,}",
                    *(timing.ns_cell(results[per_level, size, name]) for name in names),
                )
            )
        flat = []
        for name in names:
            got = [
                timing.spread(results[per_level, s, name])[0]
                for s in sizes
                if (per_level, s, name) in results
            ]
            flat.append(f"{max(got) / min(got):.2f}" if got else "")
        rows.append(("largest / smallest", *flat))
        print()
        print(f"{per_level} order(s) per level")
        print(timing.table(("resting", *names), rows))
    print()


# ----------------------------------------------------------------------------
# 3. bytes per resting order


def memory_cases(per_levels, orders):
    rows = [
        (str(per_level), f"{memory.measure_in_fresh_process(orders, per_level):.0f}")
        for per_level in per_levels
    ]
    print(
        f"bytes per resting order: process RSS growth over {orders:,} resting orders, both copies"
    )
    print(timing.table(("orders per level", "bytes per order"), rows))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="no 5M books, fewer rounds and calls")
    parser.add_argument("--rounds", type=options.positive_int, default=5)
    parser.add_argument("--only", choices=("cancel", "size", "memory"))
    args = parser.parse_args()

    rounds = 3 if args.quick else args.rounds
    print(f"Book shapes: {timing.machine()}")
    print(f"kestrova: {timing.kestrova_build()}")
    print(f"{rounds} interleaved rounds; median (min-max)")
    print()
    if args.only in (None, "cancel"):
        cancel_cases((1, 100, 10_000, 100_000), rounds, args.quick)
    if args.only in (None, "size"):
        sizes = (
            (10_000, 100_000, 1_000_000) if args.quick else (10_000, 100_000, 1_000_000, 5_000_000)
        )
        writes, reads = (2_000, 20_000) if args.quick else (10_000, 100_000)
        size_cases(sizes, (1, 10, 1000), max(2, rounds - 2), writes, reads)
    if args.only in (None, "memory"):
        memory_cases((1, 10, 1000), 1_000_000)


if __name__ == "__main__":
    options.run(main)
