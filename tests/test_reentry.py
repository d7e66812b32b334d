"""A book call re-entered from Python code that the interpreter runs in the
middle of another book call (a finalizer run by a collection)."""

import gc

import pytest

from kestrova import Order, OrderBook, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell


def fills_of(fills):
    return [(f.quantity, f.price, f.buy_id, f.sell_id) for f in fills]


@pytest.mark.parametrize("outer_fills", [1, 3], ids=["one-fill", "three-fills"])
@pytest.mark.parametrize("inner_fills", [0, 2], ids=["inner-rests", "inner-fills-twice"])
def test_add_reentered_while_its_fills_become_objects(outer_fills, inner_fills):
    outer, inner = OrderBook(), OrderBook()
    outer_resting = [Order(SELL, 100 + i, 1.0) for i in range(outer_fills)]
    inner_resting = [Order(SELL, 200, 1.0) for _ in range(inner_fills)]
    for order in outer_resting:
        outer.add(order)
    for order in inner_resting:
        inner.add(order)
    incoming, inner_incoming = Order(BUY, 150, 10.0), Order(BUY, 200, 2.0)
    inner_results = []

    class AddsWhenCollected:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            inner_results.append(inner.add(inner_incoming))

    thresholds = gc.get_threshold()
    gc.collect()
    AddsWhenCollected()
    try:
        # the next container made (the outer call's list) starts a collection
        gc.set_threshold(1)
        fills = outer.add(incoming)
        ran_during_the_call = len(inner_results)
    finally:
        gc.set_threshold(*thresholds)

    assert ran_during_the_call == 1
    assert fills_of(fills) == [
        (1.0, (100 + i) / 100, incoming.id, o.id) for i, o in enumerate(outer_resting)
    ]
    assert fills_of(inner_results[0]) == [
        (1.0, 2.0, inner_incoming.id, o.id) for o in inner_resting
    ]
    assert outer.best_bid() == (150, 10.0 - outer_fills)
