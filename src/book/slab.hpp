#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kestrova {

// Records addressed by a 32-bit index, kept in fixed pages. Growing adds a
// page and never moves or copies what is there, so a large book neither
// pauses to copy all of its records nor leaves the old copy's memory behind.
template <class T>
class Slab {
 public:
  static constexpr std::uint32_t kPageBits = 12;
  static constexpr std::uint32_t kPageSize = 1u << kPageBits;

  T& operator[](std::uint32_t i) { return pages_[i >> kPageBits][i & (kPageSize - 1)]; }
  const T& operator[](std::uint32_t i) const { return pages_[i >> kPageBits][i & (kPageSize - 1)]; }

  // A slot for a new record; its contents are for the caller to set.
  std::uint32_t allocate() {
    if (!free_.empty()) {
      std::uint32_t i = free_.back();
      free_.pop_back();
      return i;
    }
    if ((size_ & (kPageSize - 1)) == 0)
      pages_.push_back(std::make_unique_for_overwrite<T[]>(kPageSize));
    return size_++;
  }

  void release(std::uint32_t i) { free_.push_back(i); }

 private:
  std::vector<std::unique_ptr<T[]>> pages_;
  std::vector<std::uint32_t> free_;
  std::uint32_t size_ = 0;
};

}  // namespace kestrova
