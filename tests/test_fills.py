import math
import time

import pytest
from hypothesis import given, strategies as st

from kestrova import Fill, Order, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
OPEN, FILLED = OrderStatus.Open, OrderStatus.Filled

# receiver (side, ticks, qty), other (side, ticks, qty), tick size,
# expected fill (qty, price) or None, then (qty, status) of receiver and other afterwards
RULE = [
    ("buy-crosses-lower-sell", (BUY, 10100, 5.0), (SELL, 9900, 3.0), 0.01,
     (3.0, 99.0), (2.0, OPEN), (0.0, FILLED)),
    ("sell-receiver-takes-own-price", (SELL, 9900, 3.0), (BUY, 10100, 5.0), 0.01,
     (3.0, 99.0), (0.0, FILLED), (2.0, OPEN)),
    ("equal-prices-cross", (BUY, 100, 5.0), (SELL, 100, 5.0), 0.01,
     (5.0, 1.0), (0.0, FILLED), (0.0, FILLED)),
    ("receiver-smaller", (SELL, 100, 1.5), (BUY, 200, 4.0), 0.5,
     (1.5, 50.0), (0.0, FILLED), (2.5, OPEN)),
    ("buy-below-sell", (BUY, 99, 5.0), (SELL, 100, 3.0), 0.01,
     None, (5.0, OPEN), (3.0, OPEN)),
    ("sell-above-buy", (SELL, 100, 5.0), (BUY, 99, 3.0), 0.01,
     None, (5.0, OPEN), (3.0, OPEN)),
    ("two-buys", (BUY, 100, 5.0), (BUY, 100, 3.0), 0.01, None, (5.0, OPEN), (3.0, OPEN)),
    ("two-sells", (SELL, 1, 5.0), (SELL, 2**63 - 1, 3.0), 0.01,
     None, (5.0, OPEN), (3.0, OPEN)),
    ("tick-zero", (BUY, 5, 1.0), (SELL, 5, 1.0), 0.0, (1.0, 0.0), (0.0, FILLED), (0.0, FILLED)),
    ("tick-negative", (SELL, 2, 1.0), (BUY, 3, 2.0), -0.5,
     (1.0, -1.0), (0.0, FILLED), (1.0, OPEN)),
    ("extreme-prices", (BUY, 2**63 - 1, 1.0), (SELL, 1, 1.0), 1.0,
     (1.0, 1.0), (0.0, FILLED), (0.0, FILLED)),
    ("inexact-remainder", (BUY, 1, 0.3), (SELL, 1, 0.1), 1.0,
     (0.1, 1.0), (0.3 - 0.1, OPEN), (0.0, FILLED)),
]


@pytest.mark.parametrize(
    "receiver, other, tick, fill, receiver_after, other_after",
    [r[1:] for r in RULE], ids=[r[0] for r in RULE],
)
def test_fill_rule(receiver, other, tick, fill, receiver_after, other_after):
    r, x = Order(*receiver), Order(*other)
    crosses = fill is not None
    assert r.can_match(x) is crosses and x.can_match(r) is crosses
    before = time.time_ns()
    result = r.fill(x, tick)
    after = time.time_ns()
    assert (r.quantity, r.status) == receiver_after
    assert (x.quantity, x.status) == other_after
    assert r.is_open() is (receiver_after[1] == OPEN)
    if not crosses:
        assert result is None
        return
    assert type(result) is Fill
    assert (result.quantity, result.price) == fill
    buy, sell = (r, x) if r.side == BUY else (x, r)
    assert (result.buy_id, result.sell_id) == (buy.id, sell.id)
    assert before <= result.timestamp <= after


def test_filled_order_fills_again_with_nothing():
    buy, sell = Order(BUY, 100, 5.0), Order(SELL, 100, 5.0)
    buy.fill(sell, 0.01)
    late = Order(SELL, 90, 3.0)
    # status and quantity play no part in crossing
    assert buy.can_match(late) is True
    fill = buy.fill(late, 0.01)
    assert (fill.quantity, fill.price) == (0.0, 0.9)
    assert (buy.quantity, buy.status) == (0.0, FILLED)
    assert (late.quantity, late.status) == (3.0, OPEN)
    fill = late.fill(buy, 0.01)
    assert fill.quantity == 0.0 and fill.buy_id == buy.id
    assert (late.quantity, late.status) == (3.0, OPEN)


