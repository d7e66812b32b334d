"""OrderBook construction, tick size, create_order and the class surface."""

import math
import re
import time
import types

import pytest

import kestrova
from kestrova import OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
MAX_TICKS = 9223372036854775807
NOT_POSITIVE = "Price and quantity must be positive"
BAD_TICKS = "Resulting price_in_ticks must be positive"
UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def float_error_text(value):
    # The interpreter's own wording for a failed float conversion.
    with pytest.raises(TypeError) as info:
        math.sqrt(value)
    return str(info.value)


def book_state(book):
    return (
        [(o.id, o.price_in_ticks, o.quantity) for o in book.buy_orders],
        [(o.id, o.price_in_ticks, o.quantity) for o in book.sell_orders],
        repr(book),
    )


class Floaty:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, 0.01),
        ((0.5,), {}, 0.5),
        ((), {"tick_size": 1}, 1.0),
        ((True,), {}, 1.0),
        ((Floaty(),), {}, 0.25),
        # Stored as given: the book never validates its tick size.
        ((0.0,), {}, 0.0),
        ((-0.5,), {}, -0.5),
    ],
    ids=["default", "half", "int-keyword", "bool", "dunder-float", "zero", "negative"],
)
def test_tick_size(args, kwargs, expected):
    book = OrderBook(*args, **kwargs)
    assert type(book.tick_size) is float
    assert book.tick_size == expected
    assert math.copysign(1.0, book.tick_size) == math.copysign(1.0, expected)


def test_tick_size_nan_and_inf_are_stored():
    assert math.isnan(OrderBook(float("nan")).tick_size)
    assert OrderBook(float("inf")).tick_size == math.inf


@pytest.mark.parametrize("value", [None, "0.01", [0.01]], ids=["none", "str", "list"])
def test_tick_size_conversion_error_names_argument(value):
    with pytest.raises(TypeError) as info:
        OrderBook(value)
    assert str(info.value).startswith("argument 'tick_size': ")
    assert type(info.value) is TypeError


def test_tick_size_is_read_only():
    book = OrderBook()
    with pytest.raises(AttributeError):
        book.tick_size = 0.5
    assert book.tick_size == 0.01


@pytest.mark.parametrize(
    "tick, price, ticks",
    [
        (0.01, 100.0, 10000),
        (0.01, 0.006, 1),
        (0.01, 99.99, 9999),
        # The quotient is rounded as a float: 1.005 / 0.01 is just under 100.5.
        (0.01, 1.005, 100),
        (0.5, 1.25, 3),
        (0.5, 0.75, 2),
        (1.0, 0.5, 1),
        (1.0, 2.5, 3),
        (1.0, 3.5, 4),
        (1.0, 2.4999999999999996, 2),
        (1.0, 7, 7),
        (0.0, 1.0, MAX_TICKS),
        (0.0, 1e-300, MAX_TICKS),
        (0.01, math.inf, MAX_TICKS),
        (0.01, 1e300, MAX_TICKS),
        (1.0, 9.3e18, MAX_TICKS),
    ],
    ids=[
        "hundred", "just-over-half-tick", "99.99", "float-quotient-below-half",
        "half-tick-2.5-away", "half-tick-1.5-away", "tie-0.5-away", "tie-2.5-away",
        "tie-3.5-away", "just-below-tie", "int-price", "zero-tick", "zero-tick-tiny",
        "inf-price-saturates", "huge-price-saturates", "beyond-int64-saturates",
    ],
)
def test_create_order_rounding(tick, price, ticks):
    book = OrderBook(tick)
    before = time.time_ns()
    order = book.create_order(BUY, price, 5.0)
    after = time.time_ns()
    assert type(order) is kestrova.Order
    assert order.price_in_ticks == ticks
    assert order.quantity == 5.0
    assert order.status == OrderStatus.Open
    assert order.side == BUY
    assert UUID4.match(order.id)
    assert before <= order.timestamp <= after


