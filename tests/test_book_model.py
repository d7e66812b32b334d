"""Random sequences of book operations checked against a plain Python model of the book."""

import struct
import time
import uuid
from decimal import ROUND_HALF_UP, Decimal

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, rule

from kestrova import Order, OrderBook, OrderStatus, OrderType

SIDE = st.sampled_from([OrderType.Buy, OrderType.Sell])
TICKS = st.integers(min_value=95, max_value=105)
# 2**52 lets totals pass 2**53, where a running sum of whole quantities stops being exact.
QUANTITIES = st.sampled_from([0.1, 0.2, 0.25, 0.3, 1.0, 2.5, 3.0, 2.0**52])


def exact(v):
    """Floats as their bytes, so that comparisons are bit for bit."""
    if isinstance(v, float):
        return struct.pack("<d", v)
    if isinstance(v, (list, tuple)):
        return [exact(x) for x in v]
    return {k: exact(x) for k, x in v.items()} if isinstance(v, dict) else v


def record(o):
    return (
        None
        if o is None
        else dict(
            id=o.id,
            buy=o.side == OrderType.Buy,
            ticks=o.price_in_ticks,
            qty=o.quantity,
            open=o.status == OrderStatus.Open,
            ts=o.timestamp,
        )
    )


def shortest(x):
    return str(int(x)) if x == int(x) else format(Decimal(repr(x)), "f")


class ModelBook:
    def __init__(self, tick):
        self.tick, self.orders, self.levels = tick, {}, {True: {}, False: {}}

    def add(self, incoming):
        levels, fills = self.levels[not incoming["buy"]], []
        while incoming["open"] and levels:
            best = min(levels) if incoming["buy"] else max(levels)
            if (incoming["ticks"] < best) if incoming["buy"] else (incoming["ticks"] > best):
                break
            resting = levels[best].pop(0)
            q = min(resting["qty"], incoming["qty"])
            for r in (resting, incoming):
                r["qty"] -= q
                r["open"] = r["qty"] > 0.0
            buy, sell = (incoming, resting) if incoming["buy"] else (resting, incoming)
            fills.append((q, float(sell["ticks"]) * self.tick, buy["id"], sell["id"]))
            if resting["open"]:
                levels[best].insert(0, resting)
            elif not levels[best]:
                del levels[best]
            self.orders[resting["id"]] = dict(resting)
        if incoming["open"]:
            self.levels[incoming["buy"]].setdefault(incoming["ticks"], []).append(dict(incoming))
        self.orders[incoming["id"]] = dict(incoming)
        return fills

    def cancel(self, order_id):
        r = self.orders.pop(order_id, None)
        if r is not None:
            levels = self.levels[r["buy"]]
            levels[r["ticks"]] = [q for q in levels.get(r["ticks"], []) if q["id"] != order_id]
            if not levels[r["ticks"]]:
                del levels[r["ticks"]]
        return r is not None

    def resting(self, buy):
        return [r for ticks in sorted(self.levels[buy]) for r in self.levels[buy][ticks]]

    def best(self, buy):
        levels = self.levels[buy]
        if levels:
            ticks = max(levels) if buy else min(levels)
            return ticks, levels[ticks][0]["qty"]

    def volume(self, buy):
        total = -0.0
        for r in self.resting(buy):
            total += r["qty"]
        return total

    def spread(self):
        bid, ask = self.best(True), self.best(False)
        return None if bid is None or ask is None else float(ask[0] - bid[0]) * self.tick

    def summary(self):
        def part(best):
            return "None" if best is None else f"{best[1]:.2f} @ {shortest(best[0] * self.tick)}"

        spread = self.spread()
        return (
            f"Best Bid: {part(self.best(True))}, Best Ask: {part(self.best(False))} "
            f"(Spread: {'None' if spread is None else format(spread, '.4f')})\n"
            f"Open Buy Volume: {self.volume(True):.2f}, "
            f"Open Sell Volume: {self.volume(False):.2f}"
        )


class BookMachine(RuleBasedStateMachine):
    orders = Bundle("orders")

    @initialize(tick=st.sampled_from([0.01, 0.5, 1.0, 0.1]))
    def make_book(self, tick):
        self.book, self.model, self.known_ids = OrderBook(tick), ModelBook(tick), set()

    @rule(target=orders, side=SIDE, ticks=TICKS, qty=QUANTITIES)
    def construct(self, side, ticks, qty):
        order = Order(side, ticks, qty)
        self.known_ids.add(order.id)
        return order

    @rule(
        target=orders,
        side=SIDE,
        ticks=TICKS,
        qty=QUANTITIES,
        offset=st.sampled_from([-0.4, 0.0, 0.3, 0.5]),
    )
    def create(self, side, ticks, offset, qty):
        price = (ticks + offset) * self.model.tick
        order = self.book.create_order(side, price, qty)
        # The float quotient is rounded half away from zero.
        want = int(Decimal(price / self.model.tick).quantize(Decimal(1), rounding=ROUND_HALF_UP))
        assert (order.price_in_ticks, order.quantity, order.status) == (want, qty, OrderStatus.Open)
        self.known_ids.add(order.id)
        return order

    @rule(order=orders)
    def add(self, order):
        incoming = record(order)
        before = time.time_ns()
        fills = self.book.add(order)
        after = time.time_ns()
        got = [(f.quantity, f.price, f.buy_id, f.sell_id) for f in fills]
        assert exact(got) == exact(self.model.add(dict(incoming)))
        assert all(before <= f.timestamp <= after for f in fills)
        assert record(order) == incoming

    @rule(order=orders, other=orders)
    def fill_outside_book(self, order, other):
        if order is not other:
            order.fill(other, self.model.tick)

    @rule(order=orders)
    def cancel(self, order):
        assert self.book.cancel(order.id) is self.model.cancel(order.id)

    @rule(text=st.sampled_from(["", "x", str(uuid.uuid4())]), order=orders)
    def cancel_unknown(self, text, order):
        for order_id in (text, order.id.upper(), order.id + " "):
            assert self.book.cancel(order_id) is False

    @rule(order=orders)
    def update(self, order):
        assert self.book.update_order(order) is None
        self.model.orders[order.id] = record(order)

    @invariant()
    def views_agree(self):
        book, model = self.book, self.model
        for buy, listed, best, volume in (
            (True, book.buy_orders, book.best_bid(), book.buy_volume()),
            (False, book.sell_orders, book.best_ask(), book.sell_volume()),
        ):
            assert exact([record(o) for o in listed]) == exact(model.resting(buy))
            assert exact(best) == exact(model.best(buy))
            assert exact(volume) == exact(model.volume(buy))
        assert exact(book.spread()) == exact(model.spread())
        assert repr(book) == model.summary()
        for order_id in self.known_ids:
            assert exact(record(book.get_order(order_id))) == exact(model.orders.get(order_id))


BookMachine.TestCase.settings = settings(max_examples=100, stateful_step_count=40, deadline=None)
TestBookModel = BookMachine.TestCase
