"""OrderBook tick size, create_order and the method documentation."""

import math
import re
import time

import pytest

from kestrova import Order, OrderBook, OrderStatus, OrderType

B, S = OrderType.Buy, OrderType.Sell
MAX_TICKS = 2**63 - 1
NOT_POSITIVE = "Price and quantity must be positive"
BAD_TICKS = "Resulting price_in_ticks must be positive"
UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


@pytest.mark.parametrize("tick", [0.5, 0.0, -0.0, -0.5, math.inf, math.nan])
def test_tick_size_is_stored_unchecked(tick):
    assert OrderBook().tick_size == 0.01
    assert repr(OrderBook(tick).tick_size) == repr(tick)


@pytest.mark.parametrize(
    "tick, price, ticks",
    [
        (0.01, 100.0, 10000),
        (0.01, 0.006, 1),
        (0.01, 99.99, 9999),
        (0.01, 1.005, 100),  # 1.005 / 0.01 is just under 100.5 as a float
        (0.5, 1.25, 3),
        (0.5, 0.75, 2),
        (1.0, 0.5, 1),
        (1.0, 2.5, 3),  # halves go away from zero, not to even
        (1.0, 1.5, 2),
        (1.0, 0.5000000000000001, 1),
        (1.0, 2.0**52 - 0.5, 2**52),  # the largest half a double holds
        (1.0, 2.0**51 + 0.5, 2**51 + 1),
        (1.0, 2.0**52 + 1, 2**52 + 1),
        (0.0, 1.0, MAX_TICKS),
        (0.01, math.inf, MAX_TICKS),
        (1.0, 9.3e18, MAX_TICKS),
    ],
)
def test_create_order_rounding(tick, price, ticks):
    before = time.time_ns()
    order = OrderBook(tick).create_order(S, price, 5.0)
    after = time.time_ns()
    assert type(order) is Order and UUID4.match(order.id)
    assert (order.side, order.price_in_ticks, order.quantity, order.status) == (
        S,
        ticks,
        5.0,
        OrderStatus.Open,
    )
    assert before <= order.timestamp <= after


@pytest.mark.parametrize(
    "tick, price, quantity, message",
    [
        (0.01, 0.004, 1.0, BAD_TICKS),
        (1.0, 0.49999999999999994, 1.0, BAD_TICKS),  # just under a half rounds down
        (-0.5, 100.0, 1.0, BAD_TICKS),
        (0.01, math.nan, 1.0, BAD_TICKS),
        (math.nan, 100.0, 1.0, BAD_TICKS),
        (0.01, 0.0, 1.0, NOT_POSITIVE),
        (0.01, -1.0, 1.0, NOT_POSITIVE),
        (0.01, 100.0, 0.0, NOT_POSITIVE),
        (0.01, 100.0, -2.5, NOT_POSITIVE),
        (0.01, 100.0, math.nan, NOT_POSITIVE),
        (0.01, 100.0, math.inf, NOT_POSITIVE),
        (0.01, 100.0, -math.inf, NOT_POSITIVE),
        (-0.5, -1.0, 1.0, NOT_POSITIVE),  # positivity is checked before the tick conversion
    ],
)
def test_create_order_rejects(tick, price, quantity, message):
    with pytest.raises(ValueError) as info:
        OrderBook(tick).create_order(B, price, quantity)
    assert type(info.value) is ValueError and str(info.value) == message


def test_create_order_does_not_touch_the_book():
    book = OrderBook()
    book.add(Order(S, 10100, 1.0))
    before = ([o.id for o in book.sell_orders], book.buy_orders, repr(book))
    created = [book.create_order(side, 100.5, 2.0) for side in (B, S, B)]
    for args in [(B, -1.0, 1.0), (B, 0.001, 1.0), (B, 1.0, math.nan)]:
        with pytest.raises(ValueError):
            book.create_order(*args)
    assert ([o.id for o in book.sell_orders], book.buy_orders, repr(book)) == before
    assert len({o.id for o in created}) == 3
    for order in created:
        assert book.get_order(order.id) is None and book.cancel(order.id) is False


def test_orders_made_outlive_the_book_last_added_to():
    # new orders look ahead into the book that took the last add; a book that
    # is gone must not be read (the sanitizer run catches a stray read)
    book = OrderBook()
    book.add(Order(B, 100, 1.0))
    del book
    made = [Order(B, 100, 1.0) for _ in range(300)]
    other = OrderBook()
    for order in made:
        assert other.add(order) == []
    assert len(other.buy_orders) == 300 and other.buy_volume() == 300.0


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        (
            "create_order",
            "(self, side, price, quantity)",
            "Creates an order (but does not add to the book) based off the book's tick size.",
        ),
        (
            "add",
            "(self, order)",
            "Adds an order to the book, attempting to match it with resting orders.",
        ),
        ("cancel", "(self, order_id)", "Cancels an order by its ID."),
        (
            "get_order",
            "(self, order_id)",
            "Retrieves an order by its ID. Returns None if the order is not found.",
        ),
        ("update_order", "($self, order)", "Helper method to update an order in the `orders` map."),
        ("best_bid", "($self)", "Helper method to get best bid"),
        ("best_ask", "($self)", "Helper method to get best ask"),
        ("buy_volume", "($self)", "Helper method to calculate total buy volume"),
        ("sell_volume", "($self)", "Helper method to calculate total sell volume"),
        (
            "spread",
            "($self)",
            "Calculate the current spread in the order book.\n"
            "Returns None if there are no orders on either side.\n"
            "The spread is returned in the same units as the prices (not ticks).",
        ),
        ("buy_orders", None, "Get a list of all buy orders"),
        ("sell_orders", None, "Get a list of all sell orders"),
        ("tick_size", None, "Return the tick size for informational purposes"),
    ],
)
def test_member_docs(name, signature, doc):
    member = OrderBook.__dict__[name]
    assert member.__doc__ == doc
    assert getattr(member, "__text_signature__", None) == signature


def test_member_table_is_exact():
    assert {name for name in vars(OrderBook) if not name.startswith("__")} == {
        "create_order",
        "add",
        "cancel",
        "get_order",
        "update_order",
        "best_bid",
        "best_ask",
        "buy_volume",
        "sell_volume",
        "spread",
        "buy_orders",
        "sell_orders",
        "tick_size",
    }
