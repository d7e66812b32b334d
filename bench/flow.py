"""A seeded mixed order flow, replayed from Python against the call floors.

Run:
    python bench/flow.py                          # generate (--ops, --seed) and replay
    python bench/flow.py --write flow.txt         # write the flow file and stop
    python bench/flow.py --flow flow.txt          # replay a flow file
    python bench/flow.py --quick                  # 200,000 operations, 3 rounds

The flow file (one operation a line, read by the C++ core benchmarks too):

    # kestrova-flow 1 seed=<S> ops=<N>
    A <side B|S> <price_in_ticks> <quantity>    create an order and add it
    C <k>                                       cancel the order of the k-th A line (0-based)
    Q                                           read the best bid and the best ask

Default mix: 60% A (a tenth of them marketable), 30% C of live orders, 10% Q.
A small matching model follows the flow as it is made, so every cancel targets
an order resting at that moment and marketable orders know what they cross.
"""

import argparse
import bisect
import math
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import floor_build
import options
import timing

from kestrova import Order, OrderBook, OrderType

ADD, CANCEL, QUOTE = 0, 1, 2
BUY, SELL = "B", "S"
MID = 1_000_000  # best bid of a full book, in ticks; the best ask is one tick above
DEPTH = 500  # non-marketable orders land uniformly within this many ticks of the mid
JOIN = 0.2  # share of non-marketable orders joining their own touch: keeps the touch deep
MAX_QUANTITY = 10  # resting quantities are whole numbers 1..MAX_QUANTITY
MAX_MARKETABLE = 20  # marketable quantities 1..MAX_MARKETABLE: about two resting orders' worth


class Model:
    """The price-time priority book in plain Python: what rests, what fills."""

    def __init__(self):
        self.levels = {
            BUY: {},
            SELL: {},
        }  # side -> price -> {k: quantity}, insertion order = time
        self.prices = {BUY: [], SELL: []}  # side -> the level prices, ascending
        self.where = {}  # k -> (side, price) of every resting order
        self.live = []  # resting k, for picking a cancel at random
        self.slot = {}  # k -> index in live
        self.fills = 0
        self.whole_fills = 0  # fills that used up the resting order
        self.filled = 0.0
        self.cancels = 0
        self.added = 0

    def best(self, side):
        prices = self.prices[side]
        if not prices:
            return None
        return prices[-1] if side == BUY else prices[0]

    def _drop_level(self, side, price):
        del self.levels[side][price]
        prices = self.prices[side]
        del prices[bisect.bisect_left(prices, price)]

    def _forget(self, k):
        del self.where[k]
        index = self.slot.pop(k)
        last = self.live.pop()
        if last != k:
            self.live[index] = last
            self.slot[last] = index

    def add(self, side, price, quantity):
        k = self.added
        self.added += 1
        other = SELL if side == BUY else BUY
        opposite = self.levels[other]
        while quantity > 0 and opposite:
            best = self.best(other)
            if (side == BUY and price < best) or (side == SELL and price > best):
                break
            queue = opposite[best]
            front = next(iter(queue))
            traded = min(quantity, queue[front])
            self.fills += 1
            self.filled += traded
            quantity -= traded
            if queue[front] > traded:
                queue[front] -= traded
            else:
                self.whole_fills += 1
                del queue[front]
                self._forget(front)
                if not queue:
                    self._drop_level(other, best)
        if quantity > 0:
            own = self.levels[side]
            if price not in own:
                own[price] = {}
                bisect.insort(self.prices[side], price)
            own[price][k] = quantity
            self.where[k] = (side, price)
            self.slot[k] = len(self.live)
            self.live.append(k)
        return k

    def cancel(self, k):
        side, price = self.where[k]
        queue = self.levels[side][price]
        del queue[k]
        if not queue:
            self._drop_level(side, price)
        self._forget(k)
        self.cancels += 1

    def summary(self):
        return {
            "fills": self.fills,
            "filled": self.filled,
            "cancels": self.cancels,
            "best_bid": self.best(BUY),
            "best_ask": self.best(SELL),
            "resting": len(self.live),
        }


