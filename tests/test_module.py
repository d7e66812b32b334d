import gc
import os
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import kestrova
from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

INSTANCES = {
    Order: lambda: Order(OrderType.Buy, 100, 5.0),
    Fill: lambda: Fill(1.0, 2.0, "a", "b", 3),
    OrderBook: OrderBook,
    OrderType: lambda: OrderType.Buy,
    OrderStatus: lambda: OrderStatus.Open,
}


def run_python(code, **env):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, **env},
    )


def test_module_attributes():
    assert kestrova.__all__ == ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]
    assert kestrova.__doc__ == "" and not hasattr(kestrova, "PanicException")
    assert [getattr(kestrova, n).__name__ for n in kestrova.__all__] == kestrova.__all__


GETTERS = {
    Order: dict(
        id="order ID",
        side="order side",
        price_in_ticks="price in ticks",
        quantity="quantity",
        status="order status",
        timestamp="timestamp",
    ),
    Fill: dict(
        quantity="quantity filled",
        price="fill price",
        buy_id="buy order ID",
        sell_id="sell order ID",
        timestamp="fill timestamp",
    ),
}
DOCS = [  # (object, text signature or None, doc); the book's members are checked with the book
    (
        Order,
        "(side, price_in_ticks, quantity)",
        "Represents a single order in the order book.\n"
        "Contains details such as price, quantity, side (Buy/Sell), and status.",
    ),
    (
        Fill,
        "(quantity, price, buy_id, sell_id, timestamp)",
        "Represents a match (fill) between "
        "two orders.\nTracks details such as the quantity, price, and the involved order IDs.",
    ),
    (
        OrderBook,
        "(tick_size=0.01)",
        "Represents the main order book for matching buy and sell orders.",
    ),
    (OrderType, None, "Represents the side of an order: either Buy or Sell."),
    (OrderStatus, None, "Represents the current status of an order."),
    (
        Order.can_match,
        "(self, other)",
        "Determines whether this order can match with another order."
        "\n\n# Arguments\n- `other`: The other order to match against.\n\n# Returns\n"
        "- `true` if the orders are on opposite sides and the prices are compatible.",
    ),
    (
        Order.fill,
        "($self, incoming, tick_size)",
        "Attempts to fill this order with another incoming order."
        "\nUpdates the quantities and statuses of both orders.",
    ),
    (Order.is_open, "($self)", "Checks if the order is still open."),
    *[
        (c.__dict__[n], None, f"Getter for the {d}.")
        for c, g in GETTERS.items()
        for n, d in g.items()
    ],
]


@pytest.mark.parametrize("obj, signature, doc", DOCS, ids=[d[0].__qualname__ for d in DOCS])
def test_documentation(obj, signature, doc):
    assert getattr(obj, "__text_signature__", None) == signature and obj.__doc__ == doc
    if type(obj).__name__ == "getset_descriptor":  # properties are read-only
        instance = INSTANCES[obj.__objclass__]()
        pytest.raises(
            AttributeError, setattr, instance, obj.__name__, getattr(instance, obj.__name__)
        )
        pytest.raises(AttributeError, delattr, instance, obj.__name__)


@pytest.mark.parametrize("cls", list(INSTANCES), ids=lambda c: c.__name__)
def test_classes_are_final_and_instances_slim(cls):
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == (
        "builtins",
        cls.__name__,
        (object,),
    )
    pytest.raises(TypeError, type, "Sub", (cls,), {}).match("not an acceptable base type")
    obj = INSTANCES[cls]()
    assert not hasattr(obj, "__dict__") and not gc.is_tracked(obj)
    pytest.raises(AttributeError, setattr, obj, "extra", 1)
    pytest.raises(TypeError, weakref.ref, obj)
    if cls in (Order, Fill, OrderBook):  # instances compare by identity
        other = INSTANCES[cls]()
        assert obj == obj and not obj != obj and obj != other and len({obj, other, obj}) == 2
        pytest.raises(TypeError, lambda: obj < other)
    for call in [cls, lambda: cls(1, 2, value=3)] if cls in (OrderType, OrderStatus) else []:
        pytest.raises(TypeError, call).match(f"^No constructor defined for {cls.__name__}$")


