# Type information for the native kestrova module.

from typing import ClassVar, Never, Self, SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]

# Float arguments go through the interpreter's float conversion, which takes
# anything with __float__ or __index__; integer arguments take __index__.
_FloatArg: TypeAlias = SupportsFloat | SupportsIndex

@final
class Order:
    """Represents a single order in the order book.
    Contains details such as price, quantity, side (Buy/Sell), and status.
    """
    def __new__(
        cls, side: OrderType, price_in_ticks: SupportsIndex, quantity: _FloatArg
    ) -> Self: ...
    def can_match(self, other: Order) -> bool:
        """Determines whether this order can match with another order.

        # Arguments
        - `other`: The other order to match against.

        # Returns
        - `true` if the orders are on opposite sides and the prices are compatible.
        """
    def fill(self, incoming: Order, tick_size: _FloatArg) -> Fill | None:
        """Attempts to fill this order with another incoming order.
        Updates the quantities and statuses of both orders.
        """
    def is_open(self) -> bool:
        """Checks if the order is still open."""
    @property
    def id(self) -> str:
        """Getter for the order ID."""
    @property
    def side(self) -> OrderType:
        """Getter for the order side."""
    @property
    def price_in_ticks(self) -> int:
        """Getter for the price in ticks."""
    @property
    def quantity(self) -> float:
        """Getter for the quantity."""
    @property
    def status(self) -> OrderStatus:
        """Getter for the order status."""
    @property
    def timestamp(self) -> int:
        """Getter for the timestamp."""

@final
class Fill:
    """Represents a match (fill) between two orders.
    Tracks details such as the quantity, price, and the involved order IDs.
    """
    def __new__(
        cls,
        quantity: _FloatArg,
        price: _FloatArg,
        buy_id: str,
        sell_id: str,
        timestamp: SupportsIndex,
    ) -> Self: ...
    @property
    def quantity(self) -> float:
        """Getter for the quantity filled."""
    @property
    def price(self) -> float:
        """Getter for the fill price."""
    @property
    def buy_id(self) -> str:
        """Getter for the buy order ID."""
    @property
    def sell_id(self) -> str:
        """Getter for the sell order ID."""
    @property
    def timestamp(self) -> int:
        """Getter for the fill timestamp."""

@final
class OrderBook:
    """Represents the main order book for matching buy and sell orders."""
    def __new__(cls, tick_size: _FloatArg = 0.01) -> Self: ...
    def create_order(self, side: OrderType, price: _FloatArg, quantity: _FloatArg) -> Order:
        """Creates an order (but does not add to the book) based off the book's tick size."""
    # Documented as add(self, order); the keyword the call accepts is incoming_order.
    def add(self, incoming_order: Order) -> list[Fill]:
        """Adds an order to the book, attempting to match it with resting orders."""
    def cancel(self, order_id: str) -> bool:
        """Cancels an order by its ID."""
    def get_order(self, order_id: str) -> Order | None:
        """Retrieves an order by its ID. Returns None if the order is not found."""
    def update_order(self, order: Order) -> None:
        """Helper method to update an order in the `orders` map."""
    def best_bid(self) -> tuple[int, float] | None:
        """Helper method to get best bid"""
    def best_ask(self) -> tuple[int, float] | None:
        """Helper method to get best ask"""
    def buy_volume(self) -> float:
        """Helper method to calculate total buy volume"""
    def sell_volume(self) -> float:
        """Helper method to calculate total sell volume"""
    def spread(self) -> float | None:
        """Calculate the current spread in the order book.
        Returns None if there are no orders on either side.
        The spread is returned in the same units as the prices (not ticks).
        """
    @property
    def buy_orders(self) -> list[Order]:
        """Get a list of all buy orders"""
    @property
    def sell_orders(self) -> list[Order]:
        """Get a list of all sell orders"""
    @property
    def tick_size(self) -> float:
        """Return the tick size for informational purposes"""

# The enumerations have no constructor (members are class attributes), compare
# with == and != only (also against ints), and are not hashable.
@final
class OrderType:
    """Represents the side of an order: either Buy or Sell."""

    Buy: ClassVar[OrderType]
    Sell: ClassVar[OrderType]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __int__(self) -> int: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class OrderStatus:
    """Represents the current status of an order."""

    Open: ClassVar[OrderStatus]
    Filled: ClassVar[OrderStatus]
    Canceled: ClassVar[OrderStatus]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __int__(self) -> int: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
