import math
import operator

import pytest

from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell


def one(side=BUY, price=1, quantity=1.0):
    return Order(side, price, quantity)


class Num:  # converts via __index__ (Real: __float__): raises value if an exception, calls it if callable
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value() if callable(self.value) else self.value


class Real(Num):
    __float__, __index__ = Num.__index__, None


TypeErrorSub = type("TypeErrorSub", (TypeError,), {})
CAUSED = TypeError("bad quantity")
CAUSED.__cause__ = KeyError("root")
MUT, BORROWED = RuntimeError("Already mutably borrowed"), RuntimeError("Already borrowed")
STATE = operator.attrgetter("id", "side", "price_in_ticks", "quantity", "status", "timestamp")


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: Order(),
            "Order.__new__() missing 3 required positional arguments: "
            "'side', 'price_in_ticks', and 'quantity'",
        ),
        (
            lambda: Order(BUY, 1),
            "Order.__new__() missing 1 required positional argument: 'quantity'",
        ),
        (
            lambda: Order(quantity=1.0),
            "Order.__new__() missing 2 required positional arguments: 'side' and 'price_in_ticks'",
        ),
        (
            lambda: Order(BUY, 1, 1.0, 4),
            "Order.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: Order(BUY, 1, 1.0, side=BUY),
            "Order.__new__() got multiple values for argument 'side'",
        ),
        (lambda: Order(**{"sïde": 1}), "Order.__new__() got an unexpected keyword argument 'sïde'"),
        (
            lambda: OrderBook(0.01, 2),
            "OrderBook.__new__() takes from 0 to 1 positional arguments but 2 were given",
        ),
        (
            lambda: (o := one()).fill(o),
            "Order.fill() missing 1 required positional argument: 'tick_size'",
        ),
        (
            lambda: one().fill(one(), incoming=one()),
            "Order.fill() got multiple values for argument 'incoming'",
        ),
        (
            lambda: OrderBook().add(1, 2, bogus=3),
            "OrderBook.add() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: OrderBook().add(order=one()),
            "OrderBook.add() got an unexpected keyword argument 'order'",
        ),
        (lambda: one().is_open(1), "Order.is_open() takes no arguments (1 given)"),
        (lambda: OrderBook().best_bid(side=1), "OrderBook.best_bid() takes no keyword arguments"),
    ],
)
def test_binding_errors(call, message):
    error = pytest.raises(TypeError, call).value
    assert type(error) is TypeError and str(error) == message


def test_keywords_bind_like_positions():
    o = Order(quantity=2.5, side=SELL, price_in_ticks=7)
    f = Fill(timestamp=5, sell_id="s", buy_id="b", price=2.0, quantity=1.0)
    assert (o.side, o.price_in_ticks, o.quantity) == (SELL, 7, 2.5)
    assert (f.quantity, f.price, f.buy_id, f.sell_id, f.timestamp) == (1.0, 2.0, "b", "s", 5)
    assert (
        one(BUY, 9).can_match(other=o) and one(BUY, 9).fill(tick_size=0.5, incoming=o).price == 3.5
    )
    book = OrderBook(tick_size=0.5)
    made = book.create_order(quantity=1.0, price=1.5, side=BUY)
    assert made.price_in_ticks == 3 and book.add(incoming_order=made) == []
    assert book.get_order(order_id=made.id).id == made.id and book.update_order(order=one()) is None
    assert book.cancel(order_id=made.id) is True


CONVERT = {
    "float": lambda v: (Fill(v, v, "b", "s", 0).price, OrderBook(v).tick_size)[0],
    "int": lambda v: Order(BUY, v, 1.0).price_in_ticks,
    "uint": lambda v: Fill(1.0, 1.0, "b", "s", v).timestamp,
    "text": lambda v: (Fill(1.0, 1.0, v, v, 0).sell_id, OrderBook().get_order(v))[0],
}


@pytest.mark.parametrize(
    "kind, value, expected",
    [
        ("float", -1.0, -1.0),
        ("float", 5, 5.0),
        ("float", True, 1.0),
        ("float", 2**64, 2.0**64),
        ("float", Real(0.25), 0.25),
        ("float", Real(-1.0), -1.0),
        ("float", Num(3), 3.0),
        ("float", type("FloatSub", (float,), {"__float__": lambda s: 9.0})(2.0), 2.0),
        ("int", True, 1),
        ("int", Num(9), 9),
        ("int", 2**63 - 1, 2**63 - 1),
        ("uint", 2**64 - 1, 2**64 - 1),
        ("uint", True, 1),
        ("uint", Num(12), 12),
        ("text", "", ""),
        ("text", "ünï ✓\0", "ünï ✓\0"),
        ("text", type("StrSub", (str,), {})("sub"), "sub"),
    ],
)
def test_accepted_arguments(kind, value, expected):
    result = CONVERT[kind](value)
    assert type(result) is type(expected) and result == expected


