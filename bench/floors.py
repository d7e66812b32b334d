"""kestrova's calls against their floors: ns per call and the ratio to the floor.

Run: python bench/floors.py [--rounds R] [--quick]

The floor of a call is a function of a throwaway C extension (bench/floor_calls.c,
compiled at run time) with the same call shape that does only the work no
implementation can avoid: the call, the result objects, 16 random bytes and a
clock read for a new order, parsing an id to its 16-byte key. Every case is a
replay loop over prepared arguments, timed as a whole; the bare loop (iteration
only) is shown and subtracted from nothing.

Book states: 100,000 resting orders, 500 levels a side, 100 orders a level.
"""

import argparse
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import floor_build
import options
import timing

from kestrova import Order, OrderBook, OrderType

Buy, Sell = OrderType.Buy, OrderType.Sell
TOP_BID = 1_000_000
LEVELS = 500
PER_LEVEL = 100


def resting_book():
    """Two-sided book of 100k resting orders of quantity 1.0; the bid orders, front first."""
    book = OrderBook()
    bids = []
    for level in range(LEVELS):
        for _ in range(PER_LEVEL):
            order = Order(Buy, TOP_BID - level, 1.0)
            book.add(order)
            bids.append(order)
            book.add(Order(Sell, TOP_BID + 1 + level, 1.0))
    return book, bids


