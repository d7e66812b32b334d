"""Random sequences of book operations checked against a plain Python model of the book."""

import math
import struct
import time
import uuid
from decimal import ROUND_HALF_UP, Decimal

from hypothesis import settings, strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, rule

from kestrova import Order, OrderBook, OrderStatus, OrderType

BUY, SELL = "Buy", "Sell"
SIDES = {BUY: OrderType.Buy, SELL: OrderType.Sell}
OPEN, FILLED = "Open", "Filled"
STATUSES = {OPEN: OrderStatus.Open, FILLED: OrderStatus.Filled}

TICKS = st.integers(min_value=95, max_value=105)
QUANTITIES = st.sampled_from([0.1, 0.2, 0.25, 0.3, 1.0, 2.5, 3.0])
SIDE = st.sampled_from([BUY, SELL])


def bits(x):
    return struct.pack("<d", x)


def fixed(x, digits):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    # format() rounds the exact binary value, ties to even, and keeps the sign of -0.0.
    return format(x, f".{digits}f")


def shortest(x):
    if math.isnan(x) or math.isinf(x):
        return fixed(x, 0)
    if x == int(x):
        return ("-" if math.copysign(1.0, x) < 0 else "") + str(abs(int(x)))
    # repr gives the shortest round-tripping digits; Decimal lays them out without exponent.
    return format(Decimal(repr(x)), "f")


def record_of(order):
    return {
        "id": order.id,
        "side": BUY if order.side == OrderType.Buy else SELL,
        "ticks": order.price_in_ticks,
        "qty": order.quantity,
        "status": OPEN if order.status == OrderStatus.Open else FILLED,
        "ts": order.timestamp,
    }


def observed(order):
    return {
        "id": order.id,
        "side": BUY if order.side == OrderType.Buy else SELL,
        "ticks": order.price_in_ticks,
        "qty": bits(order.quantity),
        "status": OPEN if order.status == OrderStatus.Open else FILLED,
        "ts": order.timestamp,
    }


def expected(record):
    return dict(record, qty=bits(record["qty"]))


class ModelBook:
    def __init__(self, tick):
        self.tick = tick
        self.orders = {}
        self.levels = {BUY: {}, SELL: {}}

    def add(self, incoming):
        incoming = dict(incoming)
        own, opposite = (BUY, SELL) if incoming["side"] == BUY else (SELL, BUY)
        book = self.levels[opposite]
        fills = []
        while incoming["status"] == OPEN and book:
            best = min(book) if incoming["side"] == BUY else max(book)
            if incoming["side"] == BUY and incoming["ticks"] < best:
                break
            if incoming["side"] == SELL and incoming["ticks"] > best:
                break
            resting = book[best].pop(0)
            q = min(resting["qty"], incoming["qty"])
            resting["qty"] -= q
            incoming["qty"] -= q
            if resting["qty"] <= 0.0:
                resting["status"] = FILLED
            if incoming["qty"] <= 0.0:
                incoming["status"] = FILLED
            buy, sell = (incoming, resting) if incoming["side"] == BUY else (resting, incoming)
            fills.append((bits(q), bits(float(sell["ticks"]) * self.tick), buy["id"], sell["id"]))
            if resting["status"] == OPEN:
                book[best].insert(0, resting)
            elif not book[best]:
                del book[best]
            self.orders[resting["id"]] = dict(resting)
            self.orders[incoming["id"]] = dict(incoming)
        if incoming["status"] == OPEN:
            self.levels[own].setdefault(incoming["ticks"], []).append(dict(incoming))
        self.orders[incoming["id"]] = dict(incoming)
        return fills

    def cancel(self, order_id):
        record = self.orders.pop(order_id, None)
        if record is None:
            return False
        levels = self.levels[record["side"]]
        queue = [r for r in levels.get(record["ticks"], []) if r["id"] != order_id]
        if queue:
            levels[record["ticks"]] = queue
        else:
            levels.pop(record["ticks"], None)
        return True

    def resting(self, side):
        return [r for ticks in sorted(self.levels[side]) for r in self.levels[side][ticks]]

    def best(self, side):
        levels = self.levels[side]
        if not levels:
            return None
        ticks = max(levels) if side == BUY else min(levels)
        return ticks, levels[ticks][0]["qty"]

    def volume(self, side):
        total = -0.0
        for record in self.resting(side):
            total += record["qty"]
        return total

    def spread(self):
        bid, ask = self.best(BUY), self.best(SELL)
        if bid is None or ask is None:
            return None
        return float(ask[0] - bid[0]) * self.tick

    def summary(self):
        def part(best):
            if best is None:
                return "None"
            return fixed(best[1], 2) + " @ " + shortest(float(best[0]) * self.tick)

        spread = self.spread()
        return (
            "Best Bid: " + part(self.best(BUY))
            + ", Best Ask: " + part(self.best(SELL))
            + " (Spread: " + ("None" if spread is None else fixed(spread, 4))
            + ")\nOpen Buy Volume: " + fixed(self.volume(BUY), 2)
            + ", Open Sell Volume: " + fixed(self.volume(SELL), 2)
        )


