"""OrderBook.add, cancel, get_order and update_order."""

import time
import uuid

import pytest

from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

B, S = OrderType.Buy, OrderType.Sell
OPEN, FILLED = OrderStatus.Open, OrderStatus.Filled
REST = 0.2 - (0.3 - 0.1)  # 2.8e-17: exact float arithmetic leaves it open


def px(ticks):
    return float(ticks) * 0.01


def levels(orders):
    return [(o.price_in_ticks, o.quantity) for o in orders]


def fields(o):
    return o.id, o.side, o.price_in_ticks, o.quantity, o.status, o.timestamp


def views(book):
    return (
        [fields(o) for o in book.buy_orders],
        [fields(o) for o in book.sell_orders],
        book.best_bid(),
        book.best_ask(),
        book.buy_volume(),
        book.sell_volume(),
        repr(book),
    )


def fill_book(shapes):
    """Adds an Order per shape in turn; an int shape adds that earlier order again."""
    book, orders = OrderBook(), []
    for shape in shapes:
        orders.append(orders[shape] if isinstance(shape, int) else Order(*shape))
        book.add(orders[-1])
    return book, orders


# earlier orders are added first; fills are (qty, price, buy index, sell index) with the
# incoming order last; then the resting (ticks, qty) per side and each order's stored state.
@pytest.mark.parametrize(
    "earlier, incoming, fills, buys, sells, stored",
    [
        pytest.param(
            [], (B, 10000, 5.0), [], [(10000, 5.0)], [], [(OPEN, 5.0)], id="rests-on-empty"
        ),
        pytest.param(
            [(S, 10000, 3.0)],
            (B, 10100, 5.0),
            [(3.0, px(10000), 1, 0)],
            [(10100, 2.0)],
            [],
            [(FILLED, 0.0), (OPEN, 2.0)],
            id="partial-at-sell-price",
        ),
        pytest.param(
            [(B, 10100, 5.0)],
            (S, 9900, 2.0),
            [(2.0, px(9900), 0, 1)],
            [(10100, 3.0)],
            [],
            [(OPEN, 3.0), (FILLED, 0.0)],
            id="sell-at-own-price",
        ),
        pytest.param(
            [(S, 10100, 3.0), (S, 10000, 1.0), (S, 10000, 2.0)],
            (B, 10100, 6.0),
            [(1.0, px(10000), 3, 1), (2.0, px(10000), 3, 2), (3.0, px(10100), 3, 0)],
            [],
            [],
            [(FILLED, 0.0)] * 4,
            id="best-level-first-then-fifo",
        ),
        pytest.param(
            [(B, 9900, 1.0), (B, 10000, 1.0), (B, 10100, 1.0)],
            (S, 10000, 5.0),
            [(1.0, px(10000), 2, 3), (1.0, px(10000), 1, 3)],
            [(9900, 1.0)],
            [(10000, 3.0)],
            [(OPEN, 1.0), (FILLED, 0.0), (FILLED, 0.0), (OPEN, 3.0)],
            id="sell-sweeps-highest-bids-to-limit-then-rests",
        ),
        pytest.param(
            [(S, 10000, 5.0), (S, 10000, 1.0), (B, 10000, 2.0)],
            (B, 10000, 3.5),
            [(3.0, px(10000), 3, 0), (0.5, px(10000), 3, 1)],
            [],
            [(10000, 0.5)],
            [(FILLED, 0.0), (OPEN, 0.5), (FILLED, 0.0), (FILLED, 0.0)],
            id="partially-filled-resting-keeps-front",
        ),
        pytest.param(
            [(S, 10000, 2.0), (S, 10100, 1.0)],
            (B, 10000, 2.0),
            [(2.0, px(10000), 2, 0)],
            [],
            [(10100, 1.0)],
            [(FILLED, 0.0), (OPEN, 1.0), (FILLED, 0.0)],
            id="exact-match-empties-level",
        ),
        pytest.param(
            [(S, 10000, 1.0), (B, 9999, 1.0)],
            (S, 10000, 2.0),
            [],
            [(9999, 1.0)],
            [(10000, 1.0), (10000, 2.0)],
            [(OPEN, 1.0), (OPEN, 1.0), (OPEN, 2.0)],
            id="one-tick-apart-rests",
        ),
        pytest.param(
            [(S, 10000, 0.1), (S, 10000, 0.2)],
            (B, 10000, 0.3),
            [(0.1, px(10000), 2, 0), (0.3 - 0.1, px(10000), 2, 1)],
            [],
            [(10000, REST)],
            [(FILLED, 0.0), (OPEN, REST), (FILLED, 0.0)],
            id="float-remainder-stays-open",
        ),
        pytest.param(
            [(S, 9000, 1.0)],
            (B, 2**63 - 1, 1.0),
            [(1.0, px(9000), 1, 0)],
            [],
            [],
            [(FILLED, 0.0), (FILLED, 0.0)],
            id="extreme-buy-pays-sell-price",
        ),
    ],
)
def test_matching(earlier, incoming, fills, buys, sells, stored):
    book, orders = fill_book(earlier)
    orders.append(Order(*incoming))
    before = time.time_ns()
    result = book.add(orders[-1])
    after = time.time_ns()
    assert all(type(f) is Fill for f in result)
    assert [(f.quantity, f.price, f.buy_id, f.sell_id) for f in result] == [
        (q, p, orders[b].id, orders[s].id) for q, p, b, s in fills
    ]
    stamps = [f.timestamp for f in result]
    assert stamps == sorted(stamps) and all(before <= t <= after for t in stamps)
    assert (levels(book.buy_orders), levels(book.sell_orders)) == (buys, sells)
    for order, state in zip(orders, stored, strict=True):
        got = book.get_order(order.id)
        assert (got.status, got.quantity) == state
        assert fields(got)[:3] + fields(got)[5:] == fields(order)[:3] + fields(order)[5:]


