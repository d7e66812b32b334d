import math
import operator

import pytest

from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

BUY = OrderType.Buy


class Num:
    """Goes through __index__ only, returning or raising what it is given."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Real(Num):
    """Goes through __float__ only."""

    __float__ = Num.__index__
    __index__ = None


class FloatSub(float):
    # a float subclass is read as the float it is, not through its __float__
    def __float__(self):
        return 99.0


class Outer:
    class Inner:
        pass


def interpreter_message(convert, value):
    """The interpreter's own TypeError text for converting value."""
    with pytest.raises(TypeError) as info:
        convert(value)
    return str(info.value)


@pytest.mark.parametrize(
    "value, expected",
    [(2.5, 2.5), (-1.0, -1.0), (5, 5.0), (True, 1.0), (2**64, float(2**64)),
     (Real(0.25), 0.25), (Real(-1.0), -1.0), (Num(3), 3.0), (FloatSub(2.0), 2.0)],
    ids=["float", "minus-one", "int", "bool", "big-int", "__float__", "__float__-minus-one",
         "__index__", "float-subclass"],
)
def test_float_arguments(value, expected):
    f = Fill(value, value, "b", "s", 0)
    assert type(f.quantity) is float and (f.quantity, f.price) == (expected, expected)
    assert OrderBook(value).tick_size == expected


@pytest.mark.parametrize("value", ["1.0", None, b"1", Real("x")],
                         ids=["str", "None", "bytes", "__float__-returns-str"])
def test_float_arguments_rejected(value):
    expected = interpreter_message(math.sqrt, value)
    for call, name in [
        (lambda: Fill(value, 1.0, "b", "s", 0), "quantity"),
        (lambda: Fill(1.0, value, "b", "s", 0), "price"),
        (lambda: Order(BUY, 1, value), "quantity"),
        (lambda: OrderBook(value), "tick_size"),
        (lambda: Order(BUY, 1, 1.0).fill(Order(BUY, 1, 1.0), value), "tick_size"),
        (lambda: OrderBook().create_order(BUY, value, 1.0), "price"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument '{name}': {expected}"


@pytest.mark.parametrize("value, expected", [(7, 7), (True, 1), (Num(9), 9), (2**63 - 1, 2**63 - 1)],
                         ids=["int", "bool", "__index__", "max"])
def test_signed_arguments(value, expected):
    o = Order(BUY, value, 1.0)
    assert type(o.price_in_ticks) is int and o.price_in_ticks == expected
    assert repr(o).startswith(f"[Buy 1 @ {expected}] [")


@pytest.mark.parametrize("value", [100.0, "1", None, Real(1.0)],
                         ids=["float", "str", "None", "__float__-only"])
def test_signed_arguments_rejected(value):
    with pytest.raises(TypeError) as info:
        Order(BUY, value, 1.0)
    expected = interpreter_message(operator.index, value)
    assert str(info.value) == f"argument 'price_in_ticks': {expected}"


@pytest.mark.parametrize("value, expected", [(0, 0), (2**64 - 1, 2**64 - 1), (True, 1), (Num(12), 12)],
                         ids=["zero", "max", "bool", "__index__"])
def test_unsigned_arguments(value, expected):
    f = Fill(1.0, 1.0, "b", "s", value)
    assert type(f.timestamp) is int and f.timestamp == expected
    assert repr(f).endswith(f", Filled at {expected}")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Order(BUY, 2**63, 1.0), "int too big to convert"),
        (lambda: Order(BUY, -(2**63) - 1, 1.0), "int too big to convert"),
        (lambda: Fill(1.0, 1.0, "b", "s", -1), "can't convert negative int to unsigned"),
        (lambda: Fill(1.0, 1.0, "b", "s", Num(-3)), "can't convert negative int to unsigned"),
        (lambda: Fill(1.0, 1.0, "b", "s", 2**64), "int too big to convert"),
    ],
    ids=["signed-2**63", "signed-below-min", "unsigned-minus-one", "unsigned-__index__-negative",
         "unsigned-2**64"],
)
def test_out_of_range_integers_pass_unchanged(call, message):
    with pytest.raises(OverflowError) as info:
        call()
    assert type(info.value) is OverflowError and str(info.value) == message


@pytest.mark.parametrize("value", [1.0, "1", None], ids=["float", "str", "None"])
def test_unsigned_arguments_rejected(value):
    with pytest.raises(TypeError) as info:
        Fill(1.0, 1.0, "b", "s", value)
    expected = interpreter_message(operator.index, value)
    assert str(info.value) == f"argument 'timestamp': {expected}"


class StrSub(str):
    pass


