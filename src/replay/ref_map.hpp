#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrova::replay {

// The orders of the data by their ref: open addressing with linear probing
// over one flat array. The replay looks a ref up on almost every event, and a
// node-based map's allocation per order and pointer chase per lookup cost a
// quarter of its time. Erasing shifts the probe run back, so no tombstones
// pile up over a day of adds and deletes.
template <class Value>
class RefMap {
 public:
  RefMap() { rehash(kMinSlots); }

  std::size_t size() const { return size_; }

  Value* find(std::uint64_t key) {
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (!slot.used) return nullptr;
      if (slot.key == key) return &slot.value;
    }
  }
  const Value* find(std::uint64_t key) const { return const_cast<RefMap*>(this)->find(key); }
  bool contains(std::uint64_t key) const { return find(key) != nullptr; }

  // `key` must not be present.
  void insert(std::uint64_t key, const Value& value) {
    // Linear probing stays short below half full: an add looks up a ref
    // that is absent, and such a search runs to the end of its probe run.
    if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    place(key, value);
    ++size_;
  }

  bool erase(std::uint64_t key) {
    std::size_t hole = home(key);
    for (;; hole = (hole + 1) & mask_) {
      if (!slots_[hole].used) return false;
      if (slots_[hole].key == key) break;
    }
    // Moves back every later entry of the run that the hole would cut off
    // from its home slot.
    for (std::size_t next = (hole + 1) & mask_; slots_[next].used; next = (next + 1) & mask_) {
      const std::size_t start = home(slots_[next].key);
      if (((hole - start) & mask_) < ((next - start) & mask_)) {
        slots_[hole] = slots_[next];
        hole = next;
      }
    }
    slots_[hole].used = false;
    --size_;
    return true;
  }

  void clear() {
    for (Slot& slot : slots_) slot.used = false;
    size_ = 0;
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Slot& slot : slots_)
      if (slot.used) visit(slot.key, slot.value);
  }

 private:
  static constexpr std::size_t kMinSlots = 64;

  struct Slot {
    std::uint64_t key = 0;
    Value value{};
    bool used = false;
  };

  // Fibonacci hashing: consecutive refs, the common case, land far apart.
  std::size_t home(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ULL) >> shift_);
  }

  void place(std::uint64_t key, const Value& value) {
    std::size_t i = home(key);
    while (slots_[i].used) i = (i + 1) & mask_;
    slots_[i] = Slot{key, value, true};
  }

  void rehash(std::size_t count) {
    std::vector<Slot> old(count);
    old.swap(slots_);
    mask_ = count - 1;
    shift_ = 64;
    for (std::size_t n = count; n > 1; n >>= 1) --shift_;
    for (const Slot& slot : old)
      if (slot.used) place(slot.key, slot.value);
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace kestrova::replay
