"""Two builds of kestrova in one process, case by case, in alternating rounds.

Run: python bench/compare_builds.py A.so B.so [--rounds R] [--size N] [--flow OPS]

A and B are built extension files (kestrova.cpython-311-*.so), for example the
installed one of two virtual environments. Each is copied aside and imported
under the name kestrova from its own path, so both live in this process and
every round times A and B back to back (in turns A-B and B-A). The figure to
read is B/A per round: a slow spell of a shared machine hits both alike.

Cases: Order(...) + add and create_order + add of non-crossing orders, add with
one fill, and cancel of random resting orders, each in a book of --size resting
orders (200,000); with --flow OPS, also the seeded mixed flow of bench/flow.py.
"""

import argparse
import importlib.machinery
import importlib.util
import random
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import options
import timing

CALLS = 20_000
TOP = 1_000_000  # best bid in ticks; asks start one tick above
LEVELS = 1_000


def load(path, label):
    """The module of one build, imported from a copy of its own."""
    folder = Path(tempfile.mkdtemp(prefix=f"kestrova-{label}-"))
    copy = folder / Path(path).name
    shutil.copy(path, copy)
    loader = importlib.machinery.ExtensionFileLoader("kestrova", str(copy))
    spec = importlib.util.spec_from_file_location("kestrova", copy, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules.pop("kestrova", None)
    return module


def resting_book(k, size):
    """A two-sided book of `size` resting orders over LEVELS levels a side."""
    rng = random.Random(1)
    book = k.OrderBook()
    buy, sell = k.OrderType.Buy, k.OrderType.Sell
    bids = []
    for _ in range(size // 2):
        bid = k.Order(buy, TOP - rng.randrange(LEVELS), float(rng.randrange(1, 10)))
        book.add(bid)
        bids.append(bid)
        book.add(k.Order(sell, TOP + 1 + rng.randrange(LEVELS), 1.0))
    return book, bids


def cases_for(k, size, rng):
    book, bids = resting_book(k, size)
    buy, sell = k.OrderType.Buy, k.OrderType.Sell
    ticks = [TOP - (i * 7919) % LEVELS for i in range(CALLS)]

    def entry(make, prices):
        # orders made and added one by one, then taken out again
        def run():
            made = []

            def loop(make=make, add=book.add, keep=made.append, prices=prices):
                for price in prices:
                    order = make(buy, price, 1.0)
                    keep(order)
                    add(order)

            elapsed = timing.timed(loop)
            for order in made:
                book.cancel(order.id)
            return elapsed / CALLS

        return run

    def one_fill():
        sells = [k.Order(sell, 1, 1.0) for _ in range(CALLS)]

        def loop(add=book.add, sells=sells):
            for order in sells:
                add(order)

        elapsed = timing.timed(loop)
        for _ in range(CALLS):  # the depth taken, put back at random levels
            book.add(k.Order(buy, TOP - rng.randrange(LEVELS), 1.0))
        return elapsed / CALLS

    def cancel():
        picked = rng.sample(range(len(bids)), CALLS)
        ids = [bids[i].id for i in picked]

        def loop(cancel=book.cancel, ids=ids):
            for order_id in ids:
                cancel(order_id)

        elapsed = timing.timed(loop)
        for i in picked:
            book.add(bids[i])
        return elapsed / CALLS

    return {
        "Order(...) + add": entry(k.Order, ticks),
        "create_order + add": entry(book.create_order, [t * 0.01 for t in ticks]),
        "add, one fill": one_fill,
        "cancel": cancel,
    }


def flow_case(k, flow_ops):
    import flow

    ops = flow.encode(flow_ops, k.OrderType.Buy, k.OrderType.Sell)
    return lambda: flow.replay(ops, k.Order, k.OrderBook()) / len(ops)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a", help="build A: a kestrova extension file")
    parser.add_argument("b", help="build B: a kestrova extension file")
    parser.add_argument("--rounds", type=options.positive_int, default=9)
    # each round cancels CALLS distinct resting bids, and half the book is bids
    parser.add_argument("--size", type=options.at_least(2 * CALLS), default=200_000)
    parser.add_argument(
        "--flow", type=options.positive_int, metavar="OPS", help="also the mixed flow"
    )
    args = parser.parse_args()

    builds = {}
    for label, path in (("A", args.a), ("B", args.b)):
        try:
            builds[label] = load(path, label.lower())
        except (OSError, ImportError) as error:
            reason = error.strerror if isinstance(error, OSError) else error
            parser.error(f"build {label}: {path}: not a loadable kestrova module ({reason})")
    cases = {}
    for label, k in builds.items():
        rng = random.Random(5)
        for name, run in cases_for(k, args.size, rng).items():
            cases.setdefault(name, {})[label] = run
    if args.flow:
        import flow

        flow_ops, _ = flow.generate(args.flow, 1)
        cases["mixed flow"] = {label: flow_case(k, flow_ops) for label, k in builds.items()}

    samples = {(name, label): [] for name in cases for label in builds}
    for round_number in range(args.rounds):
        order = ("A", "B") if round_number % 2 == 0 else ("B", "A")
        for name, runs in cases.items():
            for label in order:
                samples[name, label].append(runs[label]())

    print(f"Two builds in one process: {timing.machine()}")
    print(f"A: {args.a}\nB: {args.b}")
    print(f"book of {args.size:,} resting orders; {args.rounds} rounds; median (min-max)")
    print()
    rows = []
    for name in cases:
        a, b = samples[name, "A"], samples[name, "B"]
        ratios = [y / x for x, y in zip(a, b, strict=True)]
        ratio = f"{statistics.median(ratios):.3f} ({min(ratios):.2f}-{max(ratios):.2f})"
        rows.append((name, timing.ns_cell(a), timing.ns_cell(b), ratio))
    print(timing.table(("ns per call (flow: per operation)", "A", "B", "B/A per round"), rows))


if __name__ == "__main__":
    options.run(main)
