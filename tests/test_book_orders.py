"""OrderBook.cancel, get_order and update_order."""

import uuid

import pytest

from kestrova import Order, OrderBook, OrderStatus, OrderType

B, S = OrderType.Buy, OrderType.Sell
OPEN, FILLED = OrderStatus.Open, OrderStatus.Filled


def fields(order):
    return (order.id, order.side, order.price_in_ticks, order.quantity, order.status,
            order.timestamp)


def views(book):
    return (
        [fields(o) for o in book.buy_orders],
        [fields(o) for o in book.sell_orders],
        book.best_bid(), book.best_ask(), book.buy_volume(), book.sell_volume(), repr(book),
    )


def rest(book, *shapes):
    orders = [Order(*shape) for shape in shapes]
    for order in orders:
        assert book.add(order) == []
    return orders


class Id(str):
    pass


@pytest.mark.parametrize(
    "make_id",
    [
        lambda real: "",
        lambda real: "not-an-id",
        lambda real: str(uuid.uuid4()),
        lambda real: real.upper(),
        lambda real: " " + real,
        lambda real: real + "\n",
        lambda real: real[:-1],
        lambda real: real.replace("-", ""),
    ],
    ids=["empty", "garbage", "fresh-uuid", "upper-case", "leading-space", "trailing-newline",
         "truncated", "no-hyphens"],
)
def test_unknown_ids(make_id):
    book = OrderBook()
    buy, sell = rest(book, (B, 9900, 1.0), (S, 10100, 2.0))
    before = views(book)
    unknown = make_id(buy.id)
    assert book.get_order(unknown) is None
    assert book.cancel(unknown) is False
    assert views(book) == before
    assert fields(book.get_order(buy.id)) == fields(buy)


def test_cancel_resting_order():
    book = OrderBook()
    keep, gone = rest(book, (B, 9900, 1.0), (B, 10000, 2.5))
    assert book.buy_volume() == 3.5
    assert book.cancel(gone.id) is True
    assert [o.id for o in book.buy_orders] == [keep.id]
    assert book.buy_volume() == 1.0
    assert book.best_bid() == (9900, 1.0)
    assert book.get_order(gone.id) is None
    assert book.cancel(gone.id) is False
    assert book.cancel(keep.id) is True
    assert book.best_bid() is None and book.buy_orders == []


@pytest.mark.parametrize(
    "side, prices, cancel_at, best_after",
    [
        (B, [9900, 10000], 1, (9900, 1.0)),
        (B, [10000], 0, None),
        (S, [10100, 10000], 1, (10100, 1.0)),
        (S, [10000], 0, None),
    ],
    ids=["bid-next-level", "bid-last-level", "ask-next-level", "ask-last-level"],
)
def test_cancel_only_order_at_best_removes_level(side, prices, cancel_at, best_after):
    book = OrderBook()
    orders = rest(book, *[(side, p, 1.0) for p in prices])
    assert book.cancel(orders[cancel_at].id) is True
    best = book.best_bid() if side == B else book.best_ask()
    assert best == best_after
    assert book.spread() is None


@pytest.mark.parametrize("cancel_at", [0, 1, 2], ids=["first", "second", "third"])
def test_cancel_within_level_keeps_arrival_order(cancel_at):
    book = OrderBook()
    orders = rest(book, (B, 10000, 1.0), (B, 10000, 2.0), (B, 10000, 3.0))
    assert book.cancel(orders[cancel_at].id) is True
    left = [o for i, o in enumerate(orders) if i != cancel_at]
    assert [(o.id, o.quantity) for o in book.buy_orders] == [(o.id, o.quantity) for o in left]
    assert book.best_bid() == (10000, left[0].quantity)
    # Matching still honours the surviving order of arrival.
    fills = book.add(Order(S, 10000, 10.0))
    assert [f.buy_id for f in fills] == [o.id for o in left]


def test_cancel_removes_every_copy_of_a_twice_added_order():
    book = OrderBook()
    twice = Order(S, 10000, 1.0)
    other = Order(S, 10000, 2.0)
    for order in (twice, other, twice):
        book.add(order)
    assert book.cancel(twice.id) is True
    assert [o.id for o in book.sell_orders] == [other.id]
    assert book.sell_volume() == 2.0


@pytest.mark.parametrize("incoming_side", [B, S], ids=["filled-as-incoming", "filled-as-resting"])
def test_cancel_filled_order(incoming_side):
    book = OrderBook()
    buy, sell = Order(B, 10000, 1.0), Order(S, 10000, 3.0)
    first, second = (sell, buy) if incoming_side == B else (buy, sell)
    book.add(first)
    book.add(second)
    assert book.get_order(buy.id).status == FILLED
    before = views(book)
    assert book.cancel(buy.id) is True
    assert book.get_order(buy.id) is None
    assert views(book) == before
    assert book.cancel(buy.id) is False


def test_cancel_partially_filled_resting_order():
    book = OrderBook()
    sell, behind = rest(book, (S, 10000, 5.0), (S, 10000, 1.0))
    book.add(Order(B, 10000, 2.0))
    assert book.cancel(sell.id) is True
    assert [(o.id, o.quantity) for o in book.sell_orders] == [(behind.id, 1.0)]


