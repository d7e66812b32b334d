#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestrova {

// The distinct keys of one side's levels in ascending order, the largest (the
// best level) at the back. Keys sit in sorted blocks of at most kBlock, found
// through a small sorted array of each block's first key. New levels mostly
// open near the best price, that is near the back, where inserting moves few
// keys; a level far from the touch costs one search of the block firsts, one
// search inside a block and a move of at most one block: no deep tree walk.
//
// A key whose level empties may stay, marked idle: levels near the touch
// empty and fill again all the time, and an idle key needs neither a removal
// now nor an insertion later. Each block counts its idle keys; once they are
// more than half of it, the block is compacted. Live keys leave only from the
// back, so idle keys stay fewer than the live ones plus one block. Compacting
// asks the caller, through `drop(key)`, to forget a key's level if it is
// still empty.
class PriceLadder {
 public:
  static constexpr std::size_t kBlock = 256;

  bool empty() const { return blocks_.empty(); }
  std::size_t size() const { return size_; }  // idle keys included
  std::int64_t back() const { return blocks_.back().back(); }

  // `key` must be absent; it comes in live.
  template <class Drop>
  void insert(std::int64_t key, Drop&& drop) {
    if (blocks_.empty()) {
      ++size_;
      blocks_.emplace_back().reserve(kBlock);
      blocks_.back().push_back(key);
      firsts_.push_back(key);
      idle_.push_back(0);
      return;
    }
    std::size_t i = block_of(key);
    if (blocks_[i].size() == kBlock && idle_[i] != 0) {
      compact(i, drop);
      if (blocks_.empty()) return insert(key, drop);
      i = block_of(key);
    }
    if (blocks_[i].size() == kBlock) {
      split(i);
      if (key >= firsts_[i + 1]) ++i;
    }
    ++size_;
    std::vector<std::int64_t>& block = blocks_[i];
    block.insert(std::lower_bound(block.begin(), block.end(), key), key);
    firsts_[i] = block.front();
  }

  // Removes the back key; `idle` says whether it was marked so.
  void pop_back(bool idle) {
    const std::size_t i = blocks_.size() - 1;
    if (idle) --idle_[i];
    blocks_[i].pop_back();
    --size_;
    settle(i);
  }

  // The level of `key` emptied but may stay.
  template <class Drop>
  void mark_idle(std::int64_t key, Drop&& drop) {
    std::size_t i = block_of(key);
    if (++idle_[i] * 2 > blocks_[i].size()) compact(i, drop);
  }

  // The idle `key`'s level holds orders again.
  void mark_live(std::int64_t key) { --idle_[block_of(key)]; }

  template <class Visit>
  void for_each_ascending(Visit&& visit) const {
    for (const auto& block : blocks_)
      for (std::int64_t key : block) visit(key);
  }

  // Visits keys from the back until `visit` returns false.
  template <class Visit>
  void for_each_from_back(Visit&& visit) const {
    for (auto block = blocks_.rbegin(); block != blocks_.rend(); ++block)
      for (auto key = block->rbegin(); key != block->rend(); ++key)
        if (!visit(*key)) return;
  }

  template <class Visit>
  void for_each_descending(Visit&& visit) const {
    for (auto block = blocks_.rbegin(); block != blocks_.rend(); ++block)
      for (auto key = block->rbegin(); key != block->rend(); ++key) visit(*key);
  }

 private:
  // The last block whose first key is not above `key`, or the first block.
  std::size_t block_of(std::int64_t key) const {
    if (firsts_.back() <= key) return firsts_.size() - 1;
    auto after = std::upper_bound(firsts_.begin(), firsts_.end(), key);
    return after == firsts_.begin() ? 0 : static_cast<std::size_t>(after - firsts_.begin()) - 1;
  }

  // Removes the keys of block `i` whose levels `drop` forgets.
  template <class Drop>
  void compact(std::size_t i, Drop& drop) {
    std::vector<std::int64_t>& block = blocks_[i];
    std::size_t before = block.size();
    std::erase_if(block, [&](std::int64_t key) { return drop(key); });
    size_ -= before - block.size();
    idle_[i] = 0;
    settle(i);
  }

  // After keys left block `i`: its first key, or the block goes if emptied.
  void settle(std::size_t i) {
    if (blocks_[i].empty()) {
      const auto at = static_cast<std::ptrdiff_t>(i);
      blocks_.erase(blocks_.begin() + at);
      firsts_.erase(firsts_.begin() + at);
      idle_.erase(idle_.begin() + at);
    } else {
      firsts_[i] = blocks_[i].front();
    }
  }

  // Only a block without idle keys is split, so both halves have none.
  void split(std::size_t i) {
    std::vector<std::int64_t> upper;
    upper.reserve(kBlock);
    auto middle = blocks_[i].begin() + kBlock / 2;
    upper.assign(middle, blocks_[i].end());
    blocks_[i].erase(middle, blocks_[i].end());
    const auto after = static_cast<std::ptrdiff_t>(i) + 1;
    firsts_.insert(firsts_.begin() + after, upper.front());
    idle_.insert(idle_.begin() + after, 0);
    blocks_.insert(blocks_.begin() + after, std::move(upper));
  }

  std::vector<std::int64_t> firsts_;
  std::vector<std::vector<std::int64_t>> blocks_;
  std::vector<std::uint32_t> idle_;  // idle keys per block
  std::size_t size_ = 0;
};

}  // namespace kestrova
