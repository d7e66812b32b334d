"""Market data views: best prices, volumes, spread, order lists and the summary text."""

import math
import re
import struct

import pytest

from kestrova import Order, OrderBook, OrderStatus, OrderType

B, S = OrderType.Buy, OrderType.Sell

EMPTY_TEXT = ("Best Bid: None, Best Ask: None (Spread: None)\n"
              "Open Buy Volume: -0.00, Open Sell Volume: -0.00")


def bits(x):
    return struct.pack("<d", x)


def book_with(tick, *orders):
    book = OrderBook(tick)
    for fields in orders:
        assert book.add(Order(*fields)) == []
    return book


def test_empty_book():
    book = OrderBook()
    assert book.best_bid() is None
    assert book.best_ask() is None
    assert book.spread() is None
    for volume in (book.buy_volume(), book.sell_volume()):
        assert type(volume) is float
        assert volume == 0.0 and math.copysign(1.0, volume) == -1.0
    assert book.buy_orders == [] and book.sell_orders == []
    assert repr(book) == str(book) == EMPTY_TEXT


def test_two_sided_book():
    book = book_with(0.01, (B, 10000, 5.0), (B, 10000, 3.0), (S, 10050, 2.5))
    assert book.best_bid() == (10000, 5.0)
    assert book.best_ask() == (10050, 2.5)
    price, qty = book.best_bid()
    assert type(price) is int and type(qty) is float
    assert book.buy_volume() == 8.0
    assert book.sell_volume() == 2.5
    assert book.spread() == 50 * 0.01
    assert str(book) == repr(book) == (
        "Best Bid: 5.00 @ 100, Best Ask: 2.50 @ 100.5 (Spread: 0.5000)\n"
        "Open Buy Volume: 8.00, Open Sell Volume: 2.50")


@pytest.mark.parametrize(
    "orders, text",
    [
        ([(B, 9900, 1.0), (B, 10000, 2.0)],
         "Best Bid: 2.00 @ 100, Best Ask: None (Spread: None)\n"
         "Open Buy Volume: 3.00, Open Sell Volume: -0.00"),
        ([(S, 10001, 0.125)],
         "Best Bid: None, Best Ask: 0.12 @ " + repr(10001 * 0.01) + " (Spread: None)\n"
         "Open Buy Volume: -0.00, Open Sell Volume: 0.12"),
        ([(B, 1, 0.375), (S, 2, 2.675)],
         "Best Bid: 0.38 @ 0.01, Best Ask: 2.67 @ 0.02 (Spread: 0.0100)\n"
         "Open Buy Volume: 0.38, Open Sell Volume: 2.67"),
        ([(B, 9999, 1e20), (S, 10000, 1e-3)],
         "Best Bid: 100000000000000000000.00 @ 99.99000000000001, Best Ask: 0.00 @ 100 (Spread: 0.0100)\n"
         "Open Buy Volume: 100000000000000000000.00, Open Sell Volume: 0.00"),
        ([(B, 10000, 0.005), (S, 10000 + 10**8, 0.015)],
         "Best Bid: 0.01 @ 100, Best Ask: 0.01 @ 1000100 (Spread: 1000000.0000)\n"
         "Open Buy Volume: 0.01, Open Sell Volume: 0.01"),
    ],
    ids=["bids-only", "asks-only-shortest-price", "ties-to-even", "huge-volume",
         "exact-binary-values-round"],
)
def test_summary_text(orders, text):
    assert repr(book_with(0.01, *orders)) == text


@pytest.mark.parametrize(
    "tick, bid, ask, spread, text",
    [
        (0.5, 3, 4, 0.5, "Best Bid: 1.00 @ 1.5, Best Ask: 1.00 @ 2 (Spread: 0.5000)"),
        (1e10, 10**12, 10**12 + 1, 1e10,
         "Best Bid: 1.00 @ 10000000000000000000000, Best Ask: 1.00 @ 10000000000010000000000"
         " (Spread: 10000000000.0000)"),
        (1e-7, 1, 3, 2 * 1e-7,
         "Best Bid: 1.00 @ 0.0000001, Best Ask: 1.00 @ 0.0000003 (Spread: 0.0000)"),
        (0.0, 3, 4, 0.0, "Best Bid: 1.00 @ 0, Best Ask: 1.00 @ 0 (Spread: 0.0000)"),
        (-0.5, 3, 4, -0.5, "Best Bid: 1.00 @ -1.5, Best Ask: 1.00 @ -2 (Spread: -0.5000)"),
        (-1e-9, 3, 4, -1e-9, "Best Bid: 1.00 @ -0.0000000030000000000000004, Best Ask: 1.00 @ -0.000000004"
         " (Spread: -0.0000)"),
    ],
    ids=["half-tick", "huge-prices-positional", "tiny-prices-positional", "zero-tick",
         "negative-tick", "tiny-negative-spread"],
)
def test_spread_and_price_forms(tick, bid, ask, spread, text):
    book = book_with(tick, (B, bid, 1.0), (S, ask, 1.0))
    assert book.spread() == spread
    assert type(book.spread()) is float
    assert repr(book) == text + "\nOpen Buy Volume: 1.00, Open Sell Volume: 1.00"


