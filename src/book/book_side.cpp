#include "book/book_side.hpp"

#include "model/failure.hpp"

namespace kestrova {

std::uint32_t BookSide::push_back(const Order& order) {
  std::uint32_t level = levels_.find(order.price_in_ticks);
  if (level == kNoIndex) {
    level = levels_.create(order.price_in_ticks);
    ladder_.insert(key_of(order.price_in_ticks), drop_if_empty());
    open_level(level);
  } else if (levels_[level].head == kNoIndex) {
    ladder_.mark_live(key_of(order.price_in_ticks));
    open_level(level);
  }

  std::uint32_t record = records_.allocate();
  // The id index keeps its own flag and the side in the top two bits of a
  // record's index.
  if (record >= 0x40000000u) throw InvariantFailure("Too many resting orders on one side");
  links_.cover(record);
  Level& l = levels_[level];
  records_[record] = RestingOrder{order.id, order.quantity, order.timestamp, level, kNoIndex};
  links_[record] = QueueLinks{l.tail, kNoIndex};
  if (l.tail == kNoIndex) {
    l.head = record;
  } else {
    links_[l.tail].next = record;
  }
  l.tail = record;
  l.quantity += order.quantity;
  ++l.count;
  ++size_;
  count_quantity(order.quantity);
  return record;
}

void BookSide::open_level(std::uint32_t level) {
  if (best_ == kNoIndex || key_of(levels_[level].price_in_ticks) > key_of(best_price())) {
    best_ = level;
  }
}

void BookSide::remove(std::uint32_t record) {
  const RestingOrder& r = records_[record];
  const QueueLinks k = links_[record];
  Level& l = levels_[r.level];
  if (k.prev == kNoIndex) {
    l.head = k.next;
  } else {
    links_[k.prev].next = k.next;
  }
  if (k.next == kNoIndex) {
    l.tail = k.prev;
  } else {
    links_[k.next].prev = k.prev;
  }
  // An emptied level restarts its total from zero, shedding rounding dust.
  l.quantity = l.head == kNoIndex ? 0.0 : l.quantity - r.quantity;
  --l.count;
  if (l.head == kNoIndex) close_level(r.level);
  forget_quantity(r.quantity);
  --size_;
  records_.release(record);
}

void BookSide::close_level(std::uint32_t level) {
  const std::int64_t key = key_of(levels_[level].price_in_ticks);
  if (level != best_) {
    ladder_.mark_idle(key, drop_if_empty());
    return;
  }
  // The best level goes at once, and with it every idle level behind it, so
  // that the back of the ladder is the best level again.
  ladder_.pop_back(false);
  levels_.erase(level);
  best_ = kNoIndex;
  while (!ladder_.empty()) {
    std::uint32_t next = levels_.find(price_of(ladder_.back()));
    if (levels_[next].head != kNoIndex) {
      best_ = next;
      break;
    }
    ladder_.pop_back(true);
    levels_.erase(next);
  }
}

double BookSide::volume() const {
  // Whole quantities below 2^53 in all add up exactly at every step, so the
  // kept total has the bits of the left-to-right sum.
  if (other_quantities_ == 0 && whole_total_ < static_cast<std::uint64_t>(kTwoTo53)) {
    return size_ == 0 ? -0.0 : static_cast<double>(static_cast<std::uint64_t>(whole_total_));
  }
  double sum = -0.0;
  for_each([&](const Order& order) { sum += order.quantity; });
  return sum;
}

}  // namespace kestrova
