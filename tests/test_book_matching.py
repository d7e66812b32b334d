"""OrderBook.add: price-time matching, fills, resting and the recorded states."""

import time

import pytest

import kestrova
from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

B, S = OrderType.Buy, OrderType.Sell
OPEN, FILLED = OrderStatus.Open, OrderStatus.Filled
TICK = 0.01


def px(ticks):
    # Fill prices are the sell order's ticks times the book's tick size, as a float product.
    return float(ticks) * TICK


def levels(orders):
    return [(o.price_in_ticks, o.quantity) for o in orders]


def snapshot(book, ids=()):
    recorded = []
    for order_id in ids:
        o = book.get_order(order_id)
        recorded.append(None if o is None else (o.status, o.quantity))
    return (
        [(o.id, o.price_in_ticks, o.quantity, o.status) for o in book.buy_orders],
        [(o.id, o.price_in_ticks, o.quantity, o.status) for o in book.sell_orders],
        repr(book),
        recorded,
    )


# earlier: orders added first, in arrival order (they may trade among themselves);
# incoming: the order under test; fills: (qty, price, buy index, sell index) where
# indexes count earlier orders first and the incoming order last; then the resting
# orders per side in ascending price order and the (status, qty) get_order shows for each.
CASES = [
    pytest.param(
        [], (B, 10000, 5.0),
        [], [(10000, 5.0)], [], [(OPEN, 5.0)],
        id="empty-book-rests",
    ),
    pytest.param(
        [(S, 10000, 3.0)], (B, 10100, 5.0),
        [(3.0, px(10000), 1, 0)], [(10100, 2.0)], [], [(FILLED, 0.0), (OPEN, 2.0)],
        id="buy-partially-fills-at-resting-sell-price",
    ),
    pytest.param(
        [(B, 10100, 5.0)], (S, 9900, 2.0),
        [(2.0, px(9900), 0, 1)], [(10100, 3.0)], [], [(OPEN, 3.0), (FILLED, 0.0)],
        id="incoming-sell-trades-at-its-own-price",
    ),
    pytest.param(
        [(S, 10000, 1.0), (S, 10000, 2.0), (S, 10100, 3.0)], (B, 10100, 6.0),
        [(1.0, px(10000), 3, 0), (2.0, px(10000), 3, 1), (3.0, px(10100), 3, 2)],
        [], [], [(FILLED, 0.0)] * 4,
        id="fifo-within-level-then-next-level",
    ),
    pytest.param(
        [(S, 10100, 1.0), (S, 10000, 1.0)], (B, 10100, 2.0),
        [(1.0, px(10000), 2, 1), (1.0, px(10100), 2, 0)],
        [], [], [(FILLED, 0.0)] * 3,
        id="best-ask-before-earlier-arrival",
    ),
    pytest.param(
        [(B, 9900, 1.0), (B, 10100, 1.0), (B, 10000, 1.0)], (S, 9950, 5.0),
        [(1.0, px(9950), 1, 3), (1.0, px(9950), 2, 3)],
        [(9900, 1.0)], [(9950, 3.0)], [(OPEN, 1.0), (FILLED, 0.0), (FILLED, 0.0), (OPEN, 3.0)],
        id="sell-sweeps-bids-highest-first-then-rests",
    ),
    pytest.param(
        [(S, 10000, 5.0), (S, 10000, 1.0), (B, 10000, 2.0)], (B, 10000, 3.5),
        [(3.0, px(10000), 3, 0), (0.5, px(10000), 3, 1)],
        [], [(10000, 0.5)], [(FILLED, 0.0), (OPEN, 0.5), (FILLED, 0.0), (FILLED, 0.0)],
        id="partially-filled-resting-order-keeps-front",
    ),
    pytest.param(
        [(S, 10000, 5.0), (S, 10000, 1.0)], (B, 10000, 2.0),
        [(2.0, px(10000), 2, 0)],
        [], [(10000, 3.0), (10000, 1.0)], [(OPEN, 3.0), (OPEN, 1.0), (FILLED, 0.0)],
        id="partial-fill-stays-ahead-of-later-arrival",
    ),
    pytest.param(
        [(S, 10000, 2.0), (S, 10100, 1.0)], (B, 10000, 2.0),
        [(2.0, px(10000), 2, 0)], [], [(10100, 1.0)], [(FILLED, 0.0), (OPEN, 1.0), (FILLED, 0.0)],
        id="exact-match-at-best-ask-empties-level",
    ),
    pytest.param(
        [(S, 10000, 1.0)], (B, 9999, 1.0),
        [], [(9999, 1.0)], [(10000, 1.0)], [(OPEN, 1.0), (OPEN, 1.0)],
        id="buy-below-best-ask-rests",
    ),
    pytest.param(
        [(B, 10000, 1.0)], (S, 10001, 1.0),
        [], [(10000, 1.0)], [(10001, 1.0)], [(OPEN, 1.0), (OPEN, 1.0)],
        id="sell-above-best-bid-rests",
    ),
    pytest.param(
        [(B, 10000, 1.0)], (S, 10000, 4.0),
        [(1.0, px(10000), 0, 1)], [], [(10000, 3.0)], [(FILLED, 0.0), (OPEN, 3.0)],
        id="sell-at-exactly-best-bid-trades-and-rests",
    ),
    pytest.param(
        [(S, 10000, 1.0), (S, 10050, 1.0), (S, 10100, 1.0), (S, 10200, 1.0)], (B, 10100, 2.5),
        [(1.0, px(10000), 4, 0), (1.0, px(10050), 4, 1), (0.5, px(10100), 4, 2)],
        [], [(10100, 0.5), (10200, 1.0)],
        [(FILLED, 0.0), (FILLED, 0.0), (OPEN, 0.5), (OPEN, 1.0), (FILLED, 0.0)],
        id="sweeps-levels-up-to-limit",
    ),
    pytest.param(
        [(B, 10000, 1.0)], (B, 10100, 1.0),
        [], [(10000, 1.0), (10100, 1.0)], [], [(OPEN, 1.0), (OPEN, 1.0)],
        id="same-side-never-trades",
    ),
    pytest.param(
        # Quantities are exact float arithmetic: no tolerance rounds the remainder away.
        [(S, 10000, 0.1), (S, 10000, 0.2)], (B, 10000, 0.3),
        [(0.1, px(10000), 2, 0), (0.3 - 0.1, px(10000), 2, 1)],
        [], [(10000, 0.2 - (0.3 - 0.1))],
        [(FILLED, 0.0), (OPEN, 0.2 - (0.3 - 0.1)), (FILLED, 0.0)],
        id="float-remainder-stays-open",
    ),
    pytest.param(
        [(S, 9000, 1.0)], (B, 9223372036854775807, 1.0),
        [(1.0, px(9000), 1, 0)], [], [], [(FILLED, 0.0), (FILLED, 0.0)],
        id="extreme-buy-price-pays-sell-price",
    ),
]


