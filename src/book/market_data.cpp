#include "book/order_book.hpp"
#include "model/failure.hpp"
#include "model/number_text.hpp"

namespace kestrova {

namespace {

std::pair<std::int64_t, double> front_of(const PriceLevels::value_type& level) {
  if (level.second.empty()) throw InvariantFailure("Queue is not empty if it exists in map");
  return {level.first, level.second.front().quantity};
}

void append_best(std::string& text, const std::optional<std::pair<std::int64_t, double>>& best,
                 double tick_size) {
  if (!best) {
    text += "None";
    return;
  }
  append_fixed(text, best->second, 2);
  text += " @ ";
  append_shortest(text, static_cast<double>(best->first) * tick_size);
}

}  // namespace

std::optional<std::pair<std::int64_t, double>> OrderBook::best_bid() const {
  if (bid_levels_.empty()) return std::nullopt;
  return front_of(*bid_levels_.rbegin());
}

std::optional<std::pair<std::int64_t, double>> OrderBook::best_ask() const {
  if (ask_levels_.empty()) return std::nullopt;
  return front_of(*ask_levels_.begin());
}

double OrderBook::volume(const PriceLevels& levels) {
  // Left to right from -0.0, lowest price first: float addition is not
  // associative, so the order is part of the result.
  double sum = -0.0;
  for (const auto& [price, queue] : levels) {
    queue.for_each([&](const Order& order) { sum += order.quantity; });
  }
  return sum;
}

std::optional<double> OrderBook::spread() const {
  if (bid_levels_.empty() || ask_levels_.empty()) return std::nullopt;
  // Every resting price is positive, so the difference cannot overflow.
  std::int64_t difference = ask_levels_.begin()->first - bid_levels_.rbegin()->first;
  return static_cast<double>(difference) * tick_size_;
}

std::size_t OrderBook::resting_count(OrderType side) const {
  std::size_t count = 0;
  for (const auto& [price, queue] : levels(side)) count += queue.size();
  return count;
}

std::string OrderBook::summary() const {
  std::string text = "Best Bid: ";
  append_best(text, best_bid(), tick_size_);
  text += ", Best Ask: ";
  append_best(text, best_ask(), tick_size_);
  text += " (Spread: ";
  if (auto gap = spread()) {
    append_fixed(text, *gap, 4);
  } else {
    text += "None";
  }
  text += ")\nOpen Buy Volume: ";
  append_fixed(text, buy_volume(), 2);
  text += ", Open Sell Volume: ";
  append_fixed(text, sell_volume(), 2);
  return text;
}

}  // namespace kestrova
