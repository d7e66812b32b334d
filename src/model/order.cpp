#include "model/order.hpp"

#include "model/number_text.hpp"

namespace kestrova {

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
