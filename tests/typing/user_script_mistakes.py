"""The user's script with mistakes; each line marked `# E: <text>` must be rejected with <text>."""

from kestrova import Fill, Order, OrderBook, OrderStatus, OrderType

book = OrderBook()
order = Order(OrderType.Buy, 100, 5.0)
book.add(order=order)  # E: Unexpected keyword argument "order"
book.update_order(incoming_order=order)  # E: Unexpected keyword argument "incoming_order"
book.cancel(42)  # E: Argument 1 to "cancel" of "OrderBook" has incompatible type "int"
Order(0, 100, 5.0)  # E: Argument 1 to "Order" has incompatible type "int"
Order(OrderType.Buy, 100.0, 5.0)  # E: Argument 2 to "Order" has incompatible type "float"
OrderType()  # E: Too few arguments for "OrderType"
OrderStatus(0)  # E: Argument 1 to "OrderStatus" has incompatible type "int"
hold = OrderType.Hold  # E: "type[OrderType]" has no attribute "Hold"
price_in_ticks, front_quantity = book.best_bid()  # E: "None" object is not iterable
half_spread = book.spread() / 2  # E: Unsupported operand types for / ("None" and "int")
fills: list[Order] = book.add(order)  # E: Incompatible types in assignment
order.quantity = 1.0  # E: Property "quantity" defined in "Order" is read-only
book.tick_size = 0.5  # E: Property "tick_size" defined in "OrderBook" is read-only
book.buy_orders()  # E: "list[Order]" not callable
ordered = OrderType.Buy < OrderType.Sell  # E: Unsupported left operand type for < ("OrderType")
value = OrderStatus.Open.value  # E: "OrderStatus" has no attribute "value"
first: Fill = book.get_order(order.id)  # E: Incompatible types in assignment


class MyOrder(Order):  # E: Cannot inherit from final class "Order"
    pass
