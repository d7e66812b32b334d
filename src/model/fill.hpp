#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "model/order.hpp"

namespace kestrova {

// The id of a fill's side: an order's id when the fill rule made it, or any
// text a caller gave the Fill constructor.
using FillId = std::variant<OrderId, std::string>;

struct Fill {
  double quantity;
  double price;
  FillId buy_id;
  FillId sell_id;
  std::uint64_t timestamp;
};

void append_fill_id(std::string& out, const FillId& id);

// The crossing test: opposite sides, and the buy price at least the sell price.
bool can_match(const Order& receiver, const Order& other);

// The fill step: trades the smaller quantity, lowers both, marks emptied
// orders Filled, prices at the sell order's limit. No fill when they do not
// cross. Quantity and status changes stay even if reading the clock throws.
std::optional<Fill> fill(Order& receiver, Order& other, double tick_size);

// "[3.00 @ 100.00] Buy: <id>, Sell: <id>, Filled at <timestamp>"
std::string fill_text(const Fill& fill);

}  // namespace kestrova
