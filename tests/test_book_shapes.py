"""The book in shapes that stress its containers: deep levels, many levels, orders resting
twice, records that differ from their queue copies, and volumes near the float limits."""

import random
import struct

import pytest

from kestrova import Order, OrderBook, OrderStatus, OrderType

B, S = OrderType.Buy, OrderType.Sell
TWO_52 = 2.0**52


def bits(x):
    return struct.pack("<d", x)


def left_to_right(quantities):
    total = -0.0
    for q in quantities:
        total += q
    return total


def resting(book, side):
    orders = book.buy_orders if side == B else book.sell_orders
    return [(o.id, o.price_in_ticks, o.quantity) for o in orders]


@pytest.mark.parametrize(
    "depth, position",
    [
        (1, 0),
        (3, 0),
        (3, 1),
        (3, 2),
        (1000, 0),
        (1000, 500),
        (1000, 999),
    ],
    ids=lambda v: str(v),
)
def test_cancel_anywhere_in_a_level_keeps_the_rest_in_order(depth, position):
    book = OrderBook()
    orders = [Order(B, 100, float(i + 1)) for i in range(depth)]
    for o in orders:
        book.add(o)
    assert book.cancel(orders[position].id) is True
    kept = orders[:position] + orders[position + 1 :]
    assert resting(book, B) == [(o.id, 100, o.quantity) for o in kept]
    assert book.best_bid() == (None if not kept else (100, kept[0].quantity))
    assert book.buy_volume() == left_to_right(o.quantity for o in kept)
    # the queue still trades front first after the removal
    if kept:
        fills = book.add(Order(S, 100, kept[0].quantity + 0.5))
        assert [f.buy_id for f in fills] == [o.id for o in kept[:2]]


def test_order_resting_twice_partly_filled_then_cancelled():
    book = OrderBook(1.0)
    twice = Order(S, 50, 4.0)
    other = Order(S, 50, 1.0)
    book.add(twice)
    book.add(other)
    book.add(twice)  # a second copy rests behind `other`
    assert [q for _, _, q in resting(book, S)] == [4.0, 1.0, 4.0]
    fills = book.add(Order(B, 50, 1.5))
    assert [(f.sell_id, f.quantity) for f in fills] == [(twice.id, 1.5)]
    assert book.get_order(twice.id).quantity == 2.5  # the copy the fill touched
    assert book.cancel(twice.id) is True
    assert resting(book, S) == [(other.id, 50, 1.0)]
    assert book.get_order(twice.id) is None and book.cancel(twice.id) is False
    assert (book.best_ask(), book.sell_volume()) == ((50, 1.0), 1.0)


def test_second_copy_filled_while_first_rests():
    book = OrderBook(1.0)
    twice = Order(B, 70, 2.0)
    book.add(twice)
    book.add(Order(B, 70, 1.0))
    book.add(twice)
    book.add(Order(S, 70, 5.0))  # fills all three, front first
    assert book.buy_orders == [] and book.get_order(twice.id).status == OrderStatus.Filled
    assert book.cancel(twice.id) is True and book.get_order(twice.id) is None


def test_updated_record_is_overwritten_by_the_next_fill():
    book = OrderBook(1.0)
    o = Order(B, 100, 5.0)
    book.add(o)
    changed = book.get_order(o.id)
    changed.fill(Order(S, 100, 4.0), 1.0)
    book.update_order(changed)
    assert (book.get_order(o.id).quantity, book.best_bid()) == (1.0, (100, 5.0))
    book.add(Order(S, 100, 2.0))
    stored = book.get_order(o.id)
    assert (stored.quantity, stored.status, book.best_bid()) == (
        3.0,
        OrderStatus.Open,
        (100, 3.0),
    )
    # and a later lookup follows the queue copy again
    book.add(Order(S, 100, 1.0))
    assert book.get_order(o.id).quantity == 2.0


def test_levels_emptied_and_recreated_across_many_prices():
    rng = random.Random(3)
    book = OrderBook(1.0)
    live = {}
    for step in range(6000):
        price = rng.randrange(1, 3000)
        if rng.random() < 0.6 or not live:
            o = Order(B, price, 1.0)
            book.add(o)
            live[o.id] = price
        else:
            order_id = rng.choice(list(live)) if step % 50 == 0 else next(iter(live))
            assert book.cancel(order_id) is True
            del live[order_id]
    listed = [o.price_in_ticks for o in book.buy_orders]
    assert listed == sorted(live.values())
    assert book.best_bid() == (max(live.values()), 1.0)
    # a sell sweeping the ten best bids passes over every emptied level between them
    by_price = sorted(live.items(), key=lambda item: -item[1])
    fills = book.add(Order(S, 1, 10.0))
    assert [f.buy_id for f in fills] == [order_id for order_id, _ in by_price[:10]]
    for order_id, _ in by_price[:10]:
        del live[order_id]
    assert book.best_bid() == (max(live.values()), 1.0)
    # empty the book from the best level down
    while live:
        best = book.best_bid()[0]
        assert best == max(live.values())
        for order_id in [i for i, p in live.items() if p == best]:
            book.cancel(order_id)
            del live[order_id]
    assert book.best_bid() is None and repr(book.buy_volume()) == "-0.0"


@pytest.mark.parametrize(
    "quantities",
    [
        [1.0, 2.0, 3.0],
        [TWO_52, TWO_52 - 1.0, 3.0],  # the total passes 2^53: rounding starts
        [TWO_52, TWO_52, 1.0, 1.0],
        [0.1, 0.2, 0.3],
        [1.0, 0.1, TWO_52, 5.0],
        [1e300, 1.0, 1e300],
        [5e-324, 1.0],
    ],
    ids=[
        "small whole",
        "past 2^53",
        "at 2^53 then odd",
        "fractions",
        "mixed",
        "huge",
        "subnormal",
    ],
)
def test_volume_is_the_left_to_right_sum(quantities):
    book = OrderBook(1.0)
    orders = [Order(S, 100 + i % 2, q) for i, q in enumerate(quantities)]
    for o in orders:
        book.add(o)
    in_order = [o.quantity for o in orders if o.price_in_ticks == 100]
    in_order += [o.quantity for o in orders if o.price_in_ticks == 101]
    assert bits(book.sell_volume()) == bits(left_to_right(in_order))
    # taking the odd ones out again brings the exact running total back
    for o in orders:
        if o.quantity != int(o.quantity) or o.quantity >= TWO_52:
            book.cancel(o.id)
    rest = [q for q in in_order if q == int(q) and q < TWO_52]
    assert bits(book.sell_volume()) == bits(left_to_right(rest))


def test_volume_follows_partial_fills():
    book = OrderBook(1.0)
    book.add(Order(B, 10, 3.0))
    book.add(Order(B, 11, 4.0))
    book.add(Order(S, 11, 1.5))  # leaves 2.5 at the front of 11
    assert bits(book.buy_volume()) == bits(left_to_right([3.0, 2.5]))
    book.add(Order(S, 11, 0.5))  # whole again
    assert bits(book.buy_volume()) == bits(5.0)
