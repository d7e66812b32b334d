#include "book/order_index.hpp"

namespace kestrova {

std::size_t OrderIndex::slot_of(const OrderId& id) const {
  const std::size_t mask = slots_.size() - 1;
  const auto hash = static_cast<std::uint32_t>(id.hash());
  std::size_t slot = hash & mask;
  while (slots_[slot].position != 0 &&
         (slots_[slot].hash != hash || records_[slots_[slot].position - 1].id != id)) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

const Order* OrderIndex::find(const OrderId& id) const {
  if (slots_.empty()) return nullptr;
  std::uint32_t position = slots_[slot_of(id)].position;
  return position == 0 ? nullptr : &records_[position - 1];
}

void OrderIndex::store(const Order& order) {
  // At most half the slots are used, which keeps probes short.
  if ((records_.size() + 1) * 2 > slots_.size()) grow();
  Slot& slot = slots_[slot_of(order.id)];
  if (slot.position != 0) {
    records_[slot.position - 1] = order;
    return;
  }
  records_.push_back(order);
  slot = Slot{static_cast<std::uint32_t>(order.id.hash()),
              static_cast<std::uint32_t>(records_.size())};
}

bool OrderIndex::erase(const OrderId& id) {
  if (slots_.empty()) return false;
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = slot_of(id);
  if (slots_[slot].position == 0) return false;

  // Keep the records dense: the last one moves into the freed position.
  std::size_t position = slots_[slot].position - 1;
  std::size_t last = records_.size() - 1;
  if (position != last) {
    slots_[slot_of(records_[last].id)].position = static_cast<std::uint32_t>(position + 1);
    records_[position] = records_[last];
  }
  records_.pop_back();

  // Backward-shift deletion: pull later entries of the probe run into the
  // hole so that no lookup stops early at it.
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & mask; slots_[next].position != 0; next = (next + 1) & mask) {
    std::size_t home = slots_[next].hash & mask;
    // The entry may move back only if its home is not inside (hole, next].
    bool home_between =
        hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (!home_between) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = Slot{0, 0};
  return true;
}

void OrderIndex::grow() {
  std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  slots_.assign(capacity, Slot{0, 0});
  const std::size_t mask = capacity - 1;
  for (std::size_t position = 0; position < records_.size(); ++position) {
    const auto hash = static_cast<std::uint32_t>(records_[position].id.hash());
    std::size_t slot = hash & mask;
    while (slots_[slot].position != 0) slot = (slot + 1) & mask;
    slots_[slot] = Slot{hash, static_cast<std::uint32_t>(position + 1)};
  }
}

}  // namespace kestrova