def test_reimport_is_identical_and_subinterpreters_refuse():
    result = run_python("""
        import sys, kestrova, _xxsubinterpreters as interpreters
        first = kestrova
        del sys.modules["kestrova"]
        import kestrova
        assert kestrova is first and kestrova.OrderType.Buy is first.OrderType.Buy
        try:
            interpreters.run_string(interpreters.create(), "import kestrova")
        except interpreters.RunFailedError as exc:
            print(exc)
    """)
    assert "ImportError" in result.stdout, result.stderr
    assert "do not yet support subinterpreters" in result.stdout


# A preloaded shim turns the wall clock to before 1970 while BEFORE_EPOCH is non-empty. It reads
# the clock through the raw system call: dlsym would run inside a sanitizer's preloaded runtime.
CLOCK_SHIM = r"""
#define _GNU_SOURCE
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
int clock_gettime(clockid_t id, struct timespec *ts) {
  int rc = (int)syscall(SYS_clock_gettime, id, ts);
  const char *flag = getenv("BEFORE_EPOCH");
  if (rc == 0 && id == CLOCK_REALTIME && flag && *flag) ts->tv_sec = -5;
  return rc;
}
"""

PANIC_SCRIPT = """
import os
from kestrova import Fill, Order, OrderBook, OrderStatus as S, OrderType as T

def caught(call, before_epoch=""):
    os.environ["BEFORE_EPOCH"] = before_epoch
    try:
        call()
    except BaseException as exc:
        os.environ["BEFORE_EPOCH"] = ""
        return exc

def raising(exc):
    return type("Raising", (), {"__index__": lambda self: (_ for _ in ()).throw(exc)})()

first = caught(lambda: Order(T.Buy, 1, 1.0), "1")
Panic = type(first)
assert (Panic.__module__, Panic.__name__) == ("pyo3_runtime", "PanicException")
assert Panic.__bases__ == (BaseException,)
assert first.args == (str(first),) and str(first).startswith("Time went backwards"), first.args
# the fill step has already changed both orders when the clock fails, and that stays
a, b = Order(T.Buy, 100, 5.0), Order(T.Sell, 90, 3.0)
assert type(caught(lambda: a.fill(b, 0.01), "1")) is Panic
assert (a.quantity, a.status, b.quantity, b.status) == (2.0, S.Open, 0.0, S.Filled)
assert a.fill(Order(T.Sell, 1, 1.0), 0.01).quantity == 1.0
# a book whose clock fails mid-match keeps the resting order where it was
book, resting, incoming = OrderBook(), Order(T.Buy, 100, 5.0), Order(T.Sell, 90, 3.0)
book.add(resting)
assert type(caught(lambda: book.add(incoming), "1")) is Panic
assert [o.quantity for o in book.buy_orders] == [5.0] and book.get_order(resting.id).quantity == 5.0
assert [f.quantity for f in book.add(Order(T.Sell, 90, 3.0))] == [3.0] and book.best_bid() == (100, 2.0)
raised = Panic("from python")
again = caught(lambda: Fill(1.0, 1.0, "b", "s", raising(raised)))
assert type(again) is Panic and again is not raised and again.args == ("from python",)
mute = caught(lambda: Order(T.Buy, raising(type("Mute", (Panic,), {"__str__": lambda self: 1 / 0})()), 1.0))
assert type(mute) is Panic and mute.args == ("Unwrapped panic from Python code",), mute.args
print("ok")
"""


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or not shutil.which("cc"), reason="needs cc"
)
def test_internal_failures_raise_panic_exception(tmp_path):
    (tmp_path / "shim.c").write_text(CLOCK_SHIM)
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-o", tmp_path / "shim.so", tmp_path / "shim.c"], check=True
    )
    # appended, so that runtimes preloaded already (a sanitizer's) stay first
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(tmp_path / "shim.so")]))
    result = run_python(PANIC_SCRIPT, LD_PRELOAD=preload)
    assert result.stdout == "ok\n", result.stderr
    assert "Time went backwards" in result.stderr and "from python" in result.stderr
