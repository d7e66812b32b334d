#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "model/clock.hpp"
#include "model/failure.hpp"
#include "model/order_id.hpp"
#include "model/order_type.hpp"
#include "model/uuid.hpp"

namespace kestrova {

// One limit order: a plain value, copied whole wherever it goes.
struct Order {
  OrderId id;
  std::int64_t price_in_ticks;
  double quantity;  // still open
  std::uint64_t timestamp;
  OrderType side;
  OrderStatus status;

  bool is_open() const { return status == OrderStatus::Open; }
};

// The construction rule: validates, then draws an id and reads the clock.
// Throws ValidationError with the fixed message of the first broken rule.
// Inline, so that create_order's own checks of the same values fold away.
inline Order make_order(OrderType side, std::int64_t price_in_ticks, double quantity) {
  if (price_in_ticks <= 0) throw ValidationError{"price_in_ticks must be positive"};
  // NaN and infinities are refused too: two such orders could never fill each
  // other, and matching would meet them again and again.
  if (!(quantity > 0.0) || std::isinf(quantity)) throw ValidationError{"quantity must be positive"};
  Order order;
  order.id = new_order_id();
  order.timestamp = wall_clock_ns();
  order.side = side;
  order.price_in_ticks = price_in_ticks;
  order.quantity = quantity;
  order.status = OrderStatus::Open;
  return order;
}

// "[Buy 5 @ 10000] [<id>, placed at <timestamp>]"
std::string order_text(const Order& order);

}  // namespace kestrova
