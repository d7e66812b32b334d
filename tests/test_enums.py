import operator

import pytest

from kestrova import Order, OrderStatus, OrderType

MEMBERS = [
    (OrderType.Buy, "OrderType.Buy", 0),
    (OrderType.Sell, "OrderType.Sell", 1),
    (OrderStatus.Open, "OrderStatus.Open", 0),
    (OrderStatus.Filled, "OrderStatus.Filled", 1),
    (OrderStatus.Canceled, "OrderStatus.Canceled", 2),
]


@pytest.mark.parametrize("member, text, value", MEMBERS, ids=[m[1] for m in MEMBERS])
def test_member_text_and_value(member, text, value):
    assert repr(member) == text
    assert str(member) == text
    assert f"{member}" == text
    assert int(member) == value and type(int(member)) is int


class Index:
    def __index__(self):
        return 1


EQUALITY = [
    ("same-member", lambda: OrderType.Buy == OrderType.Buy, True),
    ("other-member", lambda: OrderType.Buy == OrderType.Sell, False),
    ("ne-other-member", lambda: OrderType.Buy != OrderType.Sell, True),
    ("ne-same-member", lambda: OrderStatus.Open != OrderStatus.Open, False),
    ("int", lambda: OrderType.Buy == 0, True),
    ("int-reflected", lambda: 0 == OrderType.Buy, True),
    ("ne-int-reflected", lambda: 1 != OrderType.Sell, False),
    ("int-other-value", lambda: OrderStatus.Open == 5, False),
    ("ne-int", lambda: OrderStatus.Open != 5, True),
    ("canceled-two", lambda: OrderStatus.Canceled == 2, True),
    ("true", lambda: OrderType.Sell == True, True),  # noqa: E712
    ("false", lambda: OrderType.Buy == False, True),  # noqa: E712
    ("__index__", lambda: OrderStatus.Filled == Index(), True),
    ("across-classes", lambda: OrderType.Buy == OrderStatus.Open, False),
    ("ne-across-classes", lambda: OrderType.Buy != OrderStatus.Open, True),
    ("float", lambda: OrderType.Buy == 0.0, False),
    ("ne-float", lambda: OrderType.Buy != 0.0, True),
    ("name", lambda: OrderType.Buy == "Buy", False),
    ("huge-int", lambda: OrderType.Buy == 2**70, False),
    ("huge-negative-int", lambda: OrderType.Buy != -(2**70), True),
    ("None", lambda: OrderStatus.Open == None, False),  # noqa: E711
    ("getter-result", lambda: Order(OrderType.Sell, 1, 1.0).side == OrderType.Sell, True),
    ("getter-status", lambda: Order(OrderType.Sell, 1, 1.0).status == OrderStatus.Open, True),
]


@pytest.mark.parametrize("compare, expected", [e[1:] for e in EQUALITY],
                         ids=[e[0] for e in EQUALITY])
def test_equality(compare, expected):
    assert compare() is expected


@pytest.mark.parametrize(
    "left, right",
    [(OrderType.Buy, OrderType.Sell), (OrderStatus.Open, 1), (0, OrderStatus.Filled),
     (OrderType.Buy, OrderType.Buy)],
    ids=["members", "int", "int-reflected", "same"],
)
@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge],
                         ids=["lt", "le", "gt", "ge"])
def test_ordering_is_unsupported(left, right, op):
    with pytest.raises(TypeError, match="not supported between instances"):
        op(left, right)


@pytest.mark.parametrize(
    "use",
    [lambda m: hash(m), lambda m: {m}, lambda m: {m: 1}, lambda m: [10, 20][m],
     lambda m: range(3)[m], lambda m: operator.index(m), lambda m: bin(m)],
    ids=["hash", "set", "dict-key", "list-index", "range-index", "index", "bin"],
)
@pytest.mark.parametrize("member", [OrderType.Sell, OrderStatus.Open], ids=["side", "status"])
def test_members_are_neither_hashable_nor_indexes(use, member):
    with pytest.raises(TypeError):
        use(member)


def test_getters_make_fresh_members():
    o = Order(OrderType.Buy, 1, 1.0)
    assert o.side == o.side and o.side is not o.side
    assert o.side is not OrderType.Buy
    assert o.status == o.status and o.status is not o.status
    assert type(o.side) is OrderType and type(o.status) is OrderStatus
    assert repr(o.side) == "OrderType.Buy" and int(o.status) == 0


def test_members_rebound_on_the_class_stay_usable():
    original = OrderType.Sell
    try:
        OrderType.Sell = OrderType.Buy
        assert Order(OrderType.Sell, 1, 1.0).side == 0
    finally:
        OrderType.Sell = original
    assert Order(OrderType.Sell, 1, 1.0).side == 1
