#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kestrova::linear_probing {

// What the book's hash tables share: open addressing with linear probing over
// a power-of-two vector of slots, each slot carrying `tag`, the low bits of its
// key's hash, whose masked value is the slot's home. `used` tells a filled
// slot from `empty`.

// Backward-shift deletion of the entry at `hole`: later entries of its probe
// run move back into the hole, so no lookup stops early at it and no
// tombstones lengthen the probes.
template <class Slot, class Alloc, class Used>
void erase(std::vector<Slot, Alloc>& slots, std::size_t mask, std::size_t hole, const Slot& empty,
           Used used) {
  for (std::size_t next = (hole + 1) & mask; used(slots[next]); next = (next + 1) & mask) {
    std::size_t home = slots[next].tag & mask;
    // The entry may move back only if its home is not inside (hole, next].
    bool home_between =
        hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (!home_between) {
      slots[hole] = slots[next];
      hole = next;
    }
  }
  slots[hole] = empty;
}

// Doubles the table (16 slots at first) and puts every entry back at the first
// free slot from its home.
template <class Slot, class Alloc, class Used>
void grow(std::vector<Slot, Alloc>& slots, std::size_t& mask, const Slot& empty, Used used) {
  std::size_t capacity = slots.empty() ? 16 : slots.size() * 2;
  std::vector<Slot, Alloc> old = std::move(slots);
  slots.assign(capacity, empty);
  mask = capacity - 1;
  for (const Slot& entry : old) {
    if (!used(entry)) continue;
    std::size_t slot = entry.tag & mask;
    while (used(slots[slot])) slot = (slot + 1) & mask;
    slots[slot] = entry;
  }
}

}  // namespace kestrova::linear_probing
