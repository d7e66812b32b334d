import os
import re
import time
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from kestrova import Order, OrderStatus, OrderType

ID_FORM = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


def text_of(o, quantity):
    side = "Buy" if o.side == OrderType.Buy else "Sell"
    return f"[{side} {quantity} @ {o.price_in_ticks}] [{o.id}, placed at {o.timestamp}]"


def test_new_order():
    before = time.time_ns()
    o = Order(OrderType.Buy, 100, 5.0)
    after = time.time_ns()
    assert ID_FORM.fullmatch(o.id) and len(o.id) == 36
    assert o.id[14] == "4" and o.id[19] in "89ab"
    assert o.side == OrderType.Buy and o.status == OrderStatus.Open
    assert o.price_in_ticks == 100 and o.quantity == 5.0 and type(o.quantity) is float
    assert o.is_open() is True
    assert type(o.timestamp) is int
    assert before <= o.timestamp <= after
    # the identifier is fixed at construction, every read gives the same text
    assert o.id == o.id and o.timestamp == o.timestamp


def test_ids_are_unique_and_well_formed():
    ids = [Order(OrderType.Sell, 1, 1.0).id for _ in range(5000)]
    assert len(set(ids)) == len(ids)
    assert all(ID_FORM.fullmatch(i) for i in ids)
    # with 122 random bits every free digit position takes all 16 values in 5000 draws
    for position in range(36):
        seen = {i[position] for i in ids}
        if position in (8, 13, 18, 23):
            assert seen == {"-"}
        elif position == 14:
            assert seen == {"4"}
        elif position == 19:
            assert seen == set("89ab")
        else:
            assert len(seen) == 16, position


def test_timestamps_follow_the_wall_clock():
    stamps = []
    for _ in range(50):
        before = time.time_ns()
        stamps.append(Order(OrderType.Buy, 1, 1.0).timestamp)
        assert before <= stamps[-1] <= time.time_ns()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_draws_its_own_ids():
    Order(OrderType.Buy, 1, 1.0)  # the parent has drawn before forking
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            ids = [Order(OrderType.Buy, 1, 1.0).id for _ in range(600)]
            os.write(write_end, "\n".join(ids).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    parent_ids = [Order(OrderType.Buy, 1, 1.0).id for _ in range(600)]
    with os.fdopen(read_end, "rb") as pipe:
        child_ids = pipe.read().decode().split("\n")
    os.waitpid(pid, 0)
    assert len(child_ids) == 600 and len(set(child_ids)) == 600
    assert all(ID_FORM.fullmatch(i) for i in child_ids)
    assert not set(child_ids) & set(parent_ids)


FAILURES = [
    ((OrderType.Buy, 0, 0.0), "price_in_ticks must be positive"),
    ((OrderType.Buy, -5, 1.0), "price_in_ticks must be positive"),
    ((OrderType.Sell, -(2**63), float("nan")), "price_in_ticks must be positive"),
    ((OrderType.Sell, 1, 0.0), "quantity must be positive"),
    ((OrderType.Sell, 1, -0.0), "quantity must be positive"),
    ((OrderType.Sell, 1, -2.5), "quantity must be positive"),
    ((OrderType.Sell, 1, -5e-324), "quantity must be positive"),
    ((OrderType.Buy, 1, float("-inf")), "quantity must be positive"),
    # non-finite quantities could never be filled against each other, so none is made
    ((OrderType.Buy, 1, float("nan")), "quantity must be positive"),
    ((OrderType.Buy, 1, float("inf")), "quantity must be positive"),
]


@pytest.mark.parametrize(
    "args, message", FAILURES,
    ids=["zero-both", "negative-price", "price-before-nan", "zero-qty", "negative-zero-qty",
         "negative-qty", "tiny-negative-qty", "-inf-qty", "nan-qty", "inf-qty"],
)
def test_invalid_orders(args, message):
    with pytest.raises(ValueError) as info:
        Order(*args)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "quantity, text",
    [
        (5.0, "5"), (5, "5"), (2.5, "2.5"), (0.1, "0.1"), (0.5, "0.5"), (100.0, "100"),
        (1e21, "1000000000000000000000"), (1e22, "10000000000000000000000"),
        (1e23, "100000000000000000000000"), (1e-7, "0.0000001"), (1.5e-5, "0.000015"),
        (123.456, "123.456"), (0.30000000000000004, "0.30000000000000004"),
        (2**53 + 2, "9007199254740994"), (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (5e-324, "0." + "0" * 323 + "5"), (2.2250738585072014e-308, "0." + "0" * 307 + "22250738585072014"),
    ],
    ids=lambda v: None if isinstance(v, str) else repr(v),
)
def test_text_form_writes_the_shortest_quantity(quantity, text):
    o = Order(OrderType.Buy, 10000, quantity)
    assert repr(o) == text_of(o, text)
    assert str(o) == repr(o)


@given(st.floats(min_value=5e-324, allow_nan=False, allow_infinity=False))
def test_text_form_quantity_reads_back(quantity):
    o = Order(OrderType.Sell, 3, quantity)
    shortest = format(Decimal(repr(quantity)).normalize(), "f")
    assert repr(o) == text_of(o, shortest)
    assert float(shortest) == quantity


def test_text_form_of_extreme_prices():
    o = Order(side=OrderType.Sell, price_in_ticks=2**63 - 1, quantity=0.5)
    assert repr(o) == text_of(o, "0.5")
    assert repr(o).startswith("[Sell 0.5 @ 9223372036854775807] [")


def test_orders_compare_by_identity():
    a = Order(OrderType.Buy, 1, 1.0)
    b = Order(OrderType.Buy, 1, 1.0)
    assert a == a and not a != a
    assert a != b
    assert len({a, b, a}) == 2
    with pytest.raises(TypeError):
        a < b


def test_is_open_follows_the_status():
    buy, sell = Order(OrderType.Buy, 10, 2.0), Order(OrderType.Sell, 10, 1.0)
    buy.fill(sell, 1.0)
    assert buy.is_open() is True and sell.is_open() is False
    assert sell.status == OrderStatus.Filled
    assert repr(sell) == text_of(sell, "0")
