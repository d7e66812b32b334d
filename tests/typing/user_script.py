"""A user's script: every call of kestrova's surface, with the types a checker must infer."""

from typing import assert_type

from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

book = OrderBook(tick_size=0.01)
assert_type(book.tick_size, float)
sell = book.create_order(OrderType.Sell, price=100.0, quantity=3)
assert_type(sell, Order)
assert_type(book.add(incoming_order=sell), list[Fill])
buy = Order(side=OrderType.Buy, price_in_ticks=10100, quantity=5.0)
fills = book.add(buy)
for fill in fills:
    assert_type(fill.price, float)
    assert_type(fill.quantity, float)
    assert_type(fill.buy_id, str)
    assert_type(fill.timestamp, int)

bid = book.best_bid()
assert_type(bid, tuple[int, float] | None)
if bid is not None:
    ticks, front_quantity = bid
    assert_type(ticks, int)
    assert_type(front_quantity, float)
assert_type(book.best_ask(), tuple[int, float] | None)
spread = book.spread()
assert_type(spread, float | None)
width = 0.0 if spread is None else spread * 2
assert_type(book.buy_volume() + book.sell_volume(), float)

assert_type(book.buy_orders, list[Order])
assert_type(book.sell_orders, list[Order])
found = book.get_order(order_id=buy.id)
assert_type(found, Order | None)
if found is not None:
    assert_type(found.side, OrderType)
    assert_type(found.status, OrderStatus)
    assert_type(found.price_in_ticks, int)
    assert_type(found.is_open(), bool)
    book.update_order(order=found)
assert_type(book.cancel(order_id=buy.id), bool)

side: OrderType = OrderType.Sell
is_sell = side == OrderType.Sell and side != 0 and int(side) == 1
statuses = [OrderStatus.Open, OrderStatus.Filled, OrderStatus.Canceled]

resting = Order(OrderType.Sell, price_in_ticks=99, quantity=1.0)
incoming = Order(OrderType.Buy, 100, 2.5)
assert_type(resting.can_match(other=incoming), bool)
assert_type(resting.fill(incoming=incoming, tick_size=0.5), Fill | None)
made = Fill(quantity=1.0, price=2.0, buy_id="a", sell_id="b", timestamp=3)
print(made, book, width, is_sell, statuses)
