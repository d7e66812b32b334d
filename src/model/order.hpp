#pragma once

#include <cstdint>
#include <string>

#include "model/order_id.hpp"
#include "model/order_type.hpp"

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
Order make_order(OrderType side, std::int64_t price_in_ticks, double quantity);

// "[Buy 5 @ 10000] [<id>, placed at <timestamp>]"
std::string order_text(const Order& order);

}  // namespace kestrova