def generate(ops, seed):
    """[(ADD, side, price, quantity) | (CANCEL, k) | (QUOTE,)] and the model after them."""
    rng = random.Random(seed)
    model = Model()
    flow = []
    for _ in range(ops):
        draw = rng.random()
        if draw < 0.6:
            side = BUY if rng.random() < 0.5 else SELL
            other = SELL if side == BUY else BUY
            best_other = model.best(other)
            if best_other is not None and rng.random() < 0.1:
                # marketable: at or a little through the opposite touch
                step = rng.randrange(3)
                price = best_other + step if side == BUY else max(1, best_other - step)
                quantity = rng.randint(1, MAX_MARKETABLE)
            else:
                # around a fixed mid, never through the opposite touch; some join the own touch
                own = model.best(side)
                depth = int(rng.random() * DEPTH)
                if own is not None and rng.random() < JOIN:
                    depth = MID - own if side == BUY else own - MID - 1
                if side == BUY:
                    price = MID - depth
                    if best_other is not None and price >= best_other:
                        price = best_other - 1
                else:
                    price = MID + 1 + depth
                    if best_other is not None and price <= best_other:
                        price = best_other + 1
                quantity = rng.randint(1, MAX_QUANTITY)
            model.add(side, price, quantity)
            flow.append((ADD, side, price, quantity))
        elif draw < 0.9 and model.live:
            k = model.live[int(rng.random() * len(model.live))]
            model.cancel(k)
            flow.append((CANCEL, k))
        else:
            flow.append((QUOTE,))
    return flow, model


def write(flow, seed, path):
    try:
        _write(flow, seed, path)
    except OSError as error:
        # a failed write names no file by itself
        raise OSError(error.errno, error.strerror, path) from None


def _write(flow, seed, path):
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(f"# kestrova-flow 1 seed={seed} ops={len(flow)}\n")
        lines = []
        for op in flow:
            if op[0] == ADD:
                lines.append(f"A {op[1]} {op[2]} {op[3]}\n")
            elif op[0] == CANCEL:
                lines.append(f"C {op[1]}\n")
            else:
                lines.append("Q\n")
        out.writelines(lines)


HEADER = "# kestrova-flow 1"


class NotAFlowFile(Exception):
    """A file that is not a flow file at all (no header, not text)."""


class FlowError(options.BadInput):
    """A line of a flow file that cannot be replayed."""

    def __init__(self, path, line, reason):
        super().__init__(f"{path}:{line}: {reason}")


def _whole(text, name):
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"{name} {text!r} is not a whole number") from None


def _operation(parts):
    """The operation of one split line, or ValueError saying what is wrong with it."""
    kind = parts[0]
    if kind == "A":
        if len(parts) != 4:
            raise ValueError("an A line is 'A <B|S> <price_in_ticks> <quantity>'")
        side, ticks, amount = parts[1:]
        if side not in (BUY, SELL):
            raise ValueError(f"side {side!r} is neither B nor S")
        price = _whole(ticks, "price_in_ticks")
        try:
            quantity = float(amount)
        except ValueError:
            quantity = math.nan
        if price <= 0:
            raise ValueError(f"price_in_ticks {price} is not positive")
        if not (quantity > 0 and math.isfinite(quantity)):
            raise ValueError(f"quantity {amount!r} is not a positive finite number")
        return ADD, side, price, int(quantity) if quantity.is_integer() else quantity
    if kind == "C":
        if len(parts) != 2:
            raise ValueError("a C line is 'C <k>'")
        return CANCEL, _whole(parts[1], "k")
    if kind == "Q":
        if len(parts) != 1:
            raise ValueError("a Q line has nothing after the Q")
        return (QUOTE,)
    raise ValueError(f"unknown operation {kind!r} (A, C or Q)")


