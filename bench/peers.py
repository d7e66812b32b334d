"""kestrova against the order books a Python user can install, on one flow.

Run (after `pip install ".[bench]"`):
    python bench/peers.py                    # the default flow: --ops 1000000 --seed 1
    python bench/peers.py --flow flow.txt    # a flow file written by bench/flow.py
    python bench/peers.py --quick            # 100,000 operations, 2 rounds

Each engine sits behind a small adapter that replays the flow the way its own
users drive it: its own order objects or ids, its own add, cancel and
best-price calls, and its own way of reporting trades (returned fills, a trade
callback, a trade log, execution results). After each replay the adapter
reports the work done (fills, filled quantity, cancels, final best prices) and
it is checked against the flow's matching model: an engine that differs is
reported with the difference, and its time is still shown.
"""

import argparse
import gc
import logging
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import flow as flows
import options
import timing

ADD, CANCEL = flows.ADD, flows.CANCEL


def timed_result(loop):
    """(ns, loop's result) with the collector paused."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = timing.clock()
        result = loop()
        return timing.clock() - start, result
    finally:
        if enabled:
            gc.enable()


class Kestrova:
    name = "kestrova"
    package = "kestrova"
    how = "Order(side, ticks, qty) + add -> fills list; cancel(order.id); best_bid(), best_ask()"

    def __init__(self):
        import kestrova

        self.k = kestrova

    def prepare(self, flow):
        return flows.encode(flow, self.k.OrderType.Buy, self.k.OrderType.Sell)

    def replay(self, ops):
        book = self.k.OrderBook()
        make = self.k.Order
        add, cancel, best_bid, best_ask = (
            book.add,
            book.cancel,
            book.best_bid,
            book.best_ask,
        )

        def loop():
            orders = []
            keep = orders.append
            fills = cancels = 0
            filled = 0.0
            for op in ops:
                kind = op[0]
                if kind == 0:
                    order = make(op[1], op[2], op[3])
                    keep(order)
                    made = add(order)
                    if made:
                        fills += len(made)
                        for fill in made:
                            filled += fill.quantity
                elif kind == 1:
                    if cancel(orders[op[1]].id):
                        cancels += 1
                else:
                    best_bid()
                    best_ask()
            return fills, filled, cancels

        elapsed, (fills, filled, cancels) = timed_result(loop)
        bid, ask = book.best_bid(), book.best_ask()
        return elapsed, {
            "fills": fills,
            "filled": filled,
            "cancels": cancels,
            "best_bid": bid and bid[0],
            "best_ask": ask and ask[0],
        }


class OrderlyChaos:
    name = "orderly-chaos"
    package = "orderly_chaos"
    how = (
        "limit(side, id, qty, price) with an on_trade handler; cancel(id); best_buy(), best_sell()"
    )

    def __init__(self):
        import orderly_chaos

        self.oc = orderly_chaos

    def prepare(self, flow):
        sides = {flows.BUY: self.oc.Side.BUY, flows.SELL: self.oc.Side.SELL}
        return [(ADD, sides[op[1]], op[2], int(op[3])) if op[0] == ADD else op for op in flow]

    def replay(self, ops):
        trades = [0, 0]

        def on_trade(trade):
            trades[0] += 1
            trades[1] += trade.quantity

        book = self.oc.LimitOrderBook(on_trade=on_trade)
        limit, cancel, best_buy, best_sell = (
            book.limit,
            book.cancel,
            book.best_buy,
            book.best_sell,
        )

        def loop():
            next_id = 0
            cancels = 0
            for op in ops:
                kind = op[0]
                if kind == 0:
                    limit(op[1], next_id, op[3], op[2])
                    next_id += 1
                elif kind == 1:
                    cancel(op[1])  # raises for an id that does not rest
                    cancels += 1
                else:
                    best_buy()
                    best_sell()
            return cancels

        elapsed, cancels = timed_result(loop)
        result = {
            "fills": trades[0],
            "filled": float(trades[1]),
            "cancels": cancels,
            "best_bid": book.best_buy(),
            "best_ask": book.best_sell(),
        }
        book.close()
        return elapsed, result


class Liquibook:
    name = "liquibook"
    package = "liquibook"
    how = "SimpleOrder + DepthOrderBook.add with an order listener (on_fill, on_cancel); cancel(order); depth()"

    def __init__(self):
        import liquibook

        self.lb = liquibook

    def prepare(self, flow):
        return [(ADD, op[1] == flows.BUY, op[2], int(op[3])) if op[0] == ADD else op for op in flow]

    def replay(self, ops):
        lb = self.lb

        class Listener(lb.OrderListener):
            # as the package's own example does: the listener applies each fill to both orders
            def __init__(self):
                lb.OrderListener.__init__(self)
                self.fills = 0
                self.filled = 0
                self.cancels = 0

            def on_accept(self, order):
                pass

            def on_fill(self, passive, aggressive, quantity, cost):
                passive.fill(quantity, cost, 0)
                aggressive.fill(quantity, cost, 0)
                self.fills += 1
                self.filled += quantity

            def on_cancel(self, order):
                self.cancels += 1

        listener = Listener()
        book = lb.DepthOrderBook()
        book.set_order_listener(listener)
        make = lb.SimpleOrder
        add, cancel, depth = book.add, book.cancel, book.depth

        def loop():
            orders = []
            keep = orders.append
            for op in ops:
                kind = op[0]
                if kind == 0:
                    order = make(op[1], op[2], op[3])
                    keep(order)
                    add(order)
                elif kind == 1:
                    cancel(orders[op[1]])
                else:
                    levels = depth()
                    levels.bids().price()
                    levels.asks().price()
            return orders

        elapsed, orders = timed_result(loop)
        levels = book.depth()
        bid, ask = levels.bids().price(), levels.asks().price()
        result = {
            "fills": listener.fills,
            "filled": float(listener.filled),
            "cancels": listener.cancels,
            "best_bid": bid or None,  # an empty side reads price 0
            "best_ask": ask or None,
        }
        book.set_order_listener(None)
        del orders
        return elapsed, result


class CythonOrderbook:
    name = "cython-orderbook"
    package = "cython_orderbook"
    how = "Order(side, qty, price) + add_limit_order; trade_log; cancel_order(order.order_id); best_bid(), best_ask()"

    def __init__(self):
        import cython_orderbook

        self.cb = cython_orderbook

    def prepare(self, flow):
        sides = {flows.BUY: self.cb.OrderSide.BID, flows.SELL: self.cb.OrderSide.ASK}
        return [(ADD, sides[op[1]], op[2], int(op[3])) if op[0] == ADD else op for op in flow]

    def replay(self, ops):
        book = self.cb.OrderBook()
        make = self.cb.Order
        add, cancel, best_bid, best_ask = (
            book.add_limit_order,
            book.cancel_order,
            book.best_bid,
            book.best_ask,
        )

        def loop():
            orders = []
            keep = orders.append
            cancels = 0
            for op in ops:
                kind = op[0]
                if kind == 0:
                    order = make(op[1], op[3], op[2])
                    keep(order)
                    add(order)
                elif kind == 1:
                    if cancel(orders[op[1]].order_id):
                        cancels += 1
                else:
                    best_bid()
                    best_ask()
            return cancels

        elapsed, cancels = timed_result(loop)
        return elapsed, {
            "fills": len(book.trade_log),
            "filled": float(sum(trade.quantity_filled for trade in book.trade_log)),
            "cancels": cancels,
            "best_bid": book.best_bid(),
            "best_ask": book.best_ask(),
        }


class Fastlob:
    name = "fastlob"
    package = "fastlob"
    how = "process(OrderParams(side, price, qty)) -> result; cancel(result.orderid()); best_bid(), best_ask()"
    # its results count the resting orders a match used up, not a partial fill of the last one
    counts = ("whole_fills", "filled", "cancels", "best_bid", "best_ask")

    def __init__(self):
        import fastlob

        self.fl = fastlob
        # its log lines are warnings for an empty side; a user running a flow silences them
        logging.getLogger().setLevel(logging.ERROR)

    def prepare(self, flow):
        from decimal import Decimal

        sides = {flows.BUY: self.fl.OrderSide.BID, flows.SELL: self.fl.OrderSide.ASK}
        cent = Decimal("0.01")
        return [
            (ADD, sides[op[1]], Decimal(op[2]) * cent, Decimal(int(op[3]))) if op[0] == ADD else op
            for op in flow
        ]

    def replay(self, ops):
        from decimal import Decimal

        book = self.fl.Orderbook(name="bench", start=True)
        params = self.fl.OrderParams
        process, cancel, best_bid, best_ask = (
            book.process,
            book.cancel,
            book.best_bid,
            book.best_ask,
        )
        limit_kind = self.fl.ResultType.LIMIT

        def loop():
            ids = []
            keep = ids.append
            whole = cancels = 0
            filled = Decimal(0)
            for op in ops:
                kind = op[0]
                if kind == 0:
                    result = process(params(op[1], op[2], op[3]))
                    keep(result.orderid())
                    if result.kind() is not limit_kind:  # a limit result carries no executions
                        whole += result.n_orders_matched()
                        filled += sum(result.execprices().values())
                elif kind == 1:
                    if cancel(ids[op[1]]).success():
                        cancels += 1
                else:
                    best_bid()
                    best_ask()
            return whole, filled, cancels

        try:
            elapsed, (whole, filled, cancels) = timed_result(loop)
            bid, ask = book.best_bid(), book.best_ask()
        finally:
            book.stop()
        return elapsed, {
            "whole_fills": whole,
            "filled": float(filled),
            "cancels": cancels,
            "best_bid": bid and int(bid[0] * 100),
            "best_ask": ask and int(ask[0] * 100),
        }


ENGINES = [Kestrova, OrderlyChaos, Liquibook, CythonOrderbook, Fastlob]


def expected(model):
    """What every engine must report for the flow: the matching model's account."""
    result = model.summary()
    result["whole_fills"] = model.whole_fills
    return result


