#pragma once

#include <cstdint>
#include <vector>

#include "book/level_table.hpp"
#include "book/price_ladder.hpp"
#include "book/slab.hpp"
#include "model/order.hpp"

namespace kestrova {

// The queue copy of a resting order. Side and price belong to its level, and
// a queued record is always Open, so only what differs between orders is kept.
struct RestingOrder {
  OrderId id;
  double quantity;
  std::uint64_t timestamp;
  std::uint32_t level;
  std::uint32_t twin;  // another queue copy with the same id (an order added twice)
};

// A record's place in its level's queue, kept apart from the records: the
// links of all resting orders take an eighth of their memory, so unlinking
// a cancelled order finds its neighbours' links in cache more often, and
// loads its own while its record is still being read.
struct QueueLinks {
  std::uint32_t prev;  // towards the front of the level
  std::uint32_t next;  // towards the back
};

// The resting orders of one side: records in a slab, each level an
// index-linked queue through them, so a record leaves its queue in constant
// time wherever it sits.
class BookSide {
 public:
  explicit BookSide(OrderType side) : side_(side) {}

  OrderType side() const { return side_; }
  bool empty() const { return best_ == kNoIndex; }
  std::size_t size() const { return size_; }

  std::int64_t best_price() const { return levels_[best_].price_in_ticks; }
  std::uint32_t best_front() const { return levels_[best_].head; }

  RestingOrder& at(std::uint32_t record) { return records_[record]; }
  const RestingOrder& at(std::uint32_t record) const { return records_[record]; }
  // Starts loading the queue links of a record about to be removed.
  void prefetch_links(std::uint32_t record) const { __builtin_prefetch(&links_[record]); }

  // The queue copy as a whole order record.
  Order order_at(std::uint32_t record) const {
    const RestingOrder& r = records_[record];
    return Order{
        r.id, levels_[r.level].price_in_ticks, r.quantity, r.timestamp, side_, OrderStatus::Open};
  }

  // Rests a copy at the back of its level, opening the level if needed.
  std::uint32_t push_back(const Order& order);

  void set_quantity(std::uint32_t record, double quantity) {
    RestingOrder& r = records_[record];
    forget_quantity(r.quantity);
    levels_[r.level].quantity += quantity - r.quantity;
    r.quantity = quantity;
    count_quantity(quantity);
  }

  // Takes the record out of its queue and frees it; an emptied level goes,
  // at once if it was the best, else when the ladder compacts it away.
  void remove(std::uint32_t record);

  // Left-to-right sum from -0.0, lowest price first, queue order within.
  double volume() const;

  // Visits each resting order, lowest price first, front to back within.
  template <class Visit>
  void for_each(Visit&& visit) const {
    auto visit_level = [&](std::int64_t key) {
      const Level& level = levels_[levels_.find(price_of(key))];
      for (std::uint32_t r = level.head; r != kNoIndex; r = links_[r].next) visit(order_at(r));
    };
    if (side_ == OrderType::Buy) {
      ladder_.for_each_ascending(visit_level);
    } else {
      ladder_.for_each_descending(visit_level);
    }
  }

  // Visits up to `max_levels` levels that hold orders, best first, as
  // (price_in_ticks, total quantity, order count).
  template <class Visit>
  void for_each_level(std::size_t max_levels, Visit&& visit) const {
    if (max_levels == 0 || best_ == kNoIndex) return;
    // The best level is the ladder's back key, known without a search: the
    // top of the book, read after every event, costs no lookup.
    const Level& best = levels_[best_];
    visit(best.price_in_ticks, best.quantity, best.count);
    if (--max_levels == 0) return;
    bool past_best = false;
    ladder_.for_each_from_back([&](std::int64_t key) {
      if (!past_best) return past_best = true;
      const Level& level = levels_[levels_.find(price_of(key))];
      if (level.head == kNoIndex) return true;  // idle
      visit(level.price_in_ticks, level.quantity, level.count);
      return --max_levels != 0;
    });
  }

  // The total quantity resting at one price; 0 where none rests.
  double quantity_at(std::int64_t price_in_ticks) const {
    std::uint32_t level = levels_.find(price_in_ticks);
    return level == kNoIndex ? 0.0 : levels_[level].quantity;
  }

  // Visits the resting orders at one price, front to back.
  template <class Visit>
  void for_each_at(std::int64_t price_in_ticks, Visit&& visit) const {
    std::uint32_t level = levels_.find(price_in_ticks);
    if (level == kNoIndex) return;
    for (std::uint32_t r = levels_[level].head; r != kNoIndex; r = links_[r].next) {
      visit(order_at(r));
    }
  }

 private:
  // Ladder keys put the best level last: the price for bids, its bitwise
  // complement (an order-reversing map of all int64 values) for asks.
  std::int64_t key_of(std::int64_t price_in_ticks) const {
    return side_ == OrderType::Buy ? price_in_ticks : ~price_in_ticks;
  }
  std::int64_t price_of(std::int64_t key) const { return key_of(key); }

  // A level that holds orders again, or for the first time, may be the best.
  void open_level(std::uint32_t level);
  void close_level(std::uint32_t level);

  // What the ladder calls to shed an idle key: the level goes if still empty.
  auto drop_if_empty() {
    return [this](std::int64_t key) {
      std::uint32_t level = levels_.find(price_of(key));
      if (levels_[level].head != kNoIndex) return false;
      levels_.erase(level);
      return true;
    };
  }

  // Quantities that are whole numbers from 1 to below 2^53 are summed
  // exactly; any other makes volume() walk the side.
  static bool is_whole(double quantity) {
    return quantity >= 1.0 && quantity < kTwoTo53 &&
           static_cast<double>(static_cast<std::uint64_t>(quantity)) == quantity;
  }
  void count_quantity(double quantity) {
    if (is_whole(quantity)) {
      whole_total_ += static_cast<std::uint64_t>(quantity);
    } else {
      ++other_quantities_;
    }
  }
  void forget_quantity(double quantity) {
    if (is_whole(quantity)) {
      whole_total_ -= static_cast<std::uint64_t>(quantity);
    } else {
      --other_quantities_;
    }
  }

  static constexpr double kTwoTo53 = 9007199254740992.0;

  OrderType side_;
  Slab<RestingOrder> records_;
  PagedArray<QueueLinks> links_;  // by record index
  LevelTable levels_;
  PriceLadder ladder_;
  std::uint32_t best_ = kNoIndex;
  std::size_t size_ = 0;
  unsigned __int128 whole_total_ = 0;
  std::size_t other_quantities_ = 0;
};

}  // namespace kestrova