def read_lines(path):
    """(line number, operation) for each operation of a flow file.

    NotAFlowFile when the first line is not the header, FlowError for a line
    that is not an operation."""
    with open(path, "rb") as source:
        first = source.readline()
        if not first.startswith(HEADER.encode()):
            raise NotAFlowFile(f"{path}: not a flow file (the first line is not '{HEADER} ...')")
        for number, raw in enumerate(source, start=2):
            try:
                line = raw.decode("ascii")
            except UnicodeDecodeError:
                raise FlowError(path, number, "not ASCII text") from None
            if line.startswith("#") or not line.strip():
                continue
            try:
                yield number, _operation(line.split())
            except ValueError as error:
                raise FlowError(path, number, str(error)) from None


def read(path):
    """The operations of a flow file, as generate() gives them."""
    return [op for _, op in read_lines(path)]


def load(path, on_quote=None):
    """The operations of a flow file and the model after them; on_quote(model) at each Q.

    Every cancel must name an order resting at that point, as generate() makes them."""
    flow, model = [], Model()
    number = 1
    for number, op in read_lines(path):
        if op[0] == ADD:
            model.add(op[1], op[2], op[3])
        elif op[0] == CANCEL:
            if op[1] not in model.where:
                if 0 <= op[1] < model.added:
                    why = "is no longer resting (filled or cancelled)"
                else:
                    why = f"does not exist ({model.added} A lines so far)"
                raise FlowError(path, number, f"C {op[1]}: that order {why}")
            model.cancel(op[1])
        elif on_quote is not None:
            on_quote(model)
        flow.append(op)
    if not flow:
        raise FlowError(path, number, "no operations after the header")
    return flow, model


def load_option(parser, path, on_quote=None):
    """load() for a --flow option: a missing or foreign file is a usage error (exit code 2)."""
    try:
        return load(path, on_quote)
    except OSError as error:
        parser.error(f"--flow {path}: {error.strerror}")
    except NotAFlowFile as error:
        parser.error(f"--flow {error}")


def replay_model(flow):
    model = Model()
    for op in flow:
        if op[0] == ADD:
            model.add(op[1], op[2], op[3])
        elif op[0] == CANCEL:
            model.cancel(op[1])
    return model


def shape(model):
    """Resting orders, levels, and orders per level within 10 ticks of each touch."""
    levels = sum(len(side) for side in model.levels.values())
    near = []
    for side in (BUY, SELL):
        best = model.best(side)
        for price, queue in model.levels[side].items():
            if best is not None and abs(price - best) < 10:
                near.append(len(queue))
    per_level = sum(near) / len(near) if near else 0
    return (
        f"{len(model.live)} resting over {levels} levels, {per_level:.0f} per level near the touch"
    )


def counts(flow):
    kinds = {ADD: 0, CANCEL: 0, QUOTE: 0}
    for op in flow:
        kinds[op[0]] += 1
    return kinds


def encode(flow, buy, sell):
    """Operations with the side already as the engine's own value."""
    sides = {BUY: buy, SELL: sell}
    return [(ADD, sides[op[1]], op[2], float(op[3])) if op[0] == ADD else op for op in flow]


def replay(ops, make_order, book):
    """The whole flow in one loop: nanoseconds for all of it."""
    add, cancel, best_bid, best_ask = (
        book.add,
        book.cancel,
        book.best_bid,
        book.best_ask,
    )
    orders = []
    keep = orders.append

    def loop():
        for op in ops:
            kind = op[0]
            if kind == 0:
                order = make_order(op[1], op[2], op[3])
                keep(order)
                add(order)
            elif kind == 1:
                cancel(orders[op[1]].id)
            else:
                best_bid()
                best_ask()

    return timing.timed(loop)