def differences(report, model_counts, keys):
    wrong = []
    for key in keys:
        got, want = report.get(key), model_counts[key]
        if got != want:
            wrong.append(f"{key} {got} (model {want})")
    return wrong


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ops", type=options.positive_int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument(
        "--flow", metavar="FILE", help="replay this flow file instead of generating one"
    )
    parser.add_argument("--rounds", type=options.positive_int, default=3)
    parser.add_argument("--quick", action="store_true", help="100,000 operations, 2 rounds")
    parser.add_argument(
        "--skip",
        action="append",
        default=[],
        choices=[engine.name for engine in ENGINES],
        help="leave an engine out (repeatable)",
    )
    args = parser.parse_args()
    if args.quick:
        args.ops, args.rounds = 100_000, 2

    if args.flow:
        flow, model = flows.load_option(parser, args.flow)
        source = args.flow
    else:
        flow, model = flows.generate(args.ops, args.seed)
        source = f"generated, seed={args.seed} ops={args.ops}"
    want = expected(model)

    engines, missing = [], []
    for engine_class in ENGINES:
        if engine_class.name in args.skip:
            missing.append((engine_class.name, "skipped (--skip)"))
            continue
        try:
            engines.append(engine_class())
        except ImportError as error:
            missing.append((engine_class.name, f"not installed: {error}"))

    prepared = {engine.name: engine.prepare(flow) for engine in engines}
    reports = {}

    def case(engine):
        def run():
            elapsed, report = engine.replay(prepared[engine.name])
            reports.setdefault(engine.name, report)
            return elapsed / len(flow)

        return run

    samples = timing.interleave(
        {engine.name: case(engine) for engine in engines},
        args.rounds,
        progress=lambda text: print(text, file=sys.stderr, flush=True),
    )

    print(f"Peers on one flow: {timing.machine()}")
    print(f"flow: {source}; at the end {flows.shape(model)}")
    print(
        f"model: {want['fills']} fills ({want['whole_fills']} using up the resting order), "
        f"{want['filled']:g} filled, {want['cancels']} cancels, "
        f"best bid {want['best_bid']}, best ask {want['best_ask']}"
    )
    print(f"{args.rounds} interleaved rounds; ns per operation, median (min-max)")
    print()
    base = samples.get("kestrova")
    rows = []
    for engine in engines:
        values = samples[engine.name]
        if base:
            ratio, low, high = timing.spread([a / b for a, b in zip(values, base, strict=False)])
            ratio_cell = f"{ratio:.1f} ({low:.1f}-{high:.1f})"
        else:
            ratio_cell = ""
        keys = getattr(engine, "counts", ("fills", "filled", "cancels", "best_bid", "best_ask"))
        wrong = differences(reports[engine.name], want, keys)
        rows.append(
            (
                engine.name,
                timing.ns_cell(values),
                ratio_cell,
                "same work" if not wrong else "DIFFERS",
            )
        )
    print(timing.table(("engine", "ns per op", "x kestrova", "check"), rows))
    print()
    for engine in engines:
        keys = getattr(engine, "counts", ("fills", "filled", "cancels", "best_bid", "best_ask"))
        wrong = differences(reports[engine.name], want, keys)
        verdict = "agrees on " + ", ".join(keys) if not wrong else "differs: " + "; ".join(wrong)
        print(f"- {engine.name}: {verdict}")
        print(f"    driven by: {engine.how}")
    for name, reason in missing:
        print(f"- {name}: {reason}")


if __name__ == "__main__":
    options.run(main)
