#pragma once

#include <cstdint>
#include <vector>

#include "book/linear_probing.hpp"
#include "book/slab.hpp"

namespace kestrova {

inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

// One price level: the ends of its queue of resting orders.
struct Level {
  std::int64_t price_in_ticks;
  std::uint32_t head;  // front: time priority
  std::uint32_t tail;
  // Running totals of the queue, so depth reads need no walk; the quantity
  // is exact while the resting quantities are whole numbers.
  double quantity;
  std::uint32_t count;
};

// Price in ticks -> level, by hashing: finding a level costs the same
// whether the side holds ten levels or millions. Levels live in a slab and
// keep their index for life, so queue records can point at theirs.
class LevelTable {
 public:
  Level& operator[](std::uint32_t level) { return levels_[level]; }
  const Level& operator[](std::uint32_t level) const { return levels_[level]; }

  // The level at this price, or kNoIndex.
  std::uint32_t find(std::int64_t price_in_ticks) const {
    if (slots_.empty()) return kNoIndex;
    const std::uint64_t hash = mix(price_in_ticks);
    const auto tag = static_cast<std::uint32_t>(hash);
    for (std::size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
      const Slot& s = slots_[slot];
      if (s.level == kNoIndex) return kNoIndex;
      if (s.tag == tag && levels_[s.level].price_in_ticks == price_in_ticks) return s.level;
    }
  }

  // A new empty level at a price that has none.
  std::uint32_t create(std::int64_t price_in_ticks) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    std::uint32_t level = levels_.allocate();
    levels_[level] = Level{price_in_ticks, kNoIndex, kNoIndex, 0.0, 0};
    const std::uint64_t hash = mix(price_in_ticks);
    std::size_t slot = hash & mask_;
    while (slots_[slot].level != kNoIndex) slot = (slot + 1) & mask_;
    slots_[slot] = Slot{static_cast<std::uint32_t>(hash), level};
    ++used_;
    return level;
  }

  void erase(std::uint32_t level) {
    const std::uint64_t hash = mix(levels_[level].price_in_ticks);
    std::size_t hole = hash & mask_;
    while (slots_[hole].level != level) hole = (hole + 1) & mask_;
    linear_probing::erase(slots_, mask_, hole, kEmpty, Used{});
    levels_.release(level);
    --used_;
  }

 private:
  struct Slot {
    std::uint32_t tag;  // low hash bits: the home slot, and a cheap first compare
    std::uint32_t level;
  };
  static constexpr Slot kEmpty{0, kNoIndex};
  // A function object, so that the shared probing code inlines the test.
  struct Used {
    bool operator()(const Slot& s) const { return s.level != kNoIndex; }
  };

  // Prices are often consecutive; a full mix spreads them over the slots.
  static std::uint64_t mix(std::int64_t price_in_ticks) {
    auto h = static_cast<std::uint64_t>(price_in_ticks);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
  }

  void grow() { linear_probing::grow(slots_, mask_, kEmpty, Used{}); }

  Slab<Level> levels_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
};

}  // namespace kestrova
