#pragma once

#include <cstdint>
#include <vector>

#include "model/order.hpp"

namespace kestrova {

// Map from order id to the latest record of that order. Records sit densely
// in one array and an open-addressing table of positions finds them, so a
// million entries cost about 64 bytes each and a lookup allocates nothing.
class OrderIndex {
 public:
  std::size_t size() const { return records_.size(); }

  const Order* find(const OrderId& id) const;

  // Stores a copy under order.id, replacing any record with that id whole.
  void store(const Order& order);

  // Removes the record with this id; false when there is none.
  bool erase(const OrderId& id);

 private:
  // A slot keeps the low hash bits of its record, so probes and shifts seldom
  // have to touch the record itself.
  struct Slot {
    std::uint32_t hash;
    std::uint32_t position;  // position + 1; 0 marks an empty slot
  };

  std::size_t slot_of(const OrderId& id) const;  // its slot, or the empty one ending its probe
  void grow();

  std::vector<Order> records_;
  std::vector<Slot> slots_;
};

}  // namespace kestrova
