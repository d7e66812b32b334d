#include "book/order_book.hpp"

#include <cmath>
#include <limits>

#include "model/failure.hpp"
#include "model/rounding.hpp"

namespace kestrova {

namespace {

// Rounded tick count of a price, saturating at the ends of the range and
// giving 0 for NaN.
std::int64_t ticks_of(double price, double tick_size) {
  double ticks = round_half_away(price / tick_size);
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

void OrderBook::keep_record(OrderEntry& entry, const Order& order) {
  if (is_kept(entry)) {
    kept(entry).order = order;
    return;
  }
  std::uint32_t record = records_.allocate();
  if (record >= kKeptBit - 1) throw InvariantFailure("Too many recorded orders");
  // Until now `ref` was the queue copy's handle, or nothing for a new entry.
  records_[record] = KeptRecord{order, entry.ref};
  entry.ref = kKeptBit | record;
}

void OrderBook::drop_record(OrderEntry& entry) {
  if (!is_kept(entry)) return;
  std::uint32_t record = entry.ref & ~kKeptBit;
  entry.ref = records_[record].resting;
  records_.release(record);
}

void OrderBook::store(const Order& order) {
  OrderEntry& entry = index_.at(index_.find_or_add(order.id, id_reader()));
  keep_record(entry, order);
}

void OrderBook::settle_resting(BookSide& side, std::uint32_t record, const Order& state) {
  std::size_t slot = index_.find_or_add(state.id, id_reader());
  OrderEntry& entry = index_.at(slot);
  const std::uint32_t h = handle(side.side(), record);
  if (state.is_open()) {
    // A partially filled resting order keeps its place at the front.
    side.set_quantity(record, state.quantity);
    if (resting_of(entry) == h && side.at(record).twin == kNoIndex) {
      drop_record(entry);  // the queue copy is the recorded state again
    } else {
      keep_record(entry, state);
    }
    return;
  }
  // Filled: it leaves its queue and lives on as a record only. The record is
  // kept before the queue copy goes, since the entry may still read its id
  // through it.
  keep_record(entry, state);
  KeptRecord& latest = kept(entry);
  if (latest.resting == h) {
    std::uint32_t twin = side.at(record).twin;
    latest.resting = twin == kNoIndex ? kNoIndex : handle(side.side(), twin);
  } else {
    if (latest.resting == kNoIndex) throw InvariantFailure("A resting order is known by its id");
    std::uint32_t before = latest.resting & kRecordMask;
    while (side.at(before).twin != record) before = side.at(before).twin;
    side.at(before).twin = side.at(record).twin;
  }
  side.remove(record);
}

void OrderBook::rest(const Order& order) {
  BookSide& side = side_of(order.side);
  std::uint32_t record = side.push_back(order);
  std::size_t slot = index_.find_or_add(order.id, id_reader());
  OrderEntry& entry = index_.at(slot);
  const std::uint32_t h = handle(order.side, record);
  const std::uint32_t resting = resting_of(entry);
  if (resting == kNoIndex) {
    // The only queue copy: it is the recorded state, no own record needed.
    if (is_kept(entry)) records_.release(entry.ref & ~kKeptBit);
    entry.ref = h;
    return;
  }
  // Added again while a copy still rests: both copies stay queued, and the
  // latest state is kept as a record of its own.
  side.at(record).twin = resting & kRecordMask;
  keep_record(entry, order);
  kept(entry).resting = h;
}

void OrderBook::add(Order incoming, std::vector<Fill>& fills) {
  // Every add ends in a probe for the incoming id; its slot loads meanwhile.
  index_.prefetch(incoming.id);
  BookSide& opposite_side = side_of(opposite(incoming.side));
  const bool buying = incoming.side == OrderType::Buy;
  bool matched = false;  // a completed pass has recorded the incoming order

  while (incoming.is_open() && !opposite_side.empty()) {
    std::int64_t price = opposite_side.best_price();
    if (buying ? incoming.price_in_ticks < price : incoming.price_in_ticks > price) break;
    std::uint32_t front = opposite_side.best_front();
    if (front == kNoIndex) throw InvariantFailure("Queue is not empty if it exists in map");
    // A filled front leaves its queue: its links load with its record.
    opposite_side.prefetch_links(front);

    // Nothing in the book changes until the fill is made, so a failing clock
    // leaves the resting order where it was, and the incoming order recorded
    // as the last completed pass left it.
    Order resting = opposite_side.order_at(front);
    Order working = incoming;
    std::optional<Fill> made;
    try {
      made = fill(resting, working, tick_size_);
    } catch (...) {
      if (matched) store(incoming);
      throw;
    }
    incoming = working;
    if (made) fills.push_back(std::move(*made));
    settle_resting(opposite_side, front, resting);
    matched = true;

    // Finite quantities always fill one side of a pass; a pass that fills
    // neither would repeat forever.
    if (resting.is_open() && incoming.is_open()) break;
  }

  if (incoming.is_open()) {
    rest(incoming);
  } else {
    store(incoming);
  }
}

bool OrderBook::cancel(std::string_view order_id) {
  // The probe's slot loads while the text is parsed.
  if (order_id.size() == OrderId::kTextSize) index_.prefetch(tag_of_text(order_id.data()));
  std::optional<OrderId> id = OrderId::parse(order_id);
  return id && cancel(*id);
}

bool OrderBook::cancel(const OrderId& id) {
  // A queue copy's links load while its id is compared.
  std::size_t slot = index_.find(id, [this](const OrderEntry& entry) -> const OrderId& {
    if (!(entry.ref & kKeptBit)) side_of_handle(entry.ref).prefetch_links(entry.ref & kRecordMask);
    return id_of(entry);
  });
  if (slot == OrderIndex::kMissing) return false;

  OrderEntry& entry = index_.at(slot);
  const std::uint32_t resting = resting_of(entry);
  if (resting != kNoIndex) {
    BookSide& side = side_of_handle(resting);
    for (std::uint32_t record = resting & kRecordMask; record != kNoIndex;) {
      std::uint32_t twin = side.at(record).twin;
      side.remove(record);
      record = twin;
    }
  }
  if (is_kept(entry)) records_.release(entry.ref & ~kKeptBit);
  index_.erase(slot);
  return true;
}

std::optional<Order> OrderBook::get_order(std::string_view order_id) const {
  std::optional<OrderId> id = OrderId::parse(order_id);
  if (!id) return std::nullopt;
  std::size_t slot = index_.find(*id, id_reader());
  if (slot == OrderIndex::kMissing) return std::nullopt;
  const OrderEntry& entry = index_.at(slot);
  if (is_kept(entry)) return kept(entry).order;
  return side_of_handle(entry.ref).order_at(entry.ref & kRecordMask);
}

}  // namespace kestrova