SITES = {  # target type: (parameter, call with the bad value)
    float: [
        ("quantity", lambda v: Fill(v, 1, "", "", 0)),
        ("price", lambda v: Fill(1, v, "", "", 0)),
        ("quantity", lambda v: Order(BUY, 1, v)),
        ("tick_size", OrderBook),
        ("tick_size", lambda v: one().fill(one(), v)),
        ("price", lambda v: OrderBook().create_order(BUY, v, 1)),
    ],
    int: [
        ("price_in_ticks", lambda v: Order(BUY, v, 1.0)),
        ("timestamp", lambda v: Fill(1, 1, "", "", v)),
    ],
    "PyString": [
        ("buy_id", lambda v: Fill(1, 1, v, "", 0)),
        ("sell_id", lambda v: Fill(1, 1, "", v, 0)),
        ("order_id", lambda v: OrderBook().cancel(v)),
        ("order_id", lambda v: OrderBook().get_order(v)),
    ],
    "OrderType": [
        ("side", lambda v: Order(v, 1, 1.0)),
        ("side", lambda v: OrderBook().create_order(v, 1, 1)),
    ],
    "Order": [
        ("other", lambda v: one().can_match(v)),
        ("incoming", lambda v: one().fill(v, 0.01)),
        ("incoming_order", lambda v: OrderBook().add(v)),
        ("order", lambda v: OrderBook().update_order(v)),
    ],
}
BAD = {
    float: ["1.0", None, b"1", Real("x")],
    int: [100.0, "1", None, Real(1.0)],
    "PyString": [5, b"abc", None, type("I", (), {"__qualname__": "Outer.Inner"})()],
    "OrderType": [1, OrderStatus.Open, "Buy", one()],
    "Order": [5, SELL, Fill(1, 1, "", "", 0), "id", None],
}


@pytest.mark.parametrize(
    "target, name, call, value",
    [(t, *site, v) for t, sites in SITES.items() for site in sites for v in BAD[t]],
)
def test_rejected_arguments_name_the_parameter(target, name, call, value):
    error = pytest.raises(TypeError, call, value).value
    expected = f"'{type(value).__qualname__}' object cannot be converted to '{target}'"
    if target in (float, int):  # the interpreter's own message for the same conversion
        convert = math.sqrt if target is float else operator.index
        expected = str(pytest.raises(TypeError, convert, value).value)
    assert type(error) is TypeError and str(error) == f"argument '{name}': {expected}"


@pytest.mark.parametrize(
    "call, error, message",
    [  # the first failing argument is named
        (lambda: Order(1, 100.0, "x"), TypeError, "argument 'side': "),
        (lambda: Fill("q", "p", 1, 2, -1), TypeError, "argument 'quantity': "),
        (lambda: Fill(1.0, 1.0, 1, 2, -1), TypeError, "argument 'buy_id': "),
        (lambda: one().fill(5, "t"), TypeError, "argument 'incoming': "),
        (lambda: Fill(Real(CAUSED), 1, "", "", 0), TypeError, "argument 'quantity': bad quantity"),
        (lambda: Order(BUY, 2**63, 1.0), OverflowError, "int too big to convert"),
        (lambda: Order(BUY, -(2**63) - 1, 1.0), OverflowError, "int too big to convert"),
        (
            lambda: Fill(1.0, 1.0, "b", "s", Num(-3)),
            OverflowError,
            "can't convert negative int to unsigned",
        ),
        (lambda: Fill(1.0, 1.0, "b", "s", 2**64), OverflowError, "int too big to convert"),
        (
            lambda: OrderBook().cancel("\udfff"),
            UnicodeEncodeError,
            "'utf-8' codec can't encode character '\\udfff' in position 0: surrogates not allowed",
        ),
        (lambda: Order(BUY, Num(TypeErrorSub("t")), 1.0), TypeErrorSub, "t"),
        (lambda: Order(BUY, 1, Real(ValueError("v"))), ValueError, "v"),
    ],
)
def test_conversion_errors(call, error, message):
    raised = pytest.raises(error, call).value
    assert type(raised) is error and str(raised).startswith(message) and raised is not CAUSED
    assert error is TypeError or str(raised) == message  # passed on unchanged
    assert raised.__cause__ is (CAUSED.__cause__ if "bad quantity" in message else None)


@pytest.mark.parametrize(
    "act, error",
    [
        (lambda a, b: a.quantity, MUT),
        (lambda a, b: b.is_open(), MUT),
        (lambda a, b: repr(a), MUT),
        (lambda a, b: OrderBook().add(a), MUT),
        (lambda a, b: a.fill(one(SELL), 0.01), BORROWED),
        (lambda a, b: one().fill(b, 0.01), BORROWED),
        (lambda a, b: {}["no tick"], KeyError("no tick")),
    ],
)
def test_hostile_tick_size_during_fill_changes_nothing(act, error):
    a, b = one(BUY, 100, 5.0), one(SELL, 90, 3.0)
    before, caught = (STATE(a), STATE(b)), []

    def tick():
        try:
            act(a, b)
        except Exception as exc:
            caught.append(exc)
            raise

    raised = pytest.raises(type(error), a.fill, b, Real(tick)).value
    assert raised is caught[0] and str(raised) == str(error) and (STATE(a), STATE(b)) == before
    assert a.fill(b, 0.01).quantity == 3.0 and b.status == OrderStatus.Filled


def test_borrow_errors_leave_orders_unchanged_and_are_recoverable():
    a, b, book = one(BUY, 100, 5.0), one(SELL, 90, 3.0), OrderBook()
    before = STATE(a)
    error = pytest.raises(RuntimeError, a.fill, a, 0.01).value
    assert type(error) is RuntimeError and str(error) == "Already borrowed"
    assert STATE(a) == before and a.can_match(a) is False  # shared borrows coexist

    def tick():
        pytest.raises(RuntimeError, getattr, a, "quantity").match("^Already mutably borrowed$")
        book.add(one(SELL, 100, 4.0))  # other objects stay usable
        return 0.5

    fill = a.fill(b, Real(tick))
    assert (fill.quantity, fill.price, a.quantity, b.quantity) == (3.0, 45.0, 2.0, 0.0)
    assert book.best_ask() == (100, 4.0)