def test_get_order_returns_fresh_copies():
    book = OrderBook()
    (order,) = rest(book, (B, 10000, 5.0))
    first, second = book.get_order(order.id), book.get_order(order.id)
    assert first is not second and first is not order
    assert fields(first) == fields(second) == fields(order)
    # Changing a copy does not reach the book.
    first.fill(Order(S, 10000, 2.0), 0.01)
    assert first.quantity == 3.0
    assert book.get_order(order.id).quantity == 5.0


def test_get_order_of_created_but_not_added_order():
    book = OrderBook()
    order = book.create_order(B, 100.0, 1.0)
    assert book.get_order(order.id) is None


def test_get_order_reflects_partial_fill():
    book = OrderBook()
    (sell,) = rest(book, (S, 10000, 5.0))
    book.add(Order(B, 10000, 1.5))
    stored = book.get_order(sell.id)
    assert (stored.quantity, stored.status) == (3.5, OPEN)
    assert stored.is_open()


def test_update_order_with_unknown_order():
    book = OrderBook()
    (resting,) = rest(book, (B, 10000, 1.0))
    stranger = Order(B, 10000, 4.0)
    before = views(book)
    assert book.update_order(stranger) is None
    assert fields(book.get_order(stranger.id)) == fields(stranger)
    assert views(book) == before
    # Known to lookups only: cancelling it touches no level, not even its own price.
    assert book.cancel(stranger.id) is True
    assert views(book) == before
    assert book.get_order(stranger.id) is None
    assert fields(book.get_order(resting.id)) == fields(resting)


def test_update_order_does_not_change_resting_copy():
    book = OrderBook()
    (buy,) = rest(book, (B, 10000, 5.0))
    changed = book.get_order(buy.id)
    changed.fill(Order(S, 10000, 5.0), 0.01)
    assert (changed.quantity, changed.status) == (0.0, FILLED)
    book.update_order(changed)
    stored = book.get_order(buy.id)
    assert (stored.quantity, stored.status) == (0.0, FILLED)
    assert [(o.id, o.quantity, o.status) for o in book.buy_orders] == [(buy.id, 5.0, OPEN)]
    assert book.buy_volume() == 5.0
    assert book.best_bid() == (10000, 5.0)

    # The next fill writes the queue copy's state back over the stored one.
    book.add(Order(S, 10000, 1.0))
    stored = book.get_order(buy.id)
    assert (stored.quantity, stored.status) == (4.0, OPEN)


def test_update_order_stores_a_copy():
    book = OrderBook()
    order = Order(S, 10000, 2.0)
    book.update_order(order=order)
    order.fill(Order(B, 10000, 0.5), 0.01)
    assert order.quantity == 1.5
    assert book.get_order(order.id).quantity == 2.0
    # A later store under the same identifier replaces the entry whole.
    book.update_order(order)
    assert book.get_order(order.id).quantity == 1.5


def test_str_subclass_ids_are_accepted():
    book = OrderBook()
    (order,) = rest(book, (B, 10000, 1.0))
    assert fields(book.get_order(Id(order.id))) == fields(order)
    assert book.get_order(order_id=order.id) is not None
    assert book.cancel(order_id=Id(order.id)) is True


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b, o: b.cancel(123),
         "argument 'order_id': 'int' object cannot be converted to 'PyString'"),
        (lambda b, o: b.cancel(o.id.encode()),
         "argument 'order_id': 'bytes' object cannot be converted to 'PyString'"),
        (lambda b, o: b.cancel(o),
         "argument 'order_id': 'Order' object cannot be converted to 'PyString'"),
        (lambda b, o: b.get_order(None),
         "argument 'order_id': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda b, o: b.update_order(42),
         "argument 'order': 'int' object cannot be converted to 'Order'"),
        (lambda b, o: b.update_order(o.id),
         "argument 'order': 'str' object cannot be converted to 'Order'"),
        (lambda b, o: b.cancel(), "OrderBook.cancel() missing 1 required positional argument: 'order_id'"),
        (lambda b, o: b.cancel("x", order_id="y"),
         "OrderBook.cancel() got multiple values for argument 'order_id'"),
        (lambda b, o: b.get_order(id=o.id),
         "OrderBook.get_order() got an unexpected keyword argument 'id'"),
        (lambda b, o: b.update_order(incoming_order=o),
         "OrderBook.update_order() got an unexpected keyword argument 'incoming_order'"),
    ],
    ids=["cancel-int", "cancel-bytes", "cancel-order", "get-none", "update-int",
         "update-str", "cancel-missing", "cancel-twice", "get-bad-keyword",
         "update-bad-keyword"],
)
def test_argument_errors_change_nothing(call, message):
    book = OrderBook()
    buy, sell = rest(book, (B, 9900, 1.0), (S, 10100, 2.0))
    before = views(book), fields(book.get_order(buy.id)), fields(book.get_order(sell.id))
    with pytest.raises(TypeError) as info:
        call(book, buy)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert (views(book), fields(book.get_order(buy.id)), fields(book.get_order(sell.id))) == before


def test_surrogate_id_fails_encoding():
    book = OrderBook()
    with pytest.raises(UnicodeEncodeError):
        book.cancel("\ud800")
    with pytest.raises(UnicodeEncodeError):
        book.get_order("\udfff")