@pytest.mark.parametrize("earlier, incoming, fills, buys, sells, recorded", CASES)
def test_matching(earlier, incoming, fills, buys, sells, recorded):
    book = OrderBook(TICK)
    orders = [Order(*fields) for fields in earlier + [incoming]]
    for order in orders[:-1]:
        book.add(order)

    before = time.time_ns()
    result = book.add(orders[-1])
    after = time.time_ns()

    assert type(result) is list
    got = [(f.quantity, f.price, f.buy_id, f.sell_id) for f in result]
    want = [(q, p, orders[b].id, orders[s].id) for q, p, b, s in fills]
    assert got == want
    stamps = [f.timestamp for f in result]
    assert stamps == sorted(stamps)
    assert all(before <= t <= after for t in stamps)
    assert levels(book.buy_orders) == buys
    assert levels(book.sell_orders) == sells
    for order, (status, quantity) in zip(orders, recorded):
        stored = book.get_order(order.id)
        assert (stored.status, stored.quantity) == (status, quantity)
        # Matching never touches identity, price or creation time.
        assert (stored.id, stored.side, stored.price_in_ticks, stored.timestamp) == (
            order.id, order.side, order.price_in_ticks, order.timestamp)


def test_fills_are_fill_objects():
    book = OrderBook()
    sell = Order(S, 10000, 1.0)
    book.add(sell)
    buy = Order(B, 10000, 1.0)
    fills = book.add(buy)
    assert len(fills) == 1 and type(fills[0]) is Fill
    assert repr(fills[0]) == (
        f"[1.00 @ 100.00] Buy: {buy.id}, Sell: {sell.id}, Filled at {fills[0].timestamp}")


