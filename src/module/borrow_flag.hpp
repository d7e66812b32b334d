#pragma once

#include <atomic>
#include <cstdint>

namespace kestrova::surface {

// 0 free, n shared borrows, all bits set one exclusive borrow. Conflicts fail
// at once; they can only come from the same thread re-entering a call.
class BorrowFlag {
 public:
  static constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

  bool try_share() noexcept {
    std::uint64_t seen = flag_.load(std::memory_order_relaxed);
    while (seen != kExclusive) {
      if (flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  void unshare() noexcept { flag_.fetch_sub(1, std::memory_order_seq_cst); }

  bool try_exclude() noexcept {
    std::uint64_t expected = 0;
    return flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_seq_cst,
                                         std::memory_order_relaxed);
  }
  void unexclude() noexcept { flag_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::uint64_t> flag_{0};
};

}  // namespace kestrova::surface
