#include "book/book_side.hpp"

#include "model/failure.hpp"

namespace kestrova {

std::uint32_t BookSide::push_back(const Order& order) {
  std::uint32_t level = levels_.find(order.price_in_ticks);
  if (level == kNoIndex) {
    level = levels_.create(order.price_in_ticks);
    std::int64_t key = key_of(order.price_in_ticks);
    ladder_.insert(key);
    if (best_ == kNoIndex || key > key_of(levels_[best_].price_in_ticks)) best_ = level;
  }

  std::uint32_t record = records_.allocate();
  // The id index keeps its own flag and the side in the top two bits of a
  // record's index.
  if (record >= 0x40000000u) throw InvariantFailure("Too many resting orders on one side");
  Level& l = levels_[level];
  records_[record] =
      RestingOrder{order.id, order.quantity, order.timestamp, l.tail, kNoIndex, level, kNoIndex};
  if (l.tail == kNoIndex) {
    l.head = record;
  } else {
    records_[l.tail].next = record;
  }
  l.tail = record;
  ++size_;
  count_quantity(order.quantity);
  return record;
}

void BookSide::remove(std::uint32_t record) {
  RestingOrder& r = records_[record];
  Level& l = levels_[r.level];
  if (r.prev == kNoIndex) {
    l.head = r.next;
  } else {
    records_[r.prev].next = r.next;
  }
  if (r.next == kNoIndex) {
    l.tail = r.prev;
  } else {
    records_[r.next].prev = r.prev;
  }
  if (l.head == kNoIndex) {
    std::uint32_t level = r.level;
    ladder_.erase(key_of(l.price_in_ticks));
    levels_.erase(level);
    if (level == best_) best_ = ladder_.empty() ? kNoIndex : levels_.find(price_of(ladder_.back()));
  }
  forget_quantity(r.quantity);
  --size_;
  records_.release(record);
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
