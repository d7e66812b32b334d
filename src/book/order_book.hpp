#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "book/order_index.hpp"
#include "book/price_levels.hpp"
#include "model/fill.hpp"
#include "model/order.hpp"

namespace kestrova {

// One instrument's book: price-time priority matching over two ladders of
// resting orders, and the latest state of every order it was given.
class OrderBook {
 public:
  explicit OrderBook(double tick_size) : tick_size_(tick_size) {}

  double tick_size() const { return tick_size_; }

  // Turns a price into ticks (half away from zero, saturating) and builds a
  // new order; the book does not hold it.
  Order create_order(OrderType side, double price, double quantity) const;

  // Matches `incoming` against the opposite side, appends the fills to
  // `fills`, rests an open remainder and records every order it touched.
  void add(Order incoming, std::vector<Fill>& fills);

  bool cancel(std::string_view order_id);
  const Order* get_order(std::string_view order_id) const;
  void update_order(const Order& order) { orders_.store(order); }

  // Market data, read from the level queues only.
  std::optional<std::pair<std::int64_t, double>> best_bid() const;
  std::optional<std::pair<std::int64_t, double>> best_ask() const;
  double buy_volume() const { return volume(bid_levels_); }
  double sell_volume() const { return volume(ask_levels_); }
  std::optional<double> spread() const;
  std::string summary() const;

  // Visits the resting orders of one side, lowest price first, queue order
  // within a level.
  template <class Visit>
  void for_each_resting(OrderType side, Visit&& visit) const {
    for (const auto& [price, queue] : levels(side)) queue.for_each(visit);
  }
  std::size_t resting_count(OrderType side) const;

 private:
  const PriceLevels& levels(OrderType side) const {
    return side == OrderType::Buy ? bid_levels_ : ask_levels_;
  }
  PriceLevels& levels(OrderType side) { return side == OrderType::Buy ? bid_levels_ : ask_levels_; }
  static double volume(const PriceLevels& levels);

  double tick_size_;
  OrderIndex orders_;
  PriceLevels bid_levels_;
  PriceLevels ask_levels_;
};

}  // namespace kestrova
