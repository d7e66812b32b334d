import shutil
import subprocess
import sys

import pytest

from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType


def state(o):
    return (o.id, o.side, o.price_in_ticks, o.quantity, o.status, o.timestamp, repr(o))


class Hostile:
    """A tick size whose __float__ runs arbitrary code in the middle of a call."""

    def __init__(self, action, value=0.01):
        self.action = action
        self.value = value

    def __float__(self):
        self.action()
        return self.value


def test_same_order_twice_under_exclusive_borrow_fails():
    o = Order(OrderType.Buy, 100, 5.0)
    before = state(o)
    with pytest.raises(RuntimeError) as info:
        o.fill(o, 0.01)
    assert type(info.value) is RuntimeError and str(info.value) == "Already borrowed"
    assert state(o) == before
    # two shared borrows of one order coexist, and the failed call gave its borrow back
    assert o.can_match(o) is False
    assert o.fill(Order(OrderType.Sell, 100, 2.0), 0.01).quantity == 2.0


READS = {
    "receiver-quantity": lambda a, b: a.quantity,
    "incoming-quantity": lambda a, b: b.quantity,
    "receiver-repr": lambda a, b: repr(a),
    "incoming-is_open": lambda a, b: b.is_open(),
    "receiver-can_match": lambda a, b: a.can_match(b),
    "book-add-receiver": lambda a, b: OrderBook().add(a),
    "book-update-incoming": lambda a, b: OrderBook().update_order(b),
}


@pytest.mark.parametrize("read", list(READS.values()), ids=list(READS))
def test_reading_an_order_while_it_is_being_filled(read):
    a, b = Order(OrderType.Buy, 100, 5.0), Order(OrderType.Sell, 90, 3.0)
    before = state(a), state(b)
    caught = []

    def action():
        try:
            read(a, b)
        except RuntimeError as exc:
            caught.append(exc)
            raise

    with pytest.raises(RuntimeError) as info:
        a.fill(b, Hostile(action))
    assert str(info.value) == "Already mutably borrowed"
    assert info.value is caught[0]
    assert (state(a), state(b)) == before
    # both borrows were given back
    fill = a.fill(b, 0.01)
    assert fill.quantity == 3.0 and b.status == OrderStatus.Filled


@pytest.mark.parametrize(
    "change",
    [lambda a, b: a.fill(Order(OrderType.Sell, 1, 1.0), 0.01),
     lambda a, b: Order(OrderType.Buy, 1, 1.0).fill(b, 0.01)],
    ids=["receiver", "incoming"],
)
def test_changing_an_order_while_it_is_being_filled(change):
    a, b = Order(OrderType.Buy, 100, 5.0), Order(OrderType.Sell, 90, 3.0)
    before = state(a), state(b)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        a.fill(b, Hostile(lambda: change(a, b)))
    assert (state(a), state(b)) == before


def test_recovered_borrow_error_lets_the_call_finish():
    a, b = Order(OrderType.Buy, 100, 5.0), Order(OrderType.Sell, 90, 3.0)
    errors = []

    def action():
        try:
            a.quantity
        except RuntimeError as exc:
            errors.append(str(exc))

    fill = a.fill(b, Hostile(action, 0.5))
    assert errors == ["Already mutably borrowed"]
    assert (fill.quantity, fill.price) == (3.0, 45.0)
    assert (a.quantity, b.quantity) == (2.0, 0.0)


def test_failing_conversion_propagates_and_changes_nothing():
    a, b = Order(OrderType.Buy, 100, 5.0), Order(OrderType.Sell, 90, 3.0)
    before = state(a), state(b)
    error = ValueError("no tick size today")

    def action():
        raise error

    with pytest.raises(ValueError) as info:
        a.fill(b, Hostile(action))
    assert info.value is error
    assert (state(a), state(b)) == before