@pytest.mark.parametrize(
    "tick, price, quantity, message",
    [
        (0.01, 0.004, 1.0, BAD_TICKS),
        (0.01, 0.005 - 1e-12, 1.0, BAD_TICKS),
        (-0.5, 100.0, 1.0, BAD_TICKS),
        (-0.01, 1e300, 1.0, BAD_TICKS),
        (0.01, math.nan, 1.0, BAD_TICKS),
        (math.nan, 100.0, 1.0, BAD_TICKS),
        (0.01, 0.0, 1.0, NOT_POSITIVE),
        (0.01, -0.0, 1.0, NOT_POSITIVE),
        (0.01, -1.0, 1.0, NOT_POSITIVE),
        (0.01, -math.inf, 1.0, NOT_POSITIVE),
        (0.01, 100.0, 0.0, NOT_POSITIVE),
        (0.01, 100.0, -2.5, NOT_POSITIVE),
        (0.01, 100.0, math.nan, NOT_POSITIVE),
        (0.01, 100.0, math.inf, NOT_POSITIVE),
        (0.01, 100.0, -math.inf, NOT_POSITIVE),
        # The positivity test comes before the tick conversion.
        (-0.5, -1.0, 1.0, NOT_POSITIVE),
        (-0.5, 1.0, 0.0, NOT_POSITIVE),
        (math.nan, 1.0, math.nan, NOT_POSITIVE),
    ],
    ids=[
        "below-half-tick", "just-below-half-tick", "negative-tick", "negative-tick-huge",
        "nan-price", "nan-tick", "zero-price", "negative-zero-price", "negative-price",
        "minus-inf-price", "zero-qty", "negative-qty", "nan-qty", "inf-qty",
        "minus-inf-qty", "negative-tick-and-price", "negative-tick-zero-qty",
        "nan-tick-nan-qty",
    ],
)
def test_create_order_rejects(tick, price, quantity, message):
    book = OrderBook(tick)
    with pytest.raises(ValueError) as info:
        book.create_order(SELL, price, quantity)
    assert type(info.value) is ValueError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, 100.0, 1.0), "argument 'side': 'int' object cannot be converted to 'OrderType'"),
        ((OrderStatus.Open, 100.0, 1.0),
         "argument 'side': 'OrderStatus' object cannot be converted to 'OrderType'"),
        ((BUY, "100", 1.0), "argument 'price': " + float_error_text("100")),
        ((BUY, 100.0, None), "argument 'quantity': " + float_error_text(None)),
        # Arguments are converted in order, so the first bad one is reported.
        (("Buy", "x", None), "argument 'side': 'str' object cannot be converted to 'OrderType'"),
        ((BUY, None, "x"), "argument 'price': " + float_error_text(None)),
    ],
    ids=["int-side", "status-as-side", "str-price", "none-quantity", "side-first", "price-first"],
)
def test_create_order_conversion_errors(args, message):
    with pytest.raises(TypeError) as info:
        OrderBook().create_order(*args)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: OrderBook().create_order(BUY, 1.0),
         "OrderBook.create_order() missing 1 required positional argument: 'quantity'"),
        (lambda: OrderBook().create_order(BUY, 1.0, qty=1.0),
         "OrderBook.create_order() got an unexpected keyword argument 'qty'"),
        (lambda: OrderBook(0.01, 2),
         "OrderBook.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ],
    ids=["missing", "unknown-keyword", "ctor-too-many"],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_create_order_by_keyword_and_int_arguments():
    order = OrderBook(0.5).create_order(quantity=2, price=3, side=SELL)
    assert (order.side, order.price_in_ticks, order.quantity) == (SELL, 6, 2.0)
    assert type(order.quantity) is float


def test_create_order_does_not_touch_the_book():
    book = OrderBook()
    seed = book.create_order(SELL, 101.0, 1.0)
    book.add(seed)
    before = book_state(book)
    created = [book.create_order(side, 100.5, 2.0) for side in (BUY, SELL, BUY)]
    assert book_state(book) == before
    for order in created:
        assert book.get_order(order.id) is None
        assert book.cancel(order.id) is False
    # Equal arguments still give distinct orders.
    assert len({o.id for o in created}) == 3
    for args in [(BUY, -1.0, 1.0), (BUY, 0.001, 1.0), (1, 1.0, 1.0), (BUY, 1.0, math.nan)]:
        with pytest.raises((ValueError, TypeError)):
            book.create_order(*args)
    assert book_state(book) == before


@pytest.mark.parametrize(
    "member, doc, signature",
    [
        ("create_order",
         "Creates an order (but does not add to the book) based off the book's tick size.",
         "(self, side, price, quantity)"),
        ("add", "Adds an order to the book, attempting to match it with resting orders.",
         "(self, order)"),
        ("cancel", "Cancels an order by its ID.", "(self, order_id)"),
        ("get_order", "Retrieves an order by its ID. Returns None if the order is not found.",
         "(self, order_id)"),
        ("update_order", "Helper method to update an order in the `orders` map.",
         "($self, order)"),
        ("best_bid", "Helper method to get best bid", "($self)"),
        ("best_ask", "Helper method to get best ask", "($self)"),
        ("buy_volume", "Helper method to calculate total buy volume", "($self)"),
        ("sell_volume", "Helper method to calculate total sell volume", "($self)"),
        ("spread",
         "Calculate the current spread in the order book.\n"
         "Returns None if there are no orders on either side.\n"
         "The spread is returned in the same units as the prices (not ticks).",
         "($self)"),
        ("buy_orders", "Get a list of all buy orders", None),
        ("sell_orders", "Get a list of all sell orders", None),
        ("tick_size", "Return the tick size for informational purposes", None),
    ],
    ids=lambda v: v if isinstance(v, str) and v.isidentifier() else None,
)
def test_member_docstrings(member, doc, signature):
    attr = OrderBook.__dict__[member]
    assert attr.__doc__ == doc
    if signature is None:
        # Read-only properties: a getter with no setter behind it.
        assert isinstance(attr, types.GetSetDescriptorType)
    else:
        assert attr.__text_signature__ == signature


def test_class_docstring_and_names():
    assert OrderBook.__doc__ == "Represents the main order book for matching buy and sell orders."
    assert OrderBook.__text_signature__ == "(tick_size=0.01)"
    assert OrderBook.__module__ == "builtins"
    assert OrderBook.__name__ == OrderBook.__qualname__ == "OrderBook"


def test_member_table_is_exact():
    public = {name for name in vars(OrderBook) if not name.startswith("__")}
    assert public == {
        "create_order", "add", "cancel", "get_order", "update_order", "best_bid", "best_ask",
        "buy_volume", "sell_volume", "spread", "buy_orders", "sell_orders", "tick_size",
    }