def ticks_for(price, tick):
    # Divide as floats, then round the exact quotient half away from zero.
    return int(Decimal(price / tick).quantize(Decimal(1), rounding=ROUND_HALF_UP))


class BookMachine(RuleBasedStateMachine):
    orders = Bundle("orders")

    @initialize(tick=st.sampled_from([0.01, 0.5, 1.0, 0.1]))
    def make_book(self, tick):
        self.book = OrderBook(tick)
        self.model = ModelBook(tick)
        self.known_ids = set()

    @rule(target=orders, side=SIDE, ticks=TICKS, qty=QUANTITIES)
    def construct(self, side, ticks, qty):
        order = Order(SIDES[side], ticks, qty)
        self.known_ids.add(order.id)
        return order

    @rule(target=orders, side=SIDE, ticks=TICKS, offset=st.sampled_from([-0.4, 0.0, 0.3, 0.5]),
          qty=QUANTITIES)
    def create(self, side, ticks, offset, qty):
        price = (ticks + offset) * self.model.tick
        order = self.book.create_order(SIDES[side], price, qty)
        assert order.price_in_ticks == ticks_for(price, self.model.tick)
        assert (order.quantity, order.status) == (qty, OrderStatus.Open)
        self.known_ids.add(order.id)
        return order

    @rule(order=orders)
    def add(self, order):
        incoming = record_of(order)
        before = time.time_ns()
        fills = self.book.add(order)
        after = time.time_ns()
        got = [(bits(f.quantity), bits(f.price), f.buy_id, f.sell_id) for f in fills]
        assert got == self.model.add(incoming)
        assert all(before <= f.timestamp <= after for f in fills)
        # The caller's object is never changed by the book.
        assert record_of(order) == incoming

    @rule(order=orders, other=orders)
    def fill_outside_book(self, order, other):
        # Changes only the Python objects; the book learns of it through add or update_order.
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
        self.model.orders[order.id] = record_of(order)

    @invariant()
    def views_agree(self):
        if not hasattr(self, "book"):
            return
        model = self.model
        for side, listed in ((BUY, self.book.buy_orders), (SELL, self.book.sell_orders)):
            assert [observed(o) for o in listed] == [expected(r) for r in model.resting(side)]
        for side, best in ((BUY, self.book.best_bid()), (SELL, self.book.best_ask())):
            want = model.best(side)
            assert (best if best is None else (best[0], bits(best[1]))) == (
                want if want is None else (want[0], bits(want[1])))
        assert bits(self.book.buy_volume()) == bits(model.volume(BUY))
        assert bits(self.book.sell_volume()) == bits(model.volume(SELL))
        spread, want = self.book.spread(), model.spread()
        assert (spread is None) == (want is None)
        if want is not None:
            assert bits(spread) == bits(want)
        assert repr(self.book) == model.summary()

    @invariant()
    def lookups_agree(self):
        if not hasattr(self, "book"):
            return
        for order_id in self.known_ids:
            stored = self.book.get_order(order_id)
            record = self.model.orders.get(order_id)
            if record is None:
                assert stored is None
            else:
                assert observed(stored) == expected(record)


BookMachine.TestCase.settings = settings(max_examples=100, stateful_step_count=40, deadline=None)
TestBookModel = BookMachine.TestCase