def test_caller_order_is_never_changed():
    book = OrderBook()
    book.add(Order(S, 10000, 2.0))
    buy = Order(B, 10000, 5.0)
    seen = (buy.id, buy.side, buy.price_in_ticks, buy.quantity, buy.status, buy.timestamp)
    book.add(buy)
    assert (buy.id, buy.side, buy.price_in_ticks, buy.quantity, buy.status, buy.timestamp) == seen
    assert buy.is_open()

    # Completely filled inside the book, still open outside it.
    sell = Order(S, 10000, 3.0)
    assert len(book.add(sell)) == 1
    assert book.get_order(sell.id).status == FILLED
    assert (sell.quantity, sell.status) == (3.0, OPEN)


def test_add_of_filled_order_only_records_it():
    book = OrderBook()
    resting = Order(S, 10000, 2.0)
    book.add(resting)
    done, other = Order(B, 10000, 1.0), Order(S, 10000, 1.0)
    done.fill(other, TICK)
    assert done.status == FILLED
    before = snapshot(book, [resting.id])

    assert book.add(done) == []
    assert snapshot(book, [resting.id]) == before
    stored = book.get_order(done.id)
    assert (stored.status, stored.quantity) == (FILLED, 0.0)


def test_same_order_added_twice_rests_two_copies():
    book = OrderBook()
    buy = Order(B, 10000, 1.5)
    assert book.add(buy) == []
    assert book.add(buy) == []
    assert [(o.id, o.price_in_ticks, o.quantity) for o in book.buy_orders] == [
        (buy.id, 10000, 1.5), (buy.id, 10000, 1.5)]
    assert book.buy_volume() == 3.0

    # Both copies trade, one after the other, under the one identifier.
    sell = Order(S, 10000, 3.0)
    fills = book.add(sell)
    assert [(f.quantity, f.buy_id, f.sell_id) for f in fills] == [
        (1.5, buy.id, sell.id), (1.5, buy.id, sell.id)]
    assert book.buy_orders == []
    assert book.get_order(buy.id).status == FILLED


def test_add_keyword_name():
    book = OrderBook()
    order = Order(B, 10000, 1.0)
    assert book.add(incoming_order=order) == []
    assert levels(book.buy_orders) == [(10000, 1.0)]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b, o: b.add(order=o), "OrderBook.add() got an unexpected keyword argument 'order'"),
        (lambda b, o: b.add(5),
         "argument 'incoming_order': 'int' object cannot be converted to 'Order'"),
        (lambda b, o: b.add(None),
         "argument 'incoming_order': 'NoneType' object cannot be converted to 'Order'"),
        (lambda b, o: b.add(kestrova.Fill(1.0, 1.0, "a", "b", 0)),
         "argument 'incoming_order': 'Fill' object cannot be converted to 'Order'"),
        (lambda b, o: b.add(), "OrderBook.add() missing 1 required positional argument: 'incoming_order'"),
        (lambda b, o: b.add(o, o), "OrderBook.add() takes 1 positional arguments but 2 were given"),
        (lambda b, o: b.add(o, incoming_order=o),
         "OrderBook.add() got multiple values for argument 'incoming_order'"),
    ],
    ids=["doc-keyword", "int", "none", "fill", "missing", "too-many", "twice"],
)
def test_add_argument_errors_leave_book_unchanged(call, message):
    book = OrderBook()
    resting = [Order(S, 10000, 1.0), Order(B, 9900, 2.0)]
    for order in resting:
        book.add(order)
    crossing = Order(B, 10000, 1.0)
    before = snapshot(book, [o.id for o in resting] + [crossing.id])
    with pytest.raises(TypeError) as info:
        call(book, crossing)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert snapshot(book, [o.id for o in resting] + [crossing.id]) == before


def test_fill_prices_use_book_tick_size():
    book = OrderBook(0.5)
    book.add(Order(B, 7, 1.0))
    fills = book.add(Order(S, 3, 1.0))
    assert [f.price for f in fills] == [1.5]