def test_best_quantity_is_front_order_only_and_follows_partial_fills():
    book = book_with(0.01, (B, 10000, 3.0), (B, 10000, 4.0), (B, 9900, 9.0))
    assert book.best_bid() == (10000, 3.0)
    book.add(Order(S, 10000, 1.5))
    assert book.best_bid() == (10000, 1.5)
    assert book.buy_volume() == 1.5 + 4.0 + 9.0
    book.add(Order(S, 10000, 1.5))
    assert book.best_bid() == (10000, 4.0)


@pytest.mark.parametrize("side", [B, S], ids=["buys", "sells"])
def test_order_lists_ascend_by_price_then_arrival(side):
    prices = [10000, 9900, 10000, 9950, 9900]
    book = book_with(0.01, *[(side, p, float(i + 1)) for i, p in enumerate(prices)])
    listed = book.buy_orders if side == B else book.sell_orders
    other = book.sell_orders if side == B else book.buy_orders
    assert [(o.price_in_ticks, o.quantity) for o in listed] == [
        (9900, 2.0), (9900, 5.0), (9950, 4.0), (10000, 1.0), (10000, 3.0)]
    assert all(type(o) is Order and o.side == side and o.status == OrderStatus.Open
               for o in listed)
    assert other == []
    best = book.best_bid() if side == B else book.best_ask()
    assert best == ((10000, 1.0) if side == B else (9900, 2.0))


def test_buy_orders_builds_new_objects_each_read():
    book = book_with(0.01, (B, 10000, 1.0))
    first, second = book.buy_orders, book.buy_orders
    assert first is not second and first[0] is not second[0]
    assert first[0].id == second[0].id
    with pytest.raises(AttributeError):
        book.buy_orders = []


# Quantities chosen so float addition order changes the result; the volume must be the
# left-to-right sum from the lowest price up, front to back within a level.
@pytest.mark.parametrize(
    "resting",
    [
        [(10100, 1.0), (10000, 1e16), (10200, 1.0)],
        [(10200, 1.0), (10100, 1.0), (10000, 1e16)],
        [(10000, 1.0), (10100, 1.0), (10200, 1e16)],
        [(10000, 1e16), (10000, 1.0), (10000, 1.0)],
        [(10000, 1.0), (10000, 1.0), (10000, 1e16)],
        [(10000, 0.1), (10100, 0.2), (10000, 0.3), (10200, 1e-17)],
    ],
    ids=["big-lowest", "big-lowest-last-arrival", "big-highest", "big-first-in-level",
         "big-last-in-level", "decimal-fractions"],
)
@pytest.mark.parametrize("side", [B, S], ids=["buy", "sell"])
def test_volume_is_ordered_left_to_right_sum(side, resting):
    book = book_with(0.01, *[(side, p, q) for p, q in resting])
    visiting = [q for _, (_, q) in sorted(enumerate(resting), key=lambda e: (e[1][0], e[0]))]
    expected = -0.0
    for q in visiting:
        expected += q
    volume = book.buy_volume() if side == B else book.sell_volume()
    assert bits(volume) == bits(expected)
    # The sum in the opposite order must differ, or this case tests nothing.
    backwards = -0.0
    for q in reversed(visiting):
        backwards += q
    assert bits(backwards) != bits(expected)
    texts = re.search(r"Open Buy Volume: (\S+), Open Sell Volume: (\S+)$", repr(book)).groups()
    assert texts[0 if side == B else 1] == format(expected, ".2f")


def test_views_ignore_changes_to_returned_and_updated_orders():
    book = book_with(0.01, (B, 10000, 5.0), (S, 10100, 2.0))
    before = (book.best_bid(), book.buy_volume(), repr(book),
              [(o.id, o.quantity, o.status) for o in book.buy_orders])

    listed = book.buy_orders[0]
    listed.fill(Order(S, 10000, 5.0), 0.01)
    assert listed.status == OrderStatus.Filled
    smaller = book.get_order(listed.id)
    smaller.fill(Order(S, 10000, 4.0), 0.01)
    book.update_order(smaller)
    assert book.get_order(listed.id).quantity == 1.0

    after = (book.best_bid(), book.buy_volume(), repr(book),
             [(o.id, o.quantity, o.status) for o in book.buy_orders])
    assert after == before


@pytest.mark.parametrize("name", ["best_bid", "best_ask", "buy_volume", "sell_volume", "spread"])
def test_query_methods_take_no_arguments(name):
    book = book_with(0.01, (B, 10000, 1.0), (S, 10100, 1.0))
    before = repr(book)
    method = getattr(book, name)
    with pytest.raises(TypeError, match="takes no arguments"):
        method(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        method(x=1)
    assert repr(book) == before
