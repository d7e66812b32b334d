#include "book/order_book.hpp"

#include <cmath>
#include <limits>

#include "model/failure.hpp"

namespace kestrova {

namespace {

// Rounded tick count of a price, saturating at the ends of the range and
// giving 0 for NaN.
std::int64_t ticks_of(double price, double tick_size) {
  double ticks = std::round(price / tick_size);
  if (std::isnan(ticks)) return 0;
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (ticks >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (ticks < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ticks);
}

}  // namespace

Order OrderBook::create_order(OrderType side, double price, double quantity) const {
  // Non-finite quantities are refused as well: see make_order.
  if (price <= 0.0 || !(quantity > 0.0) || std::isinf(quantity)) {
    throw ValidationError{"Price and quantity must be positive"};
  }
  std::int64_t price_in_ticks = ticks_of(price, tick_size_);
  if (price_in_ticks <= 0) throw ValidationError{"Resulting price_in_ticks must be positive"};
  return make_order(side, price_in_ticks, quantity);
}

void OrderBook::add(Order incoming, std::vector<Fill>& fills) {
  PriceLevels& opposite_levels = levels(opposite(incoming.side));
  const bool buying = incoming.side == OrderType::Buy;
  bool stored = false;  // each pass stores the incoming order's latest state

  while (incoming.is_open() && !opposite_levels.empty()) {
    auto level = buying ? opposite_levels.begin() : std::prev(opposite_levels.end());
    if (buying ? incoming.price_in_ticks < level->first : incoming.price_in_ticks > level->first) {
      break;
    }
    LevelQueue& queue = level->second;
    if (queue.empty()) throw InvariantFailure("Queue is not empty if it exists in map");

    // The queue changes only once the fill is made, so a failing clock
    // leaves the resting order where it was.
    Order resting = queue.front();
    std::optional<Fill> made = fill(resting, incoming, tick_size_);
    if (made) fills.push_back(std::move(*made));

    // A partially filled resting order keeps its place at the front.
    if (resting.is_open()) {
      queue.front() = resting;
    } else {
      queue.pop_front();
      if (queue.empty()) opposite_levels.erase(level);
    }
    orders_.store(resting);
    orders_.store(incoming);
    stored = true;

    // Finite quantities always fill one side of a pass; a pass that fills
    // neither would repeat forever.
    if (resting.is_open() && incoming.is_open()) break;
  }

  if (incoming.is_open()) levels(incoming.side)[incoming.price_in_ticks].push_back(incoming);
  if (!stored) orders_.store(incoming);
}

bool OrderBook::cancel(std::string_view order_id) {
  std::optional<OrderId> id = OrderId::parse(order_id);
  if (!id) return false;
  const Order* stored = orders_.find(*id);
  if (stored == nullptr) return false;

  PriceLevels& side_levels = levels(stored->side);
  auto level = side_levels.find(stored->price_in_ticks);
  if (level != side_levels.end()) {
    LevelQueue& queue = level->second;
    queue.erase_if([&](const Order& order) { return order.id == *id; });
    if (queue.empty()) side_levels.erase(level);
  }
  orders_.erase(*id);
  return true;
}

const Order* OrderBook::get_order(std::string_view order_id) const {
  std::optional<OrderId> id = OrderId::parse(order_id);
  return id ? orders_.find(*id) : nullptr;
}

}  // namespace kestrova
