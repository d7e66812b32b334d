#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "book/book_side.hpp"
#include "book/order_index.hpp"
#include "book/slab.hpp"
#include "model/fill.hpp"
#include "model/order.hpp"

namespace kestrova {

// One instrument's book: price-time priority matching over two sides of
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
  // Starts loading the index slot `id` takes when it is added, for an add
  // expected a little later. Changes nothing.
  void expect(const OrderId& id) const { index_.prefetch(id); }

  bool cancel(std::string_view order_id);
  bool cancel(const OrderId& id);
  std::optional<Order> get_order(std::string_view order_id) const;
  // Replaces the recorded state only; queue copies stay as they are.
  void update_order(const Order& order) { store(order); }

  // Market data, read from the queue copies only.
  std::optional<std::pair<std::int64_t, double>> best_bid() const { return best(bids_); }
  std::optional<std::pair<std::int64_t, double>> best_ask() const { return best(asks_); }
  double buy_volume() const { return bids_.volume(); }
  double sell_volume() const { return asks_.volume(); }
  std::optional<double> spread() const;
  std::string summary() const;

  // Visits the resting orders of one side, lowest price first, queue order
  // within a level.
  template <class Visit>
  void for_each_resting(OrderType side, Visit&& visit) const {
    side_of(side).for_each(visit);
  }
  // Visits up to `max_levels` non-empty levels of one side, best first, as
  // (price_in_ticks, total quantity, order count).
  template <class Visit>
  void for_each_level(OrderType side, std::size_t max_levels, Visit&& visit) const {
    side_of(side).for_each_level(max_levels, visit);
  }
  // Visits the resting orders of one side at one price, front to back.
  template <class Visit>
  void for_each_at(OrderType side, std::int64_t price_in_ticks, Visit&& visit) const {
    side_of(side).for_each_at(price_in_ticks, visit);
  }
  double quantity_at(OrderType side, std::int64_t price_in_ticks) const {
    return side_of(side).quantity_at(price_in_ticks);
  }
  std::size_t resting_count(OrderType side) const { return side_of(side).size(); }
  // Orders the book knows by id, resting or not.
  std::size_t known_count() const { return index_.size(); }

 private:
  // An entry's `ref`: with kKeptBit, the index of a record of the book's own;
  // without, a queue copy's handle, the side in kSellBit, the record below.
  static constexpr std::uint32_t kKeptBit = 0x80000000u;
  static constexpr std::uint32_t kSellBit = 0x40000000u;
  static constexpr std::uint32_t kRecordMask = 0x3FFFFFFFu;
  static std::uint32_t handle(OrderType side, std::uint32_t record) {
    return side == OrderType::Sell ? record | kSellBit : record;
  }
  BookSide& side_of_handle(std::uint32_t h) { return h & kSellBit ? asks_ : bids_; }
  const BookSide& side_of_handle(std::uint32_t h) const { return h & kSellBit ? asks_ : bids_; }

  const BookSide& side_of(OrderType side) const { return side == OrderType::Buy ? bids_ : asks_; }
  BookSide& side_of(OrderType side) { return side == OrderType::Buy ? bids_ : asks_; }

  static std::optional<std::pair<std::int64_t, double>> best(const BookSide& side);

  // The latest state of an order whose queue copy no longer tells it, and
  // the handle of its first queue copy, or kNoIndex.
  struct KeptRecord {
    Order order;
    std::uint32_t resting;
  };
  static bool is_kept(const OrderEntry& entry) { return entry.used() && (entry.ref & kKeptBit); }
  KeptRecord& kept(const OrderEntry& entry) { return records_[entry.ref & ~kKeptBit]; }
  const KeptRecord& kept(const OrderEntry& entry) const { return records_[entry.ref & ~kKeptBit]; }
  // The entry's first queue copy, or kNoIndex.
  std::uint32_t resting_of(const OrderEntry& entry) const {
    return is_kept(entry) ? kept(entry).resting : entry.ref;
  }

  const OrderId& id_of(const OrderEntry& entry) const {
    return entry.ref & kKeptBit ? kept(entry).order.id
                                : side_of_handle(entry.ref).at(entry.ref & kRecordMask).id;
  }
  auto id_reader() const {
    return [this](const OrderEntry& entry) -> const OrderId& { return id_of(entry); };
  }

  // The store step: `order` becomes the recorded state under its id.
  void store(const Order& order);
  void keep_record(OrderEntry& entry, const Order& order);
  void drop_record(OrderEntry& entry);
  // After a pass: the resting order's new state, in its queue and recorded.
  void settle_resting(BookSide& side, std::uint32_t record, const Order& state);
  // Rests `order` and records it.
  void rest(const Order& order);

  double tick_size_;
  BookSide bids_{OrderType::Buy};
  BookSide asks_{OrderType::Sell};
  OrderIndex index_;
  Slab<KeptRecord> records_;  // own records of entries, see OrderEntry
};

}  // namespace kestrova