def test_partial_fills_accumulate():
    sell = Order(SELL, 100, 10.0)
    for i in range(1, 4):
        fill = sell.fill(Order(BUY, 100 + i, 3.0), 0.25)
        assert (fill.quantity, fill.price) == (3.0, 25.0)
        assert sell.quantity == 10.0 - 3.0 * i and sell.status == OPEN
    fill = sell.fill(Order(BUY, 100, 3.0), 0.25)
    assert fill.quantity == 1.0 and sell.status == FILLED


def test_fill_with_nan_tick_size():
    fill = Order(BUY, 2, 1.0).fill(Order(SELL, 2, 1.0), float("nan"))
    assert math.isnan(fill.price)
    assert repr(fill).startswith("[1.00 @ NaN] Buy: ")


def test_fill_constructor_stores_what_it_is_given():
    f = Fill(-1.0, float("nan"), "", "", 0)
    assert f.quantity == -1.0 and math.isnan(f.price)
    assert f.buy_id == "" and f.sell_id == "" and f.timestamp == 0
    assert repr(f) == "[-1.00 @ NaN] Buy: , Sell: , Filled at 0"
    assert str(f) == repr(f)

    f = Fill(quantity=2.0, price=3.5, buy_id="not an id", sell_id="not an id", timestamp=2**64 - 1)
    assert repr(f) == "[2.00 @ 3.50] Buy: not an id, Sell: not an id, Filled at 18446744073709551615"
    assert repr(Fill(1.0, 2.0, "a", "b", 3)) == "[1.00 @ 2.00] Buy: a, Sell: b, Filled at 3"
    assert repr(Fill(1, 2, "ü", "€", 3)) == "[1.00 @ 2.00] Buy: ü, Sell: €, Filled at 3"


def test_fills_compare_by_identity():
    a, b = Fill(1.0, 2.0, "a", "b", 3), Fill(1.0, 2.0, "a", "b", 3)
    assert a == a and a != b
    assert len({a, b}) == 2


@pytest.mark.parametrize(
    "value, text",
    [
        (5.0, "5.00"), (99.99, "99.99"), (0.125, "0.12"), (0.375, "0.38"), (0.625, "0.62"),
        (2.675, "2.67"), (1.005, "1.00"), (0.005, "0.01"), (0.0, "0.00"), (-0.0, "-0.00"),
        (-0.001, "-0.00"), (-2.5, "-2.50"), (5e-324, "0.00"), (123456789.125, "123456789.12"),
        (1e21, "1000000000000000000000.00"), (1e23, "99999999999999991611392.00"),
        (1.7976931348623157e308, f"{1.7976931348623157e308:.2f}"),
        (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"),
    ],
    ids=lambda v: None if isinstance(v, str) else repr(v),
)
def test_fill_text_has_two_decimals(value, text):
    assert repr(Fill(value, 1.0, "b", "s", 7)) == f"[{text} @ 1.00] Buy: b, Sell: s, Filled at 7"
    assert repr(Fill(1.0, value, "b", "s", 7)) == f"[1.00 @ {text}] Buy: b, Sell: s, Filled at 7"


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_fill_text_is_correctly_rounded(value):
    # the interpreter's own fixed formatting rounds the exact binary value, ties to even
    assert repr(Fill(value, value, "b", "s", 0)).startswith(f"[{value:.2f} @ {value:.2f}] ")


def test_fill_results_are_independent_of_the_orders():
    buy, sell = Order(BUY, 100, 5.0), Order(SELL, 100, 2.0)
    fill = buy.fill(sell, 0.01)
    buy.fill(Order(SELL, 100, 1.0), 0.01)
    assert fill.quantity == 2.0 and buy.quantity == 2.0
    assert repr(fill) == (
        f"[2.00 @ 1.00] Buy: {buy.id}, Sell: {sell.id}, Filled at {fill.timestamp}")
