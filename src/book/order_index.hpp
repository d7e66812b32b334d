#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "book/large_pages.hpp"
#include "book/level_table.hpp"
#include "model/order_id.hpp"

namespace kestrova {

// What the book knows under one order id, in eight bytes so that more of
// the index stays in cache. While an order rests once and nothing has
// changed its record since, `ref` is the handle of its queue copy, which then
// is its latest record too; once the two differ (the order was filled, rests
// twice, or was stored by update_order) `ref` names a record of the book's
// own, which keeps the queue handle in turn. The book gives `ref` its meaning.
struct OrderEntry {
  std::uint32_t tag;  // low hash bits of the id
  std::uint32_t ref;  // kNoIndex while unused

  bool used() const { return ref != kNoIndex; }
};

// The tag an id gets in the index (the low half of its hash), read straight
// from the first eight digits of its text, without parsing the rest: a
// lookup by text starts loading its home slot while the id is parsed. Text
// that is no id gives some number, whose slot is then loaded for nothing.
inline std::uint32_t tag_of_text(const char* text) {
  std::uint64_t chars;
  std::memcpy(&chars, text, sizeof chars);
  // Per byte: '0'-'9' -> 0-9, 'a'-'f' -> 10-15.
  std::uint64_t digits =
      (chars & 0x0F0F0F0F0F0F0F0FULL) + ((chars >> 6) & 0x0101010101010101ULL) * 9;
  // Byte 2i becomes digit 2i followed by digit 2i+1, as an id stores them.
  std::uint64_t pairs = ((digits << 4) | (digits >> 8)) & 0x00FF00FF00FF00FFULL;
  pairs = (pairs | (pairs >> 8)) & 0x0000FFFF0000FFFFULL;
  return static_cast<std::uint32_t>(pairs | (pairs >> 16));
}

// Order id -> entry, open addressing with linear probing. The entry holds no
// id: `id_of` reads it from the record the entry points at, so one probe
// run finds an order whichever copy holds it.
class OrderIndex {
 public:
  std::size_t size() const { return used_; }
  OrderEntry& at(std::size_t slot) { return slots_[slot]; }
  const OrderEntry& at(std::size_t slot) const { return slots_[slot]; }

  // The slot holding `id`, or kMissing.
  static constexpr std::size_t kMissing = ~std::size_t{0};
  template <class IdOf>
  std::size_t find(const OrderId& id, IdOf&& id_of) const {
    if (slots_.empty()) return kMissing;
    std::size_t slot = probe(id, id_of);
    return slots_[slot].used() ? slot : kMissing;
  }

  // The slot holding `id`, or a new unused one for it: the caller fills it
  // in before the next call.
  template <class IdOf>
  std::size_t find_or_add(const OrderId& id, IdOf&& id_of) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    std::size_t slot = probe(id, id_of);
    if (!slots_[slot].used()) {
      slots_[slot].tag = static_cast<std::uint32_t>(id.hash());
      ++used_;
    }
    return slot;
  }

  void erase(std::size_t slot);

  // Starts loading the home slot of `id`, for a lookup a little later.
  void prefetch(const OrderId& id) const { prefetch(static_cast<std::uint32_t>(id.hash())); }
  void prefetch(std::uint32_t tag) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[tag & mask_]);
  }

 private:
  template <class IdOf>
  std::size_t probe(const OrderId& id, IdOf& id_of) const {
    const auto tag = static_cast<std::uint32_t>(id.hash());
    std::size_t slot = tag & mask_;
    while (slots_[slot].used() && (slots_[slot].tag != tag || id_of(slots_[slot]) != id)) {
      slot = (slot + 1) & mask_;
    }
    return slot;
  }

  void grow();

  std::vector<OrderEntry, LargePageAllocator<OrderEntry>> slots_;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
};

}  // namespace kestrova