def test_add_of_filled_order_only_records_it():
    book, (resting,) = fill_book([(S, 10000, 2.0)])
    done = Order(B, 10000, 1.0)
    done.fill(Order(S, 10000, 1.0), 0.01)
    before = views(book)
    assert book.add(done) == []
    assert views(book) == before
    assert fields(book.get_order(done.id)) == fields(done)


@pytest.mark.parametrize(
    "make_id",
    [
        lambda i: "",
        lambda i: str(uuid.uuid4()),
        lambda i: i.upper(),
        lambda i: " " + i,
        lambda i: i + "\n",
        lambda i: i[:-1],
        lambda i: i.replace("-", "0"),
    ],
    ids=["empty", "fresh", "upper", "leading-space", "trailing-newline", "short", "hyphens-as-0"],
)
def test_unknown_ids(make_id):
    book, (buy, sell) = fill_book([(B, 9900, 1.0), (S, 10100, 2.0)])
    before = views(book)
    assert book.get_order(make_id(buy.id)) is None
    assert book.cancel(make_id(buy.id)) is False
    assert views(book) == before
    assert fields(book.get_order(buy.id)) == fields(buy)


class Text(str):
    pass


# An id's text in every form a str can take: the lookup reads its UTF-8 bytes.
@pytest.mark.parametrize(
    "make_id, found",
    [
        (lambda i: i, True),
        (lambda i: Text(i), True),
        (lambda i: "".join(list(i)), True),
        (lambda i: (" " + i)[1:], True),
        (lambda i: i.encode().decode("utf-8"), True),
        (lambda i: i.encode("utf-16-le").decode("utf-16-le"), True),
        (lambda i: i[:-1] + "\u00e9", False),
        (lambda i: Text(i[:-1] + "\u0101"), False),
        (lambda i: i[:-1] + "\U0001f600", False),
        (lambda i: "\u00e9" * 36, False),
    ],
    ids=[
        "same-str",
        "str-subclass",
        "joined",
        "sliced",
        "decoded-utf-8",
        "decoded-utf-16",
        "latin-1-char",
        "subclass-two-byte-char",
        "four-byte-char",
        "36-non-ascii-chars",
    ],
)
def test_ids_in_any_str_form(make_id, found):
    book, (buy, _) = fill_book([(B, 9900, 1.0), (S, 10100, 2.0)])
    got = book.get_order(make_id(buy.id))
    assert (got is not None and fields(got) == fields(buy)) is found and (got is None) is not found
    assert book.cancel(make_id(buy.id)) is found
    assert (book.get_order(buy.id) is None) is found


