import gc
import weakref

import pytest

import kestrova
from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

CLASSES = [Order, Fill, OrderBook, OrderType, OrderStatus]
CLASS_IDS = [c.__name__ for c in CLASSES]


def instances():
    return {
        "Order": Order(OrderType.Buy, 100, 5.0),
        "Fill": Fill(1.0, 2.0, "a", "b", 3),
        "OrderBook": OrderBook(),
        "OrderType": OrderType.Buy,
        "OrderStatus": OrderStatus.Open,
    }


def test_module_attributes():
    assert kestrova.__all__ == ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]
    assert kestrova.__doc__ == ""
    for name in kestrova.__all__:
        assert getattr(kestrova, name).__name__ == name
    # internal failures travel as a hidden exception type, never exported
    assert not hasattr(kestrova, "PanicException")


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (Order, "(side, price_in_ticks, quantity)",
         "Represents a single order in the order book.\n"
         "Contains details such as price, quantity, side (Buy/Sell), and status."),
        (Fill, "(quantity, price, buy_id, sell_id, timestamp)",
         "Represents a match (fill) between two orders.\n"
         "Tracks details such as the quantity, price, and the involved order IDs."),
        (OrderBook, "(tick_size=0.01)",
         "Represents the main order book for matching buy and sell orders."),
        (OrderType, None, "Represents the side of an order: either Buy or Sell."),
        (OrderStatus, None, "Represents the current status of an order."),
    ],
    ids=CLASS_IDS,
)
def test_class_names_and_documentation(cls, signature, doc):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc


METHOD_DOCS = [
    (Order.can_match, "(self, other)",
     "Determines whether this order can match with another order.\n\n# Arguments\n"
     "- `other`: The other order to match against.\n\n# Returns\n"
     "- `true` if the orders are on opposite sides and the prices are compatible."),
    (Order.fill, "($self, incoming, tick_size)",
     "Attempts to fill this order with another incoming order.\n"
     "Updates the quantities and statuses of both orders."),
    (Order.is_open, "($self)", "Checks if the order is still open."),
    (OrderBook.create_order, "(self, side, price, quantity)",
     "Creates an order (but does not add to the book) based off the book's tick size."),
    (OrderBook.add, "(self, order)",
     "Adds an order to the book, attempting to match it with resting orders."),
    (OrderBook.cancel, "(self, order_id)", "Cancels an order by its ID."),
    (OrderBook.get_order, "(self, order_id)",
     "Retrieves an order by its ID. Returns None if the order is not found."),
    (OrderBook.update_order, "($self, order)",
     "Helper method to update an order in the `orders` map."),
    (OrderBook.best_bid, "($self)", "Helper method to get best bid"),
    (OrderBook.best_ask, "($self)", "Helper method to get best ask"),
    (OrderBook.buy_volume, "($self)", "Helper method to calculate total buy volume"),
    (OrderBook.sell_volume, "($self)", "Helper method to calculate total sell volume"),
    (OrderBook.spread, "($self)",
     "Calculate the current spread in the order book.\n"
     "Returns None if there are no orders on either side.\n"
     "The spread is returned in the same units as the prices (not ticks)."),
]


@pytest.mark.parametrize(
    "method, signature, doc", METHOD_DOCS, ids=[m[0].__qualname__ for m in METHOD_DOCS]
)
def test_method_documentation(method, signature, doc):
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


PROPERTY_DOCS = {
    (Order, "id"): "Getter for the order ID.",
    (Order, "side"): "Getter for the order side.",
    (Order, "price_in_ticks"): "Getter for the price in ticks.",
    (Order, "quantity"): "Getter for the quantity.",
    (Order, "status"): "Getter for the order status.",
    (Order, "timestamp"): "Getter for the timestamp.",
    (Fill, "quantity"): "Getter for the quantity filled.",
    (Fill, "price"): "Getter for the fill price.",
    (Fill, "buy_id"): "Getter for the buy order ID.",
    (Fill, "sell_id"): "Getter for the sell order ID.",
    (Fill, "timestamp"): "Getter for the fill timestamp.",
    (OrderBook, "buy_orders"): "Get a list of all buy orders",
    (OrderBook, "sell_orders"): "Get a list of all sell orders",
    (OrderBook, "tick_size"): "Return the tick size for informational purposes",
}


@pytest.mark.parametrize(
    "cls, name", list(PROPERTY_DOCS), ids=[f"{c.__name__}.{n}" for c, n in PROPERTY_DOCS]
)
def test_properties_are_documented_and_read_only(cls, name):
    assert cls.__dict__[name].__doc__ == PROPERTY_DOCS[cls, name]
    obj = instances()[cls.__name__]
    before = getattr(obj, name)
    with pytest.raises(AttributeError):
        setattr(obj, name, before)
    with pytest.raises(AttributeError):
        delattr(obj, name)


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_IDS)
def test_classes_are_final(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", CLASS_IDS)
def test_instances_are_slim(name):
    obj = instances()[name]
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    # plain values hold no references, so the cycle collector never sees them
    assert not gc.is_tracked(obj)


def test_enumeration_members_are_stored_once():
    assert OrderType.Buy is OrderType.Buy and OrderStatus.Canceled is OrderStatus.Canceled
    assert {type(m) for m in (OrderType.Buy, OrderType.Sell)} == {OrderType}
    assert {type(m) for m in (OrderStatus.Open, OrderStatus.Filled, OrderStatus.Canceled)} == {
        OrderStatus}


@pytest.mark.parametrize(
    "cls, args, kwargs",
    [(OrderType, (), {}), (OrderType, (0,), {}), (OrderStatus, (1, 2), {"value": 3})],
    ids=["OrderType()", "OrderType(0)", "OrderStatus(args)"],
)
def test_enumerations_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == f"No constructor defined for {cls.__name__}"


def test_class_objects_accept_new_attributes():
    Order.extra_for_test = 1
    try:
        assert Order(OrderType.Buy, 1, 1.0).extra_for_test == 1
    finally:
        del Order.extra_for_test


def test_reimport_returns_the_same_module(run_python):
    result = run_python(
        """
        import sys, kestrova
        first = kestrova
        del sys.modules["kestrova"]
        import kestrova
        assert kestrova is first
        assert kestrova.__all__ == ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]
        assert kestrova.OrderType.Buy is first.OrderType.Buy
        print("ok")
        """
    )
    assert result.stdout == "ok\n", result.stderr


def test_import_in_subinterpreter_fails(run_python):
    result = run_python(
        """
        import kestrova
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import kestrova")
        except interpreters.RunFailedError as exc:
            print(exc)
        else:
            print("imported")
        """
    )
    assert "ImportError" in result.stdout, result.stderr
    assert "do not yet support subinterpreters" in result.stdout