def test_conversion_may_use_other_objects():
    a, b = Order(OrderType.Buy, 100, 5.0), Order(OrderType.Sell, 90, 3.0)
    made = []

    def action():
        book = OrderBook()
        x = book.create_order(OrderType.Buy, 1.0, 1.0)
        y = Order(OrderType.Sell, 100, 4.0)
        made.append(x.fill(y, 0.01))
        book.add(y)
        made.append(book.best_ask())

    fill = a.fill(b, Hostile(action))
    assert fill.quantity == 3.0 and fill.price == 0.9
    assert made[0] is not None and made[0].quantity == 1.0
    assert made[1] == (100, 3.0)


def test_book_read_during_create_order():
    book = OrderBook(0.5)

    class Price:
        def __float__(self):
            # a shared borrow of the book is held, so reading works and changing fails
            assert book.tick_size == 0.5
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                book.add(Order(OrderType.Buy, 1, 1.0))
            return 10.0

    assert book.create_order(OrderType.Buy, Price(), 1.0).price_in_ticks == 20
    assert book.buy_orders == []


# Internal failures cannot be reached through the API on a sane system, so a child
# process runs with a wall clock that reads before 1970.
CLOCK_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

int clock_gettime(clockid_t id, struct timespec *ts) {
  static int (*real)(clockid_t, struct timespec *);
  if (!real) real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
  int rc = real(id, ts);
  if (rc == 0 && id == CLOCK_REALTIME && getenv("KESTROVA_CLOCK_BEFORE_EPOCH")) ts->tv_sec = -5;
  return rc;
}
"""

PANIC_SCRIPT = r"""
import os
import kestrova
from kestrova import Fill, Order, OrderStatus, OrderType

def caught(call, clock_before_epoch=False):
    if clock_before_epoch:
        os.environ["KESTROVA_CLOCK_BEFORE_EPOCH"] = "1"
    try:
        call()
    except Exception:
        raise AssertionError("an ordinary except clause caught it")
    except BaseException as exc:
        return exc
    finally:
        os.environ.pop("KESTROVA_CLOCK_BEFORE_EPOCH", None)
    raise AssertionError("no failure")

first = caught(lambda: Order(OrderType.Buy, 1, 1.0), True)
Panic = type(first)
assert (Panic.__module__, Panic.__name__, Panic.__bases__) == (
    "pyo3_runtime", "PanicException", (BaseException,)), Panic
assert len(first.args) == 1 and first.args[0] == str(first)
assert str(first).startswith("Time went backwards"), str(first)
assert not hasattr(kestrova, "PanicException")

# the fill step has already changed both orders when the clock fails, and that stays
a, b = Order(OrderType.Buy, 100, 5.0), Order(OrderType.Sell, 90, 3.0)
assert type(caught(lambda: a.fill(b, 0.01), True)) is Panic
assert (a.quantity, a.status, b.quantity, b.status) == (2.0, OrderStatus.Open, 0.0, OrderStatus.Filled)
assert a.fill(Order(OrderType.Sell, 1, 1.0), 0.01).quantity == 1.0

class Raising:
    def __init__(self, exc):
        self.exc = exc
    def __index__(self):
        raise self.exc

raised = Panic("from python")
again = caught(lambda: Fill(1.0, 1.0, "b", "s", Raising(raised)))
assert type(again) is Panic and again is not raised and again.args == ("from python",)

class Mute(Panic):
    def __str__(self):
        raise ValueError("no text")

mute = caught(lambda: Order(OrderType.Buy, Raising(Mute()), 1.0))
assert type(mute) is Panic and mute.args == ("Unwrapped panic from Python code",), mute.args
print("ok")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the clock shim needs LD_PRELOAD")
def test_internal_failures_raise_panic_exception(tmp_path, run_python):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the clock shim")
    shim = tmp_path / "clock_shim.so"
    source = tmp_path / "clock_shim.c"
    source.write_text(CLOCK_SHIM)
    built = subprocess.run([compiler, "-shared", "-fPIC", "-o", str(shim), str(source), "-ldl"],
                           capture_output=True, text=True)
    if built.returncode != 0:
        pytest.skip(f"clock shim did not build: {built.stderr}")

    result = run_python(PANIC_SCRIPT, env={"LD_PRELOAD": str(shim)})
    assert result.stdout == "ok\n", result.stderr
    assert "Time went backwards" in result.stderr
    assert "from python" in result.stderr