# Orders added in turn (an int re-adds an earlier one), the index cancelled, and the resting
# (ticks, qty) per side afterwards.
@pytest.mark.parametrize(
    "shapes, gone, buys, sells",
    [
        ([(B, 9900, 1.0), (B, 10000, 2.5)], 1, [(9900, 1.0)], []),
        ([(S, 10100, 1.0), (S, 10000, 1.0)], 1, [], [(10100, 1.0)]),
        ([(S, 10000, 1.0)], 0, [], []),
        ([(B, 10000, 1.0), (B, 10000, 2.0), (B, 10000, 3.0)], 0, [(10000, 2.0), (10000, 3.0)], []),
        ([(B, 10000, 1.0), (B, 10000, 2.0), (B, 10000, 3.0)], 1, [(10000, 1.0), (10000, 3.0)], []),
        ([(B, 10000, 1.0), (B, 10000, 2.0), (B, 10000, 3.0)], 2, [(10000, 1.0), (10000, 2.0)], []),
        ([(S, 10000, 1.0), (S, 10000, 2.0), 0], 0, [], [(10000, 2.0)]),
        ([(S, 10000, 5.0), (S, 10000, 1.0), (B, 10000, 2.0)], 0, [], [(10000, 1.0)]),
        ([(S, 10000, 3.0), (B, 10000, 1.0)], 1, [], [(10000, 2.0)]),
        ([(B, 10000, 1.0), (S, 10000, 3.0)], 0, [], [(10000, 2.0)]),
    ],
    ids=[
        "best-bid-level",
        "best-ask-level",
        "last-level",
        "first-in-level",
        "middle-in-level",
        "last-in-level",
        "every-copy",
        "partially-filled",
        "filled-incoming",
        "filled-resting",
    ],
)
def test_cancel(shapes, gone, buys, sells):
    book, orders = fill_book(shapes)
    assert book.cancel(orders[gone].id) is True
    assert (levels(book.buy_orders), levels(book.sell_orders)) == (buys, sells)
    assert book.best_bid() == (max(buys, key=lambda level: level[0]) if buys else None)
    assert book.best_ask() == (min(sells, key=lambda level: level[0]) if sells else None)
    assert book.buy_volume() == sum(q for _, q in buys)
    assert book.get_order(orders[gone].id) is None
    assert book.cancel(orders[gone].id) is False
    for order in orders:
        assert (book.get_order(order.id) is None) == (order.id == orders[gone].id)


def test_returned_orders_are_copies():
    book, (buy, _) = fill_book([(B, 10000, 5.0), (S, 10100, 2.0)])
    before = views(book)
    first, second, listed = book.get_order(buy.id), book.get_order(buy.id), book.buy_orders[0]
    assert len({id(first), id(second), id(listed), id(buy), id(book.buy_orders[0])}) == 5
    assert fields(first) == fields(second) == fields(listed) == fields(buy)
    for copy in (first, listed):
        copy.fill(Order(S, 10000, 5.0), 0.01)
    assert views(book) == before and fields(book.get_order(buy.id)) == fields(buy)


def test_update_order():
    book, (buy,) = fill_book([(B, 10000, 5.0)])
    changed = book.get_order(buy.id)
    changed.fill(Order(S, 10000, 4.0), 0.01)
    before = views(book)
    assert book.update_order(changed) is None
    changed.fill(Order(S, 10000, 0.5), 0.01)
    stored = book.get_order(buy.id)
    assert (stored.quantity, stored.status) == (1.0, OPEN)
    # The resting copy is untouched until the next fill writes it back over the stored one.
    assert views(book) == before
    book.add(Order(S, 10000, 1.0))
    stored = book.get_order(buy.id)
    assert (stored.quantity, stored.status) == (4.0, OPEN)

    # An order the book never saw is known to lookups only; cancelling it touches no level.
    stranger = Order(B, 10000, 4.0)
    before = views(book)
    book.update_order(order=stranger)
    assert fields(book.get_order(stranger.id)) == fields(stranger)
    assert views(book) == before
    assert book.cancel(stranger.id) is True
    assert views(book) == before and book.get_order(stranger.id) is None