def cases(n_writes, n_reads):
    assert n_writes % PER_LEVEL == 0, "the fill case refills whole levels"
    floor = floor_build.load()
    floor_book = floor.OrderBook()
    rng = random.Random(6)
    # one book per kind of write, so that each round puts its own book back exactly
    book, _ = resting_book()
    fill_book, fill_bids = resting_book()
    cancel_book, cancel_bids = resting_book()
    reads = [None] * n_reads

    # add, resting: buys landing near the touch, taken out again after each round
    rest_orders = [Order(Buy, TOP_BID - rng.randrange(50), 1.0) for _ in range(n_writes)]
    rest_ids = [order.id for order in rest_orders]

    def add_rests(add, restore):
        def run():
            def loop(add=add, orders=rest_orders):
                for order in orders:
                    add(order)

            elapsed = timing.timed(loop)
            if restore:
                for order_id in rest_ids:
                    book.cancel(order_id)
            return elapsed / n_writes

        return run

    # add with one fill: each sell of 1.0 takes exactly the front bid of 1.0;
    # new orders every round, as a filled order's id stays known to the book
    def add_fills(add, restore):
        def run():
            fill_orders = [Order(Sell, 1, 1.0) for _ in range(n_writes)]

            def loop(add=add, orders=fill_orders):
                for order in orders:
                    add(order)

            elapsed = timing.timed(loop)
            if restore:
                # the fills emptied the best n_writes / PER_LEVEL levels: fill them again
                taken, kept = fill_bids[:n_writes], fill_bids[n_writes:]
                fresh = [Order(Buy, order.price_in_ticks, 1.0) for order in taken]
                fill_bids[:] = fresh + kept
                for order in fresh:
                    fill_book.add(order)
            return elapsed / n_writes

        return run

    # cancel of resting orders picked at random, put back (at the back) after each round
    def cancel_resting(cancel, restore):
        def run():
            picked = rng.sample(cancel_bids, n_writes)
            ids = [order.id for order in picked]

            def loop(cancel=cancel, ids=ids):
                for order_id in ids:
                    cancel(order_id)

            elapsed = timing.timed(loop)
            if restore:
                for order in picked:
                    cancel_book.add(order)
            return elapsed / n_writes

        return run

    def reads_of(call):
        def run():
            def loop(call=call, reads=reads):
                for _ in reads:
                    call()

            return timing.timed(loop) / n_reads

        return run

    def quantity_reads(obj):
        def run():
            def loop(obj=obj, reads=reads):
                for _ in reads:
                    obj.quantity  # noqa: B018 (the read is what is timed)

            return timing.timed(loop) / n_reads

        return run

    def id_reads(obj):
        def run():
            def loop(obj=obj, reads=reads):
                for _ in reads:
                    obj.id  # noqa: B018 (the read is what is timed)

            return timing.timed(loop) / n_reads

        return run

    prices = [TOP_BID - rng.randrange(1000) for _ in range(n_reads)]
    money = [price / 100 for price in prices]

    def construct(make):
        def run():
            def loop(make=make, side=Buy, prices=prices):
                for price in prices:
                    make(side, price, 1.0)

            return timing.timed(loop) / n_reads

        return run

    def create(make):
        def run():
            def loop(make=make, side=Buy, prices=money):
                for price in prices:
                    make(side, price, 1.0)

            return timing.timed(loop) / n_reads

        return run

    order = Order(Buy, TOP_BID, 5.0)
    floor_order = floor.Order(Buy, TOP_BID, 5.0)

    def bare():
        def loop(reads=reads):
            for _ in reads:
                pass

        return timing.timed(loop) / n_reads

    pairs = [
        ("Order(side, ticks, qty)", construct(Order), construct(floor.Order)),
        # the same call against a floor of kestrova's calling form: tp_new with a tuple
        ("Order(...), floor via tp_new", construct(Order), construct(floor.OrderByNew)),
        (
            "create_order(side, price, qty)",
            create(book.create_order),
            create(floor_book.create_order),
        ),
        (
            "add, rests (book of 100k)",
            add_rests(book.add, True),
            add_rests(floor_book.add, False),
        ),
        (
            "add, one fill",
            add_fills(fill_book.add, True),
            add_fills(floor_book.add, False),
        ),
        (
            "cancel, resting order",
            cancel_resting(cancel_book.cancel, True),
            cancel_resting(floor_book.cancel, False),
        ),
        ("best_bid()", reads_of(book.best_bid), reads_of(floor_book.best_bid)),
        (
            "Order.quantity (property -> float)",
            quantity_reads(order),
            quantity_reads(floor_order),
        ),
        ("Order.id (property -> str)", id_reads(order), id_reads(floor_order)),
    ]
    return pairs, bare


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=options.positive_int, default=9)
    parser.add_argument("--quick", action="store_true", help="fewer rounds and calls")
    args = parser.parse_args()
    rounds = 3 if args.quick else args.rounds
    n_writes, n_reads = (5_000, 50_000) if args.quick else (20_000, 200_000)

    pairs, bare = cases(n_writes, n_reads)
    runs = {"bare loop": bare}
    for name, ours, floor in pairs:
        runs[name] = ours
        runs[name + " [floor]"] = floor
    samples = timing.interleave(runs, rounds)

    rows = []
    for name, _, _ in pairs:
        ours, floor = samples[name], samples[name + " [floor]"]
        ratios = [a / b for a, b in zip(ours, floor, strict=False)]
        median_ratio, low, high = timing.spread(ratios)
        rows.append(
            (
                name,
                timing.ns_cell(ours),
                timing.ns_cell(floor),
                f"{median_ratio:.2f} ({low:.2f}-{high:.2f})",
            )
        )
    rows.append(("bare loop (iteration only)", timing.ns_cell(samples["bare loop"]), "", ""))

    print(f"kestrova calls against their floors: {timing.machine()}")
    print(f"kestrova: {timing.kestrova_build()}")
    print(
        f"{rounds} interleaved rounds; {n_writes} writes / {n_reads} reads per round; ns per call, median (min-max)"
    )
    print()
    print(timing.table(("call", "kestrova ns", "floor ns", "ratio"), rows))
    print()
    print("The ratio is per round (kestrova / floor of the same round), median (min-max).")
    print("Each figure includes the loop; the bare loop's cost is shown, subtracted from nothing.")


if __name__ == "__main__":
    options.run(main)