@pytest.mark.parametrize("text", ["", "ünïcødé ✓", "a\0b", StrSub("sub"), "x" * 10_000],
                         ids=["empty", "non-ascii", "nul", "str-subclass", "long"])
def test_text_arguments_round_trip(text):
    f = Fill(1.0, 1.0, text, text, 0)
    assert type(f.buy_id) is str and f.buy_id == text and f.sell_id == text
    assert OrderBook().get_order(text) is None


@pytest.mark.parametrize(
    "value, type_name",
    [(5, "int"), (b"abc", "bytes"), (None, "NoneType"), (Outer.Inner(), "Outer.Inner")],
    ids=["int", "bytes", "None", "nested-class"],
)
def test_text_arguments_rejected(value, type_name):
    conversion = f"'{type_name}' object cannot be converted to 'PyString'"
    for call, name in [
        (lambda: Fill(1.0, 1.0, value, "s", 0), "buy_id"),
        (lambda: Fill(1.0, 1.0, "b", value, 0), "sell_id"),
        (lambda: OrderBook().cancel(value), "order_id"),
        (lambda: OrderBook().get_order(value), "order_id"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"argument '{name}': {conversion}"


def test_unencodable_text_passes_unchanged():
    for call in [lambda: Fill(1.0, 1.0, "ok\ud800", "s", 0), lambda: OrderBook().cancel("\udfff")]:
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert info.value.reason == "surrogates not allowed"


@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (OrderStatus.Open, "OrderStatus"), ("Buy", "str"), (Order(BUY, 1, 1.0), "Order")],
    ids=["int", "status", "name", "order"],
)
def test_side_arguments_rejected(value, type_name):
    message = f"argument 'side': '{type_name}' object cannot be converted to 'OrderType'"
    for call in [lambda: Order(value, 100, 5.0), lambda: OrderBook().create_order(value, 1.0, 1.0)]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


@pytest.mark.parametrize(
    "call, name, type_name",
    [
        (lambda o: o.can_match(5), "other", "int"),
        (lambda o: o.can_match(OrderType.Sell), "other", "OrderType"),
        (lambda o: o.fill(Fill(1.0, 1.0, "b", "s", 0), 0.01), "incoming", "Fill"),
        (lambda o: OrderBook().add(o.id), "incoming_order", "str"),
        (lambda o: OrderBook().update_order(None), "order", "NoneType"),
    ],
    ids=["can_match-int", "can_match-side", "fill-fill", "add-str", "update-None"],
)
def test_order_arguments_rejected(call, name, type_name):
    o = Order(BUY, 1, 1.0)
    with pytest.raises(TypeError) as info:
        call(o)
    assert str(info.value) == f"argument '{name}': '{type_name}' object cannot be converted to 'Order'"
    assert o.quantity == 1.0 and o.status == OrderStatus.Open


@pytest.mark.parametrize(
    "call, name",
    [(lambda: Order(1, 100.0, "x"), "side"), (lambda: Order(BUY, 100.0, "x"), "price_in_ticks"),
     (lambda: Fill("q", "p", 1, 2, -1), "quantity"), (lambda: Fill(1.0, 1.0, 1, 2, -1), "buy_id"),
     (lambda: Order(BUY, 1, 1.0).fill(5, "t"), "incoming")],
    ids=["order-side", "order-price", "fill-quantity", "fill-buy_id", "fill-incoming"],
)
def test_first_failing_argument_is_reported(call, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        call()


def test_rewritten_type_error_keeps_the_cause():
    cause = KeyError("root")
    error = TypeError("bad quantity")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        Fill(Real(error), 1.0, "b", "s", 0)
    assert type(info.value) is TypeError and info.value is not error
    assert str(info.value) == "argument 'quantity': bad quantity"
    assert info.value.__cause__ is cause

    with pytest.raises(TypeError) as info:
        Fill(1.0, 1.0, "b", "s", Num(TypeError("no index")))
    assert str(info.value) == "argument 'timestamp': no index"
    assert info.value.__cause__ is None


class TypeErrorSub(TypeError):
    pass


@pytest.mark.parametrize("error", [TypeErrorSub("custom"), ValueError("v"), KeyError("k")],
                         ids=["TypeError-subclass", "ValueError", "KeyError"])
def test_other_errors_from_conversions_pass_unchanged(error):
    for call in [lambda: Order(BUY, Num(error), 1.0), lambda: Order(BUY, 1, Real(error)),
                 lambda: Fill(1.0, 1.0, "b", "s", Num(error))]:
        with pytest.raises(type(error)) as info:
            call()
        assert info.value is error
