#include "model/fill.hpp"

#include <cmath>

#include "model/clock.hpp"
#include "model/number_text.hpp"

namespace kestrova {

void append_fill_id(std::string& out, const FillId& id) {
  if (const auto* order_id = std::get_if<OrderId>(&id)) {
    char text[OrderId::kTextSize];
    order_id->write_text(text);
    out.append(text, sizeof text);
  } else {
    out += std::get<std::string>(id);
  }
}

bool can_match(const Order& receiver, const Order& other) {
  if (receiver.side == other.side) return false;
  const Order& buy = receiver.side == OrderType::Buy ? receiver : other;
  const Order& sell = receiver.side == OrderType::Buy ? other : receiver;
  return buy.price_in_ticks >= sell.price_in_ticks;
}

std::optional<Fill> fill(Order& receiver, Order& other, double tick_size) {
  if (!can_match(receiver, other)) return std::nullopt;
  // minNum: a NaN quantity gives way to the other one.
  double quantity;
  if (std::isnan(receiver.quantity)) {
    quantity = other.quantity;
  } else if (std::isnan(other.quantity)) {
    quantity = receiver.quantity;
  } else {
    quantity = other.quantity < receiver.quantity ? other.quantity : receiver.quantity;
  }
  receiver.quantity -= quantity;
  other.quantity -= quantity;
  if (receiver.quantity <= 0.0) receiver.status = OrderStatus::Filled;
  if (other.quantity <= 0.0) other.status = OrderStatus::Filled;

  const Order& buy = receiver.side == OrderType::Buy ? receiver : other;
  const Order& sell = receiver.side == OrderType::Buy ? other : receiver;
  double price = static_cast<double>(sell.price_in_ticks) * tick_size;
  std::uint64_t timestamp = wall_clock_ns();
  return Fill{quantity, price, buy.id, sell.id, timestamp};
}

std::string fill_text(const Fill& fill) {
  std::string text;
  text.reserve(128);
  text += '[';
  append_fixed(text, fill.quantity, 2);
  text += " @ ";
  append_fixed(text, fill.price, 2);
  text += "] Buy: ";
  append_fill_id(text, fill.buy_id);
  text += ", Sell: ";
  append_fill_id(text, fill.sell_id);
  text += ", Filled at ";
  append_integer(text, fill.timestamp);
  return text;
}

}  // namespace kestrova
