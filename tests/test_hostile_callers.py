"""Arguments whose conversion runs Python code that frees the other arguments.

Each case runs in a child interpreter, so a crash fails that case alone.
"""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = r'''
import gc, re
from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
ID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\Z")


def attack(target, found):
    """Empties every dict in which `found(dict)` sees `target`: the keyword
    arguments of the call under way, which alone hold the other arguments.
    Then fills the heap with fresh objects over what that freed."""
    for obj in gc.get_objects():
        if type(obj) is dict and found(obj):
            obj.clear()
    target.churn = [str(i) * 9 for i in range(3000)] + [float(i) for i in range(3000)]


class Hostile:  # converts to `value` (__index__ or __float__) after the attack
    def __init__(self, value):
        self.value = value

    def convert(self):
        attack(self, lambda d: any(v is self for v in d.values()))
        return self.value

    __index__ = __float__ = convert


class Name(str):  # an unknown keyword name whose str() attacks
    def __str__(self):
        attack(self, lambda d: any(k is self for k in d))
        return "bogus"


def fresh(value):
    """An equal object that nothing else refers to."""
    if isinstance(value, OrderType):
        return Order(value, 1, 1.0).side
    return type(value)("".join(list(value)) if isinstance(value, str) else repr(value))


def check_order(order, side, ticks, quantity):
    assert (order.side, order.price_in_ticks, order.quantity) == (side, ticks, quantity)
    assert order.status == OrderStatus.Open and ID.match(order.id), repr(order)
    assert f"[{order.id}, placed at {order.timestamp}]" in repr(order)


def expect(error, message, call):
    try:
        call()
    except error as exc:
        assert str(exc) == message, str(exc)
    else:
        raise AssertionError("no error")


BUY_ID, SELL_ID = "buy-" + "b" * 40, "sell-" + "s" * 40
TIME = 12345678901234567890
'''

# name: the body run after PRELUDE; it ends by showing the objects still work
CASES = {
    "Order-price_in_ticks": """
        o = Order(**{"side": fresh(SELL), "price_in_ticks": Hostile(7), "quantity": fresh(2.5)})
        check_order(o, SELL, 7, 2.5)
        assert OrderBook().add(o) == []
    """,
    "Order-quantity": """
        o = Order(**{"side": fresh(BUY), "price_in_ticks": fresh(9), "quantity": Hostile(4.5)})
        check_order(o, BUY, 9, 4.5)
        expect(TypeError, "argument 'quantity': Hostile.__float__ returned non-float (type str)",
               lambda: Order(**{"side": fresh(BUY), "price_in_ticks": fresh(9),
                                "quantity": Hostile("x")}))
    """,
    "Order-unknown-keyword": """
        expect(TypeError, "Order.__new__() got an unexpected keyword argument 'bogus'",
               lambda: Order(**{"side": fresh(BUY), "price_in_ticks": fresh(9),
                                "quantity": fresh(1.0), Name("zzz"): fresh("v" * 40)}))
        check_order(Order(BUY, 9, 1.0), BUY, 9, 1.0)
    """,
    **{
        f"Fill-{name}": f"""
        values = dict(quantity=1.5, price=2.5, buy_id=BUY_ID, sell_id=SELL_ID, timestamp=TIME)
        arguments = {{k: Hostile(v) if k == "{name}" else fresh(v) for k, v in values.items()}}
        f = Fill(**arguments)
        assert (f.quantity, f.price, f.buy_id, f.sell_id, f.timestamp) == (1.5, 2.5, BUY_ID, SELL_ID, TIME)
        assert repr(f) == f"[1.50 @ 2.50] Buy: {{BUY_ID}}, Sell: {{SELL_ID}}, Filled at {{TIME}}"
    """
        for name in ["quantity", "price", "timestamp"]
    },
    "OrderBook-tick_size": """
        book = OrderBook(**{"tick_size": Hostile(0.5)})
        assert book.tick_size == 0.5 and book.create_order(BUY, 2.0, 1.0).price_in_ticks == 4
        expect(TypeError, "argument 'tick_size': Hostile.__float__ returned non-float (type str)",
               lambda: OrderBook(**{"tick_size": Hostile("x")}))
    """,
    **{
        f"create_order-{name}": f"""
        book = OrderBook()
        values = dict(side=SELL, price=1.25, quantity=3.0)
        o = book.create_order(**{{k: Hostile(v) if k == "{name}" else fresh(v) for k, v in values.items()}})
        check_order(o, SELL, 125, 3.0)
        assert book.add(o) == [] and book.best_ask() == (125, 3.0)
    """
        for name in ["price", "quantity"]
    },
    "fill-tick_size": """
        a, b = Order(BUY, 100, 5.0), Order(SELL, 90, 3.0)
        sell_id = fresh(b.id)
        arguments = {"incoming": b, "tick_size": Hostile(0.5)}
        del b
        f = a.fill(**arguments)
        assert (f.quantity, f.price, f.buy_id, f.sell_id) == (3.0, 45.0, a.id, sell_id)
        assert (a.quantity, a.status) == (2.0, OrderStatus.Open) and ID.match(f.buy_id)
        assert a.fill(Order(SELL, 100, 2.0), 0.01).quantity == 2.0
    """,
    # The other methods convert without running Python code; the only Python
    # code their binding can run is str() of an unknown keyword name.
    **{
        f"{method}-unknown-keyword": f"""
        book, o = OrderBook(), Order(SELL, 100, 2.0)
        book.add(o)
        receiver = book if "{method}" != "can_match" else Order(BUY, 100, 1.0)
        value = fresh(o.id) if "{parameter}" == "order_id" else Order(SELL, 100, 1.0)
        expect(TypeError, f"{{type(receiver).__name__}}.{method}() got an unexpected keyword argument 'bogus'",
               lambda: receiver.{method}(**{{"{parameter}": value, Name("zzz"): fresh("v" * 40)}}))
        result = receiver.{method}(**{{"{parameter}": fresh(o.id) if "{parameter}" == "order_id" else o}})
        assert result == {expected}, result
        assert book.best_ask() == ((100, 2.0) if "{method}" != "cancel" else None)
    """
        for method, parameter, expected in [
            ("add", "incoming_order", "[]"),
            ("cancel", "order_id", "True"),
            ("update_order", "order", "None"),
            ("can_match", "other", "True"),
        ]
    },
    "get_order-unknown-keyword": """
        book, o = OrderBook(), Order(SELL, 100, 2.0)
        book.add(o)
        expect(TypeError, "OrderBook.get_order() got an unexpected keyword argument 'bogus'",
               lambda: book.get_order(**{"order_id": fresh(o.id), Name("zzz"): fresh("v" * 40)}))
        assert book.get_order(**{"order_id": fresh(o.id)}).id == o.id
    """,
}


@pytest.mark.parametrize("name", list(CASES))
def test_arguments_freed_by_a_conversion(name):
    script = PRELUDE + textwrap.dedent(CASES[name]) + "print('ok')\n"
    # the child inherits this environment, sanitizer settings included
    run = [sys.executable, "-c", script]
    result = subprocess.run(run, capture_output=True, text=True, timeout=120, check=False)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr[-3000:]
