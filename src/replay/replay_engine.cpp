#include "replay/replay_engine.hpp"

#include <cstring>
#include <limits>
#include <variant>

namespace kestrova::replay {

namespace {

constexpr std::uint64_t kKnownBit = std::uint64_t{1} << 63;
constexpr std::int64_t kNoPrice = std::numeric_limits<std::int64_t>::min();

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

OrderType side_type(std::uint8_t side) { return side == kSell ? OrderType::Sell : OrderType::Buy; }

// Row layout: per level, ask price, ask size, bid price, bid size.
std::int64_t row_price(const std::int64_t* row, std::uint8_t side, std::size_t level) {
  return row[4 * level + (side == kSell ? 0 : 2)];
}
std::int64_t row_size(const std::int64_t* row, std::uint8_t side, std::size_t level) {
  return row[4 * level + (side == kSell ? 1 : 3)];
}

// Is `price` further from the touch than `worst` on this side?
bool beyond(std::uint8_t side, std::int64_t price, std::int64_t worst) {
  return side == kSell ? price > worst : price < worst;
}

}  // namespace

void Tables::clear() {
  for (auto* v :
       {&fill_seq, &fill_time, &fill_price, &fill_quantity, &bbo_seq, &bbo_time, &bbo_bid_price,
        &bbo_bid_size, &bbo_ask_price, &bbo_ask_size, &depth_seq, &depth_time, &depth_price,
        &depth_size, &depth_orders, &divergence_seq, &divergence_time})
    v->clear();
  for (auto* v : {&fill_maker, &fill_taker, &divergence_ref}) v->clear();
  for (auto* v : {&fill_maker_known, &fill_taker_known, &fill_aggressor, &fill_code, &depth_side,
                  &depth_level, &divergence_reason, &divergence_code})
    v->clear();
}

Engine::Engine(const Options& options) : options_(options), book_(options.tick_size) {
  if (options_.expire_after > 0) expiry_.resize(static_cast<std::size_t>(options_.expire_after));
}

// The first word is a hash of a serial number, so the book's index spreads
// the ids; its top bit tells an order of the data from one the replay made.
// The second word is the data's ref.
OrderId Engine::make_id(bool known, std::uint64_t ref) {
  std::uint64_t first = (mix(++serial_) & ~kKnownBit) | (known ? kKnownBit : 0);
  OrderId id;
  std::memcpy(id.bytes.data(), &first, 8);
  std::memcpy(id.bytes.data() + 8, &ref, 8);
  return id;
}

bool Engine::is_known(const OrderId& id) {
  std::uint64_t first;
  std::memcpy(&first, id.bytes.data(), 8);
  return (first & kKnownBit) != 0;
}

std::uint64_t Engine::ref_of(const OrderId& id) {
  std::uint64_t ref;
  std::memcpy(&ref, id.bytes.data() + 8, 8);
  return ref;
}

Order Engine::make_order(const OrderId& id, std::uint8_t side, std::int64_t price,
                         std::int64_t quantity, std::int64_t time) const {
  return Order{id,
               price,
               static_cast<double>(quantity),
               static_cast<std::uint64_t>(time),
               side_type(side),
               OrderStatus::Open};
}

void Engine::seed(const std::int64_t* row) {
  for (std::uint8_t side : {kSell, kBuy}) {
    for (std::size_t i = 0; i < options_.levels; ++i) {
      if (row_size(row, side, i) > 0) {
        add_part(side, row_price(row, side, i), row_size(row, side, i), 0);
      }
    }
  }
  remember_row(row);
}

void Engine::run(const Events& events, const std::int64_t* rows) {
  const std::size_t width = 4 * options_.levels;
  for (std::size_t i = 0; i < events.size; ++i) {
    const Event e{events.time[i],     events.seq[i],  events.price[i],
                  events.quantity[i], events.ref[i],  events.new_ref[i],
                  events.action[i],   events.side[i], events.code[i]};
    ++counts_.events;
    apply(e);
    if (rows != nullptr) check_row(e, rows + i * width);
    if (options_.sample_code_bit == 0 || (e.code & options_.sample_code_bit) != 0) sample(e);
  }
}

void Engine::apply(const Event& e) {
  switch (static_cast<Action>(e.action)) {
    case Action::kAdd:
      if (!expiry_.empty()) expire_oldest(e.ref);
      add(e, e.ref, e.side, e.price, e.quantity);
      break;
    case Action::kReduce:
      reduce(e, false);
      break;
    case Action::kDelete:
      reduce(e, true);
      break;
    case Action::kExecute:
      execute(e);
      break;
    case Action::kReplace: {
      const Live* found = live_.find(e.ref);
      if (found == nullptr) {
        ++counts_.unknown_orders;
        if (options_.recorded) diverge(e, e.ref, Reason::kUnknownOrder);
        break;
      }
      const Live old = *found;
      live_.erase(e.ref);
      book_.cancel(old.id);
      add(e, e.new_ref, old.side, e.price, e.quantity);
      break;
    }
    case Action::kClear:
      clear();
      break;
    case Action::kModify:
      modify(e);
      break;
    case Action::kNote:
    default:
      break;
  }
}

void Engine::add(const Event& e, std::uint64_t ref, std::uint8_t side, std::int64_t price,
                 std::int64_t quantity) {
  if (live_.contains(ref)) {
    diverge(e, ref, Reason::kDuplicateRef);
    return;
  }
  const OrderId id = make_id(true, ref);
  const std::int64_t filled =
      enter(e, make_order(id, side, price, quantity, e.time), true, ref, nullptr, 0);
  if (filled > 0 && options_.recorded) diverge(e, ref, Reason::kCrossingAdd);
  if (filled < quantity) {
    live_.insert(ref, Live{id, price, quantity - filled, side});
  } else {
    book_.cancel(id);  // filled on entry: only the index still holds it
  }
}

void Engine::reduce(const Event& e, bool whole) {
  if (Live* live = live_.find(e.ref)) {
    const Live old = *live;
    ++counts_.deletes_known;
    book_.cancel(old.id);
    if (whole || e.quantity >= old.remaining) {
      if (!whole && e.quantity > old.remaining) diverge(e, e.ref, Reason::kOversizedCancel);
      live_.erase(e.ref);
      return;
    }
    // The remainder joins the back of its queue: the book has no way to
    // lower a resting order's size in place.
    ++counts_.partial_cancels;
    const OrderId id = make_id(true, e.ref);
    const std::int64_t rest = old.remaining - e.quantity;
    *live = Live{id, old.price, rest, old.side};
    fills_.clear();
    book_.add(make_order(id, old.side, old.price, rest, e.time), fills_);
    return;
  }
  ++counts_.unknown_orders;
  if (options_.unknown_parts && e.side <= kSell) {
    const std::int64_t left = take_parts(e.side, e.price, e.quantity, e.time);
    if (left == e.quantity) {
      diverge(e, e.ref, Reason::kUnknownOrder);
    } else if (left > 0) {
      diverge(e, e.ref, Reason::kOversizedCancel);
    }
  } else if (options_.recorded) {
    diverge(e, e.ref, Reason::kUnknownOrder);
  }
}

void Engine::execute(const Event& e) {
  const Live* live = live_.find(e.ref);
  std::uint8_t side;
  std::int64_t price;
  bool known = live != nullptr;
  if (known) {
    side = live->side;
    price = live->price;
    if (e.price != 0 && e.price != price) diverge(e, e.ref, Reason::kPriceDiffers);
  } else {
    ++counts_.unknown_orders;
    // Whoever is in front of the level takes an unknown order's execution.
    if (!options_.unknown_parts || e.side > kSell) {
      if (options_.recorded) diverge(e, e.ref, Reason::kUnknownOrder);
      return;
    }
    side = e.side;
    price = e.price;
  }
  const OrderId taker = make_id(false, 0);
  bool other_maker = false;
  const std::int64_t filled = enter(e, make_order(taker, side ^ 1, price, e.quantity, e.time),
                                    false, 0, known ? &other_maker : nullptr, e.ref);
  if (other_maker) diverge(e, e.ref, Reason::kOtherMaker);
  if (filled == 0 && !known) {
    diverge(e, e.ref, Reason::kUnknownOrder);
  } else if (filled < e.quantity) {
    diverge(e, e.ref, Reason::kShortExecution);
  }
  book_.cancel(taker);  // a remainder must not rest, and a filled taker leaves the index
}

void Engine::modify(const Event& e) {
  const Live* live = live_.find(e.ref);
  if (live == nullptr) {
    ++counts_.unknown_orders;
    add(e, e.ref, e.side, e.price, e.quantity);
    return;
  }
  const Live old = *live;
  if (e.price == old.price && e.quantity == old.remaining) return;
  if (e.price == old.price && e.quantity < old.remaining) ++counts_.partial_cancels;
  live_.erase(e.ref);
  book_.cancel(old.id);
  add(e, e.ref, old.side, e.price, e.quantity);
}

void Engine::expire_oldest(std::uint64_t ref) {
  std::uint64_t& slot = expiry_[static_cast<std::size_t>(adds_ % options_.expire_after)];
  if (adds_++ >= options_.expire_after) {
    if (const Live* live = live_.find(slot)) {
      book_.cancel(live->id);
      live_.erase(slot);
      ++counts_.expired;
    }
  }
  slot = ref;
}

void Engine::clear() {
  live_.for_each([this](std::uint64_t, const Live& live) { book_.cancel(live.id); });
  for (const auto& [key, parts] : parts_)
    for (const Part& part : parts) book_.cancel(part.id);
  live_.clear();
  parts_.clear();
  part_levels_.clear();
}

std::int64_t Engine::enter(const Event& e, const Order& order, bool taker_known,
                           std::uint64_t taker_ref, bool* other_maker, std::uint64_t named_ref) {
  fills_.clear();
  book_.add(order, fills_);
  std::int64_t filled = 0;
  for (const Fill& fill : fills_) {
    const OrderId maker =
        std::get<OrderId>(order.side == OrderType::Buy ? fill.sell_id : fill.buy_id);
    const auto quantity = static_cast<std::int64_t>(fill.quantity);
    const bool maker_known = is_known(maker);
    // A fill is priced at the sell order's limit.
    const std::int64_t price =
        order.side == OrderType::Sell ? order.price_in_ticks : maker_price(maker);
    tables_.fill_seq.push_back(e.seq);
    tables_.fill_time.push_back(e.time);
    tables_.fill_price.push_back(price);
    tables_.fill_quantity.push_back(quantity);
    tables_.fill_maker.push_back(maker_known ? ref_of(maker) : 0);
    tables_.fill_taker.push_back(taker_ref);
    tables_.fill_maker_known.push_back(maker_known);
    tables_.fill_taker_known.push_back(taker_known);
    tables_.fill_aggressor.push_back(static_cast<std::uint8_t>(order.side));
    tables_.fill_code.push_back(e.code);
    if (other_maker != nullptr && (!maker_known || ref_of(maker) != named_ref)) {
      *other_maker = true;
    }
    settle_maker(maker, quantity);
    filled += quantity;
  }
  counts_.fills += static_cast<std::int64_t>(fills_.size());
  return filled;
}

std::int64_t Engine::maker_price(const OrderId& maker) const {
  if (is_known(maker)) {
    if (const Live* live = live_.find(ref_of(maker))) return live->price;
  } else {
    auto it = part_levels_.find(maker);
    if (it != part_levels_.end()) return static_cast<std::int64_t>(it->second >> 1);
  }
  return 0;
}

// A maker filled to the end leaves the book's index too, which otherwise
// keeps every filled order until its id is cancelled.
void Engine::settle_maker(const OrderId& maker, std::int64_t quantity) {
  if (is_known(maker)) {
    const std::uint64_t ref = ref_of(maker);
    Live* live = live_.find(ref);
    if (live == nullptr || !(live->id == maker)) return;
    if ((live->remaining -= quantity) <= 0) {
      book_.cancel(maker);
      live_.erase(ref);
    }
    return;
  }
  auto level = part_levels_.find(maker);
  if (level == part_levels_.end()) return;
  auto parts = parts_.find(level->second);
  if (parts == parts_.end()) return;
  std::vector<Part>& list = parts->second;
  for (auto part = list.begin(); part != list.end(); ++part) {
    if (!(part->id == maker)) continue;
    if ((part->remaining -= quantity) <= 0) {
      book_.cancel(maker);
      list.erase(part);
      part_levels_.erase(level);
      if (list.empty()) parts_.erase(parts);
    }
    return;
  }
}

bool Engine::add_part(std::uint8_t side, std::int64_t price, std::int64_t quantity,
                      std::int64_t time) {
  if (quantity <= 0 || price <= 0) return false;
  // A part that would trade is left out: the opposite side is stale there,
  // and the row's check will say so.
  const auto opposite = side == kBuy ? book_.best_ask() : book_.best_bid();
  if (opposite && (side == kBuy ? opposite->first <= price : opposite->first >= price)) {
    return false;
  }
  const OrderId id = make_id(false, 0);
  fills_.clear();
  book_.add(make_order(id, side, price, quantity, time), fills_);
  const std::uint64_t key = level_key(side, price);
  parts_[key].push_back(Part{id, quantity});
  part_levels_.emplace(id, key);
  return true;
}

std::int64_t Engine::take_parts(std::uint8_t side, std::int64_t price, std::int64_t quantity,
                                std::int64_t time) {
  auto it = parts_.find(level_key(side, price));
  if (it == parts_.end()) return quantity;
  std::vector<Part>& list = it->second;
  std::int64_t rest = 0;
  while (quantity > 0 && !list.empty()) {
    const Part part = list.back();
    list.pop_back();
    book_.cancel(part.id);
    part_levels_.erase(part.id);
    if (part.remaining > quantity) {
      rest = part.remaining - quantity;
      quantity = 0;
    } else {
      quantity -= part.remaining;
    }
  }
  if (list.empty()) parts_.erase(it);
  if (rest > 0) add_part(side, price, rest, time);
  return quantity;
}

void Engine::take_known(std::uint8_t side, std::int64_t price, std::int64_t quantity,
                        std::int64_t time) {
  std::vector<std::uint64_t> refs;
  book_.for_each_at(side_type(side), price, [&](const Order& order) {
    if (is_known(order.id)) refs.push_back(ref_of(order.id));
  });
  for (auto ref = refs.rbegin(); ref != refs.rend() && quantity > 0; ++ref) {
    Live* live = live_.find(*ref);
    if (live == nullptr) continue;
    const Live old = *live;
    book_.cancel(old.id);
    if (old.remaining <= quantity) {
      quantity -= old.remaining;
      live_.erase(*ref);
      continue;
    }
    const OrderId id = make_id(true, *ref);
    *live = Live{id, old.price, old.remaining - quantity, old.side};
    fills_.clear();
    book_.add(make_order(id, old.side, old.price, old.remaining - quantity, time), fills_);
    quantity = 0;
  }
}

std::int64_t Engine::level_total(std::uint8_t side, std::int64_t price) const {
  return static_cast<std::int64_t>(book_.quantity_at(side_type(side), price));
}

bool Engine::set_level(std::uint8_t side, std::int64_t price, std::int64_t target,
                       std::int64_t time) {
  const std::int64_t total = level_total(side, price);
  if (total == target) return false;
  if (target > total) return add_part(side, price, target - total, time);
  const std::int64_t left = take_parts(side, price, total - target, time);
  if (left > 0) take_known(side, price, left, time);
  return true;
}

void Engine::check_row(const Event& e, const std::int64_t* row) {
  // A level that was beyond the previous row's depth may hold orders this
  // replay never saw placed, or lack ones deleted out of view.
  for (std::uint8_t side : {kSell, kBuy}) {
    if (!prev_full_[side]) continue;
    for (std::size_t i = 0; i < options_.levels; ++i) {
      const std::int64_t size = row_size(row, side, i);
      const std::int64_t price = row_price(row, side, i);
      if (size > 0 && beyond(side, price, prev_worst_[side]) &&
          set_level(side, price, size, e.time)) {
        ++counts_.resyncs;
      }
    }
  }
  ++counts_.rows_compared;
  if (row_matches(row)) {
    ++counts_.rows_matching;
  } else {
    if (counts_.first_mismatch < 0) counts_.first_mismatch = e.seq;
    if (options_.correct) {
      correct_row(e, row);
      ++counts_.corrections;
    }
  }
  remember_row(row);
}

bool Engine::row_matches(const std::int64_t* row) const {
  for (std::uint8_t side : {kSell, kBuy}) {
    std::size_t i = 0;
    bool same = true;
    book_.for_each_level(side_type(side), options_.levels,
                         [&](std::int64_t price, double quantity, std::uint32_t) {
                           if (row_size(row, side, i) <= 0 || row_price(row, side, i) != price ||
                               static_cast<double>(row_size(row, side, i)) != quantity) {
                             same = false;
                           }
                           ++i;
                         });
    if (!same) return false;
    if (i < options_.levels && row_size(row, side, i) > 0) return false;
  }
  return true;
}

void Engine::correct_row(const Event& e, const std::int64_t* row) {
  struct Target {
    std::uint8_t side;
    std::int64_t price, size;
  };
  std::vector<Target> targets;
  for (std::uint8_t side : {kSell, kBuy}) {
    std::size_t shown = 0;
    while (shown < options_.levels && row_size(row, side, shown) > 0) ++shown;
    const bool full = shown == options_.levels;
    const std::int64_t worst = shown > 0 ? row_price(row, side, shown - 1) : 0;
    // Our levels inside the row's view that the row does not show go.
    std::vector<std::int64_t> ours;
    book_.for_each_level(side_type(side), options_.levels + 64,
                         [&](std::int64_t price, double, std::uint32_t) {
                           if (!full || !beyond(side, price, worst)) ours.push_back(price);
                         });
    for (std::int64_t price : ours) {
      bool shown_here = false;
      for (std::size_t i = 0; i < shown; ++i) shown_here |= row_price(row, side, i) == price;
      if (!shown_here) targets.push_back(Target{side, price, 0});
    }
    for (std::size_t i = 0; i < shown; ++i) {
      targets.push_back(Target{side, row_price(row, side, i), row_size(row, side, i)});
    }
  }
  // Shrink before growing, so that no part is added against a stale level.
  for (const Target& t : targets) {
    if (level_total(t.side, t.price) > t.size) set_level(t.side, t.price, t.size, e.time);
  }
  for (const Target& t : targets) {
    if (level_total(t.side, t.price) < t.size) set_level(t.side, t.price, t.size, e.time);
  }
}

void Engine::remember_row(const std::int64_t* row) {
  for (std::uint8_t side : {kSell, kBuy}) {
    std::size_t shown = 0;
    while (shown < options_.levels && row_size(row, side, shown) > 0) ++shown;
    prev_full_[side] = shown == options_.levels && shown > 0;
    prev_worst_[side] = shown > 0 ? row_price(row, side, shown - 1) : 0;
  }
}

void Engine::diverge(const Event& e, std::uint64_t ref, Reason reason) {
  ++counts_.divergences;
  tables_.divergence_seq.push_back(e.seq);
  tables_.divergence_time.push_back(e.time);
  tables_.divergence_ref.push_back(ref);
  tables_.divergence_reason.push_back(static_cast<std::uint8_t>(reason));
  tables_.divergence_code.push_back(e.code);
}

void Engine::sample(const Event& e) {
  std::int64_t top[4] = {kNoPrice, 0, kNoPrice, 0};
  book_.for_each_level(OrderType::Buy, 1, [&](std::int64_t price, double quantity, std::uint32_t) {
    top[0] = price;
    top[1] = static_cast<std::int64_t>(quantity);
  });
  book_.for_each_level(OrderType::Sell, 1, [&](std::int64_t price, double quantity, std::uint32_t) {
    top[2] = price;
    top[3] = static_cast<std::int64_t>(quantity);
  });
  if (!have_bbo_ || std::memcmp(top, last_bbo_, sizeof top) != 0) {
    have_bbo_ = true;
    std::memcpy(last_bbo_, top, sizeof top);
    tables_.bbo_seq.push_back(e.seq);
    tables_.bbo_time.push_back(e.time);
    tables_.bbo_bid_price.push_back(top[0]);
    tables_.bbo_bid_size.push_back(top[1]);
    tables_.bbo_ask_price.push_back(top[2]);
    tables_.bbo_ask_size.push_back(top[3]);
  }
  ++samples_;
  if (options_.depth_every > 0 && samples_ % options_.depth_every == 0) {
    for (std::uint8_t side : {kBuy, kSell}) {
      std::uint8_t level = 0;
      book_.for_each_level(side_type(side), options_.levels,
                           [&](std::int64_t price, double quantity, std::uint32_t orders) {
                             tables_.depth_seq.push_back(e.seq);
                             tables_.depth_time.push_back(e.time);
                             tables_.depth_side.push_back(side);
                             tables_.depth_level.push_back(++level);
                             tables_.depth_price.push_back(price);
                             tables_.depth_size.push_back(static_cast<std::int64_t>(quantity));
                             tables_.depth_orders.push_back(orders);
                           });
    }
  }
}

}  // namespace kestrova::replay
