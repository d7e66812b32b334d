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
class PriceLadder {
 public:
  static constexpr std::size_t kBlock = 256;

  bool empty() const { return blocks_.empty(); }
  std::size_t size() const { return size_; }
  std::int64_t back() const { return blocks_.back().back(); }

  // `key` must be absent.
  void insert(std::int64_t key) {
    ++size_;
    if (blocks_.empty()) {
      blocks_.emplace_back().reserve(kBlock);
      blocks_.back().push_back(key);
      firsts_.push_back(key);
      return;
    }
    std::size_t i = block_of(key);
    if (blocks_[i].size() == kBlock) {
      split(i);
      if (key >= firsts_[i + 1]) ++i;
    }
    std::vector<std::int64_t>& block = blocks_[i];
    block.insert(std::lower_bound(block.begin(), block.end(), key), key);
    firsts_[i] = block.front();
  }

  // `key` must be present.
  void erase(std::int64_t key) {
    --size_;
    std::size_t i = block_of(key);
    std::vector<std::int64_t>& block = blocks_[i];
    block.erase(std::lower_bound(block.begin(), block.end(), key));
    if (block.empty()) {
      blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(i));
      firsts_.erase(firsts_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      firsts_[i] = block.front();
    }
  }

  template <class Visit>
  void for_each_ascending(Visit&& visit) const {
    for (const auto& block : blocks_)
      for (std::int64_t key : block) visit(key);
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

  void split(std::size_t i) {
    std::vector<std::int64_t> upper;
    upper.reserve(kBlock);
    auto middle = blocks_[i].begin() + kBlock / 2;
    upper.assign(middle, blocks_[i].end());
    blocks_[i].erase(middle, blocks_[i].end());
    firsts_.insert(firsts_.begin() + static_cast<std::ptrdiff_t>(i) + 1, upper.front());
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(upper));
  }

  std::vector<std::int64_t> firsts_;
  std::vector<std::vector<std::int64_t>> blocks_;
  std::size_t size_ = 0;
};

}  // namespace kestrova
