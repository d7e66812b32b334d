#include "model/order.hpp"

#include <cmath>

#include "model/clock.hpp"
#include "model/failure.hpp"
#include "model/number_text.hpp"
#include "model/uuid.hpp"

namespace kestrova {

Order make_order(OrderType side, std::int64_t price_in_ticks, double quantity) {
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

std::string order_text(const Order& order) {
  std::string text;
  text.reserve(96);
  text += '[';
  text += short_name(order.side);
  text += ' ';
  append_shortest(text, order.quantity);
  text += " @ ";
  append_integer(text, order.price_in_ticks);
  text += "] [";
  char id[OrderId::kTextSize];
  order.id.write_text(id);
  text.append(id, sizeof id);
  text += ", placed at ";
  append_integer(text, order.timestamp);
  text += ']';
  return text;
}

}  // namespace kestrova