def replay_by_kind(ops, make_order, book):
    """Each call bracketed by the clock: {kind: [total ns, calls]}, bracket cost not removed."""
    add, cancel, best_bid, best_ask = (
        book.add,
        book.cancel,
        book.best_bid,
        book.best_ask,
    )
    clock = timing.clock
    orders = []
    keep = orders.append
    totals = {
        "create": [0, 0],
        "add, rests": [0, 0],
        "add, fills": [0, 0],
        "cancel": [0, 0],
        "best_bid+best_ask": [0, 0],
    }
    create, rests, fills, cancels, quotes = (totals[name] for name in totals)

    def loop():
        for op in ops:
            kind = op[0]
            if kind == 0:
                t0 = clock()
                order = make_order(op[1], op[2], op[3])
                t1 = clock()
                made = add(order)
                t2 = clock()
                keep(order)
                create[0] += t1 - t0
                create[1] += 1
                into = fills if made else rests
                into[0] += t2 - t1
                into[1] += 1
            elif kind == 1:
                order_id = orders[op[1]].id
                t0 = clock()
                cancel(order_id)
                t1 = clock()
                cancels[0] += t1 - t0
                cancels[1] += 1
            else:
                t0 = clock()
                best_bid()
                best_ask()
                t1 = clock()
                quotes[0] += t1 - t0
                quotes[1] += 1

    timing.timed(loop)
    return totals


def bracket_cost(n=200_000):
    """ns between two clock reads with nothing in between: what each bracket adds."""
    clock = timing.clock
    total = 0
    for _ in range(n):
        t0 = clock()
        t1 = clock()
        total += t1 - t0
    return total / n


