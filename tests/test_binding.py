import pytest

from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

BUY = OrderType.Buy


def buy():
    return Order(BUY, 100, 5.0)


def sell():
    return Order(OrderType.Sell, 100, 3.0)


# Each call is built fresh so that a case can never see a neighbour's side effects.
BINDING_ERRORS = [
    ("order-missing-all", lambda: Order(),
     "Order.__new__() missing 3 required positional arguments: "
     "'side', 'price_in_ticks', and 'quantity'"),
    ("order-missing-one", lambda: Order(BUY, 1),
     "Order.__new__() missing 1 required positional argument: 'quantity'"),
    ("order-missing-after-keyword", lambda: Order(quantity=1.0),
     "Order.__new__() missing 2 required positional arguments: 'side' and 'price_in_ticks'"),
    ("order-too-many", lambda: Order(BUY, 1, 1.0, 4),
     "Order.__new__() takes 3 positional arguments but 4 were given"),
    ("order-multiple", lambda: Order(BUY, 1, 1.0, side=BUY),
     "Order.__new__() got multiple values for argument 'side'"),
    ("order-unexpected", lambda: Order(BUY, 1, 1.0, price=1),
     "Order.__new__() got an unexpected keyword argument 'price'"),
    ("order-unexpected-before-missing", lambda: Order(bogus=1),
     "Order.__new__() got an unexpected keyword argument 'bogus'"),
    ("order-unicode-keyword", lambda: Order(BUY, 1, 1.0, **{"sïde": 1}),
     "Order.__new__() got an unexpected keyword argument 'sïde'"),
    ("fill-missing-three", lambda: Fill(1.0, 2.0),
     "Fill.__new__() missing 3 required positional arguments: "
     "'buy_id', 'sell_id', and 'timestamp'"),
    ("fill-missing-two", lambda: Fill(1.0, 2.0, "a"),
     "Fill.__new__() missing 2 required positional arguments: 'sell_id' and 'timestamp'"),
    ("fill-too-many", lambda: Fill(1.0, 2.0, "a", "b", 3, 4),
     "Fill.__new__() takes 5 positional arguments but 6 were given"),
    ("book-too-many", lambda: OrderBook(0.01, 2),
     "OrderBook.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ("book-multiple", lambda: OrderBook(0.01, tick_size=0.5),
     "OrderBook.__new__() got multiple values for argument 'tick_size'"),
    ("book-unexpected", lambda: OrderBook(tick=0.5),
     "OrderBook.__new__() got an unexpected keyword argument 'tick'"),
    ("can-match-missing", lambda: buy().can_match(),
     "Order.can_match() missing 1 required positional argument: 'other'"),
    ("can-match-too-many", lambda: buy().can_match(sell(), sell()),
     "Order.can_match() takes 1 positional arguments but 2 were given"),
    ("fill-missing-tick", lambda: buy().fill(sell()),
     "Order.fill() missing 1 required positional argument: 'tick_size'"),
    ("fill-missing-both", lambda: buy().fill(),
     "Order.fill() missing 2 required positional arguments: 'incoming' and 'tick_size'"),
    ("fill-self-missing-before-borrow", lambda: (o := buy()).fill(o),
     "Order.fill() missing 1 required positional argument: 'tick_size'"),
    ("fill-too-many", lambda: buy().fill(sell(), 0.01, 1),
     "Order.fill() takes 2 positional arguments but 3 were given"),
    ("fill-multiple", lambda: buy().fill(sell(), 0.01, incoming=sell()),
     "Order.fill() got multiple values for argument 'incoming'"),
    ("fill-keyword-repeats-position", lambda: buy().fill(sell(), incoming=sell()),
     "Order.fill() got multiple values for argument 'incoming'"),
    ("add-missing", lambda: OrderBook().add(),
     "OrderBook.add() missing 1 required positional argument: 'incoming_order'"),
    ("add-too-many", lambda: OrderBook().add(buy(), buy()),
     "OrderBook.add() takes 1 positional arguments but 2 were given"),
    ("add-too-many-before-keywords", lambda: OrderBook().add(1, 2, bogus=3),
     "OrderBook.add() takes 1 positional arguments but 2 were given"),
    ("add-documented-name-rejected", lambda: OrderBook().add(order=buy()),
     "OrderBook.add() got an unexpected keyword argument 'order'"),
    ("cancel-multiple", lambda: OrderBook().cancel("x", order_id="y"),
     "OrderBook.cancel() got multiple values for argument 'order_id'"),
    ("update-order-unexpected", lambda: OrderBook().update_order(incoming_order=buy()),
     "OrderBook.update_order() got an unexpected keyword argument 'incoming_order'"),
    ("create-order-missing", lambda: OrderBook().create_order(BUY),
     "OrderBook.create_order() missing 2 required positional arguments: "
     "'price' and 'quantity'"),
]


@pytest.mark.parametrize(
    "call, message", [c[1:] for c in BINDING_ERRORS], ids=[c[0] for c in BINDING_ERRORS]
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [lambda: buy().is_open(1), lambda: OrderBook().best_bid(side=1),
     lambda: OrderBook().spread(None)],
    ids=["is_open", "best_bid", "spread"],
)
def test_methods_without_parameters_reject_arguments(call):
    with pytest.raises(TypeError, match="takes no (keyword )?arguments"):
        call()


def test_keywords_bind_like_positions():
    o = Order(quantity=2.5, side=OrderType.Sell, price_in_ticks=7)
    assert (o.side, o.price_in_ticks, o.quantity) == (OrderType.Sell, 7, 2.5)
    o = Order(BUY, quantity=1.0, price_in_ticks=9)
    assert (o.price_in_ticks, o.quantity) == (9, 1.0)

    f = Fill(timestamp=5, sell_id="s", buy_id="b", price=2.0, quantity=1.0)
    assert (f.quantity, f.price, f.buy_id, f.sell_id, f.timestamp) == (1.0, 2.0, "b", "s", 5)

    assert OrderBook(tick_size=0.5).tick_size == 0.5
    assert OrderBook().tick_size == 0.01

    b, s = buy(), sell()
    assert b.can_match(other=s) is True
    fill = b.fill(tick_size=0.01, incoming=s)
    assert fill.quantity == 3.0 and s.status == OrderStatus.Filled

    book = OrderBook()
    made = book.create_order(quantity=1.0, price=1.5, side=BUY)
    assert made.price_in_ticks == 150
    assert book.add(incoming_order=made) == []
    assert book.get_order(order_id=made.id).id == made.id
    assert book.update_order(order=buy()) is None
    assert book.cancel(order_id=made.id) is True
