"""Every public call, and each of its error paths, leaks neither objects nor references."""

import gc
import operator
import os
import sys
from types import SimpleNamespace

import pytest

from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
# Under the sanitizers the allocator is the system's, so only references can be counted.
REPETITIONS = 2_000 if os.environ.get("KESTROVA_SANITIZED") else 20_000


class Number:  # converts through __index__ and __float__ to what `make` gives or raises
    def __init__(self, make):
        self.make = make

    def convert(self):
        return self.make()

    __index__ = __float__ = convert


def raising(error):
    def make():
        raise error

    return Number(make)


CAUSED = TypeError("bad")
CAUSED.__cause__ = KeyError("root")


def objects():
    book, spare = OrderBook(), OrderBook()
    resting = Order(SELL, 105, 5.0)
    book.add(resting)
    book.add(Order(BUY, 95, 2.0))
    return SimpleNamespace(
        book=book,
        spare=spare,
        resting=resting,
        id=resting.id,
        buy=Order(BUY, 100, 3.0),
        sell=Order(SELL, 100, 3.0),
        low=Order(BUY, 1, 1.0),
        fill=Fill(1.0, 2.0, "b", "s", 3),
    )


def matching(o):
    o.spare.add(o.sell)
    return o.spare.add(o.buy)


def resting_then_cancel(o):
    o.book.add(o.low)
    return o.book.cancel(o.low.id)


def reentering(o):
    return o.buy.fill(o.sell, Number(lambda: o.buy.quantity))


CALLS = {
    "Order": lambda o: Order(BUY, 100, 5.0),
    "Order-keywords": lambda o: Order(side=BUY, price_in_ticks=100, quantity=5.0),
    "Fill": lambda o: Fill(1.0, 2.0, "b", "s", 3),
    "Fill-keywords": lambda o: Fill(quantity=1.0, price=2.0, buy_id="b", sell_id="s", timestamp=3),
    "Fill-index": lambda o: Fill(1.0, Number(lambda: 2.5), "b", "s", Number(lambda: 3)),
    "OrderBook": lambda o: OrderBook(),
    "OrderBook-keywords": lambda o: OrderBook(tick_size=0.5),
    **{
        f"Order.{n}": operator.attrgetter(f"buy.{n}")
        for n in ["id", "side", "price_in_ticks", "quantity", "status", "timestamp"]
    },
    **{
        f"Fill.{n}": operator.attrgetter(f"fill.{n}")
        for n in ["quantity", "price", "buy_id", "sell_id", "timestamp"]
    },
    **{
        f"OrderBook.{n}": operator.attrgetter(f"book.{n}")
        for n in ["buy_orders", "sell_orders", "tick_size"]
    },
    **{
        f"OrderBook.{n}()": lambda o, n=n: getattr(o.book, n)()
        for n in ["best_bid", "best_ask", "buy_volume", "sell_volume", "spread"]
    },
    "spread-empty": lambda o: o.spare.spread(),
    "repr-Order": lambda o: repr(o.buy),
    "repr-Fill": lambda o: str(o.fill),
    "repr-OrderBook": lambda o: repr(o.book),
    "repr-OrderStatus": lambda o: repr(o.buy.status),
    "int-OrderType": lambda o: int(SELL),
    "is_open": lambda o: o.buy.is_open(),
    "can_match": lambda o: o.buy.can_match(o.sell),
    "can_match-keyword": lambda o: o.buy.can_match(other=o.sell),
    "fill-crossing": lambda o: o.buy.fill(o.sell, 0.01),
    "fill-not-crossing": lambda o: o.low.fill(incoming=o.resting, tick_size=0.01),
    "create_order": lambda o: o.book.create_order(BUY, 1.25, 2.0),
    "create_order-keywords": lambda o: o.book.create_order(side=SELL, price=1.25, quantity=2.0),
    "add-matching": matching,
    "add-resting-then-cancel": resting_then_cancel,
    "cancel-unknown": lambda o: o.book.cancel("no such id"),
    "get_order": lambda o: o.book.get_order(order_id=o.id),
    "get_order-unknown": lambda o: o.book.get_order("no such id"),
    "update_order": lambda o: o.book.update_order(o.resting),
    "enum-equal-member": lambda o: BUY == o.buy.side,
    "enum-equal-int": lambda o: o.buy.status != 2,
    "enum-equal-other": lambda o: BUY == "Buy",
    "enum-index-error": lambda o: BUY == raising(ValueError("no")),
    # error paths
    "missing-argument": lambda o: Order(BUY, 1),
    "too-many-arguments": lambda o: o.book.add(o.buy, o.buy),
    "unexpected-keyword": lambda o: o.book.add(order=o.buy),
    "unexpected-keyword-constructor": lambda o: Fill(1.0, 2.0, "b", "s", 3, bogus=1),
    "multiple-values": lambda o: o.book.cancel("x", order_id="y"),
    "wrong-type": lambda o: o.book.cancel(5),
    "wrong-type-float": lambda o: Fill("x", 2.0, "b", "s", 3),
    "wrong-type-with-cause": lambda o: Fill(raising(CAUSED), 2.0, "b", "s", 3),
    "wrong-type-enum": lambda o: Order(1, 100, 5.0),
    "overflow": lambda o: Order(BUY, 2**70, 1.0),
    "negative-timestamp": lambda o: Fill(1.0, 1.0, "a", "b", -1),
    "unencodable-id": lambda o: o.book.cancel("\ud800"),
    "borrow-conflict": lambda o: o.buy.fill(o.buy, 0.01),
    "borrow-conflict-reentered": reentering,
    "invalid-order": lambda o: Order(BUY, 100, -1.0),
    "invalid-create_order": lambda o: o.book.create_order(BUY, -1.0, 1.0),
    "enum-no-constructor": lambda o: OrderType(),
    "enum-unhashable": lambda o: hash(BUY),
    "enum-ordering": lambda o: BUY < SELL,
    "enum-interrupt": lambda o: BUY == raising(KeyboardInterrupt()),
}


def repeat(call, o, times):
    for _ in range(times):
        try:
            call(o)
        except (TypeError, ValueError, OverflowError, RuntimeError, KeyboardInterrupt):
            pass


def growth(name):
    """Blocks and references (the largest change of any watched object) gained by repeating a call."""
    call, o = CALLS[name], objects()
    watched = [
        None,
        True,
        False,
        NotImplemented,
        Order,
        Fill,
        OrderBook,
        OrderType,
        OrderStatus,
    ]
    watched += [BUY, SELL, *vars(OrderStatus).values(), *vars(o).values()]
    repeat(call, o, 200)
    gc.collect()
    blocks, references = sys.getallocatedblocks(), [sys.getrefcount(w) for w in watched]
    repeat(call, o, REPETITIONS)
    gc.collect()
    grown, now = (
        sys.getallocatedblocks() - blocks,
        [sys.getrefcount(w) for w in watched],
    )
    return grown, max(abs(after - before) for after, before in zip(now, references, strict=True))


@pytest.mark.parametrize("name", list(CALLS))
def test_repeated_calls_do_not_grow(name):
    blocks, references = growth(name)
    assert blocks < REPETITIONS / 10, f"{blocks} more blocks after {REPETITIONS} calls"
    assert references < REPETITIONS / 10, f"{references} more references after {REPETITIONS} calls"