def entry(make_book, n, rng_seed=7):
    """create_order + add of non-crossing buys into an empty book: ns per order."""
    rng = random.Random(rng_seed)
    prices = [(MID - rng.randrange(1000)) / 100 for _ in range(n)]

    def run(buy):
        book = make_book()
        create, add = book.create_order, book.add

        def loop():
            for price in prices:
                add(create(buy, price, 1.0))

        return timing.timed(loop) / n

    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ops", type=options.positive_int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--write", metavar="FILE", help="write the flow file and stop")
    parser.add_argument(
        "--flow", metavar="FILE", help="replay this flow file instead of generating one"
    )
    parser.add_argument("--rounds", type=options.positive_int, default=5)
    parser.add_argument("--quick", action="store_true", help="200,000 operations, 3 rounds")
    args = parser.parse_args()
    if args.quick:
        args.ops, args.rounds = 200_000, 3

    if args.flow:
        flow, model = load_option(parser, args.flow)
        source = args.flow
    else:
        flow, model = generate(args.ops, args.seed)
        source = f"generated, seed={args.seed} ops={args.ops}"
    if args.write:
        write(flow, args.seed, args.write)
        print(f"wrote {args.write}: {len(flow)} operations; at the end {shape(model)}")
        return

    floor = floor_build.load()
    ops = encode(flow, OrderType.Buy, OrderType.Sell)
    kinds = counts(flow)
    n_entry = 50_000 if args.quick else 200_000

    def flow_of(make_order, make_book):
        return lambda: replay(ops, make_order, make_book()) / len(ops)

    def by_kind_of(make_order, make_book):
        return lambda: replay_by_kind(ops, make_order, make_book())

    runs = {
        "kestrova": flow_of(Order, OrderBook),
        "floor": flow_of(floor.OrderByNew, floor.OrderBook),
        "floor, vectorcall Order": flow_of(floor.Order, floor.OrderBook),
        "entry kestrova": lambda: entry(OrderBook, n_entry)(OrderType.Buy),
        "entry floor": lambda: entry(floor.OrderBook, n_entry)(OrderType.Buy),
        "kinds kestrova": by_kind_of(Order, OrderBook),
        "kinds floor": by_kind_of(floor.OrderByNew, floor.OrderBook),
        "bracket": bracket_cost,
    }
    samples = timing.interleave(runs, args.rounds)

    print(f"Mixed flow replayed from Python: {timing.machine()}")
    print(f"kestrova: {timing.kestrova_build()}")
    print(
        f"flow: {source}; {kinds[ADD]} A, {kinds[CANCEL]} C, {kinds[QUOTE]} Q; at the end {shape(model)}"
    )
    print(f"model: {model.fills} fills, {model.filled:g} filled, {model.cancels} cancels")
    print(f"{args.rounds} interleaved rounds; median (min-max)")
    print()
    overall = [
        (
            "whole flow, ns per operation",
            timing.ns_cell(samples["kestrova"]),
            timing.ns_cell(samples["floor"]),
        ),
    ]
    ratios = [a / b for a, b in zip(samples["kestrova"], samples["floor"], strict=False)]
    ratio, low, high = timing.spread(ratios)
    overall[0] += (f"{ratio:.2f} ({low:.2f}-{high:.2f})",)
    vector_floor = samples["floor, vectorcall Order"]
    ratios = [a / b for a, b in zip(samples["kestrova"], vector_floor, strict=False)]
    ratio, low, high = timing.spread(ratios)
    overall.append(
        (
            "  against a vectorcall Order floor",
            "",
            timing.ns_cell(vector_floor),
            f"{ratio:.2f} ({low:.2f}-{high:.2f})",
        )
    )

    brackets = samples["bracket"]
    bracket = timing.spread(brackets)[0]

    def per_call(kind_samples, name):
        # each round less that round's own bracket cost
        return [
            (round_totals[name][0] - round_totals[name][1] * cost) / round_totals[name][1]
            for round_totals, cost in zip(kind_samples, brackets, strict=False)
            if round_totals[name][1]
        ]

    rows = []
    for name in samples["kinds kestrova"][0]:
        ours = per_call(samples["kinds kestrova"], name)
        floors = per_call(samples["kinds floor"], "add, rests" if name == "add, fills" else name)
        calls = samples["kinds kestrova"][0][name][1]
        if not ours:
            continue
        ratio = f"{timing.spread(ours)[0] / timing.spread(floors)[0]:.2f}" if floors else ""
        rows.append(
            (
                f"{name} ({calls} calls)",
                timing.ns_cell(ours),
                timing.ns_cell(floors) if floors else "",
                ratio,
            )
        )
    print(timing.table(("", "kestrova", "floor calls", "ratio"), overall + rows))
    print()
    print(
        f"Per kind: each call bracketed by two clock reads; the bracket's own cost (median {bracket:.0f} ns,"
    )
    print("measured in every round) is subtracted round by round.")
    print(
        "The floor replay has no fills (its add returns []), so all its adds count as 'add, rests';"
    )
    print("'add, fills' is set against that figure. 'cancel' excludes reading the order's id.")
    print("The floor's Order(...) is called as kestrova's is, through tp_new with an argument")
    print("tuple; the second floor row calls a floor Order that takes the vectorcall protocol.")
    print()
    entry_ours = [1e3 / ns for ns in samples["entry kestrova"]]
    entry_floor = [1e3 / ns for ns in samples["entry floor"]]
    print(
        timing.table(
            (
                "order entry: create_order + add, non-crossing",
                "M orders/s",
                "ns per order",
            ),
            [
                (
                    f"kestrova ({n_entry} orders into an empty book)",
                    _rate(entry_ours),
                    timing.ns_cell(samples["entry kestrova"]),
                ),
                (
                    "floor calls",
                    _rate(entry_floor),
                    timing.ns_cell(samples["entry floor"]),
                ),
            ],
        )
    )


def _rate(values):
    median, low, high = timing.spread(values)
    return f"{median:.2f} ({low:.2f}-{high:.2f})"


if __name__ == "__main__":
    options.run(main)
