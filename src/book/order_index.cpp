#include "book/order_index.hpp"

namespace kestrova {

std::size_t OrderIndex::slot_of(const OrderId& id) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = id.hash() & mask;
  while (slots_[slot] != kEmpty && records_[slots_[slot] - 1].id != id) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

const Order* OrderIndex::find(const OrderId& id) const {
  if (slots_.empty()) return nullptr;
  std::uint32_t entry = slots_[slot_of(id)];
  return entry == kEmpty ? nullptr : &records_[entry - 1];
}

void OrderIndex::store(const Order& order) {
  // At most half the slots are used, which keeps probes short.
  if ((records_.size() + 1) * 2 > slots_.size()) grow();
  std::size_t slot = slot_of(order.id);
  if (slots_[slot] != kEmpty) {
    records_[slots_[slot] - 1] = order;
    return;
  }
  records_.push_back(order);
  slots_[slot] = static_cast<std::uint32_t>(records_.size());
}

bool OrderIndex::erase(const OrderId& id) {
  if (slots_.empty()) return false;
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = slot_of(id);
  if (slots_[slot] == kEmpty) return false;

  // Keep the records dense: the last one moves into the freed position.
  std::size_t position = slots_[slot] - 1;
  std::size_t last = records_.size() - 1;
  if (position != last) {
    slots_[slot_of(records_[last].id)] = static_cast<std::uint32_t>(position + 1);
    records_[position] = records_[last];
  }
  records_.pop_back();

  // Backward-shift deletion: pull later entries of the probe run into the
  // hole so that no lookup stops early at it.
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & mask; slots_[next] != kEmpty; next = (next + 1) & mask) {
    std::size_t home = records_[slots_[next] - 1].id.hash() & mask;
    // The entry may move back only if its home is not inside (hole, next].
    bool home_between = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (!home_between) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = kEmpty;
  return true;
}

void OrderIndex::grow() {
  std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  slots_.assign(capacity, kEmpty);
  const std::size_t mask = capacity - 1;
  for (std::size_t position = 0; position < records_.size(); ++position) {
    std::size_t slot = records_[position].id.hash() & mask;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<std::uint32_t>(position + 1);
  }
}

}  // namespace kestrova
