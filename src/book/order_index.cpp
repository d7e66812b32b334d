#include "book/order_index.hpp"

namespace kestrova {

void OrderIndex::erase(std::size_t slot) {
  // Backward-shift deletion: pull later entries of the probe run into the
  // hole so that no lookup stops early at it.
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & mask_; slots_[next].used(); next = (next + 1) & mask_) {
    std::size_t home = slots_[next].tag & mask_;
    // The entry may move back only if its home is not inside (hole, next].
    bool home_between =
        hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (!home_between) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = OrderEntry{0, kNoIndex};
  --used_;
}

void OrderIndex::grow() {
  std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<OrderEntry> old = std::move(slots_);
  slots_.assign(capacity, OrderEntry{0, kNoIndex});
  mask_ = capacity - 1;
  for (const OrderEntry& entry : old) {
    if (!entry.used()) continue;
    std::size_t slot = entry.tag & mask_;
    while (slots_[slot].used()) slot = (slot + 1) & mask_;
    slots_[slot] = entry;
  }
}

}  // namespace kestrova
